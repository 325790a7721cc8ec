#include "codepages/doubts.h"

#include <array>
#include <cstring>

#include "codepages/ascii_runs.h"
#include "codepages/high_halves.h"
#include "codepages/letter_pairs.h"
#include "codepages/naming_rules.h"
#include "codepages/registry.h"

bool doubt_rules = true;

namespace {

constexpr int no_letter = letter_pair_edge;  // what a byte that is no letter is to a page
constexpr int registry_size = 8;             // the built-in registry's pages

// The position of a Russian letter in the registry's order (а..е ё ж..я, then the
// capitals likewise), or -1.
constexpr int letter_position(unsigned u) {
  const auto in_row = [](unsigned v) { return v <= 5 ? v : v + 1; };  // ё after е
  if (u >= 0x430 && u <= 0x44F) return static_cast<int>(in_row(u - 0x430));
  if (u == 0x451) return 6;
  if (u >= 0x410 && u <= 0x42F) return 33 + static_cast<int>(in_row(u - 0x410));
  if (u == 0x401) return 33 + 6;
  return -1;
}

// Each page's letters, folded to lower case (0-32), or no letter, for the bytes 80-FF as
// iconv reads them.
constexpr auto folded_letters = [] {
  std::array<std::array<std::uint8_t, 128>, high_half_pages> t{};
  for (int p = 0; p < high_half_pages; ++p)
    for (int c = 0; c < 128; ++c) {
      const int k = letter_position(high_halves[p][c]);
      t[p][c] = static_cast<std::uint8_t>(k < 0 ? no_letter : k % 33);
    }
  return t;
}();

// What each byte is to each page: a letter folded to lower case, or no letter (ASCII in
// every page).
constexpr auto steps_of = [] {
  std::array<std::array<std::uint8_t, 256>, high_half_pages> t{};
  for (int p = 0; p < high_half_pages; ++p)
    for (int c = 0; c < 256; ++c) t[p][c] = c < 0x80 ? no_letter : folded_letters[p][c - 0x80];
  return t;
}();

// The cost of a byte given the one before: a pair of letters, or the start or the end of
// a word; nothing between two bytes that are no letters. Rows of 64: no multiplication.
constexpr auto pair_steps = [] {
  std::array<std::array<std::uint16_t, 64>, letter_pair_edge + 1> t{};
  for (int from = 0; from <= no_letter; ++from)
    for (int to = 0; to <= no_letter; ++to)
      t[from][to] = from == no_letter && to == no_letter ? 0 : letter_pair_costs[from][to];
  return t;
}();
const std::uint16_t* const pair_table = &pair_steps[0][0];

// The five pages' steps of each byte in one word, a lane of 12 bits each: the byte
// before's shifted up by 6 beside this one's make each lane the row and column of its
// pair.
constexpr int lane_bits = 12;
static_assert(lane_bits * high_half_pages <= 64);
constexpr auto all_steps = [] {
  std::array<std::uint64_t, 256> t{};
  for (int c = 0; c < 256; ++c)
    for (int p = 0; p < high_half_pages; ++p)
      t[c] |= std::uint64_t{steps_of[p][c]} << (lane_bits * p);
  return t;
}();
constexpr unsigned lane(std::uint64_t steps, int p) { return steps >> (lane_bits * p) & 63; }

// What a byte is to every page's words: an ASCII letter, a byte 80-FF (a letter of the
// page or not), or neither, which ends a word in any page. Only words that hold the first
// two are counted word by word.
constexpr std::uint8_t ascii_letter = 1, high_byte = 2;
constexpr bool is_ascii_letter(int c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
constexpr auto word_bytes = [] {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c)
    t[c] = c >= 0x80 ? high_byte : is_ascii_letter(c) ? ascii_letter : 0;
  return t;
}();

// Bytes 00-1F that text has no use for: all but backspace, tab, the line ends, form
// feed, the DOS end of file and escape.
constexpr auto control_bytes = [] {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = !((c >= 0x08 && c <= 0x0D) || c == 0x1A || c == 0x1B);
  return t;
}();

int high_half_of(const char* name) {
  for (int i = 0; i < high_half_pages; ++i)
    if (std::strcmp(name, high_half_names[i]) == 0) return i;
  return -1;
}

// The index of a page in the tables above: one of the five, with their letters in its row.
int tables_of(const code_page* p) {
  if (p->char_width != 1 || p->letters == nullptr || p->letter_count < letter_positions) return -1;
  const int i = high_half_of(p->name);
  if (i < 0) return -1;
  for (int k = 0; k < letter_positions; ++k) {
    const unsigned char c = p->letters[k];
    if (c < 0x80 || letter_position(high_halves[i][c - 0x80]) != k) return -1;
  }
  return i;
}

// Whether the page reads the byte as one of its letters.
bool letter_in(const doubt_tally::page_counts& p, unsigned char c) {
  return c >= 0x80 && folded_letters[p.tables][c - 0x80] != no_letter;
}

// What the word just ended adds: its page letters, when it holds at least as many ASCII
// letters.
constexpr std::uint64_t latin_of_word(std::uint64_t ascii, std::uint64_t own) {
  return ascii >= own ? own : 0;
}

// The words of every page, in bytes that begin where the words in progress go on.
void count_words(doubt_tally& t, const unsigned char* bytes, std::size_t n) {
  for (int i = t.first; i < t.last; ++i) {
    doubt_tally::page_counts& p = t.page[i];
    std::uint64_t latin = p.latin, ascii = p.word_ascii, own = p.word_letters;
    for (std::size_t k = 0; k < n; ++k) {
      const unsigned char c = bytes[k];
      if (letter_in(p, c)) {
        ++own;
      } else if (word_bytes[c] == ascii_letter) {
        ++ascii;
      } else {
        latin += latin_of_word(ascii, own);
        ascii = own = 0;
      }
    }
    p.latin = latin;
    p.word_ascii = ascii;
    p.word_letters = own;
  }
}

// ASCII letters, eight bytes at a time: the top bit of each byte that is one.
std::uint64_t ascii_letters(const unsigned char* bytes) {
  constexpr std::uint64_t ones = 0x0101010101010101u;
  std::uint64_t x;
  std::memcpy(&x, bytes, 8);
  const std::uint64_t lower = (x & 0x7F * ones) | 0x20 * ones;  // no carry from here on
  return (lower + (0x80 - 'a') * ones) & ~(lower + (0x80 - 'z' - 1) * ones) & ~x & 0x80 * ones;
}

// The words in bytes with no ASCII stretch: only those holding both an ASCII letter and a
// byte 80-FF count, and those cut by either end of the bytes, which may.
void find_words(doubt_tally& t, const unsigned char* bytes, std::size_t n) {
  const auto ends_words = [&](std::size_t i) { return word_bytes[bytes[i]] == 0; };
  std::size_t from = 0;
  if (t.words_open) {
    while (from < n && !ends_words(from)) ++from;
    if (from < n) ++from;  // the byte that ends them
    count_words(t, bytes, from);
    t.words_open = from == n && !ends_words(n - 1);
    if (from == n) return;
  }
  std::size_t last = n;  // after the last byte that ends words
  while (last > from && !ends_words(last - 1)) --last;
  for (std::size_t i = from; i < last;) {
    if (i + 8 <= last && ascii_letters(bytes + i) == 0) {
      i += 8;
      continue;
    }
    if (word_bytes[bytes[i]] != ascii_letter) {
      ++i;
      continue;
    }
    // A word with an ASCII letter: from the byte after the last that ends words to the
    // next one.
    std::size_t start = i, end = i;
    while (start > from && !ends_words(start - 1)) --start;
    bool high = false;
    for (std::size_t k = start; k < i; ++k) high |= bytes[k] >= 0x80;
    while (!ends_words(end)) high |= bytes[end++] >= 0x80;
    if (high) count_words(t, bytes + start, end + 1 - start);
    i = end + 1;
  }
  if (last < n) {
    count_words(t, bytes + last, n - last);
    t.words_open = true;
  }
}

// The bytes for one page, or none. Counting: the bytes are not counted yet.
template <bool counting>
void count_bytes_for(doubt_tally& t, const unsigned char* bytes, std::size_t n) {
  if (t.first == t.last) {
    if constexpr (counting)
      for (std::size_t i = 0; i < n; ++i) ++t.histogram[bytes[i]];
    return;
  }
  const int p = t.page[t.first].tables;
  const std::uint8_t* const steps = steps_of[p].data();
  unsigned last = lane(t.last_steps, p);
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned c = bytes[i];
    if constexpr (counting) ++t.histogram[c];
    const unsigned step = steps[c];
    sum += pair_steps[last][step];
    last = step;
  }
  t.cost[p] += sum;
  t.last_steps = all_steps[bytes[n - 1]];
  find_words(t, bytes, n);
}

template <bool counting>
void count_bytes(doubt_tally& t, const unsigned char* bytes, std::size_t n) {
  static_assert(high_half_pages == 5);
  if (n == 0) return;
  if (t.first != 0 || t.last != t.pages) return count_bytes_for<counting>(t, bytes, n);
  std::uint64_t before = t.last_steps;
  std::uint64_t c0 = t.cost[0], c1 = t.cost[1], c2 = t.cost[2], c3 = t.cost[3], c4 = t.cost[4];
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned c = bytes[i];
    if constexpr (counting) ++t.histogram[c];
    const std::uint64_t now = all_steps[c];
    const std::uint64_t pairs = before << 6 | now;
    c0 += pair_table[pairs & 4095];
    c1 += pair_table[pairs >> 12 & 4095];
    c2 += pair_table[pairs >> 24 & 4095];
    c3 += pair_table[pairs >> 36 & 4095];
    c4 += pair_table[pairs >> 48 & 4095];
    before = now;
  }
  t.last_steps = before;
  t.cost[0] = c0, t.cost[1] = c1, t.cost[2] = c2, t.cost[3] = c3, t.cost[4] = c4;
  find_words(t, bytes, n);
}

// Control bytes in ASCII, eight at a time (the top bit of each byte of v + (80 - a) says
// it is a or more): only eight holding one that text has no use for are counted one by
// one.
std::uint64_t ascii_controls(const unsigned char* bytes, std::size_t n) {
  constexpr std::uint64_t ones = 0x0101010101010101u, tops = 0x80 * ones;
  const auto at_least = [](std::uint64_t x, unsigned a) { return x + (0x80 - a) * ones; };
  std::uint64_t count = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x;
    std::memcpy(&x, bytes + i, 8);
    std::uint64_t low = ~at_least(x, 0x20) & tops;
    if (low == 0) continue;
    low &= ~(at_least(x, 0x08) & ~at_least(x, 0x0E)) & ~(at_least(x, 0x1A) & ~at_least(x, 0x1C));
    if (low == 0) continue;
    for (std::size_t k = 0; k < 8; ++k) count += control_bytes[bytes[i + k]];
  }
  for (; i < n; ++i) count += control_bytes[bytes[i]];
  return count;
}

// A stretch of ASCII, where no page has a letter: it ends every page's run of letters,
// and only its first and last letters belong to words a page letter may join.
template <bool counting>
void count_ascii(doubt_tally& t, const unsigned char* bytes, std::size_t n) {
  if constexpr (counting) t.controls += ascii_controls(bytes, n);
  for (int p = 0; p < high_half_pages; ++p)
    t.cost[p] += pair_steps[lane(t.last_steps, p)][no_letter];
  t.last_steps = all_steps[' '];
  std::size_t lead = 0, trail = 0;
  while (lead < n && is_ascii_letter(bytes[lead])) ++lead;
  if (lead < n)
    while (is_ascii_letter(bytes[n - 1 - trail])) ++trail;
  for (int i = t.first; i < t.last; ++i) {
    doubt_tally::page_counts& p = t.page[i];
    if (!t.words_open) p.word_ascii = p.word_letters = 0;
    p.word_ascii += lead;
    if (lead == n) continue;
    p.latin += latin_of_word(p.word_ascii, p.word_letters);
    p.word_ascii = trail;
    p.word_letters = 0;
  }
  t.words_open = lead == n || trail > 0;
}

// The magic numbers of the formats most often met among text: PDF, gzip, xz, zstd, zip
// (and the office formats in it), JPEG, PNG, GIF, ELF, gettext catalogues either way
// round, and bzip2 (a block, or the end of an empty stream).
struct magic {
  const char* bytes;
  std::size_t len;
};
constexpr magic magics[] = {
    {"%PDF-", 5},
    {"\x1F\x8B", 2},
    {"\xFD\x37\x7A\x58\x5A\x00", 6},
    {"\x28\xB5\x2F\xFD", 4},
    {"\x50\x4B\x03\x04", 4},
    {"\xFF\xD8\xFF", 3},
    {"\x89\x50\x4E\x47", 4},
    {"GIF87a", 6},
    {"GIF89a", 6},
    {"\x7F\x45\x4C\x46", 4},
    {"\xDE\x12\x04\x95", 4},
    {"\x95\x04\x12\xDE", 4},
};
constexpr magic bzip2_blocks[] = {{"1AY&SY", 6}, {"\x17\x72\x45\x38\x50\x90", 6}};

bool starts_with(const doubt_tally& t, std::size_t at, const magic& m) {
  return t.head_len >= at + m.len && std::memcmp(t.head + at, m.bytes, m.len) == 0;
}

bool has_magic(const doubt_tally& t) {
  for (const magic& m : magics)
    if (starts_with(t, 0, m)) return true;
  if (!starts_with(t, 0, {"BZh", 3}) || t.head_len < 4 || t.head[3] < '1' || t.head[3] > '9')
    return false;
  for (const magic& m : bzip2_blocks)
    if (starts_with(t, 4, m)) return true;
  return false;
}

// Whether some byte read is another character in page b than in page a. From the top,
// where the letters are: text soon tells.
bool reads_differently(const doubt_tally& t, int a, int b) {
  for (int c = 127; c >= 0; --c)
    if (high_halves[a][c] != high_halves[b][c] && t.histogram[0x80 + c] != 0) return true;
  return false;
}

const doubt_tally::page_counts* counts_of(const doubt_tally& t, const char* name) {
  for (int p = 0; p < t.pages; ++p)
    if (t.page[p].tables == high_half_of(name)) return &t.page[p];
  return nullptr;
}

}  // namespace

bool same_character(const code_page* a, const code_page* b, unsigned char byte) {
  if (byte < 0x80 || a == b) return true;
  const int i = high_half_of(a->name), j = high_half_of(b->name);
  return i >= 0 && j >= 0 && high_halves[i][byte - 0x80] == high_halves[j][byte - 0x80];
}

void doubt_tally_start(doubt_tally& tally, code_page* pages) {
  // The built-in registry never changes: its pages are looked at once.
  static int builtin[registry_size];
  static bool builtin_known = false;
  if (pages == code_pages && !builtin_known) {
    for (int i = 0; i < registry_size; ++i) builtin[i] = tables_of(&code_pages[i]);
    builtin_known = true;
  }
  tally.length = tally.controls = 0;
  tally.head_len = 0;
  std::memset(tally.histogram, 0, sizeof tally.histogram);
  tally.words_open = false;
  tally.last_steps = all_steps[' '];
  for (std::uint64_t& c : tally.cost) c = 0;
  tally.pages = tally.first = tally.last = 0;
  int index = 0;
  for (code_page* p = pages; p->name != nullptr && tally.pages < doubt_pages_max; ++p, ++index) {
    const int tables = pages == code_pages && index < registry_size ? builtin[index] : tables_of(p);
    if (tables < 0) continue;
    doubt_tally::page_counts& counts = tally.page[tally.pages++];
    counts.page = p;
    counts.tables = tables;
    counts.latin = counts.word_ascii = counts.word_letters = 0;
  }
  tally.last = tally.pages;
}

void doubt_tally_last(doubt_tally& tally, const unsigned char* bytes, std::size_t size,
                      const std::uint32_t* histogram, const code_page* named) {
  int at = tally.first;
  while (at < tally.last && tally.page[at].page != named) ++at;
  tally.first = at;
  tally.last = at < tally.last ? at + 1 : at;
  doubt_tally_add(tally, bytes, size, histogram);
}

namespace {

// Returns whether the bytes were not all ASCII.
template <bool counting>
bool add_bytes(doubt_tally& tally, const unsigned char* bytes, std::size_t size) {
  for (std::size_t i = 0; tally.head_len < magic_length_max && i < size; ++i)
    tally.head[tally.head_len++] = bytes[i];
  tally.length += size;
  // Stretches of ASCII at least a word of 32 long go the quick way.
  bool high = false;
  split_ascii_runs(
      bytes, size,
      [&](const unsigned char* p, std::size_t n) {
        count_bytes<counting>(tally, p, n);
        high = high || n > 0;
      },
      [&](const unsigned char* p, std::size_t n) { count_ascii<counting>(tally, p, n); });
  return high;
}

}  // namespace

void doubt_tally_add(doubt_tally& tally, const unsigned char* bytes, std::size_t size,
                     const std::uint32_t* histogram) {
  if (histogram == nullptr) {
    add_bytes<true>(tally, bytes, size);
    return;
  }
  // Only the bytes the verdict asks about, and of those 80-FF only where some may stand.
  for (int c = 0; c < 0x20; ++c) tally.histogram[c] += histogram[c];
  if (!add_bytes<false>(tally, bytes, size)) return;
  for (int c = 0x80; c < 0x100; ++c) tally.histogram[c] += histogram[c];
}

doubt_answer doubt_verdict(const doubt_tally& tally, const naming_tally& names, code_page* named) {
  std::uint64_t controls = tally.controls;
  for (int c = 0; c < 0x20; ++c) controls += control_bytes[c] * tally.histogram[c];
  if (has_magic(tally) || (controls >= least_controls && 1000 * controls > 20 * tally.length))
    return {doubt::binary, nullptr};
  int at = -1;
  for (int p = tally.first; p < tally.last; ++p)
    if (tally.page[p].page == named) at = p;
  if (at < 0) return {};
  const doubt_tally::page_counts& in = tally.page[at];
  std::uint64_t letters = 0;
  for (int k = 0; k < letter_positions; ++k) letters += tally.histogram[named->letters[k]];

  // Not Cyrillic: letters of the page that sit inside Latin words ("très" read as cp1251
  // is "trиs"), or runs of letters that Russian words never make. Both count the word or
  // run in progress as ended where the bytes read end.
  const std::uint64_t latin = in.latin + latin_of_word(in.word_ascii, in.word_letters);
  const std::uint64_t cost =
      tally.cost[in.tables] + pair_steps[lane(tally.last_steps, in.tables)][no_letter];
  if (letters >= 1 && 3 * latin > letters) return {doubt::not_cyrillic, nullptr};
  if (letters >= least_costed && cost >= improbable_cost * letters)
    return {doubt::not_cyrillic, nullptr};

  // Unsure: another page that reads the bytes as other text, with a total nearly as
  // high. cp1251 and mac-cyrillic share their lower case, so their totals are always
  // close; the odd events of the naming rules tell them apart, or do not.
  const doubt_tally::page_counts* const cp1251 = counts_of(tally, "cp1251");
  const doubt_tally::page_counts* const mac = counts_of(tally, "mac-cyrillic");
  const doubt_tally::page_counts* const twin = &in == cp1251 ? mac : &in == mac ? cp1251 : nullptr;
  code_page* rival = nullptr;
  for (int p = 0; p < tally.pages; ++p) {
    const doubt_tally::page_counts& q = tally.page[p];
    if (&q == &in || &q == twin || !reads_differently(tally, in.tables, q.tables)) continue;
    if (rival == nullptr || q.page->score_total > rival->score_total) rival = q.page;
  }
  if (rival != nullptr &&
      static_cast<double>(named->score_total) - static_cast<double>(rival->score_total) <
          unsure_margin)
    return {doubt::unsure, rival};
  if (twin != nullptr && reads_differently(tally, in.tables, twin->tables) && events_even(names))
    return {doubt::unsure, twin->page};
  return {};
}
