// Reads arbitrary bytes as an Annex B H.264 stream the way the smart cut reads
// a source's parameter sets, and the way the writer reads its encoder's
// output: parameter sets, slice headers, frame numbers moved past inserted
// pictures. Short or damaged units must end in "cannot", never in a read past
// the end or an unbounded loop.

#include <cstddef>
#include <cstdint>

#include "h264_syntax.h"
#include "repeated_picture.h"

namespace media = vantrel::media;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (const auto& nal : media::h264::splitAnnexB(data, size)) {
    (void)media::h264::parseSps(nal);
    (void)media::h264::parsePps(nal);
    (void)media::h264::parsePpsIds(nal);
  }
  auto coder = media::RepeatedPictureCoder::fromParameterSets(data, size);
  if (!coder) return 0;
  // The same bytes as encoder output, with repeats before and after.
  (void)coder->adjust(data, size);
  (void)coder->repeatPicture();
  (void)coder->adjust(data, size);
  (void)coder->repeatPicture();
  return 0;
}
