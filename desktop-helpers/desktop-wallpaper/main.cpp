// vantrel-desktop-wallpaper <output-path>: saves the desktop picture as PNG.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <cstring>
#include <filesystem>
#include <string>
#include <variant>

#include "vantrel/common/json_out.h"
#include "vantrel/common/line_writer.h"
#include "vantrel/desktop/desktop_settings.h"
#include "vantrel/desktop/error.h"
#include "vantrel/desktop/image.h"
#include "vantrel/desktop/session.h"
#include "vantrel/desktop/wallpaper.h"
#include "vantrel/graphics/image_file.h"

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

// The picture file at its own size, as straight RGBA; nothing when it cannot
// be read (missing, not PNG/JPEG/WebP, corrupt, or beyond the decoder's
// pixel bound).
std::optional<desktop::RgbaImage> loadPicture(const std::string& path) {
  vantrel::graphics::BufferRef buffer = vantrel::graphics::readImage(path);
  if (!buffer || buffer->format() != vantrel::graphics::PixelFormat::bgra8) return std::nullopt;
  desktop::RgbaImage image{buffer->width(), buffer->height(),
                           std::vector<std::uint8_t>(static_cast<std::size_t>(buffer->width()) * buffer->height() * 4)};
  for (int y = 0; y < image.height; ++y) {
    const std::uint8_t* in = buffer->row(y);
    std::uint8_t* out = &image.pixels[static_cast<std::size_t>(y) * image.width * 4];
    for (int x = 0; x < image.width; ++x, in += 4, out += 4) {
      const unsigned a = in[3];
      auto straight = [a](unsigned c) { return static_cast<std::uint8_t>(a == 0 ? 0 : std::min(255u, (c * 255 + a / 2) / a)); };
      out[0] = straight(in[2]);
      out[1] = straight(in[1]);
      out[2] = straight(in[0]);
      out[3] = static_cast<std::uint8_t>(a);
    }
  }
  return image;
}

bool isOpaque(const desktop::RgbaImage& image) {
  for (std::size_t i = 3; i < image.pixels.size(); i += 4) {
    if (image.pixels[i] != 255) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return fail("Missing output path.");
  const std::string output = argv[1];
  desktop::SessionType session = desktop::SessionType::None;
  auto x = desktop::openX11Desktop(&session);
  if (session == desktop::SessionType::None) return fail("No screen is available.");
  std::string primaryOutput;
  std::optional<desktop::Rect> primary;
  if (x) primary = desktop::primaryMonitor(*x, &primaryOutput);

  // First the picture the desktop environment keeps in its settings (this
  // works under Wayland too), then the root window's background pixmap on a
  // plain X11 desktop.
  std::variant<desktop::RgbaImage, desktop::WallpaperStatus> picture = desktop::WallpaperStatus::NoPicture;
  const desktop::ConfiguredWallpaper configured =
      desktop::configuredWallpaper(desktop::currentDesktopEnvironment(), primaryOutput);
  if (configured.kind == desktop::ConfiguredWallpaper::Kind::File) {
    auto image = loadPicture(configured.path);
    if (!image) return fail("Desktop wallpaper could not be loaded.");
    picture = std::move(*image);
  } else if (x) {
    picture = desktop::readRootBackground(*x, primary);
  }
  if (auto* status = std::get_if<desktop::WallpaperStatus>(&picture)) {
    switch (*status) {
      case desktop::WallpaperStatus::NoPicture: return fail("No desktop wallpaper image is available.");
      case desktop::WallpaperStatus::NotLoadable: return fail("Desktop wallpaper could not be loaded.");
      case desktop::WallpaperStatus::NotRasterized: return fail("Desktop wallpaper could not be rasterized.");
    }
  }
  std::vector<std::uint8_t> png;
  try {
    const auto& image = std::get<desktop::RgbaImage>(picture);
    png = desktop::encodePng(image, /*withAlpha=*/!isOpaque(image));
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
