#pragma once
// Runs a program as a child process for end-to-end tests: arguments in,
// standard output, standard error and exit status out, with a hard timeout.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::testing {

struct ProcessResult {
  int exitStatus = -1;        // exit code, or -1 when killed by a signal
  int termSignal = 0;         // signal number when killed by one
  bool timedOut = false;      // killed by the timeout
  std::string out;            // everything written to standard output
  std::string err;            // everything written to standard error
  std::chrono::milliseconds elapsed{0};

  std::vector<std::string> outLines() const;
};

struct ProcessOptions {
  std::optional<std::string> stdinText;  // written then closed; absent: /dev/null
  std::chrono::milliseconds timeout{std::chrono::seconds(60)};
  std::vector<std::string> extraEnv;     // "NAME=value" added to the environment
  std::optional<std::string> workingDirectory;
};

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A fresh directory under the system temp directory, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);

}  // namespace vantrel::testing
