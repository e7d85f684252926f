#include "desktop_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vantrel::testing {

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& overrides) {
  // Later entries win: an override replaces the inherited variable and any
  // earlier override of the same name; "-NAME" removes it.
  auto nameOf = [](const std::string& entry) {
    const std::string bare = !entry.empty() && entry[0] == '-' ? entry.substr(1) : entry;
    return bare.substr(0, bare.find('='));
  };
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (const auto& o : overrides) {
    const std::string name = nameOf(o);
    std::erase_if(env, [&](const std::string& entry) { return nameOf(entry) == name; });
    if (!o.empty() && o[0] != '-') env.push_back(o);
  }
  return env;
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  int inPipe[2], outPipe[2];
  if (::pipe2(inPipe, O_CLOEXEC) != 0 || ::pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  char errTemplate[] = "/tmp/vantrel-child-err-XXXXXX";
  const int errFd = ::mkostemp(errTemplate, O_CLOEXEC);
  if (errFd < 0) throw std::runtime_error("mkostemp failed");
  errPath_ = errTemplate;
  const std::vector<std::string> fullEnv = mergedEnvironment(env);
  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const auto& e : fullEnv) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(inPipe[0], 0);
    ::dup2(outPipe[1], 1);
    ::dup2(errFd, 2);
    ::execvpe(cargv[0], cargv.data(), cenv.data());
    ::_exit(127);
  }
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  ::close(errFd);
  in_ = inPipe[1];
  out_ = outPipe[0];
  ::signal(SIGPIPE, SIG_IGN);
}

Child::~Child() {
  closeInput();
  if (!exited_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (out_ >= 0) ::close(out_);
  ::unlink(errPath_.c_str());
}

void Child::write(const std::string& text) {
  if (in_ < 0) return;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(in_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void Child::closeInput() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

std::optional<std::string> Child::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return line;
    }
    if (out_ < 0) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    char chunk[4096];
    const ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) {
      ::close(out_);
      out_ = -1;
      continue;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::string Child::readAll(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out_ >= 0 && std::chrono::steady_clock::now() < deadline) {
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char chunk[4096];
    const ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) {
      ::close(out_);
      out_ = -1;
    } else {
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  std::string all = std::move(buffer_);
  buffer_.clear();
  return all;
}

int Child::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!exited_) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

std::string Child::errorOutput() const {
  std::ifstream in(errPath_);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

namespace {

std::vector<std::string> readLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

}  // namespace

DesktopSession::DesktopSession(SessionOptions options) {
  // The servers are started by a script that exits at once; as subreaper this
  // process inherits them and can reap them when the session stops.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  std::vector<std::string> argv = {VANTREL_DESKTOP_SESSION_SCRIPT, "start", dir_.path()};
  if (!options.audio) argv.push_back("--no-audio");
  if (!options.windowManager) argv.push_back("--no-wm");
  if (options.dpi > 0) {
    argv.push_back("--dpi");
    argv.push_back(std::to_string(options.dpi));
  }
  if (options.dbus) argv.push_back("--dbus");
  Child script(argv, {});
  script.closeInput();
  const std::string out = script.readAll(std::chrono::seconds(30));
  const int status = script.wait(std::chrono::seconds(30));
  for (const auto& line : readLines(dir_.file("pids"))) pids_.push_back(static_cast<pid_t>(std::stol(line)));
  if (status != 0) {
    const std::string err = script.errorOutput();
    stop();
    throw std::runtime_error("desktop-session start failed: " + err);
  }
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("DISPLAY=", 0) == 0) display_ = line.substr(8);
    if (!line.empty()) env_.push_back(line);
  }
  // Programs started in the session keep their files inside it too.
  const std::pair<const char*, const char*> homes[] = {{"HOME", "home"},
                                                       {"XDG_RUNTIME_DIR", "runtime"},
                                                       {"XDG_CONFIG_HOME", "home/.config"},
                                                       {"XDG_CACHE_HOME", "home/.cache"}};
  for (const auto& [name, sub] : homes) env_.push_back(std::string(name) + "=" + dir_.file(sub));
  if (!options.audio) env_.push_back("PULSE_SERVER=unix:" + dir_.file("no-such-server"));
  // The helpers read the session's kind and settings from the environment;
  // the test runner's own desktop must not leak in.
  for (const char* name : {"-WAYLAND_DISPLAY", "-XDG_SESSION_TYPE", "-XDG_CURRENT_DESKTOP", "-DESKTOP_SESSION",
                           "-GDK_SCALE", "-XDG_DATA_HOME", "-GSETTINGS_BACKEND"}) {
    env_.push_back(name);
  }
  if (!options.dbus) env_.push_back("-DBUS_SESSION_BUS_ADDRESS");
}

DesktopSession::~DesktopSession() { stop(); }

void DesktopSession::stop() {
  if (pids_.empty()) return;
  Child script({VANTREL_DESKTOP_SESSION_SCRIPT, "stop", dir_.path()}, {});
  script.closeInput();
  script.readAll(std::chrono::seconds(15));
  script.wait(std::chrono::seconds(15));
  for (pid_t pid : pids_) {
    // Either our child (subreaper) or already reaped elsewhere: ECHILD ends it.
    for (int i = 0; i < 200; ++i) {
      int status = 0;
      const pid_t r = ::waitpid(pid, &status, WNOHANG);
      if (r == pid || (r < 0 && errno == ECHILD)) break;
      if (i == 100) ::kill(pid, SIGKILL);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  pids_.clear();
}

ProcessResult DesktopSession::run(const std::vector<std::string>& argv) const { return runChild(argv, env_); }

ProcessResult runChild(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  Child child(argv, env);
  child.closeInput();
  ProcessResult result;
  result.out = child.readAll(std::chrono::seconds(20));
  result.exitStatus = child.wait(std::chrono::seconds(20));
  result.err = child.errorOutput();
  return result;
}

std::unique_ptr<Child> DesktopSession::start(const std::vector<std::string>& argv,
                                             std::vector<std::string> extraEnv) const {
  std::vector<std::string> env = env_;
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  return std::make_unique<Child>(argv, env);
}

}  // namespace vantrel::testing
