#include "vantrel/common/line_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vantrel {
namespace {

TEST(LineWriter, ConcurrentLinesNeverInterleave) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string collected;
  std::thread reader([&] {
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) collected.append(buffer, static_cast<std::size_t>(n));
  });
  {
    LineWriter writer(fds[1]);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&writer, t] {
        // Lines longer than the pipe's atomic write size still stay whole.
        std::string line(70000, static_cast<char>('a' + t));
        for (int i = 0; i < 20; ++i) writer.writeLine(line);
      });
    }
    for (auto& th : threads) th.join();
  }
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);
  std::size_t lines = 0;
  std::size_t start = 0;
  while (start < collected.size()) {
    auto end = collected.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    std::string line = collected.substr(start, end - start);
    ASSERT_EQ(line.size(), 70000u);
    EXPECT_EQ(line.find_first_not_of(line[0]), std::string::npos);
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, 80u);
}

}  // namespace
}  // namespace vantrel
