// vantrel-desktop-wallpaper <output-path>: saves the desktop picture as PNG.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <variant>

#include "vantrel/common/json_out.h"
#include "vantrel/common/line_writer.h"
#include "vantrel/desktop/error.h"
#include "vantrel/desktop/image.h"
#include "vantrel/desktop/wallpaper.h"

namespace {

namespace desktop = vantrel::desktop;
using vantrel::json::OrderedJson;

int finish(const char* key, const std::string& value, int status) {
  OrderedJson result = OrderedJson::object();
  result[key] = value;
  vantrel::writeAll(1, vantrel::json::encodeCompact(result) + "\n");
  return status;
}

int fail(const std::string& message) { return finish("error", message, 1); }

// Writes next to the target and renames over it, so a reader never sees half
// a file and an existing file is replaced in one step.
void saveAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  if (target.has_parent_path()) fs::create_directories(target.parent_path());
  std::string temp = (target.has_parent_path() ? target.parent_path().string() + "/" : std::string()) + "." +
                     target.filename().string() + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
  // mkstemp makes the file private; a picture is an ordinary readable file.
  ::fchmod(fd, 0644);
  const bool written = vantrel::writeAll(fd, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  const int writeErrno = errno;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed) {
    ::unlink(temp.c_str());
    throw std::system_error(written ? errno : writeErrno, std::generic_category(), path);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    throw std::system_error(err, std::generic_category(), path);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return fail("Missing output path.");
  const std::string output = argv[1];
  auto x = desktop::XConnection::tryOpen();
  if (!x) return fail("No screen is available.");
  auto picture = desktop::readRootBackground(*x);
  if (auto* status = std::get_if<desktop::WallpaperStatus>(&picture)) {
    switch (*status) {
      case desktop::WallpaperStatus::NoPicture: return fail("No desktop wallpaper image is available.");
      case desktop::WallpaperStatus::NotLoadable: return fail("Desktop wallpaper could not be loaded.");
      case desktop::WallpaperStatus::NotRasterized: return fail("Desktop wallpaper could not be rasterized.");
    }
  }
  std::vector<std::uint8_t> png;
  try {
    png = desktop::encodePng(std::get<desktop::RgbaImage>(picture), /*withAlpha=*/false);
  } catch (const desktop::DesktopError&) {
    return fail("Desktop wallpaper PNG could not be encoded.");
  }
  try {
    saveAtomically(output, png);
  } catch (const std::filesystem::filesystem_error& e) {
    return fail("Desktop wallpaper could not be saved: " + e.code().message() + ": " + e.path1().string());
  } catch (const std::system_error& e) {
    return fail("Desktop wallpaper could not be saved: " + e.code().message() + ": " + output);
  }
  return finish("path", output, 0);
}
