#pragma once
// Text lines: fonts by family, weight and size (FreeType outlines, HarfBuzz
// shaping, fontconfig for families that were not registered), shaped single
// lines with extra letter spacing, their typographic metrics, and drawing into
// a BitmapContext with fill and optional outline.
//
// A line is itemised into runs by bidirectional level, script and font
// coverage: characters the chosen font lacks come from a fontconfig fallback
// that has them, at the nearest weight; emoji prefer a colour emoji font and
// draw as colour pictures. Right-to-left runs are laid out in visual order.
//
// Units are pixels of the drawing space at the font's size; y grows upwards,
// so a line drawn at a point has its baseline through that point.
// All functions are thread-safe; Font and TextLine are immutable values.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/graphics/color.h"
#include "vantrel/graphics/geometry.h"

namespace vantrel::graphics {

class BitmapContext;
struct FontInstance;

class Font {
 public:
  // A font of the family (case-insensitive; registered files first, then the
  // system's fonts through fontconfig, whose nearest match stands in for a
  // family it does not have) at an OpenType weight (100...900; a variable
  // font's 'wght' axis is set to it, clamped to the axis) and a size in pixels.
  // nullopt when no font at all can be loaded or the size is not a positive finite number.
  static std::optional<Font> make(const std::string& family, double weight, double size);

  // Makes a font file's faces available under their family names and, when
  // given, an extra family name. False when the file cannot be read as a font.
  static bool registerFile(const std::string& path, const std::string& aliasFamily = "");

  double size() const { return size_; }
  double weight() const;
  std::string familyName() const;
  double ascent() const;   // above the baseline, positive
  double descent() const;  // below the baseline, positive
  double leading() const;  // line gap

  const std::shared_ptr<FontInstance>& instance() const { return instance_; }

 private:
  friend class TextLine;  // fallback fonts for characters this one lacks
  Font(std::shared_ptr<FontInstance> instance, double size) : instance_(std::move(instance)), size_(size) {}
  std::shared_ptr<FontInstance> instance_;
  double size_;
};

struct PositionedGlyph {
  uint32_t glyph = 0;
  double x = 0;  // pen position relative to the line's origin
  double y = 0;
  uint16_t font = 0;     // index into TextLine::fonts(); 0 is the line's own font
  uint32_t cluster = 0;  // byte offset in the text of the first character the glyph shows
};

// One shaped line of text. Glyphs are in visual order, left to right.
class TextLine {
 public:
  // `letterSpacing` is extra advance in pixels after every character (grapheme),
  // except between the joined letters of cursive scripts such as Arabic; with
  // letter spacing, optional ligatures are off so every character keeps its own.
  // Text past 64 KiB is not shaped.
  TextLine(const Font& font, std::string_view utf8, double letterSpacing = 0);

  const Font& font() const { return font_; }
  double width() const { return width_; }  // typographic width, letter spacing included
  // The line's own font's metrics: fallback fonts do not change the line height.
  double ascent() const { return font_.ascent(); }
  double descent() const { return font_.descent(); }
  const std::vector<PositionedGlyph>& glyphs() const { return glyphs_; }
  // The fonts glyphs come from; the first is font().
  const std::vector<Font>& fonts() const { return fonts_; }
  // Paragraph direction, from the first strong character (left-to-right when none).
  bool rightToLeft() const { return rightToLeft_; }
  // Has runs of a joining script (Arabic...), whose letters overlap where they join.
  bool joined() const { return joined_; }

 private:
  Font font_;
  std::vector<PositionedGlyph> glyphs_;
  std::vector<Font> fonts_;
  double width_ = 0;
  bool rightToLeft_ = false;
  bool joined_ = false;
};

// Outline in the convention of the platform's text engine: width is a percentage
// of the font size; negative draws fill and outline, positive only the outline.
// Colour emoji keep their own colours either way; the outline rings them.
// Joined letters (Arabic...) are outlined as one shape, without seams where they meet.
struct TextOutline {
  Color color;
  double width = 0;
};

// Draws the line with its baseline starting at `origin` in the context's current
// transform, filled with `fill`, and outlined when `outline` is given. Respects
// the context's clip, global alpha and shadow. Non-finite origins draw nothing.
void drawTextLine(BitmapContext& ctx, const TextLine& line, Point origin, Color fill,
                  const std::optional<TextOutline>& outline = std::nullopt);

// Typographic width of text in a font with extra letter spacing.
double measureTextWidth(const Font& font, std::string_view utf8, double letterSpacing = 0);

}  // namespace vantrel::graphics
