#include "codepages/naming_rules.h"

#include <array>
#include <cstring>

#include "codepages/registry.h"

bool naming_rules = true;

namespace {

using enum byte_class;

// The classes of the bytes 80-FF, as hexadecimal bytes and ranges: cp1251, mac-cyrillic.
// Cyrillic letters outside Russian cause no event and count for nothing as neighbours.
constexpr byte_class cyrillic = other;
struct class_row {
  byte_class k;
  const char* bytes[2];
};
constexpr class_row class_rows[] = {
    {lower, {"B8 E0-FF", "DE-FE"}},
    {upper, {"A8 C0-DF", "80-9F DD"}},
    {cyrillic, {"A1-A2 A5 AA AF B2-B4 BA BF", "A2 A7 B4 B6 B8-BB D8-D9"}},
    {typography,
     {"82 84-85 91-97 99 A0 A7 A9 AB AE B0-B1 B6-B7 B9 BB", "A1 A4-A6 A8-AA B1 C7-CA D0-D5 D7 DC"}},
    {graphics, {"86-89", "A0 B2-B3 C3 C5 D6 FF"}},
    {junk,
     {"80-81 83 8A-90 98 9A-9F A3-A4 A6 AC-AD B5 BC-BE", "A3 AB-B0 B5 B7 BC-C2 C4 C6 CB-CF DA-DB"}},
};
// Typography, but never an event: a no-break space sits between words, not inside them.
constexpr unsigned char no_break_space[2] = {0xA0, 0xCA};

constexpr int hex_digit(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

// Calls f(c) for every byte a list such as "82 84-85" names.
template <typename F>
constexpr void for_each_listed(const char* s, F f) {
  while (*s != '\0') {
    const int first = hex_digit(s[0]) * 16 + hex_digit(s[1]);
    int last = first;
    s += 2;
    if (*s == '-') last = hex_digit(s[1]) * 16 + hex_digit(s[2]), s += 3;
    for (int c = first; c <= last; ++c) f(c);
    if (*s == ' ') ++s;
  }
}

constexpr bool each_high_byte_once(int page) {
  int seen[256] = {};
  for (const class_row& r : class_rows) for_each_listed(r.bytes[page], [&](int c) { ++seen[c]; });
  for (int c = 0x80; c < 0x100; ++c)
    if (seen[c] != 1) return false;
  return true;
}
static_assert(each_high_byte_once(0) && each_high_byte_once(1));

constexpr std::array<byte_class, 256> classes_of(int page) {
  std::array<byte_class, 256> t{};
  for (int c = 0; c < 0x80; ++c)
    t[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ? ascii_letter : other;
  for (const class_row& r : class_rows) for_each_listed(r.bytes[page], [&](int c) { t[c] = r.k; });
  t[no_break_space[page]] = other;
  return t;
}

constexpr std::array<byte_class, 256> cp1251_classes = classes_of(0);
constexpr std::array<byte_class, 256> mac_classes = classes_of(1);

bool is_letter(byte_class k) { return k == lower || k == upper; }

void count_events(naming_tally::events& e, unsigned char c) {
  const byte_class k = e.classes[c];
  const bool letter = is_letter(k);
  const bool after_letter = is_letter(e.before);
  if (e.pending && letter) ++e.count;
  e.pending = false;
  switch (k) {
    case junk:
      ++e.count;
      break;
    case graphics:
      if (after_letter)
        ++e.count;
      else
        e.pending = true;
      break;
    case typography:
      e.pending = after_letter;
      break;
    case upper:
      if (e.before == lower || e.before == ascii_letter) ++e.count;
      break;
    case lower:
      if (e.before == ascii_letter) ++e.count;
      break;
    case ascii_letter:
      if (after_letter) ++e.count;
      break;
    case other:
      break;
  }
  if (letter) {
    if (e.run == 0) {
      e.run_byte = c;
      e.run_same = true;
    } else if (c != e.run_byte) {
      e.run_same = false;
    }
    if (e.run < 3) ++e.run;
  } else if (e.run != 0) {
    if (e.run >= 3 && e.run_same) ++e.count;
    e.run = 0;
  }
  e.before = k;
}

// With the run still open at the end closed there, and what comes after counted as `other`.
std::uint64_t events_of(const naming_tally::events& e) {
  return e.count + (e.run >= 3 && e.run_same ? 1 : 0);
}

void count_letters(naming_tally::capitals& p, std::uint8_t code, unsigned char c) {
  if (code == 0) {
    if (c >= 0x80) p.cost += stray_byte_cost;
    if (p.last != letter_pair_edge) p.cost += letter_pair_costs[p.last][letter_pair_edge];
    p.last = letter_pair_edge;
    return;
  }
  const int position = code - 1;
  const bool capital = position >= letter_positions / 2;
  const int folded = capital ? position - letter_positions / 2 : position;
  p.cost += letter_pair_costs[p.last][folded];
  p.last = static_cast<std::uint8_t>(folded);
  ++(capital ? p.upper : p.lower);
}

std::uint64_t cost_of(const naming_tally::capitals& p) {
  return p.cost + (p.last != letter_pair_edge ? letter_pair_costs[p.last][letter_pair_edge] : 0);
}

}  // namespace

const byte_class* event_classes(bool mac) {
  return mac ? mac_classes.data() : cp1251_classes.data();
}

void naming_tally_start(naming_tally& tally, code_page* pages) {
  tally = naming_tally{};
  for (code_page* p = pages; p->name != nullptr && tally.pages < naming_pages_max; ++p) {
    if (p->char_width != 1 || p->letters == nullptr || p->letter_count < letter_positions) continue;
    const int i = tally.pages++;
    tally.page[i] = p;
    // A byte standing twice in the row counts at its later position, as in the scores.
    for (int k = 0; k < letter_positions; ++k) {
      tally.letter[i][p->letters[k]] = static_cast<std::uint8_t>(k + 1);
      if (p->letters[k] < 0x80) tally.skip_ascii = false;
    }
    if (std::strcmp(p->name, "cp1251") == 0) tally.cp1251 = {p, event_classes(false)};
    if (std::strcmp(p->name, "mac-cyrillic") == 0) tally.mac = {p, event_classes(true)};
  }
}

void naming_tally_add(naming_tally& tally, const unsigned char* bytes, std::size_t size) {
  const bool both = tally.cp1251.page != nullptr && tally.mac.page != nullptr;
  std::size_t i = 0;
  while (i < size) {
    if (tally.after_ascii && tally.skip_ascii) {
      // ASCII after ASCII changes nothing but the class of the byte before the next one.
      const std::size_t from = i;
      for (std::uint64_t w[4]; i + sizeof w <= size; i += sizeof w) {
        std::memcpy(w, bytes + i, sizeof w);
        if (((w[0] | w[1] | w[2] | w[3]) & 0x8080808080808080u) != 0) break;
      }
      while (i < size && bytes[i] < 0x80) ++i;
      if (i > from && both) {
        tally.cp1251.before = tally.cp1251.classes[bytes[i - 1]];
        tally.mac.before = tally.mac.classes[bytes[i - 1]];
      }
      if (i == size) break;
    }
    const unsigned char c = bytes[i++];
    for (int p = 0; p < tally.pages; ++p) count_letters(tally.caps[p], tally.letter[p][c], c);
    if (both) {
      count_events(tally.cp1251, c);
      count_events(tally.mac, c);
    }
    tally.after_ascii = c < 0x80;
  }
}

code_page* naming_verdict(const naming_tally& tally, code_page* chosen) {
  if (chosen == nullptr || chosen->score_total == 0.0f) return chosen;
  int named = -1;
  for (int p = 0; p < tally.pages; ++p)
    if (tally.page[p] == chosen) named = p;
  if (named < 0) return chosen;

  // All capitals: lower case here, but capitals in a page that reads them far more like
  // Russian words.
  const naming_tally::capitals& in = tally.caps[named];
  if (in.upper == 0 && in.lower > 0) {
    const std::uint64_t cost = cost_of(in);
    int best = -1;
    std::uint64_t best_cost = 0;
    for (int q = 0; q < tally.pages; ++q) {
      const naming_tally::capitals& alt = tally.caps[q];
      if (q == named || alt.lower != 0 || alt.upper < in.lower) continue;
      const std::uint64_t c = cost_of(alt);
      if (c + capitals_margin < cost && (best < 0 || c < best_cost)) best = q, best_cost = c;
    }
    if (best >= 0) return tally.page[best];
  }

  if (tally.cp1251.page == nullptr || tally.mac.page == nullptr) return chosen;
  const std::uint64_t cp1251 = events_of(tally.cp1251), mac = events_of(tally.mac);
  if (chosen == tally.cp1251.page && mac < cp1251) return tally.mac.page;
  if (chosen == tally.mac.page && cp1251 < mac) return tally.cp1251.page;
  return chosen;
}
