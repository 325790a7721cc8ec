// The two naming rules in their plainest form, over everything detection read at once:
// each run of letters found and costed whole, each byte's neighbours looked up in place.
// For the tests and fuzz targets to check the block-by-block counts against.
#pragma once

#include <cstdint>
#include <string_view>

#include "codepages/naming_rules.h"
#include "codepages/registry.h"

struct capitals_counts {
  std::uint64_t lower = 0, upper = 0, cost = 0;
};

inline bool takes_part(const code_page* p) {
  return p->char_width == 1 && p->letters != nullptr && p->letter_count >= letter_positions;
}

inline capitals_counts count_capitals(const code_page& page, std::string_view s) {
  int position[256];
  for (int& k : position) k = -1;
  for (int k = 0; k < letter_positions; ++k) position[page.letters[k]] = k;
  const auto at = [&](std::size_t i) { return position[static_cast<unsigned char>(s[i])]; };
  capitals_counts n;
  for (std::size_t i = 0; i < s.size();) {
    if (at(i) < 0) {
      if (static_cast<unsigned char>(s[i]) >= 0x80) n.cost += stray_byte_cost;
      ++i;
      continue;
    }
    int before = letter_pair_edge;
    for (; i < s.size() && at(i) >= 0; ++i) {
      const int k = at(i);
      ++(k < letter_positions / 2 ? n.lower : n.upper);
      n.cost += letter_pair_costs[before][k % (letter_positions / 2)];
      before = k % (letter_positions / 2);
    }
    n.cost += letter_pair_costs[before][letter_pair_edge];
  }
  return n;
}

inline std::uint64_t count_events(bool mac, std::string_view s) {
  using enum byte_class;
  const byte_class* classes = event_classes(mac);
  const auto at = [&](std::size_t i) {  // i wraps below 0
    return i < s.size() ? classes[static_cast<unsigned char>(s[i])] : other;
  };
  const auto letter = [](byte_class k) { return k == lower || k == upper; };
  std::uint64_t n = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const byte_class k = at(i), before = at(i - 1), after = at(i + 1);
    n += k == junk;
    n += k == graphics && (letter(before) || letter(after));
    n += k == upper && before == lower;
    n += letter(k) && before == ascii_letter;
    n += k == ascii_letter && letter(before);
    n += k == typography && letter(before) && letter(after);
  }
  for (std::size_t i = 0; i < s.size();) {
    std::size_t end = i;
    bool same = true;
    for (; end < s.size() && letter(at(end)); ++end) same = same && s[end] == s[i];
    n += end - i >= 3 && same;
    i = end > i ? end : i + 1;
  }
  return n;
}

// The page named once the rules have looked at `read`, given the page named before them
// (null for no hits).
inline code_page* naming_oracle(code_page* pages, std::string_view read, code_page* named) {
  if (named == nullptr || named->score_total == 0.0f || !takes_part(named)) return named;
  const capitals_counts in = count_capitals(*named, read);
  if (in.upper == 0 && in.lower > 0) {
    code_page* best = nullptr;
    std::uint64_t best_cost = 0;
    for (code_page* q = pages; q->name != nullptr; ++q) {
      if (q == named || !takes_part(q)) continue;
      const capitals_counts n = count_capitals(*q, read);
      if (n.lower == 0 && n.upper >= in.lower && n.cost + capitals_margin < in.cost &&
          (best == nullptr || n.cost < best_cost))
        best = q, best_cost = n.cost;
    }
    if (best != nullptr) return best;
  }
  code_page *cp1251 = nullptr, *mac = nullptr;
  for (code_page* q = pages; q->name != nullptr; ++q) {
    if (!takes_part(q)) continue;
    if (std::string_view(q->name) == "cp1251") cp1251 = q;
    if (std::string_view(q->name) == "mac-cyrillic") mac = q;
  }
  if (cp1251 == nullptr || mac == nullptr || (named != cp1251 && named != mac)) return named;
  const std::uint64_t e1251 = count_events(false, read), emac = count_events(true, read);
  if (named == cp1251 && emac < e1251) return mac;
  if (named == mac && e1251 < emac) return cp1251;
  return named;
}
