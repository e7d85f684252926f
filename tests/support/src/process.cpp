#include "vantrel/testing/process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vantrel::testing {

std::vector<std::string> ProcessResult::outLines() const {
  std::vector<std::string> lines;
  std::string current;
  for (char c : out) {
    if (c == '\n') {
      lines.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (::pipe2(inPipe, O_CLOEXEC) || ::pipe2(outPipe, O_CLOEXEC) || ::pipe2(errPipe, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (const auto& e : options.extraEnv) env.push_back(e);
  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const auto& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);

  auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::setpgid(0, 0);
    if (options.stdinText) {
      ::dup2(inPipe[0], 0);
    } else {
      int devnull = ::open("/dev/null", O_RDONLY);
      ::dup2(devnull, 0);
    }
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    if (options.workingDirectory && ::chdir(options.workingDirectory->c_str()) != 0) ::_exit(126);
    ::execve(cargv[0], cargv.data(), cenv.data());
    ::_exit(127);
  }
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);

  ProcessResult result;
  std::string pendingIn = options.stdinText.value_or("");
  int inFd = inPipe[1];
  if (!options.stdinText || pendingIn.empty()) {
    ::close(inFd);
    inFd = -1;
  } else {
    ::fcntl(inFd, F_SETFL, O_NONBLOCK);
  }
  int fds[2] = {outPipe[0], errPipe[0]};
  std::string* sinks[2] = {&result.out, &result.err};
  auto deadline = start + options.timeout;
  int open = 2;
  while (open > 0) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
      result.timedOut = true;
      break;
    }
    pollfd pfds[3];
    int n = 0;
    for (int i = 0; i < 2; ++i) {
      if (fds[i] >= 0) pfds[n++] = {fds[i], POLLIN, 0};
    }
    if (inFd >= 0) pfds[n++] = {inFd, POLLOUT, 0};
    int waitMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count());
    int r = ::poll(pfds, static_cast<nfds_t>(n), std::min(waitMs, 100));
    if (r < 0 && errno != EINTR) break;
    for (int k = 0; k < n; ++k) {
      if (!pfds[k].revents) continue;
      if (pfds[k].fd == inFd) {
        ssize_t w = ::write(inFd, pendingIn.data(), pendingIn.size());
        if (w > 0) pendingIn.erase(0, static_cast<std::size_t>(w));
        if (w < 0 && errno != EAGAIN) pendingIn.clear();
        if (pendingIn.empty()) {
          ::close(inFd);
          inFd = -1;
        }
        continue;
      }
      for (int i = 0; i < 2; ++i) {
        if (pfds[k].fd != fds[i]) continue;
        char buffer[8192];
        ssize_t got = ::read(fds[i], buffer, sizeof buffer);
        if (got > 0) {
          sinks[i]->append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
          ::close(fds[i]);
          fds[i] = -1;
          --open;
        }
      }
    }
  }
  for (int fd : fds) {
    if (fd >= 0) ::close(fd);
  }
  if (inFd >= 0) ::close(inFd);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  // Nothing of the child's group may outlive the test.
  ::kill(-pid, SIGKILL);
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  if (WIFEXITED(status)) {
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.termSignal = WTERMSIG(status);
  }
  return result;
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "vantrel-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary);
  f << content;
  if (!f) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace vantrel::testing
