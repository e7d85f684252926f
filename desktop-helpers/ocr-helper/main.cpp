// vantrel-ocr-helper <image-path>: the words of an image with their boxes, as JSON.

#include <string>

#include "vantrel/common/json_out.h"
#include "vantrel/common/line_writer.h"
#include "vantrel/desktop/ocr.h"

namespace desktop = vantrel::desktop;
using vantrel::json::OrderedJson;

int main(int argc, char** argv) {
  if (argc < 2) {
    vantrel::writeAll(2, "Usage: vantrel-ocr-helper <image-path>\n");
    return 1;
  }
  const std::string path = argv[1];
  std::vector<desktop::TextRegion> regions;
  try {
    regions = desktop::recognizeText(path);
  } catch (const desktop::OcrError& e) {
    vantrel::writeAll(2, "Error: " + e.text() + "\n");
    return 1;
  }
  OrderedJson list = OrderedJson::array();
  for (const auto& r : regions) {
    OrderedJson bounds = OrderedJson::object();
    bounds["x"] = r.bounds.x;
    bounds["y"] = r.bounds.y;
    bounds["width"] = r.bounds.width;
    bounds["height"] = r.bounds.height;
    OrderedJson region = OrderedJson::object();
    region["text"] = r.text;
    region["bounds"] = std::move(bounds);
    region["line"] = r.line;
    list.push_back(std::move(region));
  }
  std::string text;
  try {
    text = vantrel::json::encodeCompact(list);
  } catch (const vantrel::json::EncodeError& e) {
    vantrel::writeAll(2, std::string("Error encoding JSON: ") + e.what() + "\n");
    return 1;
  }
  vantrel::writeAll(1, text + "\n");
  return 0;
}
