// Standard input of the desktop helpers from arbitrary bytes: the stop test
// that the watching helpers (window bounds, cursor type, mouse buttons) apply
// to each chunk, and the line reader and command lines of the input-event
// helper, run against a sink that only counts. Must never crash, hang or leak.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_file.h"
#include "vantrel/desktop/control.h"
#include "vantrel/desktop/input.h"

namespace desktop = vantrel::desktop;

namespace {

class CountingSink : public desktop::InputSink {
 public:
  void click() override { ++events; }
  void scroll(const desktop::ScrollAmount& amount) override {
    events += desktop::wheelClicks(amount.vertical) + desktop::wheelClicks(amount.horizontal);
  }
  void hidePointer() override { ++events; }
  void showPointer() override { ++events; }
  long events = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  (void)desktop::isStopChunk(bytes);

  vantrel::fuzzing::MemoryFile file(data, size);
  if (!file.ok()) return 0;
  CountingSink sink;
  desktop::InputCommandRunner runner(sink);
  desktop::LineReader lines(file.fd());
  while (auto line = lines.next()) {
    (void)desktop::isStopChunk(*line);
    if (!runner.handleLine(*line)) break;
  }
  runner.finish();
  return 0;
}
