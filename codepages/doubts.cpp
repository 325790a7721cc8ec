#include "codepages/doubts.h"

#include <array>
#include <cstring>

#include "codepages/high_halves.h"
#include "codepages/letter_pairs.h"
#include "codepages/naming_rules.h"
#include "codepages/registry.h"

bool doubt_rules = true;

namespace {

// What a byte is to a page: a letter folded to lower case (0-32) or no letter, and these
// bits.
constexpr int no_letter = letter_pair_edge;
constexpr std::uint8_t ascii_bit = 64, letter_bit = 128;

// The cost of a byte given the one before: a pair of letters, or the start or the end of
// a word; nothing between two bytes that are no letters. Rows of 64: no multiplication.
constexpr auto pair_steps = [] {
  std::array<std::array<std::uint16_t, 64>, letter_pair_edge + 1> t{};
  for (int from = 0; from <= no_letter; ++from)
    for (int to = 0; to <= no_letter; ++to)
      t[from][to] = from == no_letter && to == no_letter ? 0 : letter_pair_costs[from][to];
  return t;
}();

// Bytes 00-1F that text has no use for: all but backspace, tab, the line ends, form
// feed, the DOS end of file and escape.
constexpr auto control_bytes = [] {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = !((c >= 0x08 && c <= 0x0D) || c == 0x1A || c == 0x1B);
  return t;
}();

constexpr bool is_ascii_letter(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// What the word just ended adds: its page letters, when it holds at least as many ASCII
// letters.
constexpr std::uint64_t latin_of_word(std::uint64_t ascii, std::uint64_t own) {
  return ascii >= own ? own : 0;
}

void count_page(doubt_tally::page_counts& p, const unsigned char* bytes, std::size_t n) {
  unsigned last = p.last;
  std::uint64_t cost = p.cost, letters = p.letters, latin = p.latin;
  std::uint64_t ascii = p.word_ascii, own = p.word_letters;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned code = p.code[bytes[i]];
    const unsigned step = code & 63;
    cost += pair_steps[last][step];
    last = step;
    const unsigned letter = code >> 7;
    letters += letter;
    if ((code & (letter_bit | ascii_bit)) != 0) {
      own += letter;
      ascii += code >> 6 & 1;
    } else {
      latin += latin_of_word(ascii, own);
      ascii = own = 0;
    }
  }
  p.last = static_cast<std::uint8_t>(last);
  p.cost = cost;
  p.letters = letters;
  p.latin = latin;
  p.word_ascii = ascii;
  p.word_letters = own;
}

void count_bytes(doubt_tally& t, const unsigned char* bytes, std::size_t n) {
  if (n == 0) return;
  std::uint64_t controls = t.controls;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned c = bytes[i];
    controls += control_bytes[c];
    if (c >= 0x80) t.high_seen[c >> 6 & 1] |= std::uint64_t{1} << (c & 63);
  }
  t.controls = controls;
  for (int p = 0; p < t.pages; ++p) count_page(t.page[p], bytes, n);
}

// Control bytes in ASCII, eight at a time: only eight holding a byte below 20 are looked
// at one by one (adding 60 to each byte sets its top bit just when it is 20 or more).
std::uint64_t ascii_controls(const unsigned char* bytes, std::size_t n) {
  constexpr std::uint64_t ones = 0x0101010101010101u;
  std::uint64_t count = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x;
    std::memcpy(&x, bytes + i, 8);
    if ((~(x + 0x60 * ones) & 0x80 * ones) == 0) continue;
    for (std::size_t k = 0; k < 8; ++k) count += control_bytes[bytes[i + k]];
  }
  for (; i < n; ++i) count += control_bytes[bytes[i]];
  return count;
}

// A stretch of ASCII, where no page has a letter: it ends every page's run of letters
// and its word in progress, unless it is letters throughout, and only its first and last
// letters belong to words a page letter may join.
void count_ascii(doubt_tally& t, const unsigned char* bytes, std::size_t n) {
  t.controls += ascii_controls(bytes, n);
  std::size_t lead = 0, trail = 0;
  while (lead < n && is_ascii_letter(bytes[lead])) ++lead;
  if (lead < n)
    while (is_ascii_letter(bytes[n - 1 - trail])) ++trail;
  for (int i = 0; i < t.pages; ++i) {
    doubt_tally::page_counts& p = t.page[i];
    p.cost += pair_steps[p.last][no_letter];
    p.last = no_letter;
    p.word_ascii += lead;
    if (lead == n) continue;
    p.latin += latin_of_word(p.word_ascii, p.word_letters);
    p.word_ascii = trail;
    p.word_letters = 0;
  }
}

bool all_ascii(const unsigned char* bytes) {
  std::uint64_t x[4];
  std::memcpy(x, bytes, sizeof x);
  return ((x[0] | x[1] | x[2] | x[3]) & 0x8080808080808080u) == 0;
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

int high_half_of(const code_page* page) {
  for (int i = 0; i < high_half_pages; ++i)
    if (std::strcmp(page->name, high_half_names[i]) == 0) return i;
  return -1;
}

// Whether some byte read is another character in b than in a.
bool reads_differently(const doubt_tally& t, const code_page* a, const code_page* b) {
  for (int c = 0x80; c < 0x100; ++c)
    if ((t.high_seen[c >> 6 & 1] >> (c & 63) & 1) != 0 && !same_character(a, b, c)) return true;
  return false;
}

code_page* page_named(const doubt_tally& t, const char* name) {
  for (int p = 0; p < t.pages; ++p)
    if (std::strcmp(t.page[p].page->name, name) == 0) return t.page[p].page;
  return nullptr;
}

}  // namespace

bool same_character(const code_page* a, const code_page* b, unsigned char byte) {
  if (byte < 0x80 || a == b) return true;
  const int i = high_half_of(a), j = high_half_of(b);
  return i >= 0 && j >= 0 && high_halves[i][byte - 0x80] == high_halves[j][byte - 0x80];
}

void doubt_tally_start(doubt_tally& tally, code_page* pages) {
  // Field by field: the letter tables of pages that take no part are never read.
  tally.length = tally.controls = 0;
  tally.head_len = 0;
  tally.high_seen[0] = tally.high_seen[1] = 0;
  tally.skip_ascii = true;
  tally.pages = 0;
  for (code_page* p = pages; p->name != nullptr && tally.pages < doubt_pages_max; ++p) {
    if (p->char_width != 1 || p->letters == nullptr || p->letter_count < letter_positions) continue;
    doubt_tally::page_counts& counts = tally.page[tally.pages++];
    counts.page = p;
    counts.letters = counts.latin = counts.cost = counts.word_ascii = counts.word_letters = 0;
    counts.last = no_letter;
    for (int c = 0; c < 256; ++c)
      counts.code[c] = static_cast<std::uint8_t>(no_letter | (is_ascii_letter(c) ? ascii_bit : 0));
    // A byte standing twice in the row counts at its later position, as in the scores.
    for (int k = 0; k < letter_positions; ++k) {
      const unsigned char c = p->letters[k];
      counts.code[c] = static_cast<std::uint8_t>(k % (letter_positions / 2) | letter_bit);
      if (c < 0x80) tally.skip_ascii = false;
    }
  }
}

void doubt_tally_add(doubt_tally& tally, const unsigned char* bytes, std::size_t size) {
  for (std::size_t i = 0; tally.head_len < magic_length_max && i < size; ++i)
    tally.head[tally.head_len++] = bytes[i];
  tally.length += size;
  // Stretches of ASCII at least a word of 32 long go the quick way.
  constexpr std::size_t word = 32;
  std::size_t i = 0;
  for (std::size_t w = 0; tally.skip_ascii && w + word <= size;) {
    if (!all_ascii(bytes + w)) {
      w += word;
      continue;
    }
    std::size_t first = w, end = w + word;
    while (first > i && bytes[first - 1] < 0x80) --first;
    while (end + word <= size && all_ascii(bytes + end)) end += word;
    while (end < size && bytes[end] < 0x80) ++end;
    count_bytes(tally, bytes + i, first - i);
    count_ascii(tally, bytes + first, end - first);
    i = w = end;
  }
  count_bytes(tally, bytes + i, size - i);
}

doubt_answer doubt_verdict(const doubt_tally& tally, const naming_tally& names, code_page* named) {
  if (has_magic(tally) ||
      (tally.controls >= least_controls && 1000 * tally.controls > 20 * tally.length))
    return {doubt::binary, nullptr};
  const doubt_tally::page_counts* in = nullptr;
  for (int p = 0; p < tally.pages; ++p)
    if (tally.page[p].page == named) in = &tally.page[p];
  if (in == nullptr) return {};

  // Not Cyrillic: letters of the page that sit inside Latin words ("très" read as cp1251
  // is "trиs"), or runs of letters that Russian words never make. Both count the word or
  // run in progress as ended where the bytes read end.
  const std::uint64_t latin = in->latin + latin_of_word(in->word_ascii, in->word_letters);
  const std::uint64_t cost = in->cost + pair_steps[in->last][no_letter];
  if (in->letters >= 1 && 3 * latin > in->letters) return {doubt::not_cyrillic, nullptr};
  if (in->letters >= least_costed && cost >= improbable_cost * in->letters)
    return {doubt::not_cyrillic, nullptr};

  // Unsure: another page that reads the bytes as other text, with a total nearly as
  // high. cp1251 and mac-cyrillic share their lower case, so their totals are always
  // close; the odd events of the naming rules tell them apart, or do not.
  code_page* const cp1251 = page_named(tally, "cp1251");
  code_page* const mac = page_named(tally, "mac-cyrillic");
  code_page* const twin = named == cp1251 ? mac : named == mac ? cp1251 : nullptr;
  code_page* rival = nullptr;
  for (int p = 0; p < tally.pages; ++p) {
    code_page* const q = tally.page[p].page;
    if (q == named || q == twin || !reads_differently(tally, named, q)) continue;
    if (rival == nullptr || q->score_total > rival->score_total) rival = q;
  }
  if (rival != nullptr &&
      static_cast<double>(named->score_total) - static_cast<double>(rival->score_total) <
          unsure_margin)
    return {doubt::unsure, rival};
  if (twin != nullptr && reads_differently(tally, named, twin) && events_even(names))
    return {doubt::unsure, twin};
  return {};
}
