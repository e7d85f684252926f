#pragma once
// Test fixtures for the desktop programs: a private desktop started through
// scripts/desktop-session, and child processes driven line by line.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vantrel/testing/process.h"

namespace vantrel::testing {

// A child process with piped standard input and output. Standard error goes
// to a file so that it never blocks. The destructor kills and reaps it.
class Child {
 public:
  // `env` entries "NAME=value" replace variables of the same name; "NAME="
  // with `unset` semantics is written as "-NAME".
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void write(const std::string& text);
  void closeInput();
  // The next line of standard output (without "\n"), or nothing when the
  // output ends or `timeout` passes first.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Everything written to standard output that has not been read as a line.
  std::string pending() const { return buffer_; }
  // Waits for the exit; the status, or -1 on timeout / death by signal.
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Reads the rest of standard output until it closes.
  std::string readAll(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::string errorOutput() const;

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string errPath_;
  std::string buffer_;
  bool exited_ = false;
  int status_ = -1;
};

// Runs a program to its end with no input and `env` applied (see Child).
ProcessResult runChild(const std::vector<std::string>& argv, const std::vector<std::string>& env);

// The environment of this process with `overrides` applied (see Child).
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& overrides);

struct SessionOptions {
  bool audio = false;
  bool windowManager = true;
  int dpi = 0;        // Xft.dpi when nonzero (192: a 200 % desktop)
  bool dbus = false;  // a private session bus with no activatable services
};

// A desktop of its own for one test: Xvfb on a display number nobody else
// uses, openbox and a tint2 dock, optionally PulseAudio. Stopped and reaped
// in the destructor, also when the test fails.
class DesktopSession {
 public:
  explicit DesktopSession(SessionOptions options = {});
  ~DesktopSession();
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  // "DISPLAY=:N" and, with audio, "PULSE_SERVER=unix:..."; also HOME and the
  // XDG directories pointing into the session's scratch directory.
  const std::vector<std::string>& env() const { return env_; }
  const std::string& display() const { return display_; }
  std::string scratch(const std::string& name) const { return dir_.file(name); }

  // Runs a tool (xdotool, xprop, hsetroot, ...) against this desktop.
  ProcessResult run(const std::vector<std::string>& argv) const;
  // Starts a program against this desktop.
  std::unique_ptr<Child> start(const std::vector<std::string>& argv, std::vector<std::string> extraEnv = {}) const;

 private:
  void stop();
  TempDir dir_;
  std::vector<std::string> env_;
  std::string display_;
  std::vector<pid_t> pids_;
};

// Polls `condition` every 20 ms for at most `timeout`.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace vantrel::testing
