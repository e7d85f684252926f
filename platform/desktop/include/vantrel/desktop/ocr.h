#pragma once
// Text recognition with Tesseract's LSTM engine and its English data.
// Lives in its own library (vantrel_desktop_ocr) so that programs which do
// not recognise text do not link Tesseract.
//
// Threads: one recognition at a time per process; Tesseract's own OpenMP
// parallelism is switched off (it is several times slower than one thread
// on a busy two-core machine).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/common/error.h"

namespace vantrel::desktop {

enum class OcrErrorCode {
  ImageNotLoaded,      // payload: the path
  RecognitionFailed,   // payload: Tesseract's reason
};

class OcrError : public CodedError<OcrErrorCode> {
 public:
  OcrError(OcrErrorCode code, std::string payload);
};

// Fractions of the image size, origin top left, y downwards.
struct NormalizedRect {
  double x = 0, y = 0, width = 0, height = 0;
};

struct TextRegion {
  std::string text;
  NormalizedRect bounds;
  int line = 0;  // index of the recognised line, counted over all lines
};

// A pixel box (left, top, right, bottom exclusive) as fractions of the image.
NormalizedRect normalizeBox(int left, int top, int right, int bottom, int imageWidth, int imageHeight);

// Byte ranges of the runs of non-white-space characters of `line`
// (white space as vantrel/common/text.h defines it: every Unicode space).
std::vector<std::pair<std::size_t, std::size_t>> wordRanges(std::string_view line);

// What the recognizer found on one text line.
struct RecognizedWord {
  std::string text;
  std::optional<NormalizedRect> box;  // absent when the recognizer gave none
};
struct RecognizedLine {
  std::optional<std::string> text;  // absent: the line has no usable candidate
  NormalizedRect box;
  std::vector<RecognizedWord> words;
};

// Turns recognised lines into regions: a word region for every non-blank run
// of every word that has a box; a line whose words give none is reported as
// one region with its whole text and box. Line indices count every line,
// including skipped ones.
std::vector<TextRegion> regionsFromLines(const std::vector<RecognizedLine>& lines);

// Loads the image (any format Leptonica reads, and every BMP variant through
// decodeBmp: Leptonica refuses run-length coded and bit-field bitmaps) and
// recognises its text. Throws OcrError.
std::vector<TextRegion> recognizeText(const std::string& imagePath);

}  // namespace vantrel::desktop
