#include "vantrel/desktop/control.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

namespace vantrel::desktop {
namespace {

TEST(StopChunk, OnlyTheTrimmedWordStops) {
  const struct {
    std::string chunk;
    bool stops;
  } cases[] = {
      {"stop", true},          {"stop\n", true},     {" \t stop \r\n", true}, {"\nstop\n\n", true},
      {"stopp", false},        {"STOP", false},      {"", false},             {"stop stop", false},
      {"s top", false},        {"\xffstop", false},  {"\n", false},          {"please stop", false},
      {"\u00A0stop\u2028", true}, {"\u3000stop\u0085", true}, {"st\u00A0op", false}, {"\xc2stop", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isStopChunk(c.chunk), c.stops) << "chunk: '" << c.chunk << "'";
}

struct Pipe {
  int fds[2];
  Pipe() { EXPECT_EQ(::pipe(fds), 0); }
  ~Pipe() {
    closeWrite();
    ::close(fds[0]);
  }
  void write(const std::string& s) { ASSERT_EQ(::write(fds[1], s.data(), s.size()), static_cast<ssize_t>(s.size())); }
  void closeWrite() {
    if (fds[1] >= 0) ::close(fds[1]);
    fds[1] = -1;
  }
};

TEST(LineReader, SplitsLinesDropsLineEndsAndKeepsTheLastUnterminatedLine) {
  Pipe p;
  p.write("first\r\n\nthird {\"a\":1}\nlast");
  p.closeWrite();
  LineReader reader(p.fds[0]);
  std::vector<std::string> lines;
  while (auto line = reader.next()) lines.push_back(*line);
  EXPECT_EQ(lines, (std::vector<std::string>{"first", "", "third {\"a\":1}", "last"}));
}

// The loop must return on "stop" and on end of input, tick before any input
// arrives, and keep going through other input.
TEST(RunTicking, EndsOnStopOrEndOfInputAndIgnoresOtherInput) {
  for (const bool useStop : {true, false}) {
    Pipe p;
    int ticks = 0;
    bool sawOtherInputAlive = false;
    std::thread feeder([&] {
      p.write("hello\n");
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      sawOtherInputAlive = true;
      if (useStop) {
        p.write("stop\n");
      } else {
        p.closeWrite();
      }
    });
    runTicking(p.fds[0], std::chrono::milliseconds(5), [&] { ++ticks; });
    feeder.join();
    EXPECT_TRUE(sawOtherInputAlive) << "returned before the stop, useStop=" << useStop;
    EXPECT_GE(ticks, 1);
  }
}

}  // namespace
}  // namespace vantrel::desktop
