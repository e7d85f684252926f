#include "vantrel/desktop/ocr.h"

#include <dlfcn.h>
#include <leptonica/allheaders.h>
#include <sys/stat.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <memory>

#include "vantrel/common/files.h"
#include "vantrel/common/text.h"
#include "vantrel/desktop/bmp.h"

namespace vantrel::desktop {

OcrError::OcrError(OcrErrorCode code, std::string payload)
    : CodedError(code, payload,
                 code == OcrErrorCode::ImageNotLoaded ? "Could not load image at " + payload : payload) {}

NormalizedRect normalizeBox(int left, int top, int right, int bottom, int imageWidth, int imageHeight) {
  if (imageWidth <= 0 || imageHeight <= 0) return {};
  const double w = imageWidth, h = imageHeight;
  return NormalizedRect{left / w, top / h, (right - left) / w, (bottom - top) / h};
}

namespace {

// libgomp reads its thread limit once, when it is loaded; lowering the number
// of active parallel levels to zero afterwards still runs every region on the
// calling thread. Looked up at run time so that a Tesseract built without
// OpenMP needs nothing.
void disableOpenMp() {
  using SetLevels = void (*)(int);
  if (auto fn = reinterpret_cast<SetLevels>(::dlsym(RTLD_DEFAULT, "omp_set_max_active_levels"))) fn(0);
}

struct PixDeleter {
  void operator()(Pix* p) const { pixDestroy(&p); }
};

// A 32-bit Leptonica picture of `image`, composited over white: text is read
// as it is seen on a page, and a transparent background is not black.
Pix* pixFromRgba(const RgbaImage& image) {
  Pix* pix = pixCreate(image.width, image.height, 32);
  if (!pix) return nullptr;
  l_uint32* data = pixGetData(pix);
  const int wpl = pixGetWpl(pix);
  for (int y = 0; y < image.height; ++y) {
    l_uint32* line = data + static_cast<std::ptrdiff_t>(y) * wpl;
    for (int x = 0; x < image.width; ++x) {
      const std::uint8_t* p = image.at(x, y);
      const unsigned a = p[3];
      auto over = [a](unsigned c) { return static_cast<l_int32>((c * a + 255 * (255 - a) + 127) / 255); };
      composeRGBPixel(over(p[0]), over(p[1]), over(p[2]), &line[x]);
    }
  }
  return pix;
}

// Leptonica's own readers first (PNG, JPEG, TIFF, PNM, GIF, WebP, JPEG 2000,
// the bitmaps it knows); bitmaps it refuses (run-length coded, bit fields) by
// our reader.
Pix* loadPicture(const std::string& path) {
  if (Pix* pix = pixRead(path.c_str())) return pix;
  const auto bytes = readWholeFile(path);
  if (!bytes) return nullptr;
  const auto image =
      decodeBmp(std::span(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()));
  return image ? pixFromRgba(*image) : nullptr;
}

std::string trimLineEnd(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r')) s.pop_back();
  return s;
}

}  // namespace

std::vector<std::pair<std::size_t, std::size_t>> wordRanges(std::string_view line) {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  std::size_t i = 0;
  while (i < line.size()) {
    if (std::size_t n = text::whiteSpaceLengthAt(line, i); n > 0) {
      i += n;
      continue;
    }
    const std::size_t start = i;
    while (i < line.size() && text::whiteSpaceLengthAt(line, i) == 0) ++i;
    out.emplace_back(start, i - start);
  }
  return out;
}

std::vector<TextRegion> regionsFromLines(const std::vector<RecognizedLine>& lines) {
  std::vector<TextRegion> out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const RecognizedLine& line = lines[i];
    if (!line.text) continue;
    const int index = static_cast<int>(i);
    const std::size_t before = out.size();
    for (const RecognizedWord& word : line.words) {
      if (!word.box) continue;
      for (const auto& [start, length] : wordRanges(word.text)) {
        out.push_back(TextRegion{word.text.substr(start, length), *word.box, index});
      }
    }
    if (out.size() == before) out.push_back(TextRegion{*line.text, line.box, index});
  }
  return out;
}

std::vector<TextRegion> recognizeText(const std::string& imagePath) {
  struct stat st {};
  if (::stat(imagePath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    throw OcrError(OcrErrorCode::ImageNotLoaded, imagePath);
  }
  // Leptonica reports unreadable files on standard error itself; the caller
  // reports them once in its own words.
  setMsgSeverity(L_SEVERITY_NONE);
  std::unique_ptr<Pix, PixDeleter> pix(loadPicture(imagePath));
  if (!pix) throw OcrError(OcrErrorCode::ImageNotLoaded, imagePath);
  const int width = pixGetWidth(pix.get()), height = pixGetHeight(pix.get());

  disableOpenMp();
  tesseract::TessBaseAPI api;
  if (api.Init(nullptr, "eng", tesseract::OEM_LSTM_ONLY) != 0) {
    throw OcrError(OcrErrorCode::RecognitionFailed, "The English recognition data could not be loaded.");
  }
  api.SetVariable("debug_file", "/dev/null");  // keeps Tesseract's notes off standard error
  api.SetPageSegMode(tesseract::PSM_AUTO);
  api.SetImage(pix.get());
  // Tesseract guesses 70 dpi for images without a resolution and complains;
  // screenshots are read at the usual screen resolution instead.
  if (pixGetXRes(pix.get()) <= 0) api.SetSourceResolution(96);
  if (api.Recognize(nullptr) != 0) {
    throw OcrError(OcrErrorCode::RecognitionFailed, "Text recognition failed.");
  }

  std::vector<RecognizedLine> lines;
  std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
  if (it) {
    do {
      if (it->Empty(tesseract::RIL_TEXTLINE)) continue;
      RecognizedLine line;
      int l, t, r, b;
      if (it->BoundingBox(tesseract::RIL_TEXTLINE, &l, &t, &r, &b)) line.box = normalizeBox(l, t, r, b, width, height);
      std::unique_ptr<char[]> lineText(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
      std::string text = trimLineEnd(lineText.get());
      if (!text.empty()) line.text = text;
      // Walk the words of this line only.
      do {
        RecognizedWord word;
        std::unique_ptr<char[]> wordText(it->GetUTF8Text(tesseract::RIL_WORD));
        word.text = wordText ? wordText.get() : "";
        if (it->BoundingBox(tesseract::RIL_WORD, &l, &t, &r, &b)) word.box = normalizeBox(l, t, r, b, width, height);
        line.words.push_back(std::move(word));
      } while (!it->IsAtFinalElement(tesseract::RIL_TEXTLINE, tesseract::RIL_WORD) &&
               it->Next(tesseract::RIL_WORD));
      lines.push_back(std::move(line));
    } while (it->Next(tesseract::RIL_TEXTLINE));
  }
  api.End();
  return regionsFromLines(lines);
}

}  // namespace vantrel::desktop
