// vantrel-microphone-devices: the audio inputs as a JSON array (no line feed).

#include "vantrel/common/json_out.h"
#include "vantrel/common/line_writer.h"
#include "vantrel/desktop/audio.h"
#include "vantrel/desktop/error.h"

namespace desktop = vantrel::desktop;
using vantrel::json::OrderedJson;

int main() {
  std::vector<desktop::AudioInput> inputs;
  try {
    inputs = desktop::listAudioInputs();
  } catch (const desktop::DesktopError&) {
    // No sound server means no microphones, the same as a machine without any.
  }
  OrderedJson list = OrderedJson::array();
  for (const auto& input : inputs) {
    OrderedJson device = OrderedJson::object();
    device["id"] = input.id;
    device["label"] = input.label;
    device["isDefault"] = input.isDefault;
    list.push_back(std::move(device));
  }
  std::string text;
  try {
    text = vantrel::json::encodeCompact(list);
  } catch (const vantrel::json::EncodeError& e) {
    vantrel::writeAll(2, std::string("Failed to encode microphone devices: ") + e.what() + "\n");
    return 1;
  }
  vantrel::writeAll(1, text);
  return 0;
}
