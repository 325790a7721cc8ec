// The character classes of the repair rules, shared by their meter (convert/repair.cpp)
// and its vector version (convert/repair_simd.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "codepages/letter_pairs.h"
#include "convert/repair.h"
#include "convert/repair_tables.h"

namespace repair_classes {

// Character classes: Russian letters small and capital, ASCII letters, ASCII whitespace
// (which ends a word), other spaces, controls and the like, ASCII punctuation and digits,
// everything else, and typography by where it is odd (the no-break space never).
enum : std::uint8_t {
  cls_L,
  cls_U,
  cls_a,
  cls_space,
  cls_s,
  cls_p,
  cls_X,
  cls_C,        // at or above U+0080
  cls_control,  // an ASCII control, also of class C
  cls_T_before,
  cls_T_after,
  cls_T_adjacent,
  cls_T_free,
  cls_nbsp,
  classes
};

struct char_info {
  std::uint8_t cls;
  std::uint8_t letter;  // its place in the pair table, or the edge for any other character
};

constexpr int edge = letter_pair_edge;

// а-я with ё after е, as the pair table orders them.
constexpr std::uint8_t fold(std::uint32_t from_a) {
  return static_cast<std::uint8_t>(from_a < 6 ? from_a : from_a + 1);
}

constexpr char_info info_of(std::uint32_t c) {
  constexpr auto none = static_cast<std::uint8_t>(edge);
  if (c < 0x80) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return {cls_a, none};
    if (c == ' ' || (c >= '\t' && c <= '\r')) return {cls_space, none};
    if (c < 0x20 || c == 0x7F) return {cls_control, none};
    return {cls_p, none};
  }
  if (c >= 0x430 && c <= 0x44F) return {cls_L, fold(c - 0x430)};
  if (c == 0x451) return {cls_L, 6};
  if (c >= 0x410 && c <= 0x42F) return {cls_U, fold(c - 0x410)};
  if (c == 0x401) return {cls_U, 6};
  if (c == 0xA0) return {cls_nbsp, none};
  for (const typography_row& t : typography_rows)
    if (t.code == c)
      return {static_cast<std::uint8_t>(cls_T_before + static_cast<int>(t.kind)), none};
  std::size_t lo = 0, hi = std::size(class_ranges);
  while (lo < hi) {
    const std::size_t mid = (lo + hi) / 2;
    if (class_ranges[mid].last < c)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo < std::size(class_ranges) && class_ranges[lo].first <= c)
    return {class_ranges[lo].cls == 'C' ? cls_C : cls_s, none};
  return {cls_X, none};
}

// The cost of a character after the one before, letters or the edge: a letter pair, the
// start or the end of a word; nothing between two characters that are no letters.
constexpr std::array<std::array<std::uint16_t, edge + 1>, edge + 1> make_costs() {
  std::array<std::array<std::uint16_t, edge + 1>, edge + 1> t{};
  for (int a = 0; a <= edge; ++a)
    for (int b = 0; b <= edge; ++b) t[a][b] = a == edge && b == edge ? 0 : letter_pair_costs[a][b];
  return t;
}
constexpr auto step_cost = make_costs();

// The vector meter, with AVX-512: true, with the measure, for a text that holds nothing
// it leaves to the scalar meter (X, C, controls, odd events, characters it does not
// decode); false otherwise, which for UTF-8 includes text that is not valid UTF-8.
bool vector_measure_utf8(const unsigned char* p, std::size_t len, text_measure* out);
bool vector_measure_page(int page, const unsigned char* p, std::size_t len, text_measure* out);

}  // namespace repair_classes
