// The rules that withhold a page in their plainest form, over everything detection read
// at once: each word and run of letters found whole, each byte looked at in place. For
// the tests and fuzz targets to check the block-by-block counts against.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "codepages/doubts.h"
#include "codepages/registry.h"
#include "fuzz/naming_oracle.h"

inline bool binary_by_oracle(std::string_view read) {
  using namespace std::literals;
  for (const std::string_view magic :
       {"%PDF-"sv, "\x1F\x8B"sv, "\xFD\x37\x7A\x58\x5A\x00"sv, "\x28\xB5\x2F\xFD"sv, "PK\x03\x04"sv,
        "\xFF\xD8\xFF"sv, "\x89PNG"sv, "GIF87a"sv, "GIF89a"sv,
        "\x7F"
        "ELF"sv,
        "\xDE\x12\x04\x95"sv, "\x95\x04\x12\xDE"sv})
    if (read.starts_with(magic)) return true;
  if (read.size() >= 10 && read.starts_with("BZh") && read[3] >= '1' && read[3] <= '9' &&
      (read.substr(4, 6) == "1AY&SY" || read.substr(4, 6) == "\x17\x72\x45\x38\x50\x90"))
    return true;
  std::uint64_t controls = 0;
  for (const char ch : read) {
    const auto c = static_cast<unsigned char>(ch);
    controls += c < 0x20 && !(c >= 0x08 && c <= 0x0D) && c != 0x1A && c != 0x1B;
  }
  return controls >= 8 && 1000 * controls > 20 * read.size();
}

// The five single-byte pages of the built-in registry, or pages with their names and
// letter rows: those the rules know.
inline bool doubts_take_part(const code_page* p) {
  if (!takes_part(p)) return false;
  for (int i = 0; i < 5; ++i)
    if (std::string_view(p->name) == code_pages[i].name)
      return std::equal(p->letters, p->letters + letter_positions, code_pages[i].letters);
  return false;
}

// What the rules say of `read`, given the page detection named by its letters (null for
// no hits) and the totals in the registry.
inline doubt_answer doubt_oracle(code_page* pages, std::string_view read, code_page* named) {
  if (binary_by_oracle(read)) return {doubt::binary, nullptr};
  bool in_registry = false;  // a fallback from another registry is not
  for (const code_page* q = pages; q->name != nullptr; ++q) in_registry |= q == named;
  if (named == nullptr || !in_registry || !doubts_take_part(named)) return {};
  int position[256];
  for (int& k : position) k = -1;
  for (int k = 0; k < letter_positions; ++k) position[named->letters[k]] = k;
  const auto letter = [&](std::size_t i) { return position[static_cast<unsigned char>(read[i])]; };
  const auto latin = [&](std::size_t i) {
    const char c = read[i];
    return letter(i) < 0 && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
  };
  std::uint64_t letters = 0, in_latin = 0, cost = 0;
  for (std::size_t i = 0; i < read.size();) {
    std::size_t end = i, own = 0, ascii = 0;
    for (; end < read.size() && (letter(end) >= 0 || latin(end)); ++end)
      ++(letter(end) >= 0 ? own : ascii);
    letters += own;
    if (ascii >= own) in_latin += own;
    i = end > i ? end : i + 1;
  }
  for (std::size_t i = 0; i < read.size();) {
    if (letter(i) < 0) {
      ++i;
      continue;
    }
    int before = letter_pair_edge;
    for (; i < read.size() && letter(i) >= 0; ++i) {
      cost += letter_pair_costs[before][letter(i) % 33];
      before = letter(i) % 33;
    }
    cost += letter_pair_costs[before][letter_pair_edge];
  }
  if (letters >= 1 && 3 * in_latin > letters) return {doubt::not_cyrillic, nullptr};
  if (letters >= 30 && cost >= 480 * letters) return {doubt::not_cyrillic, nullptr};

  const auto differ = [&](const code_page* q) {
    for (const char c : read)
      if (!same_character(named, q, static_cast<unsigned char>(c))) return true;
    return false;
  };
  code_page *cp1251 = nullptr, *mac = nullptr, *rival = nullptr;
  for (code_page* q = pages; q->name != nullptr; ++q) {
    if (!doubts_take_part(q)) continue;
    if (std::string_view(q->name) == "cp1251") cp1251 = q;
    if (std::string_view(q->name) == "mac-cyrillic") mac = q;
  }
  code_page* const twin = named == cp1251 ? mac : named == mac ? cp1251 : nullptr;
  for (code_page* q = pages; q->name != nullptr; ++q)
    if (doubts_take_part(q) && q != named && q != twin && differ(q) &&
        (rival == nullptr || q->score_total > rival->score_total))
      rival = q;
  if (rival != nullptr && double(named->score_total) - double(rival->score_total) < 2.0)
    return {doubt::unsure, rival};
  if (twin != nullptr && differ(twin) && count_events(false, read) == count_events(true, read))
    return {doubt::unsure, twin};
  return {};
}
