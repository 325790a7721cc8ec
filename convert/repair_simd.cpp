// The meter of the repair rules, 64 bytes at a time with AVX-512 (VBMI and VBMI2, as the
// conversion kernels want), for the text that makes up nearly all of a clean input:
// ASCII, Russian letters and typography. The characters are looked up in tables, packed
// one to a byte, and their neighbours compared; whatever would make an odd event, or a
// character of class X or C, sends the whole text to the scalar meter, so what comes out
// here has no odd event and is exact.
#include <immintrin.h>

#include "convert/repair_classes.h"

namespace repair_classes {
namespace {

#define KIV_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,popcnt,bmi2")))

// A character as one byte: a small letter 0-32, a capital 33-65, anything else
// sym_base and its class.
constexpr unsigned capital = 33;
constexpr unsigned sym_base = 66;
constexpr std::uint8_t sym_of(char_info i) {
  return static_cast<std::uint8_t>(i.cls == cls_L   ? i.letter
                                   : i.cls == cls_U ? capital + i.letter
                                                    : sym_base + i.cls);
}
static_assert(sym_base + classes <= 128, "symbols index a table of 128");

struct sym_tables {
  alignas(64) std::uint8_t ascii[128];
  alignas(64) std::uint8_t latin[128];     // C2 xx, C3 xx, by (lead & 1) << 6 | (xx & 3F)
  alignas(64) std::uint8_t cyrillic[128];  // D0 xx, D1 xx, likewise
  alignas(64) std::uint8_t dashes[128];    // E2 80 xx, E2 84 xx, by (80: 0, 84: 1) << 6 | ...
  alignas(64) std::uint8_t page[repair_pages][128];  // bytes 80-FF of each page
  alignas(64) std::uint8_t letter[128];              // a symbol's place in the pair table
  alignas(64) std::uint8_t before1[64];              // lane j takes j - 1 of (carry, now)
  alignas(64) std::uint8_t before2[64];              // and j - 2
  alignas(64) std::uint8_t shift1[64];               // j - 1 of one vector
  alignas(64) std::uint8_t iota[64];
};
constexpr sym_tables make_sym_tables() {
  sym_tables t{};
  for (std::uint32_t i = 0; i < 128; ++i) {
    const std::uint32_t low = i & 0x3F, half = i >> 6;
    t.ascii[i] = sym_of(info_of(i));
    t.latin[i] = sym_of(info_of(0x80 + half * 0x40 + low));
    t.cyrillic[i] = sym_of(info_of(0x400 + half * 0x40 + low));
    t.dashes[i] = sym_of(info_of(0x2000 + half * 0x100 + low));
    for (int p = 0; p < repair_pages; ++p)
      t.page[p][i] = sym_of(info_of(single_byte_readings[p][i]));
    t.letter[i] = static_cast<std::uint8_t>(i < capital    ? i
                                            : i < sym_base ? i - capital
                                                           : static_cast<unsigned>(edge));
  }
  for (unsigned j = 0; j < 64; ++j) {
    t.before1[j] = static_cast<std::uint8_t>(j >= 1 ? 64 + j - 1 : 63);
    t.before2[j] = static_cast<std::uint8_t>(j >= 2 ? 64 + j - 2 : 62 + j);
    t.shift1[j] = static_cast<std::uint8_t>(j >= 1 ? j - 1 : 0);
    t.iota[j] = static_cast<std::uint8_t>(j);
  }
  return t;
}
constexpr sym_tables syms = make_sym_tables();

// What a character is, bit by bit, and after which ones it makes an odd event: after a
// small letter a capital, after a letter a Latin letter or typography that wants none
// before it, after those and typography that wants none after it a letter.
constexpr std::uint8_t is_letter = 1, is_capital = 2, is_foreign = 4, is_bad = 8, is_typo = 16;
constexpr std::uint8_t properties(unsigned sym) {
  if (sym < capital) return is_letter;
  if (sym < sym_base) return is_letter | is_capital;
  const unsigned cls = sym - sym_base;
  if (cls == cls_X || cls == cls_C || cls == cls_control) return is_bad;
  const bool foreign = cls == cls_a || cls == cls_T_before || cls == cls_T_adjacent;
  return static_cast<std::uint8_t>((foreign ? is_foreign : 0) |
                                   (cls >= cls_T_before ? is_typo : 0));
}
constexpr std::uint8_t odd_after(unsigned sym) {
  if (sym < capital) return is_capital | is_foreign;
  if (sym < sym_base) return is_foreign;
  const unsigned cls = sym - sym_base;
  return cls == cls_a || cls == cls_T_after || cls == cls_T_adjacent || cls == cls_T_free
             ? is_letter
             : 0;
}

// The letter pair costs, the edge included, by place before * 34 + place, in bytes low and
// high, 128 to a table; the pair of two edges costs nothing, and stands for no character.
constexpr unsigned places = edge + 1;
constexpr unsigned cost_tables = (places * places + 127) / 128;
struct cost_bytes {
  alignas(64) std::uint8_t low[cost_tables][128];
  alignas(64) std::uint8_t high[cost_tables][128];
  alignas(64) std::uint8_t row_at[128];     // place * 34, its low seven bits
  alignas(64) std::uint8_t row_table[128];  // and the table it starts in
  alignas(64) std::uint8_t props[128];
  alignas(64) std::uint8_t odd[128];
};
constexpr cost_bytes make_cost_bytes() {
  cost_bytes t{};
  for (unsigned a = 0; a < places; ++a)
    for (unsigned b = 0; b < places; ++b) {
      const unsigned i = a * places + b;
      t.low[i / 128][i % 128] = static_cast<std::uint8_t>(step_cost[a][b] & 0xFF);
      t.high[i / 128][i % 128] = static_cast<std::uint8_t>(step_cost[a][b] >> 8);
    }
  for (unsigned i = 0; i < 128; ++i) {
    const unsigned a = i < places ? i : edge;
    t.row_at[i] = static_cast<std::uint8_t>(a * places % 128);
    t.row_table[i] = static_cast<std::uint8_t>(a * places / 128);
    t.props[i] = properties(i);
    t.odd[i] = odd_after(i);
  }
  return t;
}
constexpr cost_bytes costs = make_cost_bytes();

// What the packed characters carry from one vector to the next: in lanes 62 and 63, the
// two characters before, and their places in the pair table; and the sums of the costs'
// low and high bytes.
struct stream {
  __m512i carry, carry_place, low, high;
  std::uint64_t n = 0, typo = 0;
};

KIV_AVX512 inline stream start_stream() {
  stream s;
  s.carry = _mm512_set1_epi8(static_cast<char>(sym_base + cls_space));
  s.carry_place = _mm512_set1_epi8(static_cast<char>(edge));
  s.low = s.high = _mm512_setzero_si512();
  return s;
}

KIV_AVX512 inline __mmask64 equal(__m512i v, unsigned sym) {
  return _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(sym)));
}

KIV_AVX512 inline __m512i lookup(const std::uint8_t* table, __m512i index) {
  return _mm512_permutex2var_epi8(_mm512_load_si512(table), index, _mm512_load_si512(table + 64));
}

// The costs of the pairs (before, now) in the lanes, added to the sums.
KIV_AVX512 inline void add_costs(stream& s, __m512i before, __m512i now, __mmask64 lanes) {
  const __m512i sum = _mm512_add_epi8(lookup(costs.row_at, before), now);
  const __mmask64 next = _mm512_movepi8_mask(sum);  // past the table the row starts in
  const __m512i at = _mm512_and_si512(sum, _mm512_set1_epi8(0x7F));
  const __m512i table = _mm512_mask_add_epi8(lookup(costs.row_table, before), next,
                                             lookup(costs.row_table, before), _mm512_set1_epi8(1));
  __m512i low = _mm512_setzero_si512(), high = _mm512_setzero_si512();
  for (unsigned t = 0; t < cost_tables; ++t) {
    const __mmask64 here = equal(table, t) & lanes;
    low = _mm512_mask_mov_epi8(low, here, lookup(costs.low[t], at));
    high = _mm512_mask_mov_epi8(high, here, lookup(costs.high[t], at));
  }
  s.low = _mm512_add_epi64(s.low, _mm512_sad_epu8(low, _mm512_setzero_si512()));
  s.high = _mm512_add_epi64(s.high, _mm512_sad_epu8(high, _mm512_setzero_si512()));
}

// count characters packed in the low lanes of v.
KIV_AVX512 inline bool measure_packed(__m512i v, unsigned count, stream& s) {
  if (count == 0) return true;
  const __mmask64 lanes = count == 64 ? ~__mmask64{0} : (__mmask64{1} << count) - 1;
  const __m512i before1 = _mm512_load_si512(syms.before1);
  const __m512i p1 = _mm512_permutex2var_epi8(s.carry, before1, v);
  const __m512i p2 = _mm512_permutex2var_epi8(s.carry, _mm512_load_si512(syms.before2), v);
  const __m512i props = lookup(costs.props, v);
  const __mmask64 bad = _mm512_test_epi8_mask(props, _mm512_set1_epi8(is_bad)) & lanes;
  const __mmask64 letter = _mm512_test_epi8_mask(props, _mm512_set1_epi8(is_letter)) & lanes;
  const __mmask64 odd = _mm512_test_epi8_mask(props, lookup(costs.odd, p1)) |
                        (letter & _mm512_cmpeq_epi8_mask(v, p1) & _mm512_cmpeq_epi8_mask(p1, p2));
  if (((odd & lanes) | bad) != 0) return false;
  s.n += static_cast<std::uint64_t>(_mm_popcnt_u64(letter));
  s.typo += static_cast<std::uint64_t>(
      _mm_popcnt_u64(_mm512_test_epi8_mask(props, _mm512_set1_epi8(is_typo)) & lanes));

  const __m512i place = lookup(syms.letter, v);
  add_costs(s, _mm512_permutex2var_epi8(s.carry_place, before1, place), place, lanes);
  // Lane j of the next carry is lane count + j of (carry, v).
  const __m512i next =
      _mm512_add_epi8(_mm512_load_si512(syms.iota), _mm512_set1_epi8(static_cast<char>(count)));
  s.carry = _mm512_permutex2var_epi8(s.carry, next, v);
  s.carry_place = _mm512_permutex2var_epi8(s.carry_place, next, place);
  return true;
}

KIV_AVX512 text_measure finish(const stream& s, std::uint64_t mb) {
  alignas(64) std::uint8_t last[64];
  alignas(64) std::uint64_t low[8], high[8];
  _mm512_store_si512(last, s.carry_place);
  _mm512_store_si512(low, s.low);
  _mm512_store_si512(high, s.high);
  std::uint64_t cost = step_cost[last[63]][edge];
  for (int k = 0; k < 8; ++k) cost += low[k] + 256 * high[k];
  text_measure m;
  m.n = static_cast<std::int64_t>(s.n);
  m.cost = static_cast<std::int64_t>(cost);
  m.typo = static_cast<std::int64_t>(s.typo);
  m.mb = static_cast<std::int64_t>(mb);
  return m;
}

KIV_AVX512 bool utf8_kernel(const unsigned char* p, std::size_t len, text_measure* out) {
  stream s = start_stream();
  std::uint64_t mb = 0;
  const __m512i low6 = _mm512_set1_epi8(0x3F);
  const __m512i half = _mm512_set1_epi8(0x40);
  for (std::size_t at = 0; at < len;) {
    const std::size_t rest = len - at;
    const unsigned n = rest < 64 ? static_cast<unsigned>(rest) : 64;
    const __mmask64 bytes = n == 64 ? ~__mmask64{0} : (__mmask64{1} << n) - 1;
    const __m512i x = _mm512_maskz_loadu_epi8(bytes, p + at);
    const __mmask64 high = _mm512_movepi8_mask(x);
    const __mmask64 cont =
        _mm512_cmpeq_epi8_mask(_mm512_and_si512(x, _mm512_set1_epi8(static_cast<char>(0xC0))),
                               _mm512_set1_epi8(static_cast<char>(0x80)));
    const __mmask64 lead = high & ~cont;
    // Two bytes: Latin-1 and Cyrillic; three: E2, the dashes, quotation marks and the
    // like. Any other lead goes to the scalar meter.
    const __mmask64 lead2 = equal(x, 0xC2) | equal(x, 0xC3) | equal(x, 0xD0) | equal(x, 0xD1);
    const __mmask64 lead3 = equal(x, 0xE2);
    if ((lead & ~(lead2 | lead3)) != 0) return false;
    unsigned used = n;
    const __mmask64 cut = (lead2 >> 63 << 63) | (lead3 >> 62 << 62);
    if (cut != 0) {
      if (rest <= 64) return false;  // the text ends inside a character
      used = static_cast<unsigned>(__builtin_ctzll(cut));
    }
    const __mmask64 in = used == 64 ? ~__mmask64{0} : (__mmask64{1} << used) - 1;
    const __mmask64 two = lead2 & in, three = lead3 & in;
    if ((cont & in) != (two << 1 | three << 1 | three << 2)) return false;
    const __m512i x1 =
        _mm512_maskz_permutexvar_epi8(~__mmask64{0}, _mm512_load_si512(syms.shift1), x);
    if (((three << 1) & ~(equal(x, 0x80) | equal(x, 0x84))) != 0) return false;
    mb += static_cast<std::uint64_t>(_mm_popcnt_u64(two | three));

    // Latin-1 and three-byte characters are rare in Russian text: their lookups only where
    // they are.
    const __m512i six = _mm512_and_si512(x, low6);
    const __m512i index2 = _mm512_or_si512(
        six, _mm512_maskz_mov_epi8(_mm512_test_epi8_mask(x1, _mm512_set1_epi8(1)), half));
    const __mmask64 latin =
        (two << 1) & _mm512_cmplt_epu8_mask(x1, _mm512_set1_epi8(static_cast<char>(0xD0)));
    __m512i sym = lookup(syms.ascii, x);
    sym = _mm512_mask_mov_epi8(sym, two << 1, lookup(syms.cyrillic, index2));
    if (latin != 0) sym = _mm512_mask_mov_epi8(sym, latin, lookup(syms.latin, index2));
    if (three != 0) {
      const __m512i index3 = _mm512_or_si512(six, _mm512_maskz_mov_epi8(equal(x1, 0x84), half));
      sym = _mm512_mask_mov_epi8(sym, three << 2, lookup(syms.dashes, index3));
    }
    const __mmask64 ends = (~high & in) | two << 1 | three << 2;
    const __m512i packed = _mm512_maskz_compress_epi8(ends, sym);
    if (!measure_packed(packed, static_cast<unsigned>(_mm_popcnt_u64(ends)), s)) return false;
    at += used;
  }
  *out = finish(s, mb);
  return true;
}

KIV_AVX512 bool page_kernel(int page, const unsigned char* p, std::size_t len, text_measure* out) {
  stream s = start_stream();
  std::uint64_t mb = 0;
  const std::uint8_t* const table = syms.page[page];
  for (std::size_t at = 0; at < len; at += 64) {
    const std::size_t rest = len - at;
    const unsigned n = rest < 64 ? static_cast<unsigned>(rest) : 64;
    const __mmask64 bytes = n == 64 ? ~__mmask64{0} : (__mmask64{1} << n) - 1;
    const __m512i x = _mm512_maskz_loadu_epi8(bytes, p + at);
    const __mmask64 high = _mm512_movepi8_mask(x);
    mb += static_cast<std::uint64_t>(_mm_popcnt_u64(high));
    const __m512i sym = _mm512_mask_blend_epi8(high, lookup(syms.ascii, x), lookup(table, x));
    if (!measure_packed(sym, n, s)) return false;
  }
  *out = finish(s, mb);
  return true;
}

}  // namespace

bool vector_measure_utf8(const unsigned char* p, std::size_t len, text_measure* out) {
  if (!utf8_kernel(p, len, out)) return false;
  repair_vector_bytes += len;
  return true;
}

bool vector_measure_page(int page, const unsigned char* p, std::size_t len, text_measure* out) {
  if (!page_kernel(page, p, len, out)) return false;
  repair_vector_bytes += len;
  return true;
}

}  // namespace repair_classes
