#include "convert/repair.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include "codepages/letter_pairs.h"
#include "codepages/registry.h"
#include "convert/repair_classes.h"
#include "convert/repair_tables.h"
#include "convert/simd.h"

namespace {

using namespace repair_classes;

// The odd events of a character, given the classes of the two before it. Each is a matter
// of neighbours: a capital after a small letter; a letter beside an ASCII letter, X or C;
// typography with a letter where it should have none (adjacent: once, on either side).
constexpr int odd_events(int before2, int before, int cls) {
  const auto letter = [](int k) { return k == cls_L || k == cls_U; };
  const auto foreign = [](int k) {
    return k == cls_a || k == cls_X || k == cls_C || k == cls_control;
  };
  int odd = 0;
  if (letter(cls)) {
    odd += cls == cls_U && before == cls_L;
    odd += foreign(before);
    odd += before == cls_T_after;
    odd += before == cls_T_adjacent && !letter(before2);
    odd += before == cls_T_free && letter(before2);
  } else {
    odd += foreign(cls) && letter(before);
    odd += (cls == cls_T_before || cls == cls_T_adjacent) && letter(before);
  }
  return odd;
}
// By (two before << 8 | one before << 4 | this one).
constexpr std::array<std::uint8_t, 4096> make_odd_table() {
  std::array<std::uint8_t, 4096> t{};
  for (int a = 0; a < classes; ++a)
    for (int b = 0; b < classes; ++b)
      for (int c = 0; c < classes; ++c) t[a << 8 | b << 4 | c] = odd_events(a, b, c);
  return t;
}
constexpr auto odd_table = make_odd_table();

// Up to U+07FF, all that two bytes of UTF-8 hold, from a table.
constexpr std::uint32_t small_limit = 0x800;
constexpr std::array<char_info, small_limit> make_small_info() {
  std::array<char_info, small_limit> t{};
  for (std::uint32_t c = 0; c < small_limit; ++c) t[c] = info_of(c);
  return t;
}
constexpr std::array<char_info, small_limit> small_info = make_small_info();

// Beyond two bytes of UTF-8: punctuation, typography and box drawing (what text read
// through a wrong page is full of) from a table, the rest by search.
constexpr std::uint32_t far_first = 0x2000, far_limit = 0x2600;
constexpr std::array<char_info, far_limit - far_first> make_far_info() {
  std::array<char_info, far_limit - far_first> t{};
  for (std::uint32_t c = far_first; c < far_limit; ++c) t[c - far_first] = info_of(c);
  return t;
}
constexpr auto far_info = make_far_info();
[[gnu::noinline]] char_info classify_far(std::uint32_t c) {
  return c >= far_first && c < far_limit ? far_info[c - far_first] : info_of(c);
}
inline char_info classify(std::uint32_t c) {
  return c < small_limit ? small_info[c] : classify_far(c);
}

// The readings of bytes 80-FF and their classes.
constexpr std::array<std::array<char_info, 128>, repair_pages> make_high_info() {
  std::array<std::array<char_info, 128>, repair_pages> t{};
  for (int p = 0; p < repair_pages; ++p)
    for (int b = 0; b < 128; ++b) t[p][b] = info_of(single_byte_readings[p][b]);
  return t;
}
constexpr auto high_info = make_high_info();

// The reverse of the readings: characters below U+0500 from a table, the rest (dashes,
// quotation marks, box drawing and the like) by search.
constexpr std::uint32_t direct_limit = 0x500;
struct page_codes {
  std::array<std::uint8_t, direct_limit - 0x80> direct;  // 0: none
  std::array<std::uint32_t, 128> far_code;               // sorted
  std::array<std::uint8_t, 128> far_byte;
  int far_count;
};
constexpr std::array<page_codes, repair_pages> make_codes() {
  std::array<page_codes, repair_pages> t{};
  for (int p = 0; p < repair_pages; ++p) {
    page_codes& pc = t[p];
    pc.far_count = 0;
    for (int b = 0; b < 128; ++b) {
      const std::uint32_t c = single_byte_readings[p][b];
      const auto byte = static_cast<std::uint8_t>(0x80 + b);
      if (c < direct_limit) {
        pc.direct[c - 0x80] = byte;
        continue;
      }
      int at = pc.far_count++;
      for (; at > 0 && pc.far_code[at - 1] > c; --at) {
        pc.far_code[at] = pc.far_code[at - 1];
        pc.far_byte[at] = pc.far_byte[at - 1];
      }
      pc.far_code[at] = c;
      pc.far_byte[at] = byte;
    }
  }
  // Into cp1252 the Latin-1 characters go also to their own bytes.
  page_codes& latin = t[static_cast<int>(repair_page::cp1252)];
  for (std::uint32_t c = 0x80; c < 0x100; ++c)
    if (latin.direct[c - 0x80] == 0) latin.direct[c - 0x80] = static_cast<std::uint8_t>(c);
  return t;
}
constexpr auto codes = make_codes();

inline int encode(int page, std::uint32_t c) {
  if (c < 0x80) return static_cast<int>(c);
  const page_codes& pc = codes[page];
  if (c < direct_limit) return pc.direct[c - 0x80] != 0 ? pc.direct[c - 0x80] : -1;
  int lo = 0, hi = pc.far_count;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (pc.far_code[mid] < c)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo < pc.far_count && pc.far_code[lo] == c ? pc.far_byte[lo] : -1;
}

// The length of the well-formed UTF-8 sequence of two to four bytes at p (no overlong
// form, surrogate or code beyond U+10FFFF), its code in *code; 0 when there is none.
inline int utf8_sequence(const unsigned char* p, const unsigned char* end, std::uint32_t* code) {
  const unsigned b = p[0];
  const auto left = end - p;
  if (b < 0xC2) return 0;
  if (b < 0xE0) {
    if (left < 2 || (p[1] & 0xC0) != 0x80) return 0;
    *code = (b & 0x1F) << 6 | (p[1] & 0x3F);
    return 2;
  }
  if (b < 0xF0) {
    const unsigned lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;
    if (left < 3 || p[1] < lo || p[1] > hi || (p[2] & 0xC0) != 0x80) return 0;
    *code = (b & 0x0F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F);
    return 3;
  }
  if (b < 0xF5) {
    const unsigned lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;
    if (left < 4 || p[1] < lo || p[1] > hi || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80)
      return 0;
    *code = (b & 0x07) << 18 | (p[1] & 0x3F) << 12 | (p[2] & 0x3F) << 6 | (p[3] & 0x3F);
    return 4;
  }
  return 0;
}

inline bool ends_word(unsigned char b) { return b == ' ' || (b >= '\t' && b <= '\r'); }

// What each class adds to the counts, packed 21 bits each (a window has fewer
// characters): letters, characters at or above U+0080, typography.
constexpr std::array<std::uint64_t, 16> make_counts() {
  std::array<std::uint64_t, 16> t{};
  for (int k = 0; k < classes; ++k) {
    const bool high = k != cls_a && k != cls_space && k != cls_control && k != cls_p;
    t[k] = std::uint64_t{k <= cls_U} | std::uint64_t{high} << 21 |
           std::uint64_t{k >= cls_T_before} << 42;
  }
  return t;
}
constexpr auto class_counts = make_counts();
constexpr std::uint64_t field = (std::uint64_t{1} << 21) - 1;

// The measure, a character at a time. The events and costs of a word are those of its
// characters with their neighbours, whitespace included, so the meter needs to know of no
// word; but ASCII controls count only in a word that is scored, which measured() sees to.
struct meter {
  std::uint64_t cost = 0;
  std::uint64_t odd = 0;
  std::uint64_t counts = 0;
  std::uint64_t high_xc = 0, high_control = 0;
  unsigned history = cls_space << 4 | cls_space;  // the classes of the last two characters
  unsigned prev = edge;                           // the letter before, or the edge
  std::uint32_t last = 0;                         // the character before
  unsigned run = 0;                               // how many times in a row
  bool controls = false;

  void feed(std::uint32_t c, char_info info) {
    const unsigned cls = info.cls;
    cost += step_cost[prev][info.letter];
    prev = info.letter;
    history = (history << 4 | cls) & 0xFFF;
    odd += odd_table[history];
    counts += class_counts[cls];
    // A letter the third time in a row, once in each run.
    run = c == last ? run + 1 : 1;
    last = c;
    odd += run == 3 && cls <= cls_U;
    if (cls >= cls_X && cls <= cls_control) [[unlikely]] {
      if (cls == cls_control) {
        controls = true;
      } else {
        ++high_xc;
        high_control += cls == cls_C;
      }
    }
  }

  text_measure finish() {
    feed(' ', char_info{cls_space, edge});
    text_measure m;
    m.cost = static_cast<std::int64_t>(cost);
    m.odd = static_cast<std::int64_t>(odd);
    m.n = static_cast<std::int64_t>(counts & field);
    m.mb = static_cast<std::int64_t>(counts >> 21 & field);
    m.typo = static_cast<std::int64_t>(counts >> 42 & field);
    m.high_xc = static_cast<std::int64_t>(high_xc);
    m.high_control = static_cast<std::int64_t>(high_control);
    m.other = m.high_xc;
    return m;
  }
};

// ASCII controls in the words that hold a byte 80-FF: in every reading, the words that
// are scored.
std::int64_t scored_controls(const unsigned char* p, std::size_t len) {
  std::int64_t total = 0, in_word = 0;
  bool scored = false;
  for (std::size_t i = 0; i <= len; ++i) {
    const unsigned b = i < len ? p[i] : ' ';
    if (b == ' ' || (b >= '\t' && b <= '\r')) {
      if (scored) total += in_word;
      in_word = 0;
      scored = false;
    } else {
      in_word += b < 0x20 || b == 0x7F;
      scored |= b >= 0x80;
    }
  }
  return total;
}

text_measure measured(meter m, const unsigned char* p, std::size_t len) {
  text_measure t = m.finish();
  if (m.controls) t.other += scored_controls(p, len);
  return t;
}

// Texts this short are measured as quickly one character at a time.
constexpr std::size_t vector_least = 16;
bool vector_meter(std::size_t len) {
  return len >= vector_least && simd_current() == simd_path::avx512;
}

// The readings of a window: through a single-byte page, or UTF-8 where it is well-formed
// and that page elsewhere (the hybrid).
text_measure measure_page(int page, const unsigned char* p, std::size_t len) {
  text_measure v;
  if (vector_meter(len) && vector_measure_page(page, p, len, &v)) return v;
  meter m;
  const auto& high = high_info[page];
  const auto& reads = single_byte_readings[page];
  for (std::size_t i = 0; i < len; ++i) {
    const unsigned b = p[i];
    if (b < 0x80)
      m.feed(b, small_info[b]);
    else
      m.feed(reads[b - 0x80], high[b - 0x80]);
  }
  return measured(m, p, len);
}

text_measure measure_hybrid(int page, const unsigned char* p, std::size_t len) {
  meter m;
  const unsigned char* const end = p + len;
  for (const unsigned char* at = p; at < end;) {
    const unsigned b = *at;
    std::uint32_t c;
    int k;
    if (b < 0x80) {
      m.feed(b, small_info[b]);
      ++at;
    } else if ((k = utf8_sequence(at, end, &c)) != 0) {
      m.feed(c, classify(c));
      at += k;
    } else {
      m.feed(single_byte_readings[page][b - 0x80], high_info[page][b - 0x80]);
      ++at;
    }
  }
  return measured(m, p, len);
}

// The measure of UTF-8 that may not be valid: false, and no measure, when it is not.
bool measure_if_utf8(const unsigned char* p, std::size_t len, text_measure* out) {
  if (vector_meter(len) && vector_measure_utf8(p, len, out)) return true;
  meter m;
  const unsigned char* const end = p + len;
  for (const unsigned char* at = p; at < end;) {
    const unsigned b = *at;
    std::uint32_t c;
    char_info info;
    // ASCII and two-byte characters (all Russian letters) the quick way.
    if (b < 0x80) {
      c = b;
      info = small_info[b];
      ++at;
    } else if (b >= 0xC2 && b < 0xE0 && at + 1 < end && (at[1] & 0xC0) == 0x80) {
      c = (b & 0x1F) << 6 | (at[1] & 0x3F);
      info = small_info[c];
      at += 2;
    } else {
      const int k = utf8_sequence(at, end, &c);
      if (k == 0) return false;
      info = classify_far(c);
      at += k;
    }
    m.feed(c, info);
  }
  *out = measured(m, p, len);
  return true;
}

inline unsigned char* put_utf8(unsigned char* o, std::uint32_t c) {
  if (c < 0x80) {
    *o++ = static_cast<unsigned char>(c);
  } else if (c < 0x800) {
    *o++ = static_cast<unsigned char>(0xC0 | c >> 6);
    *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
  } else {
    *o++ = static_cast<unsigned char>(0xE0 | c >> 12);
    *o++ = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
    *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
  }
  return o;
}

// A reading written out in UTF-8; returns its length.
std::size_t write_reading(int page, bool hybrid, const unsigned char* p, std::size_t len,
                          unsigned char* out) {
  unsigned char* o = out;
  const unsigned char* const end = p + len;
  while (p < end) {
    std::uint32_t c;
    int k;
    if (*p < 0x80) {
      *o++ = *p++;
    } else if (hybrid && (k = utf8_sequence(p, end, &c)) != 0) {
      std::memcpy(o, p, static_cast<std::size_t>(k));
      o += k;
      p += k;
    } else {
      o = put_utf8(o, single_byte_readings[page][*p++ - 0x80]);
    }
  }
  return static_cast<std::size_t>(o - out);
}

// A reading of single bytes is at most three bytes of UTF-8 each.
constexpr std::size_t text_room = 3 * repair_window;
unsigned char* reading_text = nullptr;  // the window's reading, when it is not the window
unsigned char* end_text = nullptr;      // what the chains make of it
unsigned char* word_text = nullptr;     // one word through a chain

// The chains of rule J in the order they are tried: each encodes into the page and reads
// the bytes as UTF-8.
constexpr int chain_order[repair_pages] = {1, 2, 0, 3, 4, 5};

// One word of valid UTF-8 through a chain: its bytes in the page, when it has them all and
// they are valid UTF-8 with a high byte, go to out and their length is returned; 0 when
// the chain leaves the word as it is.
std::size_t chain_word(int page, const unsigned char* w, std::size_t len, unsigned char* out) {
  const unsigned char* const end = w + len;
  std::size_t o = 0;
  bool high = false;
  // The bytes are checked as UTF-8 as they come: most words fail at once.
  unsigned need = 0, low = 0x80, top = 0xBF;
  while (w < end) {
    std::uint32_t c = *w;
    int k = 1;
    if (c >= 0x80) k = utf8_sequence(w, end, &c);
    const int b = encode(page, c);
    if (b < 0) return 0;
    if (need > 0) {
      if (static_cast<unsigned>(b) < low || static_cast<unsigned>(b) > top) return 0;
      --need;
      low = 0x80;
      top = 0xBF;
    } else if (b >= 0x80) {
      if (b < 0xC2 || b > 0xF4) return 0;
      need = b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
      low = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
      top = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
      high = true;
    }
    out[o++] = static_cast<unsigned char>(b);
    w += k;
  }
  return high && need == 0 ? o : 0;
}

// Words of a text: maximal runs of bytes that are not ASCII whitespace.
struct word_span {
  std::size_t start, end;
  bool scored;  // holds a byte 80-FF
};
inline bool next_word(const unsigned char* t, std::size_t len, std::size_t& at, word_span& w) {
  while (at < len && ends_word(t[at])) ++at;
  if (at == len) return false;
  w.start = at;
  bool high = false;
  while (at < len && !ends_word(t[at])) high |= t[at++] >= 0x80;
  w.end = at;
  w.scored = high;
  return true;
}

struct chain_effect {
  text_measure before, after;  // over the words the chain changes
  std::size_t changed = 0;
};

// What each chain, in chain_order, would do to the words of a text: each word measured
// once, whatever the chains make of it.
void try_chains(const unsigned char* t, std::size_t len, chain_effect (&e)[repair_pages]) {
  std::size_t at = 0;
  word_span w;
  while (next_word(t, len, at, w)) {
    if (!w.scored) continue;
    const unsigned char* const word = t + w.start;
    const std::size_t n = w.end - w.start;
    bool measured = false;
    text_measure before;
    for (int c = 0; c < repair_pages; ++c) {
      const std::size_t k = chain_word(chain_order[c], word, n, word_text);
      if (k == 0) continue;
      if (!measured) before = measure_utf8(word, n);
      measured = true;
      ++e[c].changed;
      add(e[c].before, before);
      add(e[c].after, measure_utf8(word_text, k));
    }
  }
}

// The chain applied in place (no word grows); returns how many words it changed.
std::size_t apply_chain(int page, unsigned char* t, std::size_t& len) {
  std::size_t changed = 0, o = 0, i = 0;
  while (i < len) {
    if (ends_word(t[i])) {
      t[o++] = t[i++];
      continue;
    }
    std::size_t j = i;
    bool high = false;
    while (j < len && !ends_word(t[j])) high |= t[j++] >= 0x80;
    const std::size_t k = high ? chain_word(page, t + i, j - i, word_text) : 0;
    if (k > 0) {
      std::memcpy(t + o, word_text, k);
      o += k;
      ++changed;
    } else {
      std::memmove(t + o, t + i, j - i);
      o += j - i;
    }
    i = j;
  }
  len = o;
  return changed;
}

// Over the words that differ between a text and what the chains made of it (the same
// words, in the same places, between the same whitespace).
void compare_words(const unsigned char* a, std::size_t a_len, const unsigned char* b,
                   std::size_t b_len, text_measure& before, text_measure& after) {
  std::size_t i = 0, j = 0;
  word_span wa, wb;
  while (next_word(a, a_len, i, wa) && next_word(b, b_len, j, wb)) {
    const std::size_t la = wa.end - wa.start, lb = wb.end - wb.start;
    if (la == lb && std::memcmp(a + wa.start, b + wb.start, la) == 0) continue;
    add(before, measure_utf8(a + wa.start, la));
    add(after, measure_utf8(b + wb.start, lb));
  }
}

// The chain that lowers the badness of the words it changes the most, by 300 at least;
// -1 when none does.
int best_chain(const unsigned char* t, std::size_t len, chain_effect* best) {
  chain_effect e[repair_pages];
  try_chains(t, len, e);
  int chosen = -1;
  std::int64_t least = 0;
  for (int c = 0; c < repair_pages; ++c) {
    if (e[c].changed == 0) continue;
    const std::int64_t before = badness(e[c].before), after = badness(e[c].after);
    if (after + 300 > before) continue;
    if (chosen < 0 || after - before < least) {
      chosen = chain_order[c];
      least = after - before;
      *best = e[c];
    }
  }
  return chosen;
}

bool few_odd_and_russian(const text_measure& m) {
  return m.n > 0 && m.odd <= m.n / 40 && m.cost <= 560 * m.n;
}

// Rule J on a reading: the chains searched on a suspect line, or the remembered ones;
// the end text in end_text.
bool rule_j(repair_state& state, const unsigned char* t, std::size_t len, const text_measure& m,
            std::size_t* out_len) {
  const bool suspect = m.odd > 0 || m.high_xc > 0 || (m.n > 0 && m.cost > 470 * m.n);
  if (suspect) {
    chain_effect first;
    const int c1 = best_chain(t, len, &first);
    if (c1 >= 0) {
      std::memcpy(end_text, t, len);
      std::size_t n = len;
      apply_chain(c1, end_text, n);
      int chains[2] = {c1, 0};
      int count = 1;
      if (!few_odd_and_russian(first.after)) {
        chain_effect second;
        const int c2 = best_chain(end_text, n, &second);
        if (c2 >= 0) {
          apply_chain(c2, end_text, n);
          chains[1] = c2;
          count = 2;
        }
      }
      // After one step the words changed are the chain's, already measured.
      text_measure before = first.before, after = first.after;
      if (count == 2) {
        before = after = text_measure{};
        compare_words(t, len, end_text, n, before, after);
      }
      const std::int64_t b0 = badness(before), b1 = badness(after);
      if (after.high_control == 0 && after.odd <= after.n / 40 && after.cost <= 560 * after.n &&
          b1 + 1000 <= b0 && 4 * b1 <= 3 * b0 && after.mb >= 2 && after.n >= 2 &&
          (before.odd > 0 || before.n == 0)) {
        state.chains[0] = chains[0];
        state.chains[1] = chains[1];
        state.chain_count = count;
        *out_len = n;
        return true;
      }
    }
  }
  if (state.chain_count == 0) return false;
  std::memcpy(end_text, t, len);
  std::size_t n = len;
  for (int k = 0; k < state.chain_count; ++k)
    if (apply_chain(state.chains[k], end_text, n) == 0) return false;
  text_measure before, after;
  compare_words(t, len, end_text, n, before, after);
  const std::int64_t most = 560 * (after.n > 1 ? after.n : 1);
  if (after.high_control != 0 || badness(after) + 300 > badness(before) ||
      after.odd > after.n / 40 || after.cost > most)
    return false;
  *out_len = n;
  return true;
}

bool all_ascii(const unsigned char* p, std::size_t len) {
  std::size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    std::uint64_t v;
    std::memcpy(&v, p + i, 8);
    if ((v & 0x8080808080808080u) != 0) return false;
  }
  for (; i < len; ++i)
    if (p[i] >= 0x80) return false;
  return true;
}

// Whether the first byte 80-FF starts a well-formed sequence.
bool starts_utf8(const unsigned char* p, std::size_t len) {
  const unsigned char* const end = p + len;
  while (p < end && *p < 0x80) ++p;
  std::uint32_t c;
  return p == end || utf8_sequence(p, end, &c) != 0;
}

bool holds_undefined(int page, const unsigned char* p, std::size_t len) {
  for (const std::uint8_t u : undefined_bytes[page])
    if (u != 0 && std::memchr(p, u, len) != nullptr) return true;
  return false;
}

}  // namespace

void add(text_measure& sum, const text_measure& m) {
  sum.n += m.n;
  sum.cost += m.cost;
  sum.odd += m.odd;
  sum.other += m.other;
  sum.typo += m.typo;
  sum.mb += m.mb;
  sum.high_xc += m.high_xc;
  sum.high_control += m.high_control;
}

std::int64_t badness(const text_measure& m) {
  return m.cost + 600 * m.odd + 800 * m.other + 700 * m.typo;
}

bool accept(const text_measure& m, std::int64_t least) {
  return m.n >= least && m.odd <= m.n / 40 && m.cost <= 560 * m.n;
}

std::size_t repair_vector_bytes = 0;

text_measure measure_reading(repair_page page, const unsigned char* bytes, std::size_t len) {
  return measure_page(static_cast<int>(page), bytes, len);
}

text_measure measure_utf8(const unsigned char* text, std::size_t len) {
  text_measure m;
  measure_if_utf8(text, len, &m);
  return m;
}

std::uint32_t page_reading(repair_page page, unsigned char byte) {
  return byte < 0x80 ? byte : single_byte_readings[static_cast<int>(page)][byte - 0x80];
}

bool page_defines(repair_page page, unsigned char byte) {
  return !holds_undefined(static_cast<int>(page), &byte, 1);
}

int page_encoding(repair_page page, std::uint32_t code) {
  return encode(static_cast<int>(page), code);
}

std::size_t window_cut(const unsigned char* bytes) {
  for (std::size_t i = repair_window; i >= 2; --i)
    if (bytes[i - 1] == ' ' || bytes[i - 1] == '\t') return i;
  std::size_t cut = repair_window;
  for (int back = 0; back < 3 && (bytes[cut] & 0xC0) == 0x80; ++back) --cut;
  return cut;
}

bool repair_start(repair_state& state, const code_page* page) {
  state = repair_state{};
  if (std::strcmp(page->name, "utf-8") == 0) return true;
  static constexpr const char* pages[] = {"cp866", "cp1251", "koi8-r", "iso-8859-5",
                                          "mac-cyrillic"};
  for (int p = 0; p < 5; ++p) {
    if (std::strcmp(page->name, pages[p]) == 0) {
      state.input = p;
      return true;
    }
  }
  return false;
}

bool repair_reserve() {
  if (reading_text == nullptr) reading_text = static_cast<unsigned char*>(std::malloc(text_room));
  if (end_text == nullptr) end_text = static_cast<unsigned char*>(std::malloc(text_room));
  if (word_text == nullptr) word_text = static_cast<unsigned char*>(std::malloc(text_room));
  return reading_text != nullptr && end_text != nullptr && word_text != nullptr;
}

window_verdict repair_text(repair_state& state, const unsigned char* bytes, std::size_t len) {
  window_verdict v;
  if (all_ascii(bytes, len)) return v;

  // The line's reading, and whether a rule fired to make it.
  const unsigned char* text = bytes;  // in UTF-8, once written out
  std::size_t text_len = len;
  text_measure m;
  bool fired = false;
  int page = state.input;  // the single-byte page of a reading not yet written out, or -1
  if (state.input < 0) {
    if (measure_if_utf8(bytes, len, &m)) {
      page = -1;
    } else {
      // Rule M: the ten readings, each page whole and then the hybrid.
      text_measure r[10];
      bool any_sequence = false;
      for (std::size_t i = 0; i < len && !any_sequence; ++i) {
        std::uint32_t c;
        any_sequence = bytes[i] >= 0x80 && utf8_sequence(bytes + i, bytes + len, &c) != 0;
      }
      int best = 0;
      for (int p = 0; p < 5; ++p) {
        r[2 * p] = measure_page(p, bytes, len);
        r[2 * p + 1] = any_sequence ? measure_hybrid(p, bytes, len) : r[2 * p];
      }
      for (int k = 1; k < 10; ++k)
        if (badness(r[k]) < badness(r[best])) best = k;
      int chosen = best;
      const int kept = state.reading;
      if (kept >= 0 && badness(r[kept]) <= badness(r[best]) + 1500 && accept(r[kept], 3))
        chosen = kept;
      if (!accept(r[chosen], 3)) {
        v.invalid = true;
        return v;
      }
      state.reading = chosen;
      text_len = write_reading(chosen / 2, chosen % 2 == 1, bytes, len, reading_text);
      text = reading_text;
      m = r[chosen];
      page = -1;
      fired = true;
    }
  } else {
    m = measure_page(page, bytes, len);
    text_measure u;
    // Rule MU: a line of UTF-8 in a single-byte input (which a line of the page seldom is
    // past its first byte 80-FF).
    if (starts_utf8(bytes, len) && measure_if_utf8(bytes, len, &u) && accept(u, 5) &&
        badness(u) + 1000 <= badness(m)) {
      m = u;
      page = -1;
      fired = true;
    }
  }

  const bool suspect = m.odd > 0 || m.high_xc > 0 || (m.n > 0 && m.cost > 470 * m.n);
  if (suspect || state.chain_count > 0) {
    if (page >= 0) {
      text_len = write_reading(page, false, bytes, len, reading_text);
      text = reading_text;
    }
    std::size_t end_len = 0;
    if (rule_j(state, text, text_len, m, &end_len)) {
      text = end_text;
      text_len = end_len;
      fired = true;
    }
  }
  if (!fired) {
    v.invalid = state.input >= 0 && holds_undefined(state.input, bytes, len);
    return v;
  }
  v.fired = true;
  v.text = text;
  v.len = text_len;
  return v;
}
