#include "vantrel/mediahelper/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "vantrel/common/line_writer.h"

namespace vantrel::mediahelper {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void throwErrno(const std::string& path) {
  throw std::system_error(errno, std::generic_category(), path);
}

}  // namespace

void createParentDirectory(const std::string& path) {
  const fs::path parent = fs::path(path).parent_path();
  if (parent.empty()) return;
  std::error_code ec;
  fs::create_directories(parent, ec);
  if (ec) throw std::system_error(ec, parent.string());
}

void removeQuietly(const std::string& path) noexcept {
  std::error_code ec;
  fs::remove(path, ec);
}

void writeFileAtomically(const std::string& path, const std::string& data) {
  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) throwErrno(path);
  const bool written = writeAll(fd, data);
  const int savedErrno = errno;
  if (::close(fd) != 0 || !written) {
    errno = written ? errno : savedErrno;
    const int e = errno;
    removeQuietly(temp);
    throw std::system_error(e, std::generic_category(), path);
  }
  // mkstemp makes the file private; an artifact is an ordinary file.
  ::chmod(temp.c_str(), 0644);
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int e = errno;
    removeQuietly(temp);
    throw std::system_error(e, std::generic_category(), path);
  }
}

void copyFile(const std::string& from, const std::string& to) {
  std::error_code ec;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  if (ec) throw std::system_error(ec, from + " -> " + to);
}

}  // namespace vantrel::mediahelper
