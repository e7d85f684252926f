#include "render/subtitle_layout.h"

#include "render/overlay_animation.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include "job/job_errors.h"
#include "manifest/color.h"
#include "render/assets/bundled_fonts.h"
#include "vantrel/common/text.h"
#include "vantrel/graphics/drawing.h"

namespace vantrel::exporter {
namespace gfx = vantrel::graphics;

namespace {

// A caption grows in over its first 0.12 s and fades out over its last 0.08 s.
constexpr double kPopInSeconds = 0.12;
constexpr double kFadeOutSeconds = 0.08;

// ---- UTF-8 and character classes ----

// Decodes the character at `i` and moves past it; malformed bytes read as
// U+FFFD one byte at a time, so every byte is consumed exactly once.
char32_t nextCodePoint(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  auto cont = [&](std::size_t k) { return i + k < s.size() && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80; };
  auto bits = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[i + k]) & 0x3F); };
  char32_t cp = 0xFFFD;
  std::size_t len = 1;
  if (b0 < 0x80) {
    cp = b0;
  } else if (b0 >= 0xC2 && b0 < 0xE0 && cont(1)) {
    cp = ((b0 & 0x1Fu) << 6) | bits(1);
    len = 2;
  } else if (b0 >= 0xE0 && b0 < 0xF0 && cont(1) && cont(2)) {
    const char32_t c = ((b0 & 0x0Fu) << 12) | (bits(1) << 6) | bits(2);
    if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) {
      cp = c;
      len = 3;
    }
  } else if (b0 >= 0xF0 && b0 < 0xF5 && cont(1) && cont(2) && cont(3)) {
    const char32_t c = ((b0 & 0x07u) << 18) | (bits(1) << 12) | (bits(2) << 6) | bits(3);
    if (c >= 0x10000 && c <= 0x10FFFF) {
      cp = c;
      len = 4;
    }
  }
  i += len;
  return cp;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool inRange(char32_t c, char32_t lo, char32_t hi) { return c >= lo && c <= hi; }

// Scripts written without spaces between words, where a line may break between
// any two characters (Han, kana, their punctuation and full-width forms).
bool isNoSpaceScript(char32_t c) {
  return inRange(c, 0x2E80, 0x2FDF) || inRange(c, 0x3000, 0x30FF) || inRange(c, 0x3100, 0x312F) ||
         inRange(c, 0x31A0, 0x31FF) || inRange(c, 0x3200, 0x33FF) || inRange(c, 0x3400, 0x4DBF) ||
         inRange(c, 0x4E00, 0x9FFF) || inRange(c, 0xF900, 0xFAFF) || inRange(c, 0xFE30, 0xFE4F) ||
         inRange(c, 0xFF00, 0xFFEF) || inRange(c, 0x20000, 0x3FFFF);
}

// Characters that belong to the one before them (marks, variation and skin-tone
// selectors, joiners, emoji tags): never a place to break.
bool extendsPrevious(char32_t c) {
  return inRange(c, 0x0300, 0x036F) || inRange(c, 0x0483, 0x0489) || inRange(c, 0x064B, 0x065F) || c == 0x0670 ||
         inRange(c, 0x1AB0, 0x1AFF) || inRange(c, 0x1DC0, 0x1DFF) || inRange(c, 0x20D0, 0x20FF) ||
         inRange(c, 0x3099, 0x309A) || inRange(c, 0xFE00, 0xFE0F) || inRange(c, 0xFE20, 0xFE2F) || c == 0x200C ||
         c == 0x200D || inRange(c, 0x1F3FB, 0x1F3FF) || inRange(c, 0xE0020, 0xE007F) || inRange(c, 0xE0100, 0xE01EF);
}

// Closing punctuation, small kana and iteration marks may not start a line;
// opening brackets may not end one.
bool noBreakBefore(char32_t c) {
  static constexpr std::u32string_view kClosing =
      U"、。，．・：；？！ー）〕］｝〉》」』】〙〗〟’”ゝゞ々ヽヾぁぃぅぇぉっゃゅょゎゕゖァィゥェォッャュョヮヵヶ"
      U"｡｣､･ｰ，．：；？！）］｝,.;:!?)]}%";
  return kClosing.find(c) != std::u32string_view::npos;
}
bool noBreakAfter(char32_t c) {
  static constexpr std::u32string_view kOpening = U"（〔［｛〈《「『【〘〖〝‘“([{";
  return kOpening.find(c) != std::u32string_view::npos;
}

bool mayBreakBetween(char32_t before, char32_t after) {
  if (!isNoSpaceScript(before) && !isNoSpaceScript(after)) return false;
  return !extendsPrevious(after) && before != 0x200D && !noBreakBefore(after) && !noBreakAfter(before);
}

enum class Strong { none, left, right, number };

// Directional class of one character, to the precision word order needs:
// Hebrew, Arabic and the other right-to-left blocks; digits; letters of the
// left-to-right scripts; everything else (spaces, punctuation, symbols, emoji)
// neutral.
Strong strongClass(char32_t c) {
  if (inRange(c, '0', '9') || inRange(c, 0x0660, 0x0669) || inRange(c, 0x06F0, 0x06F9) || inRange(c, 0xFF10, 0xFF19))
    return Strong::number;
  if (inRange(c, 0x064B, 0x065F) || c == 0x0670) return Strong::none;  // Arabic marks take their base's direction
  if (inRange(c, 0x0590, 0x08FF) || inRange(c, 0xFB1D, 0xFDFF) || inRange(c, 0xFE70, 0xFEFF) ||
      inRange(c, 0x10800, 0x10FFF) || inRange(c, 0x1E800, 0x1EFFF))
    return Strong::right;
  if (inRange(c, 'A', 'Z') || inRange(c, 'a', 'z')) return Strong::left;
  if (c < 0xC0) return Strong::none;
  if (c == 0xD7 || c == 0xF7) return Strong::none;
  if (inRange(c, 0x0300, 0x036F) || inRange(c, 0x1AB0, 0x1AFF) || inRange(c, 0x1DC0, 0x1DFF)) return Strong::none;
  if (c < 0x0590) return Strong::left;
  if (inRange(c, 0x0900, 0x1FFF) || inRange(c, 0x2C00, 0x2DFF) || inRange(c, 0x2E80, 0x2FFF)) return Strong::left;
  if (inRange(c, 0x3040, 0xD7FF) || inRange(c, 0xF900, 0xFB1C)) return Strong::left;
  if (inRange(c, 0xFF21, 0xFF3A) || inRange(c, 0xFF41, 0xFF5A) || inRange(c, 0xFF66, 0xFFDC)) return Strong::left;
  if (inRange(c, 0x10000, 0x107FF) || inRange(c, 0x11000, 0x1CFFF) || inRange(c, 0x20000, 0x3FFFF))
    return Strong::left;
  return Strong::none;
}

// The first strong direction of a text; digits without letters read as a number.
Strong runClass(std::string_view text) {
  bool digits = false;
  for (std::size_t i = 0; i < text.size();) {
    const Strong s = strongClass(nextCodePoint(text, i));
    if (s == Strong::left || s == Strong::right) return s;
    if (s == Strong::number) digits = true;
  }
  return digits ? Strong::number : Strong::none;
}

char32_t firstCodePoint(std::string_view s) {
  std::size_t i = 0;
  return s.empty() ? 0 : nextCodePoint(s, i);
}
char32_t lastCodePoint(std::string_view s) {
  char32_t last = 0;
  for (std::size_t i = 0; i < s.size();) last = nextCodePoint(s, i);
  return last;
}

// Pieces of one word: cut between characters where a line may break (only
// in text without spaces; other words stay whole).
std::vector<std::string> breakablePieces(std::string_view word) {
  std::vector<std::string> pieces;
  std::string current;
  char32_t previous = 0;
  for (std::size_t i = 0; i < word.size();) {
    const std::size_t start = i;
    const char32_t c = nextCodePoint(word, i);
    if (!current.empty() && mayBreakBetween(previous, c)) pieces.push_back(std::move(current)), current.clear();
    current.append(word.substr(start, i - start));
    previous = c;
  }
  if (!current.empty() || pieces.empty()) pieces.push_back(std::move(current));
  return pieces;
}

gfx::Color toColor(const std::optional<RgbaColor>& c, gfx::Color fallback) {
  return c ? gfx::Color{c->red, c->green, c->blue, c->alpha} : fallback;
}

// A line's runs ordered for display: each run's direction resolved from its
// neighbours (numbers follow the letters before them, neutral runs the
// letters around them, else the line's direction), then the usual reversal
// of every sequence at or above each embedding level.
void orderLine(SubtitleLine& line) {
  const std::size_t n = line.runs.size();
  std::vector<Strong> cls(n);
  for (std::size_t i = 0; i < n; ++i) cls[i] = runClass(line.runs[i].text);
  Strong base = Strong::left;
  for (const Strong s : cls) {
    if (s == Strong::left || s == Strong::right) {
      base = s;
      break;
    }
  }
  line.rightToLeft = base == Strong::right;
  // Numbers: left after left-to-right letters (or at the start of a
  // left-to-right line), otherwise they sit in the right-to-left flow.
  Strong previous = Strong::none;
  for (std::size_t i = 0; i < n; ++i) {
    if (cls[i] == Strong::number) cls[i] = (previous == Strong::left || (previous == Strong::none && base == Strong::left)) ? Strong::left : Strong::right;
    else if (cls[i] != Strong::none) previous = cls[i];
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (cls[i] != Strong::none) continue;
    Strong before = base, after = base;
    for (std::size_t k = i; k-- > 0;)
      if (cls[k] != Strong::none) {
        before = cls[k];
        break;
      }
    for (std::size_t k = i + 1; k < n; ++k)
      if (cls[k] != Strong::none) {
        after = cls[k];
        break;
      }
    cls[i] = before == after ? before : base;
  }
  std::vector<int> level(n);
  for (std::size_t i = 0; i < n; ++i) {
    line.runs[i].rightToLeft = cls[i] == Strong::right;
    level[i] = base == Strong::right ? (cls[i] == Strong::right ? 1 : 2) : (cls[i] == Strong::right ? 1 : 0);
  }
  line.visualOrder.resize(n);
  for (std::size_t i = 0; i < n; ++i) line.visualOrder[i] = i;
  const int top = n ? *std::max_element(level.begin(), level.end()) : 0;
  for (int l = top; l >= 1; --l) {
    for (std::size_t i = 0; i < n;) {
      if (level[line.visualOrder[i]] < l) {
        ++i;
        continue;
      }
      std::size_t j = i;
      while (j < n && level[line.visualOrder[j]] >= l) ++j;
      std::reverse(line.visualOrder.begin() + static_cast<std::ptrdiff_t>(i),
                   line.visualOrder.begin() + static_cast<std::ptrdiff_t>(j));
      i = j;
    }
  }
}

// Places the runs of a line left to right in display order. Neighbours on
// screen keep the gap they have in reading order; runs that a direction change
// brought together are a space apart.
void placeLine(SubtitleLine& line, double spaceWidth) {
  orderLine(line);
  line.runX.assign(line.runs.size(), 0);
  double x = 0;
  for (std::size_t v = 0; v < line.visualOrder.size(); ++v) {
    const std::size_t i = line.visualOrder[v];
    if (v > 0) {
      const std::size_t p = line.visualOrder[v - 1];
      const std::size_t lo = std::min(i, p);
      x += (std::max(i, p) - lo == 1) ? line.runs[lo].gapAfter : spaceWidth;
    }
    line.runX[i] = x;
    x += line.runs[i].width;
  }
  line.width = x;
}

}  // namespace

// ---- Preset ----

NativeSubtitlePreset defaultSubtitlePreset() {
  NativeSubtitlePreset p;
  p.id = "default";
  p.name = "Default";
  p.fontSize = 48;
  p.fontFamily = "Inter";
  p.fontWeight = 700;
  p.color = "#FFFFFF";
  p.uppercase = false;
  p.highlightColor = "#FFD60A";
  p.highlightEnabled = true;
  p.highlightMode = "progressive";
  p.strokeColor = "#000000";
  p.strokeWidth = 3;
  p.strokeEnabled = true;
  p.bottomMargin = 0.05;
  p.maxWidth = 360;
  p.letterSpacing = 0.02;
  p.lineHeight = 1.25;
  p.backgroundEnabled = false;
  p.backgroundColor = "#000000";
  p.backgroundOpacity = 32;
  return p;
}

SubtitleStyle SubtitleStyle::resolve(const NativeSubtitlePreset& p, double canvasHeight) {
  SubtitleStyle s;
  s.fontFamily = p.fontFamily.value_or("Helvetica");
  s.fontWeight = p.fontWeight.value_or(700);
  s.uppercase = p.uppercase.value_or(false);
  s.highlightMode = p.highlightMode.value_or("single");
  const gfx::Color white{1, 1, 1, 1}, black{0, 0, 0, 1};
  s.color = toColor(parseColor(p.color), white);
  s.highlightColor = toColor(parseColor(p.highlightColor), white);
  s.unit = canvasHeight / 1080;
  s.fontSize = std::max(p.fontSize * s.unit, 1.0);
  if (!std::isfinite(s.fontSize)) s.fontSize = 1;
  s.letterSpacing = s.fontSize * p.letterSpacing;
  s.linePitch = p.lineHeight * s.fontSize;
  s.wrapWidth = s.unit * p.maxWidth;
  if (p.strokeEnabled.value_or(true))
    s.outline = gfx::TextOutline{toColor(parseColor(p.strokeColor), black), -2 * std::max(s.unit * p.strokeWidth, 1.0)};
  s.backgroundEnabled = p.backgroundEnabled.value_or(false);
  s.backgroundColor = toColor(parseColor(p.backgroundColor), black);
  s.backgroundAlpha = std::clamp(p.backgroundOpacity.value_or(50) / 100, 0.0, 1.0);
  s.bottomMargin = p.bottomMargin;
  s.positionX = p.positionX.value_or(0.5);
  s.positionY = p.positionY;
  return s;
}

std::optional<gfx::Font> subtitleFont(const std::string& family, double weight, double size) {
  // The overlays' lookup (bundled Inter, then the system's fonts), with the
  // preset's blanks around the name dropped.
  std::string name;
  for (const char c : family)
    if (c != '"' && c != '\'') name += c;
  return bundledFont(std::string(text::trimWhiteSpace(name)), size, weight);
}

// ---- Timing ----

std::optional<std::size_t> captionIndexAt(const std::vector<NativeSubtitleCaption>& captions, double t) {
  for (std::size_t i = 0; i < captions.size(); ++i)
    if (captions[i].startTime <= t && t <= captions[i].endTime) return i;
  return std::nullopt;
}

std::set<std::string> highlightedWordIds(const std::vector<std::vector<NativeSubtitleWord>>& lines, double t,
                                         std::string_view mode) {
  const bool progressive = mode == "progressive";
  std::set<std::string> ids;
  for (const auto& line : lines)
    for (const auto& w : line)
      if (t >= w.timelineStart && (progressive || t <= w.timelineEnd)) ids.insert(w.id);
  return ids;
}

std::set<std::string> captionHighlightedWordIds(const NativeSubtitleCaption& caption, double t,
                                                std::string_view mode) {
  return highlightedWordIds(caption.lines, t, mode);
}

SubtitleAnimation subtitleAnimationAt(const NativeSubtitleCaption& caption, double t) {
  const double e = t - caption.startTime, q = caption.endTime - t;
  SubtitleAnimation a;
  double appear = 1;
  // Output times are sums of frame durations; a nanosecond short of the end
  // of the pop-in counts as past it.
  if (!(e >= kPopInSeconds - 1e-9)) {
    const double p = std::clamp(e / kPopInSeconds, 0.0, 1.0);
    appear = 1 - (1 - p) * (1 - p);
    a.scale = 0.96 + 0.04 * appear;
    a.settled = false;
  }
  a.opacity = (q < kFadeOutSeconds && q / kFadeOutSeconds < appear) ? q / kFadeOutSeconds : appear;
  a.opacity = std::isfinite(a.opacity) ? std::clamp(a.opacity, 0.0, 1.0) : 0.0;
  return a;
}

std::string subtitleKey(const std::string& captionId, const std::set<std::string>& wordIds) {
  std::string key = captionId + "|";
  bool first = true;
  for (const auto& id : wordIds) {  // std::set iterates in ascending order
    if (!first) key += ',';
    key += id;
    first = false;
  }
  return key;
}

// ---- Layout ----

double segmentWidth(const std::vector<double>& widths, std::size_t start, std::size_t end, double gap) {
  end = std::min(end, widths.size());
  if (start >= end) return 0;
  double sum = 0;
  for (std::size_t i = start; i < end; ++i) sum += widths[i];
  return sum + static_cast<double>(end - start - 1) * gap;
}

std::optional<std::size_t> subtitleSplitIndex(const std::vector<double>& widths, const std::vector<double>& gaps,
                                              double maxWidth) {
  const std::size_t n = widths.size();
  // prefix[i]: widths of pieces [0, i) with the gaps between them and after each.
  std::vector<double> prefix(n + 1, 0);
  for (std::size_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] + widths[i] + (i + 1 < n && i < gaps.size() ? gaps[i] : 0);
  auto span = [&](std::size_t a, std::size_t b) {
    if (a >= b) return 0.0;
    const double trailingGap = b < n && b - 1 < gaps.size() ? gaps[b - 1] : 0;
    return prefix[b] - prefix[a] - trailingGap;
  };
  if (maxWidth >= span(0, n)) return std::nullopt;
  std::size_t split = (n + 1) / 2;
  double best = std::numeric_limits<double>::infinity();
  for (std::size_t i = 1; i < n; ++i) {
    const double left = span(0, i), right = span(i, n);
    if (left <= maxWidth && right <= maxWidth && std::abs(left - right) < best) {
      best = std::abs(left - right);
      split = i;
    }
  }
  return split;
}

std::string subtitleUppercased(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const std::size_t start = i;
    char32_t c = nextCodePoint(utf8, i);
    if (c == 0xFFFD && i - start == 1 && static_cast<unsigned char>(utf8[start]) >= 0x80) {
      out += utf8[start];  // not UTF-8: passed through untouched
      continue;
    }
    if (c == 0xDF) {
      out += "SS";
      continue;
    }
    if (inRange(c, 'a', 'z') || (inRange(c, 0xE0, 0xFE) && c != 0xF7) || (inRange(c, 0x3B1, 0x3C9) && c != 0x3C2) ||
        inRange(c, 0x430, 0x44F))
      c -= 0x20;
    else if (c == 0xFF) c = 0x178;
    else if (inRange(c, 0x100, 0x17F) && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
      // Latin Extended-A pairs capitals and small letters as even/odd, with a
      // shifted stretch between U+0139 and U+0148 and from U+0179 on.
      const bool shifted = inRange(c, 0x139, 0x148) || inRange(c, 0x179, 0x17E);
      if ((c % 2 == 1) != shifted) c -= 1;
    } else if (inRange(c, 0x450, 0x45F)) c -= 0x50;
    else if (c == 0x3C2) c = 0x3A3;  // final sigma
    appendUtf8(out, c);
  }
  return out;
}

SubtitleLayout reflowWordsIntoLines(const std::vector<NativeSubtitleWord>& words, double maxWidth,
                                    const std::optional<gfx::Font>& font, double letterSpacing, bool uppercase) {
  SubtitleLayout layout;
  layout.words = words;
  auto measure = [&](std::string_view text) { return font ? gfx::measureTextWidth(*font, text, letterSpacing) : 0.0; };
  layout.spaceWidth = measure(" ");

  // Pieces in reading order. Words carry no surrounding blanks of their own
  // (transcripts often lead with one), so the gap alone separates them.
  std::vector<SubtitleRun> pieces;
  std::vector<std::string> wordText(words.size());
  for (std::size_t w = 0; w < words.size(); ++w) {
    const std::string_view trimmed = text::trimWhiteSpace(words[w].text);
    wordText[w] = uppercase ? subtitleUppercased(trimmed) : std::string(trimmed);
    for (auto& piece : breakablePieces(wordText[w])) {
      SubtitleRun run;
      run.word = w;
      run.width = measure(piece);
      run.text = std::move(piece);
      pieces.push_back(std::move(run));
    }
  }
  for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
    if (pieces[i].word == pieces[i + 1].word) continue;  // inside a word
    // Between words of a script without spaces no space is set.
    const bool joined = isNoSpaceScript(lastCodePoint(pieces[i].text)) && isNoSpaceScript(firstCodePoint(pieces[i + 1].text));
    pieces[i].gapAfter = joined ? 0 : layout.spaceWidth;
  }

  std::vector<double> widths, gaps;
  for (const auto& p : pieces) {
    widths.push_back(p.width);
    gaps.push_back(p.gapAfter);
  }
  const auto split = subtitleSplitIndex(widths, gaps, maxWidth);
  const std::size_t cuts[] = {0, split.value_or(pieces.size()), pieces.size()};
  for (int l = 0; l < (split ? 2 : 1); ++l) {
    SubtitleLine line;
    for (std::size_t i = cuts[l]; i < cuts[l + 1]; ++i) {
      if (!line.runs.empty() && line.runs.back().word == pieces[i].word) {
        line.runs.back().text += pieces[i].text;  // pieces of one word on one line are shaped together
        line.runs.back().gapAfter = pieces[i].gapAfter;
      } else {
        line.runs.push_back(pieces[i]);
      }
    }
    if (!line.runs.empty()) line.runs.back().gapAfter = 0;
    for (auto& run : line.runs)
      if (font) {
        run.shaped.emplace(*font, run.text, letterSpacing);
        run.width = run.shaped->width();
      }
    placeLine(line, layout.spaceWidth);
    layout.maxLineWidth = std::max(layout.maxLineWidth, line.width);
    layout.lines.push_back(std::move(line));
  }
  return layout;
}

// ---- Drawing ----

namespace {

// Draws the caption at a given opacity and pop-in scale, tightly around the
// block (the rest of the canvas stays untouched), placed on the canvas.
std::optional<gfx::Image> drawCaption(const SubtitleDrawing& d, double t, const gfx::Rect& R, double opacity,
                                      double scale) {
  if (!(opacity > 0.001)) return std::nullopt;
  const double farX = R.maxX(), farY = R.maxY();
  if (!std::isfinite(farX) || !std::isfinite(farY) || !(farX > 0) || !(farY > 0)) return std::nullopt;
  const double Wb = std::ceil(farX), Hb = std::ceil(farY);
  const SubtitleStyle& s = *d.style;
  const SubtitleLayout& layout = *d.layout;

  const double n = static_cast<double>(layout.lines.size());
  const double h = s.linePitch, B = h * n, u = s.unit;
  const double cx = R.minX() + R.width * s.positionX;
  const double T = s.positionY ? R.minY() + *s.positionY * R.height - B / 2 : farY - R.height * s.bottomMargin - B;
  const double cy = Hb - (T + B / 2);

  const gfx::Rect box{cx - layout.maxLineWidth / 2 - 14 * u, Hb - T - B - 6 * u, layout.maxLineWidth + 28 * u,
                      B + 12 * u};
  bool anyText = false;
  for (const auto& line : layout.lines)
    for (const auto& run : line.runs) anyText = anyText || (run.shaped && !run.shaped->glyphs().empty());
  if (!anyText && !s.backgroundEnabled) return std::nullopt;

  // Glyphs may reach past their line slot (descenders under the last
  // baseline, marks above, outlines around): one font size of room on
  // every side holds them. The pop-in only shrinks the block about its centre.
  const double strokePx = s.outline ? std::abs(s.outline->width) / 100 * s.fontSize : 0;
  const double pad = s.fontSize + strokePx + 2;
  const gfx::Rect reach{box.x - pad, box.y - pad, box.width + 2 * pad, box.height + 2 * pad};
  if (!reach.isFinite()) return std::nullopt;
  const gfx::Rect area = reach.intersection({0, 0, Wb, Hb});
  if (area.isEmpty()) return std::nullopt;
  const double x0 = std::floor(area.minX()), y0 = std::floor(area.minY());
  const int w = static_cast<int>(std::ceil(area.maxX()) - x0), hpx = static_cast<int>(std::ceil(area.maxY()) - y0);
  auto ctx = gfx::BitmapContext::create(w, hpx);
  if (!ctx) return std::nullopt;
  ctx->translate(-x0, -y0);
  if (scale != 1) {
    ctx->translate(cx, cy);
    ctx->scale(scale, scale);
    ctx->translate(-cx, -cy);
  }

  if (s.backgroundEnabled) {
    ctx->setAlpha(s.backgroundAlpha);
    ctx->setFillColor(s.backgroundColor);
    ctx->addRoundedRect(box, std::max(16 * u, 2.0));
    ctx->fillPath();
    ctx->setAlpha(1);
  }

  // The outline goes under the fills of the whole block: it then rings the
  // letters without eating into them (thin strokes of CJK faces keep their
  // colour) and never crosses a neighbouring letter it touches.
  const auto highlighted = captionHighlightedWordIds(*d.caption, t, s.highlightMode);
  for (int pass = s.outline ? 0 : 1; pass < 2; ++pass) {
    for (std::size_t j = 0; j < layout.lines.size(); ++j) {
      const SubtitleLine& line = layout.lines[j];
      const double baseline = Hb - (T + h * static_cast<double>(j + 1));
      const double left = cx - line.width / 2;
      for (std::size_t i = 0; i < line.runs.size(); ++i) {
        const SubtitleRun& run = line.runs[i];
        if (!run.shaped) continue;
        const gfx::Point at{left + line.runX[i], baseline};
        if (pass == 0) {
          gfx::drawTextLine(*ctx, *run.shaped, at, gfx::Color::clear(),
                            gfx::TextOutline{s.outline->color, std::abs(s.outline->width)});
        } else {
          const bool lit = highlighted.count(layout.words[run.word].id) > 0;
          gfx::drawTextLine(*ctx, *run.shaped, at, lit ? s.highlightColor : s.color);
        }
      }
    }
  }

  // The fade applies to the finished caption as a whole, so outlines and
  // fills that overlap do not show through each other while it fades.
  gfx::Image image = ctx->makeImage().translated(x0, y0);
  if (opacity < 1) image = image.alphaMultiplied(opacity);
  return image;
}

}  // namespace

std::optional<gfx::Image> renderSubtitleOverlay(const SubtitleDrawing& drawing, double t, const gfx::Rect& canvas) {
  const SubtitleAnimation a = subtitleAnimationAt(*drawing.caption, t);
  return drawCaption(drawing, t, canvas, a.opacity, a.scale);
}

// ---- Between frames ----

SubtitleLayerState::SubtitleLayerState(const NativeSubtitlePreset& preset, double canvasHeight)
    : style(SubtitleStyle::resolve(preset, canvasHeight)),
      font(subtitleFont(style.fontFamily, style.fontWeight, style.fontSize)) {}

std::optional<gfx::Image> cachedSubtitleOverlay(SubtitleLayerState& state, CostLimitedImageCache& cache,
                                                const std::vector<NativeSubtitleCaption>& captions, double t,
                                                const gfx::Rect& canvas) {
  const auto index = captionIndexAt(captions, t);
  if (!index) return std::nullopt;
  const NativeSubtitleCaption& caption = captions[*index];
  const SubtitleAnimation a = subtitleAnimationAt(caption, t);
  if (!(a.opacity > 0.001)) return std::nullopt;

  if (state.layoutCaption != index) {
    std::vector<NativeSubtitleWord> words;
    for (const auto& line : caption.lines) words.insert(words.end(), line.begin(), line.end());
    state.layout = reflowWordsIntoLines(words, state.style.wrapWidth, state.font, state.style.letterSpacing,
                                        state.style.uppercase);
    state.layoutCaption = index;
  }
  const SubtitleDrawing drawing{&caption, &state.layout, &state.style};

  if (!a.settled) {
    ++state.renderCount;
    return drawCaption(drawing, t, canvas, a.opacity, a.scale);
  }
  // The list position joins the key so that two captions sharing an id never share an image.
  const std::string key = std::to_string(*index) + ":" +
                          subtitleKey(caption.id, captionHighlightedWordIds(caption, t, state.style.highlightMode));
  std::optional<gfx::Image> image;
  if (auto hit = cache.find(key)) {
    ++state.cacheHits;
    if (!hit->isEmpty()) image = std::move(*hit);
  } else {
    ++state.renderCount;
    image = drawCaption(drawing, t, canvas, 1, 1);
    std::size_t cost = 0;
    if (image) {
      const gfx::Rect e = image->extent();
      cost = static_cast<std::size_t>(e.width) * static_cast<std::size_t>(e.height) * 4;
    }
    cache.insert(key, image.value_or(gfx::Image::empty()), cost);
  }
  if (image && a.opacity < 1) image = image->alphaMultiplied(a.opacity);
  return image;
}

}  // namespace vantrel::exporter
