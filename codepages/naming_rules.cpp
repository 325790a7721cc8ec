#include "codepages/naming_rules.h"

#include <array>
#include <cstring>

#include "codepages/ascii_runs.h"
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

constexpr bool is_letter(byte_class k) { return k == lower || k == upper; }

// The events of a byte, given its class and those of the two bytes before it; the last
// two rules give the byte before its event once its other neighbour is known.
constexpr std::array<std::uint8_t, 512> window_events = [] {
  std::array<std::uint8_t, 512> t{};
  for (int w = 0; w < 512; ++w) {
    const auto k2 = byte_class(w >> 6), k1 = byte_class(w >> 3 & 7), k = byte_class(w & 7);
    t[w] = (k == junk) + (k == graphics && is_letter(k1)) + (k == upper && k1 == lower) +
           (is_letter(k) && k1 == ascii_letter) + (k == ascii_letter && is_letter(k1)) +
           (k1 == graphics && !is_letter(k2) && is_letter(k)) +
           (k1 == typography && is_letter(k2) && is_letter(k));
  }
  return t;
}();

// What a byte is to the capitals rule: a letter folded to lower case (0-32), no letter, or
// no letter and 80-FF; plus these bits.
constexpr int no_letter = letter_pair_edge, stray_byte = letter_pair_edge + 1, steps = 35;
constexpr std::uint8_t capital_bit = 64, letter_bit = 128;

// The cost of a byte given the one before: the pair of letters, the start or the end of
// a word, and 800 for a stray byte; nothing between two bytes that are no letters.
constexpr auto step_costs = [] {
  std::array<std::array<std::uint16_t, 64>, steps> t{};  // rows of 64: no multiplication
  for (int from = 0; from < steps; ++from)
    for (int to = 0; to < steps; ++to) {
      const int a = from < no_letter ? from : no_letter, b = to < no_letter ? to : no_letter;
      t[from][to] = static_cast<std::uint16_t>(
          (a == no_letter && b == no_letter ? 0 : letter_pair_costs[a][b]) +
          (to == stray_byte ? stray_byte_cost : 0));
    }
  return t;
}();

void count_letters(naming_tally::capitals& p, const unsigned char* bytes, std::size_t n) {
  unsigned last = p.last;
  std::uint64_t cost = p.cost, letters = p.letters, upper = p.upper;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t code = p.code[bytes[i]];
    const unsigned step = code & 63;
    cost += step_costs[last][step];
    last = step;
    letters += code >> 7;
    upper += code >> 6 & 1;
  }
  p.last = static_cast<std::uint8_t>(last);
  p.cost = cost;
  p.letters = letters;
  p.upper = upper;
}

std::uint64_t cost_of(const naming_tally::capitals& p) {
  return p.cost + (p.last < no_letter ? letter_pair_costs[p.last][letter_pair_edge] : 0);
}

void count_capitals(naming_tally& t, const unsigned char* bytes, std::size_t n) {
  // The rule needs a page with no capital and another with no lower-case letter; in
  // ordinary text there soon is no such pair, and the pages are no longer counted. What
  // they were counted to by then still rules them out.
  constexpr std::size_t look_again = 16;  // bytes
  for (std::size_t at = 0; at < n && t.open > 0; at += look_again) {
    const std::size_t len = n - at < look_again ? n - at : look_again;
    int still = 0;
    bool no_capital = false, no_lower = false;
    for (int k = 0; k < t.open; ++k) {
      naming_tally::capitals& caps = t.caps[t.open_page[k]];
      count_letters(caps, bytes + at, len);
      no_capital = no_capital || caps.upper == 0;
      no_lower = no_lower || caps.upper == caps.letters;
      if (caps.upper == 0 || caps.upper == caps.letters) t.open_page[still++] = t.open_page[k];
    }
    t.open = still >= 2 && no_capital && no_lower ? still : 0;
  }
}

// Both pages' classes of each byte, cp1251's in the low 3 bits.
constexpr auto both_classes = [] {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c)
    t[c] = static_cast<std::uint8_t>(static_cast<int>(cp1251_classes[c]) |
                                     static_cast<int>(mac_classes[c]) << 3);
  return t;
}();

bool letter_in(int page, unsigned char c) {
  return is_letter(byte_class(both_classes[c] >> (3 * page) & 7));
}

// The last rule, checked where a stretch of one byte repeated ends: a run of letters that
// is one byte repeated is such a stretch with no letter on either side.
bool repeated_letter(int page, unsigned char before, unsigned char c, unsigned char after) {
  return letter_in(page, c) && !letter_in(page, before) && !letter_in(page, after);
}

void count_events(naming_tally& t, const unsigned char* bytes, std::size_t n) {
  std::uint32_t cp1251 = t.cp1251.window, mac = t.mac.window;
  std::uint64_t cp1251_count = t.cp1251.count, mac_count = t.mac.count, repeats = t.repeats;
  unsigned char before = t.before, stretch_before = t.stretch_before;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char c = bytes[i];
    const std::uint32_t k = both_classes[c];
    cp1251 = (cp1251 << 3 | (k & 7)) & 511;
    mac = (mac << 3 | k >> 3) & 511;
    cp1251_count += window_events[cp1251];
    mac_count += window_events[mac];
    if (c != before) {
      if (repeats >= 3) {
        cp1251_count += repeated_letter(0, stretch_before, before, c);
        mac_count += repeated_letter(1, stretch_before, before, c);
      }
      stretch_before = before;
      repeats = 0;
    }
    ++repeats;
    before = c;
  }
  t.cp1251.window = cp1251;
  t.mac.window = mac;
  t.cp1251.count = cp1251_count;
  t.mac.count = mac_count;
  t.repeats = repeats;
  t.before = before;
  t.stretch_before = stretch_before;
}

std::uint64_t events_of(const naming_tally& t, int page) {
  const naming_tally::events& e = page == 0 ? t.cp1251 : t.mac;
  // A stretch open at the end ends there, before an `other`.
  return e.count + (t.repeats >= 3 && repeated_letter(page, t.stretch_before, t.before, 0));
}

void count_all(naming_tally& t, const unsigned char* bytes, std::size_t n) {
  if (n == 0) return;
  count_capitals(t, bytes, n);
  if (t.cp1251.page != nullptr && t.mac.page != nullptr) count_events(t, bytes, n);
}

}  // namespace

const byte_class* event_classes(bool mac) {
  return mac ? mac_classes.data() : cp1251_classes.data();
}

void naming_tally_start(naming_tally& tally, code_page* pages) {
  // Field by field: the letter tables of pages that take no part are never read.
  tally.pages = tally.open = 0;
  tally.skip_ascii = true;
  tally.cp1251 = tally.mac = {};
  tally.before = tally.stretch_before = 0;
  tally.repeats = 0;
  for (code_page* p = pages; p->name != nullptr && tally.pages < naming_pages_max; ++p) {
    if (p->char_width != 1 || p->letters == nullptr || p->letter_count < letter_positions) continue;
    const int i = tally.pages++;
    tally.page[i] = p;
    tally.open_page[tally.open++] = static_cast<std::uint8_t>(i);
    naming_tally::capitals& caps = tally.caps[i];
    caps.letters = caps.upper = caps.cost = 0;
    caps.last = letter_pair_edge;
    std::memset(caps.code, no_letter, 0x80);
    std::memset(caps.code + 0x80, stray_byte, 0x80);
    // A byte standing twice in the row counts at its later position, as in the scores.
    const unsigned char* const row = p->letters;
    unsigned char lowest = 0xFF;
    for (int k = 0; k < letter_positions; ++k) {
      const bool capital = k >= letter_positions / 2;
      const int folded = capital ? k - letter_positions / 2 : k;
      caps.code[row[k]] =
          static_cast<std::uint8_t>(folded | letter_bit | (capital ? capital_bit : 0));
      lowest = row[k] < lowest ? row[k] : lowest;
    }
    if (lowest < 0x80) tally.skip_ascii = false;
    if (std::strcmp(p->name, "cp1251") == 0) tally.cp1251.page = p;
    if (std::strcmp(p->name, "mac-cyrillic") == 0) tally.mac.page = p;
  }
}

void naming_tally_add(naming_tally& tally, const unsigned char* bytes, std::size_t size) {
  if (!tally.skip_ascii) return count_all(tally, bytes, size);
  // Of a long stretch of ASCII only its first byte, which ends what came before, and the
  // classes of its last two, the neighbours of what follows, change the counts.
  split_ascii_runs(
      bytes, size, [&](const unsigned char* p, std::size_t n) { count_all(tally, p, n); },
      [&](const unsigned char* p, std::size_t n) {
        if (tally.before >= 0x80) count_all(tally, p, 1);
        const std::uint32_t k1 = both_classes[p[n - 2]], k = both_classes[p[n - 1]];
        tally.cp1251.window = (tally.cp1251.window << 6 | (k1 & 7) << 3 | (k & 7)) & 511;
        tally.mac.window = (tally.mac.window << 6 | (k1 >> 3) << 3 | k >> 3) & 511;
        tally.stretch_before = p[n - 2];
        tally.repeats = 1;
        tally.before = p[n - 1];
      });
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
  const std::uint64_t lower = in.letters - in.upper;
  if (in.upper == 0 && lower > 0) {
    const std::uint64_t cost = cost_of(in);
    int best = -1;
    std::uint64_t best_cost = 0;
    for (int q = 0; q < tally.pages; ++q) {
      const naming_tally::capitals& alt = tally.caps[q];
      if (q == named || alt.letters != alt.upper || alt.upper < lower) continue;
      const std::uint64_t c = cost_of(alt);
      if (c + capitals_margin < cost && (best < 0 || c < best_cost)) best = q, best_cost = c;
    }
    if (best >= 0) return tally.page[best];
  }

  if (tally.cp1251.page == nullptr || tally.mac.page == nullptr) return chosen;
  const std::uint64_t cp1251 = events_of(tally, 0), mac = events_of(tally, 1);
  if (chosen == tally.cp1251.page && mac < cp1251) return tally.mac.page;
  if (chosen == tally.mac.page && cp1251 < mac) return tally.cp1251.page;
  return chosen;
}

bool events_even(const naming_tally& tally) {
  return tally.cp1251.page != nullptr && tally.mac.page != nullptr &&
         events_of(tally, 0) == events_of(tally, 1);
}
