#include "vantrel/common/watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vantrel {
namespace {

// A child starts the watchdog and waits; its parent (an intermediate process)
// exits. This test process is a subreaper, so the orphan becomes our child and
// we can see how and when it ends.
TEST(ParentWatchdog, OrphanExitsWithStatusOneWithinTwoSeconds) {
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t middle = ::fork();
  ASSERT_GE(middle, 0);
  if (middle == 0) {
    pid_t worker = ::fork();
    if (worker == 0) {
      ParentWatchdog watchdog;
      watchdog.start();
      char c = 'r';
      (void)!::write(ready[1], &c, 1);
      std::this_thread::sleep_for(std::chrono::seconds(20));
      ::_exit(0);  // the watchdog failed to fire
    }
    char c;
    (void)!::read(ready[0], &c, 1);
    ::_exit(0);  // the parent goes away
  }
  int status = 0;
  ASSERT_EQ(::waitpid(middle, &status, 0), middle);
  auto orphaned = std::chrono::steady_clock::now();
  pid_t worker = ::waitpid(-1, &status, 0);
  auto elapsed = std::chrono::steady_clock::now() - orphaned;
  ASSERT_GT(worker, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  // Generous bound for a loaded machine; the interval is one second.
  EXPECT_LT(elapsed, std::chrono::seconds(5));
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST(ParentWatchdog, StaysQuietWhileTheParentLives) {
  bool fired = false;
  {
    ParentWatchdog watchdog(std::chrono::milliseconds(20), [&] { fired = true; });
    EXPECT_TRUE(watchdog.parentAlive());
    watchdog.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_FALSE(fired);
}

}  // namespace
}  // namespace vantrel
