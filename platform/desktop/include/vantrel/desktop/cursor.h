#pragma once
// Which pointer shape is showing, as one name of a fixed vocabulary.
//
// The server names a cursor when the application loaded it from the cursor
// theme by name (libXcursor tells XFixes); that name is mapped directly. A
// nameless cursor is looked up by a hash of its image in an index built at
// start from the theme's images of every mapped name. Anything else is
// "default". Threads: one thread at a time per CursorIdentifier.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vantrel/desktop/x_connection.h"

namespace vantrel::desktop {

inline constexpr std::array<std::string_view, 14> kCursorTypes = {
    "default",  "text",     "crosshair", "pointer",   "grab",        "grabbing",     "w-resize",
    "e-resize", "ew-resize", "n-resize", "s-resize", "ns-resize", "not-allowed", "context-menu"};

// The vocabulary name of an X cursor name (core font names such as "xterm"
// or "sb_h_double_arrow", and the CSS names such as "text" or "ew-resize"),
// or nothing for a name outside the table.
std::optional<std::string_view> cursorTypeForName(std::string_view xName);

// Every X cursor name the table knows, with its vocabulary name, in table order.
const std::vector<std::pair<std::string_view, std::string_view>>& cursorNameTable();

struct CursorImage {
  std::string name;  // the server's name for the cursor, "" when nameless
  int width = 0;
  int height = 0;
  int xhot = 0;
  int yhot = 0;
  std::vector<std::uint32_t> argb;  // premultiplied ARGB, row by row
};

// 64-bit FNV-1a over the size, hot spot and the cursor's silhouette (which
// pixels are not transparent). Colours are left out: a core cursor's colours
// are chosen by the application that made it, its shape is not.
std::uint64_t cursorShapeHash(int width, int height, int xhot, int yhot, const std::vector<bool>& opaque);
std::uint64_t cursorShapeHash(int width, int height, int xhot, int yhot, const std::uint32_t* argb);

// The first image of a theme cursor at about `size` pixels, or nothing.
std::optional<CursorImage> themeCursorImage(const std::string& name, const std::string& theme, int size);

// The cursor the server is showing now, or nothing (no XFixes, request
// failed). `errorCode` receives the X error code of a failed request.
std::optional<CursorImage> currentCursor(XConnection& x, std::uint8_t* errorCode = nullptr);

// Follows the shown cursor over one connection, replacing the connection when
// the server refuses the request with BadAccess. Xvfb (and servers with the
// SECURITY extension) do that to a client that has lived through the root
// cursor being replaced by one from a client that has since gone, while a
// new connection reads the same cursor without trouble.
class CursorReader {
 public:
  explicit CursorReader(std::unique_ptr<XConnection> x) : x_(std::move(x)) {}
  std::optional<CursorImage> read();
  XConnection* connection() const { return x_.get(); }

 private:
  std::unique_ptr<XConnection> x_;
};

class CursorIdentifier {
 public:
  // Builds the shape index from the "default" cursor theme (every size each
  // theme file holds near the usual pointer sizes) and, with a connection,
  // from the server's core cursor font, which applications such as xterm use
  // when the theme is not asked to replace core cursors.
  explicit CursorIdentifier(XConnection* x, const std::string& themeName = "default");

  std::string_view identify(const CursorImage& cursor) const;
  std::size_t indexSize() const { return index_.size(); }

 private:
  std::unordered_map<std::uint64_t, std::string_view> index_;
};

}  // namespace vantrel::desktop
