#pragma once
// Itemising one line of text before shaping: UTF-8 decoding, character
// clusters that must stay in one font, bidirectional levels, scripts, and the
// visual order of runs. Pure functions of the text; no fonts involved.

#include <hb.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace vantrel::graphics::textruns {

// Text past this many bytes is not shaped; it keeps a runaway caption from
// costing unbounded time and memory in the shaper.
constexpr size_t kMaxLineBytes = 64 * 1024;

// Characters that belong together in one font: a base with its combining
// marks, variation selectors, emoji modifiers and tags, ZWJ sequences and
// regional-indicator pairs. [begin, end) index the codepoints.
struct Cluster {
  uint32_t begin = 0, end = 0;
  hb_script_t script = HB_SCRIPT_COMMON;  // resolved: Common/Inherited take a neighbour's
  uint8_t level = 0;                      // bidirectional embedding level, odd is right-to-left
  bool emoji = false;                     // wants emoji presentation (colour font first)
  bool neutral = false;                   // base is Common/Inherited script (spaces, digits, punctuation)
};

struct Itemised {
  std::vector<uint32_t> codepoints;  // invalid UTF-8 decodes to U+FFFD, one per bad byte
  std::vector<uint32_t> offsets;     // byte offset of each codepoint in the input
  std::vector<Cluster> clusters;     // logical order
  bool rightToLeft = false;          // paragraph direction, from the first strong character
};

Itemised itemise(std::string_view utf8);

// Characters that draw nothing and need no glyph of their own (joiners, bidi
// controls, variation selectors, tags, soft hyphen).
bool isDefaultIgnorable(uint32_t cp);

// Scripts whose letters join; extra letter spacing would tear them apart.
bool isCursive(hb_script_t script);

// Rule L2 of the bidirectional algorithm over runs: indices of the runs, given
// in logical order with their levels, in left-to-right visual order.
std::vector<size_t> visualOrder(const std::vector<uint8_t>& levels);

}  // namespace vantrel::graphics::textruns
