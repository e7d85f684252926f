#include "text_runs.h"

#include <fribidi.h>

#include <algorithm>

namespace vantrel::graphics::textruns {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;
constexpr uint32_t kZwj = 0x200D;

// Strict decoding: overlong forms, surrogates and values past U+10FFFF count
// as one bad byte each, so offsets always advance and never run past the end.
void decode(std::string_view s, std::vector<uint32_t>& cps, std::vector<uint32_t>& offsets) {
  const size_t n = std::min(s.size(), kMaxLineBytes);
  cps.reserve(n);
  offsets.reserve(n);
  size_t i = 0;
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    uint32_t cp = kReplacement;
    size_t len = 1;
    auto cont = [&](size_t k) { return i + k < n && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80; };
    auto bits = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(s[i + k]) & 0x3F); };
    if (b0 < 0x80) {
      cp = b0;
    } else if (b0 >= 0xC2 && b0 < 0xE0 && cont(1)) {
      cp = ((b0 & 0x1Fu) << 6) | bits(1);
      len = 2;
    } else if (b0 >= 0xE0 && b0 < 0xF0 && cont(1) && cont(2)) {
      const uint32_t v = ((b0 & 0x0Fu) << 12) | (bits(1) << 6) | bits(2);
      if (v >= 0x800 && (v < 0xD800 || v > 0xDFFF)) {
        cp = v;
        len = 3;
      }
    } else if (b0 >= 0xF0 && b0 < 0xF5 && cont(1) && cont(2) && cont(3)) {
      const uint32_t v = ((b0 & 0x07u) << 18) | (bits(1) << 12) | (bits(2) << 6) | bits(3);
      if (v >= 0x10000 && v <= 0x10FFFF) {
        cp = v;
        len = 4;
      }
    }
    cps.push_back(cp);
    offsets.push_back(static_cast<uint32_t>(i));
    i += len;
  }
}

bool isMark(hb_unicode_funcs_t* uf, uint32_t cp) {
  const auto cat = hb_unicode_general_category(uf, cp);
  return cat == HB_UNICODE_GENERAL_CATEGORY_NON_SPACING_MARK || cat == HB_UNICODE_GENERAL_CATEGORY_SPACING_MARK ||
         cat == HB_UNICODE_GENERAL_CATEGORY_ENCLOSING_MARK;
}

bool isVariationSelector(uint32_t cp) { return (cp >= 0xFE00 && cp <= 0xFE0F) || (cp >= 0xE0100 && cp <= 0xE01EF); }
bool isEmojiModifier(uint32_t cp) { return cp >= 0x1F3FB && cp <= 0x1F3FF; }
bool isTag(uint32_t cp) { return cp >= 0xE0020 && cp <= 0xE007F; }
bool isRegionalIndicator(uint32_t cp) { return cp >= 0x1F1E6 && cp <= 0x1F1FF; }

// Characters shown as colour pictures unless asked otherwise: the pictographic
// planes' emoji blocks. Symbols elsewhere (U+2600 and friends) only with VS16.
bool isEmojiPresentation(uint32_t cp) {
  return (cp >= 0x1F300 && cp <= 0x1F64F) || (cp >= 0x1F680 && cp <= 0x1F6FF) || (cp >= 0x1F900 && cp <= 0x1F9FF) ||
         (cp >= 0x1FA70 && cp <= 0x1FAFF) || cp == 0x1F004 || cp == 0x1F0CF || cp == 0x1F18E ||
         (cp >= 0x1F191 && cp <= 0x1F19A) || isRegionalIndicator(cp) || (cp >= 0x1F201 && cp <= 0x1F251);
}

bool isNeutralScript(hb_script_t s) {
  return s == HB_SCRIPT_COMMON || s == HB_SCRIPT_INHERITED || s == HB_SCRIPT_UNKNOWN;
}

}  // namespace

bool isDefaultIgnorable(uint32_t cp) {
  return cp == 0x00AD || cp == 0x034F || cp == 0x061C || (cp >= 0x115F && cp <= 0x1160) ||
         (cp >= 0x17B4 && cp <= 0x17B5) || (cp >= 0x180B && cp <= 0x180F) || (cp >= 0x200B && cp <= 0x200F) ||
         (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2060 && cp <= 0x206F) || cp == 0x3164 ||
         isVariationSelector(cp) || cp == 0xFEFF || cp == 0xFFA0 || (cp >= 0x1BCA0 && cp <= 0x1BCA3) ||
         (cp >= 0x1D173 && cp <= 0x1D17A) || (cp >= 0xE0000 && cp <= 0xE0FFF);
}

bool isCursive(hb_script_t s) {
  switch (s) {
    case HB_SCRIPT_ARABIC:
    case HB_SCRIPT_SYRIAC:
    case HB_SCRIPT_NKO:
    case HB_SCRIPT_MONGOLIAN:
    case HB_SCRIPT_MANDAIC:
    case HB_SCRIPT_PHAGS_PA:
    case HB_SCRIPT_ADLAM:
    case HB_SCRIPT_HANIFI_ROHINGYA:
    case HB_SCRIPT_SOGDIAN:
    case HB_SCRIPT_MANICHAEAN:
    case HB_SCRIPT_PSALTER_PAHLAVI:
      return true;
    default:
      return false;
  }
}

Itemised itemise(std::string_view utf8) {
  Itemised out;
  decode(utf8, out.codepoints, out.offsets);
  const auto& cps = out.codepoints;
  const size_t n = cps.size();
  if (n == 0) return out;
  hb_unicode_funcs_t* uf = hb_unicode_funcs_get_default();

  // Levels: one paragraph, direction from its first strong character.
  std::vector<FriBidiCharType> types(n);
  std::vector<FriBidiBracketType> brackets(n);
  std::vector<FriBidiLevel> levels(n, 0);
  const auto len = static_cast<FriBidiStrIndex>(n);
  fribidi_get_bidi_types(cps.data(), len, types.data());
  fribidi_get_bracket_types(cps.data(), len, types.data(), brackets.data());
  FriBidiParType dir = FRIBIDI_PAR_ON;
  if (fribidi_get_par_embedding_levels_ex(types.data(), brackets.data(), len, &dir, levels.data()) == 0) {
    // Only an allocation failure gets here; plain left-to-right is still a readable line.
    std::fill(levels.begin(), levels.end(), FriBidiLevel{0});
    dir = FRIBIDI_PAR_LTR;
  }
  out.rightToLeft = FRIBIDI_IS_RTL(dir);
  const auto base = static_cast<FriBidiLevel>(out.rightToLeft ? 1 : 0);
  // Trailing white space sits at the paragraph's level (the line's end is the paragraph's end).
  for (size_t i = n; i-- > 0;) {
    if (!(FRIBIDI_IS_EXPLICIT_OR_BN_OR_WS(types[i]) || FRIBIDI_IS_ISOLATE(types[i]))) break;
    levels[i] = base;
  }

  // Scripts: Common and Inherited take the script before them, leading ones the first real script.
  std::vector<hb_script_t> scripts(n);
  for (size_t i = 0; i < n; ++i) scripts[i] = hb_unicode_script(uf, cps[i]);
  std::vector<bool> neutral(n);
  hb_script_t first = HB_SCRIPT_COMMON;
  for (size_t i = 0; i < n && first == HB_SCRIPT_COMMON; ++i)
    if (!isNeutralScript(scripts[i])) first = scripts[i];
  hb_script_t last = first == HB_SCRIPT_COMMON ? HB_SCRIPT_LATIN : first;
  for (size_t i = 0; i < n; ++i) {
    neutral[i] = isNeutralScript(scripts[i]);
    if (neutral[i]) scripts[i] = last;
    else last = scripts[i];
  }

  // Clusters.
  for (size_t i = 0; i < n;) {
    Cluster c;
    c.begin = static_cast<uint32_t>(i);
    size_t j = i + 1;
    bool emoji = isEmojiPresentation(cps[i]);
    bool textStyle = false;
    if (isRegionalIndicator(cps[i]) && j < n && isRegionalIndicator(cps[j])) ++j;
    while (j < n) {
      const uint32_t cp = cps[j];
      if (cp == kZwj) {
        ++j;
        if (j < n) ++j;  // the joined character stays with the sequence
        continue;
      }
      if (isMark(uf, cp) || isVariationSelector(cp) || isEmojiModifier(cp) || isTag(cp)) {
        if (cp == 0xFE0F || cp == 0x20E3) emoji = true;
        if (cp == 0xFE0E) textStyle = true;
        ++j;
        continue;
      }
      break;
    }
    c.end = static_cast<uint32_t>(j);
    c.script = scripts[i];
    c.level = static_cast<uint8_t>(levels[i]);
    c.emoji = emoji && !textStyle;
    c.neutral = neutral[i];
    out.clusters.push_back(c);
    i = j;
  }
  return out;
}

std::vector<size_t> visualOrder(const std::vector<uint8_t>& levels) {
  std::vector<size_t> order(levels.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  if (levels.empty()) return order;
  const uint8_t hi = *std::max_element(levels.begin(), levels.end());
  uint8_t lowestOdd = 255;
  for (uint8_t l : levels)
    if (l % 2 == 1) lowestOdd = std::min(lowestOdd, l);
  // From the highest level down to the lowest odd one, reverse every maximal
  // sequence of runs at that level or higher.
  for (int level = hi; level >= lowestOdd && level > 0; --level) {
    for (size_t i = 0; i < order.size();) {
      if (levels[order[i]] < level) {
        ++i;
        continue;
      }
      size_t j = i;
      while (j < order.size() && levels[order[j]] >= level) ++j;
      std::reverse(order.begin() + static_cast<std::ptrdiff_t>(i), order.begin() + static_cast<std::ptrdiff_t>(j));
      i = j;
    }
  }
  return order;
}

}  // namespace vantrel::graphics::textruns
