#include "convert/simd.h"

#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "codepages/registry.h"
#include "convert/tables.h"

namespace {

#define KIV_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,popcnt,bmi2")))
#define KIV_AVX2 __attribute__((target("avx2,bmi")))

simd_path best_path() {
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi");
  if (avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
      __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt"))
    return simd_path::avx512;
  return avx2 ? simd_path::avx2 : simd_path::scalar;
}

bool chosen = false;
simd_path current = simd_path::scalar;

// Index vectors of the kernels below.
struct kernel_constants {
  alignas(64) unsigned char spread[64];  // slot j of the wide kernel takes input byte j / 3
  alignas(64) unsigned char slot[64];    // and is byte j % 3 of its output (3: unused)
  // The byte before each one, from two registers: the previous chunk, then this one.
  alignas(64) unsigned char across[64];
  // UTF-16: where the low and the high byte of each of 64 units lie in two registers,
  // little-endian then big-endian.
  alignas(64) unsigned char low[2][64];
  alignas(64) unsigned char high[2][64];
};
constexpr kernel_constants make_constants() {
  kernel_constants k{};
  for (int j = 0; j < 64; ++j) {
    k.spread[j] = static_cast<unsigned char>(j < 48 ? j / 3 : 0);
    k.slot[j] = static_cast<unsigned char>(j < 48 ? j % 3 : 3);
    k.across[j] = static_cast<unsigned char>(j == 0 ? 63 : 63 + j);
    for (int big = 0; big < 2; ++big) {
      k.low[big][j] = static_cast<unsigned char>(2 * j + big);
      k.high[big][j] = static_cast<unsigned char>(2 * j + 1 - big);
    }
  }
  return k;
}
constexpr kernel_constants wide_consts = make_constants();

// AVX2 has no byte compress: eight units at a time of one or two output bytes each, their
// bytes picked by a shuffle chosen by which of them are two bytes long.
struct pair_shuffles {
  alignas(16) unsigned char order[256][16];
  unsigned char twos[256];  // units of two bytes among the eight
};
constexpr pair_shuffles make_shuffles() {
  pair_shuffles t{};
  for (int m = 0; m < 256; ++m) {
    int at = 0;
    for (int k = 0; k < 8; ++k) {
      t.order[m][at++] = static_cast<unsigned char>(2 * k);
      if ((m >> k) & 1) t.order[m][at++] = static_cast<unsigned char>(2 * k + 1);
    }
    t.twos[m] = static_cast<unsigned char>(at - 8);
    while (at < 16) t.order[m][at++] = 0x80;
  }
  return t;
}
constexpr pair_shuffles pair_order = make_shuffles();

// Outputs of one to three bytes, sixteen input bytes at a time, each given three output
// slots: slot k holds byte k of its output, and the slots past its length are squeezed out.
struct wide_tables {
  __m512i spread, slot, b0_lo, b0_hi, b1_lo, b1_hi, b2_lo, b2_hi, len_lo, len_hi;
  __m512i first_lo, first_hi, second_lo, second_hi;
};

KIV_AVX512 inline wide_tables load_wide(const page_pair& p) {
  return {_mm512_load_si512(wide_consts.spread), _mm512_load_si512(wide_consts.slot),
          _mm512_load_si512(p.wide[0]),          _mm512_load_si512(p.wide[0] + 64),
          _mm512_load_si512(p.wide[1]),          _mm512_load_si512(p.wide[1] + 64),
          _mm512_load_si512(p.wide[2]),          _mm512_load_si512(p.wide[2] + 64),
          _mm512_load_si512(p.wide_len),         _mm512_load_si512(p.wide_len + 64),
          _mm512_load_si512(p.pair_first),       _mm512_load_si512(p.pair_first + 64),
          _mm512_load_si512(p.pair_second),      _mm512_load_si512(p.pair_second + 64)};
}

// Sixty-four bytes when every output among them is one or two bytes long (Cyrillic into
// utf-8): each byte's first and second output bytes looked up in place and interleaved,
// the empty second slots squeezed out. False, having done nothing, with *need set to the
// bytes that need more, otherwise.
KIV_AVX512 inline bool wide_pairs64(const wide_tables& t, const unsigned char* in,
                                    unsigned char* out, std::size_t* o, std::uint64_t* need) {
  constexpr std::uint64_t odd = 0xAAAA'AAAA'AAAA'AAAA;
  constexpr std::uint64_t even = ~odd;
  // Quadwords reordered so that interleaving within 128-bit lanes gives bytes 0-31, then
  // 32-63, in order: the low quadword of each lane holds bytes 0-31.
  constexpr std::uint64_t low_half = 0x00FF'00FF'00FF'00FF;
  const __m512i x = _mm512_maskz_permutexvar_epi64(0xFF, _mm512_setr_epi64(0, 4, 1, 5, 2, 6, 3, 7),
                                                   _mm512_loadu_si512(in));
  const __mmask64 high = _mm512_movepi8_mask(x);
  const __m512i second = _mm512_maskz_permutex2var_epi8(high, t.second_lo, x, t.second_hi);
  const std::uint64_t longer = _mm512_cmpeq_epi8_mask(second, _mm512_set1_epi8(-1));
  if (longer != 0) {
    *need = _pext_u64(longer, low_half) | _pext_u64(longer, ~low_half) << 32;
    return false;
  }
  const __m512i first =
      _mm512_mask_blend_epi8(high, x, _mm512_permutex2var_epi8(t.first_lo, x, t.first_hi));
  const __m512i lo = _mm512_unpacklo_epi8(first, second);
  const __m512i hi = _mm512_unpackhi_epi8(first, second);
  // Which bytes have a second output byte, and so where each half goes, straight from
  // the lookup: the output position then does not wait for the interleaving.
  const std::uint64_t two = _mm512_test_epi8_mask(second, second);
  const std::uint64_t two_lo = _pext_u64(two, low_half), two_hi = _pext_u64(two, ~low_half);
  const std::size_t n_lo = 32 + static_cast<std::size_t>(__builtin_popcountll(two & low_half));
  _mm512_storeu_si512(out + *o, _mm512_maskz_compress_epi8(_pdep_u64(two_lo, odd) | even, lo));
  _mm512_storeu_si512(out + *o + n_lo,
                      _mm512_maskz_compress_epi8(_pdep_u64(two_hi, odd) | even, hi));
  *o += 64 + static_cast<std::size_t>(__builtin_popcountll(two));
  return true;
}

// Sixteen bytes from in; returns how many it converted (all, or those before the first
// it cannot do), their output stored at out + *o, *o advanced past it.
KIV_AVX512 inline std::size_t wide_group(const wide_tables& t, const unsigned char* in,
                                         unsigned char* out, std::size_t* o) {
  constexpr std::uint64_t used = (std::uint64_t{1} << 48) - 1;
  constexpr std::uint64_t slot1 = 0x4924'9249'2492;  // j % 3 == 1
  constexpr std::uint64_t slot2 = slot1 << 1;        // j % 3 == 2
  constexpr std::uint64_t slot0 = used & ~slot1 & ~slot2;
  const __m512i x = _mm512_zextsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
  const __m512i xs = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, t.spread, x);
  const __mmask64 ascii = ~_mm512_movepi8_mask(xs);
  const __m512i len = _mm512_mask_blend_epi8(
      ascii, _mm512_permutex2var_epi8(t.len_lo, xs, t.len_hi), _mm512_set1_epi8(1));
  const std::uint64_t stop = _mm512_cmpeq_epi8_mask(len, _mm512_setzero_si512()) & used;
  const std::size_t take = stop == 0 ? 16 : static_cast<std::size_t>(__builtin_ctzll(stop)) / 3;
  __m512i y = _mm512_permutex2var_epi8(t.b0_lo, xs, t.b0_hi);
  y = _mm512_mask_blend_epi8(slot1, y, _mm512_permutex2var_epi8(t.b1_lo, xs, t.b1_hi));
  y = _mm512_mask_blend_epi8(slot2, y, _mm512_permutex2var_epi8(t.b2_lo, xs, t.b2_hi));
  y = _mm512_mask_blend_epi8(ascii & slot0, y, xs);
  const __mmask64 keep =
      _mm512_cmpgt_epu8_mask(len, t.slot) & ((std::uint64_t{1} << (3 * take)) - 1);
  _mm512_storeu_si512(out + *o, _mm512_maskz_compress_epi8(keep, y));
  *o += static_cast<std::size_t>(__builtin_popcountll(keep));
  return take;
}

// From in[*i] while *i < until: two slots a byte where that will do, else three. False
// when it stopped at a byte it cannot do, or with too few bytes left for a group.
KIV_AVX512 inline bool wide_run(const wide_tables& t, const unsigned char* in, std::size_t n,
                                std::size_t until, std::size_t* i, unsigned char* out,
                                std::size_t* o) {
  while (*i < until) {
    std::size_t past = 0;  // three slots a byte up to here
    if (n - *i >= 64) {
      std::uint64_t need;
      if (wide_pairs64(t, in + *i, out, o, &need)) {
        *i += 64;
        continue;
      }
      past = *i + 64 - static_cast<std::size_t>(__builtin_clzll(need));
    }
    // Bytes that need three slots, or the last few: sixteen at a time the three-slot way.
    do {
      const std::size_t take = n - *i < 16 ? 0 : wide_group(t, in + *i, out, o);
      *i += take;
      if (take < 16) return false;
    } while (*i < past);
  }
  return true;
}

KIV_AVX512 std::size_t wide_avx512(const page_pair& p, const unsigned char* in, std::size_t n,
                                   unsigned char* out, std::size_t* produced) {
  const wide_tables t = load_wide(p);
  std::size_t i = 0, o = 0;
  wide_run(t, in, n, n, &i, out, &o);
  *produced += o;
  return i;
}

// Bytes 80-FF through a 128-entry table in two registers: vpermi2b reads index bits
// 0-6, so the byte itself is the index. ASCII stays itself. A chunk with a byte whose
// output is longer goes the wide way.
KIV_AVX512 std::size_t narrow_avx512(const page_pair& p, const unsigned char* in, std::size_t n,
                                     unsigned char* out, std::size_t* produced) {
  const __m512i lo = _mm512_load_si512(p.byte_map);
  const __m512i hi = _mm512_load_si512(p.byte_map + 64);
  const __m512i bad_lo = _mm512_load_si512(p.byte_bad);
  const __m512i bad_hi = _mm512_load_si512(p.byte_bad + 64);
  const wide_tables t = load_wide(p);
  std::size_t i = 0, o = 0;
  while (i < n) {
    // The last chunk may be short: masked loads and stores stay inside it.
    const bool whole = n - i >= 64;
    const __mmask64 part = whole ? ~__mmask64{0} : (__mmask64{1} << (n - i)) - 1;
    const __m512i x = whole ? _mm512_loadu_si512(in + i) : _mm512_maskz_loadu_epi8(part, in + i);
    const __mmask64 high = _mm512_movepi8_mask(x);
    const __m512i bad = _mm512_permutex2var_epi8(bad_lo, x, bad_hi);
    const std::uint64_t stop = _mm512_mask_test_epi8_mask(high, bad, bad);
    const __m512i y = _mm512_mask_blend_epi8(high, x, _mm512_permutex2var_epi8(lo, x, hi));
    if (stop == 0) {
      if (whole)
        _mm512_storeu_si512(out + o, y);
      else
        _mm512_mask_storeu_epi8(out + o, part, y);
      const std::size_t k = whole ? 64 : n - i;
      i += k;
      o += k;
      continue;
    }
    // Just past the last byte with a longer output: the narrow way goes on from there.
    const std::size_t past_last = i + 64 - static_cast<std::size_t>(__builtin_clzll(stop));
    const std::size_t first = static_cast<std::size_t>(__builtin_ctzll(stop));
    _mm512_mask_storeu_epi8(out + o, (__mmask64{1} << first) - 1, y);
    i += first;
    o += first;
    // From the first longer output past the last, the wide way; what that cannot do
    // either is the caller's.
    if (!wide_run(t, in, n, past_last, &i, out, &o)) break;
  }
  *produced += o;
  return i;
}

// Without a 128-entry permute: eight 16-entry tables, one per high nibble 8-F, each
// looked up by the low nibble and blended in where the high nibble matches.
KIV_AVX2 std::size_t narrow_avx2(const page_pair& p, const unsigned char* in, std::size_t n,
                                 unsigned char* out) {
  __m256i rows[8];
  for (int r = 0; r < 8; ++r)
    rows[r] = _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i*>(p.byte_map + 16 * r)));
  // Bad bytes as a bitmap: the low nibble picks a row of bits, the high nibble a bit.
  const __m256i bad_rows = _mm256_broadcastsi128_si256(
      _mm_load_si128(reinterpret_cast<const __m128i*>(p.byte_bad_bits)));
  const __m256i bit_of = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 8, 16, 32, 64, -128, 0,
                                          0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 8, 16, 32, 64, -128);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m256i low = _mm256_and_si256(x, nibble);
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble);
    const __m256i bad =
        _mm256_and_si256(_mm256_shuffle_epi8(bad_rows, low), _mm256_shuffle_epi8(bit_of, high));
    const auto stop = ~static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(bad, _mm256_setzero_si256())));
    __m256i y = x;
    for (int r = 0; r < 8; ++r) {
      const __m256i here = _mm256_cmpeq_epi8(high, _mm256_set1_epi8(static_cast<char>(8 + r)));
      y = _mm256_blendv_epi8(y, _mm256_shuffle_epi8(rows[r], low), here);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), y);
    if (stop != 0) return i + static_cast<std::size_t>(__builtin_ctz(stop));
  }
  return i;
}

// The utf-8 character at in[at], two or three bytes, from the pair's rows as the scalar
// loop takes it: its entry stored at out + *o. Its length, or 0 when the rows lack it or
// the input ends too soon.
inline std::size_t table_char(const page_pair& p, const unsigned char* in, std::size_t at,
                              std::size_t n, unsigned char* out, std::size_t* o) {
  const unsigned b = in[at];
  const char_entry* e;
  std::size_t len;
  if ((b & 0xE0) == 0xC0 && at + 1 < n) {
    e = &p.rows[b & 0x1F][in[at + 1]];
    len = 2;
  } else if ((b & 0xF0) == 0xE0 && at + 2 < n && (in[at + 1] & 0xC0) == 0x80) {
    e = &p.rows3[row3_index(b, in[at + 1])][in[at + 2]];
    len = 3;
  } else {
    return 0;
  }
  if (e->len == entry_slow) return 0;
  std::memcpy(out + *o, e, sizeof *e);
  *o += e->len;
  return len;
}

// The UTF-16 unit at `at` from its row, likewise; false when the row lacks it.
template <bool big>
inline bool table_unit(const page_pair& p, const unsigned char* at, unsigned char* out,
                       std::size_t* o) {
  const unsigned u =
      big ? static_cast<unsigned>(at[0] << 8 | at[1]) : static_cast<unsigned>(at[1] << 8 | at[0]);
  const char_entry& e = p.unit_rows[u >> 8][u & 0xFF];
  if (e.len == entry_slow) return false;
  std::memcpy(out + *o, &e, sizeof e);
  *o += e.len;
  return true;
}

// A chunk of ASCII and two-byte characters led by D0 or D1: each continuation byte,
// with its lead's low bit, indexes the 128 characters U+0400-U+047F; the leads are then
// squeezed out. Fixed steps of 64 bytes, so that no load waits on the previous chunk's
// compares: a lead that ends a chunk is checked with the next one, which takes the byte
// before its first from the previous chunk by a permute.
KIV_AVX512 std::size_t cyrillic_avx512(const page_pair& p, const unsigned char* in, std::size_t n,
                                       unsigned char* out, std::size_t* produced) {
  const __m512i prev_idx = _mm512_load_si512(wide_consts.across);
  const __m512i lo = _mm512_load_si512(p.cyr_map), hi = _mm512_load_si512(p.cyr_map + 64);
  const __m512i lead_bits = _mm512_set1_epi8(static_cast<char>(0xFE));
  const __m512i d0 = _mm512_set1_epi8(static_cast<char>(0xD0));
  const __m512i c0 = _mm512_set1_epi8(static_cast<char>(0xC0));
  const __m512i low6 = _mm512_set1_epi8(0x3F);
  const __m512i bit6 = _mm512_set1_epi8(0x40);
  __m512i before = _mm512_setzero_si512();
  std::uint64_t carried = 0;  // 1: the previous chunk ended in a lead
  std::size_t i = 0, o = 0;
  while (i + 64 <= n) {
    const __m512i x = _mm512_loadu_si512(in + i);
    const std::uint64_t high = _mm512_movepi8_mask(x);
    const std::uint64_t lead = _mm512_cmpeq_epi8_mask(_mm512_and_si512(x, lead_bits), d0);
    const std::uint64_t cont = _mm512_cmplt_epi8_mask(x, c0);  // 80-BF, as signed bytes
    const __m512i prev = _mm512_permutex2var_epi8(before, prev_idx, x);
    const __m512i idx = _mm512_or_si512(_mm512_and_si512(x, low6),
                                        _mm512_and_si512(_mm512_slli_epi16(prev, 6), bit6));
    const __m512i y = _mm512_permutex2var_epi8(lo, idx, hi);
    // What it cannot do: other bytes above 7F, a lead without its continuation byte (a
    // stop after it) or one without its lead, a character that is not one byte (0).
    const std::uint64_t stop = (high ^ (lead | cont)) | (cont ^ (lead << 1 | carried)) |
                               _mm512_mask_testn_epi8_mask(cont, y, y);
    const __m512i z = _mm512_mask_blend_epi8(cont, x, y);
    if (stop == 0) {
      _mm512_storeu_si512(out + o, _mm512_maskz_compress_epi8(~lead, z));
      o += static_cast<std::size_t>(__builtin_popcountll(~lead));
      carried = lead >> 63;
      before = x;
      i += 64;
      continue;
    }
    // The stretches between the stops from this chunk, each stopping character from the
    // rows if they have it, as the scalar loop would take it; on after the last.
    std::uint64_t left = stop;
    std::size_t done = 0;  // bytes of the chunk converted
    for (;;) {
      std::size_t at = left == 0 ? 64 : static_cast<std::size_t>(__builtin_ctzll(left));
      // Never split a character: a lead right before the stop stays with its byte.
      if (at < 64 && at > done && ((lead >> (at - 1)) & 1) != 0) --at;
      const std::uint64_t upto = at == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << at) - 1;
      const std::uint64_t keep = ~lead & upto & ~((std::uint64_t{1} << done) - 1);
      _mm512_storeu_si512(out + o, _mm512_maskz_compress_epi8(keep, z));
      o += static_cast<std::size_t>(__builtin_popcountll(keep));
      if (at == 64) break;
      // Stopped at its first byte, the chunk stops the character the last one's lead began.
      const std::size_t start = i + at - (at == 0 ? carried : 0);
      const std::size_t len = table_char(p, in, start, n, out, &o);
      if (len == 0) {
        *produced += o;
        return start;
      }
      done = start + len - i;
      if (done >= 64) break;
      left &= ~((std::uint64_t{1} << done) - 1);
    }
    if (done >= 64) {
      i += done;
      carried = 0;
    } else {
      carried = lead >> 63;
      before = x;
      i += 64;
    }
  }
  *produced += o;
  return i - carried;  // a lead at the end waits for the byte after it
}

// Bits from..to-1 of 64 (from <= to <= 64).
inline std::uint64_t bits_between(std::size_t from, std::size_t to) {
  const std::uint64_t below_to = to >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << to) - 1;
  const std::uint64_t below_from = from >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << from) - 1;
  return below_to & ~below_from;
}

// The next 64 UTF-16 units in two registers, or the fewer that are left: masked loads stay
// inside them, and the empty lanes read as U+0000, which stops nothing.
KIV_AVX512 inline void load_units(const unsigned char* at, std::size_t left, __m512i* a,
                                  __m512i* b) {
  if (left >= 64) {
    *a = _mm512_loadu_si512(at);
    *b = _mm512_loadu_si512(at + 64);
    return;
  }
  const std::size_t bytes = 2 * left;
  const __mmask64 first = bytes >= 64 ? ~__mmask64{0} : (__mmask64{1} << bytes) - 1;
  const __mmask64 second = bytes > 64 ? (__mmask64{1} << (bytes - 64)) - 1 : 0;
  *a = _mm512_maskz_loadu_epi8(first, at);
  *b = _mm512_maskz_loadu_epi8(second, at + 64);
}

// UTF-16 to single bytes, 64 units at a time: their low and high bytes gathered apart, the
// low byte of U+04xx looked up in the table of U+0400-U+047F, ASCII kept.
template <bool big>
KIV_AVX512 std::size_t utf16_narrow_avx512(const page_pair& p, const unsigned char* in,
                                           std::size_t n, unsigned char* out,
                                           std::size_t* produced) {
  const __m512i map_lo = _mm512_load_si512(p.cyr_map), map_hi = _mm512_load_si512(p.cyr_map + 64);
  const __m512i low_idx = _mm512_load_si512(wide_consts.low[big]);
  const __m512i high_idx = _mm512_load_si512(wide_consts.high[big]);
  const __m512i four = _mm512_set1_epi8(4);
  const std::size_t units = n / 2;
  std::size_t u = 0, o = 0;
  while (u < units) {
    const std::size_t left = units - u;
    const bool whole = left >= 64;
    __m512i a, b;
    load_units(in + 2 * u, left, &a, &b);
    const __m512i low = _mm512_permutex2var_epi8(a, low_idx, b);
    const __m512i high = _mm512_permutex2var_epi8(a, high_idx, b);
    const std::uint64_t cyr = _mm512_cmpeq_epi8_mask(high, four);
    const std::uint64_t fast =
        (_mm512_testn_epi8_mask(high, high) | cyr) & ~_mm512_movepi8_mask(low);
    const __m512i mapped = _mm512_permutex2var_epi8(map_lo, low, map_hi);
    const std::uint64_t stop = ~fast | _mm512_mask_testn_epi8_mask(cyr, mapped, mapped);
    const __m512i y = _mm512_mask_blend_epi8(cyr, low, mapped);
    if (stop == 0 && whole) {
      _mm512_storeu_si512(out + o, y);
      u += 64;
      o += 64;
      continue;
    }
    // The stretches between the stops, each stopping unit from its row if that has it; on
    // after the last.
    const std::size_t avail = whole ? 64 : left;
    std::uint64_t stops = stop;
    for (std::size_t done = 0;;) {
      std::size_t at = stops == 0 ? 64 : static_cast<std::size_t>(__builtin_ctzll(stops));
      if (at > avail) at = avail;
      _mm512_storeu_si512(out + o, _mm512_maskz_compress_epi8(bits_between(done, at), y));
      o += at - done;
      if (at == avail) break;
      if (!table_unit<big>(p, in + 2 * (u + at), out, &o)) {
        *produced += o;
        return 2 * (u + at);
      }
      done = at + 1;
      stops &= ~bits_between(0, done);
    }
    u += avail;
  }
  *produced += o;
  return 2 * u;
}

// UTF-16 into utf-8, 64 units at a time in two registers: each unit of U+0400-U+047F
// made into its two UTF-8 bytes in place (D0 or D1, then 80-BF, in memory order), ASCII
// left as it is; then the empty high bytes of the ASCII units squeezed out.
KIV_AVX512 inline __m512i utf8_in_place(__m512i v, __mmask32 cyr) {
  const __m512i lead = _mm512_or_si512(
      _mm512_and_si512(_mm512_srli_epi16(v, 6), _mm512_set1_epi16(1)), _mm512_set1_epi16(0xD0));
  const __m512i trail = _mm512_slli_epi16(
      _mm512_or_si512(_mm512_and_si512(v, _mm512_set1_epi16(0x3F)), _mm512_set1_epi16(0x80)), 8);
  return _mm512_mask_blend_epi16(cyr, v, _mm512_or_si512(lead, trail));
}

template <bool big>
KIV_AVX512 std::size_t utf16_wide_avx512(const page_pair& p, const unsigned char* in, std::size_t n,
                                         unsigned char* out, std::size_t* produced) {
  constexpr std::uint64_t even = 0x5555'5555'5555'5555;
  const __m512i swap = _mm512_set4_epi32(0x0E0F0C0D, 0x0A0B0809, 0x06070405, 0x02030001);
  const __m512i top = _mm512_set1_epi16(static_cast<short>(0xFF80));
  const __m512i cyr_top = _mm512_set1_epi16(0x0400);
  const std::size_t units = n / 2;
  std::size_t u = 0, o = 0;
  while (u < units) {
    const std::size_t left = units - u;
    const bool whole = left >= 64;
    __m512i a, b;
    load_units(in + 2 * u, left, &a, &b);
    if (big) {
      a = _mm512_shuffle_epi8(a, swap);
      b = _mm512_shuffle_epi8(b, swap);
    }
    const __m512i ta = _mm512_and_si512(a, top), tb = _mm512_and_si512(b, top);
    const __mmask32 cyr_a = _mm512_cmpeq_epi16_mask(ta, cyr_top);
    const __mmask32 cyr_b = _mm512_cmpeq_epi16_mask(tb, cyr_top);
    const std::uint64_t fast =
        (_mm512_testn_epi16_mask(a, top) | cyr_a) |
        std::uint64_t{static_cast<std::uint32_t>(_mm512_testn_epi16_mask(b, top) | cyr_b)} << 32;
    const __m512i ya = utf8_in_place(a, cyr_a), yb = utf8_in_place(b, cyr_b);
    const std::uint64_t keep_a = _mm512_test_epi8_mask(ya, ya) | even;
    const std::uint64_t keep_b = _mm512_test_epi8_mask(yb, yb) | even;
    if (fast == ~std::uint64_t{0} && whole) {
      // Where the second half goes, from the compares rather than from the squeeze masks.
      const std::size_t n_a = 32 + static_cast<std::size_t>(__builtin_popcount(cyr_a));
      _mm512_storeu_si512(out + o, _mm512_maskz_compress_epi8(keep_a, ya));
      _mm512_storeu_si512(out + o + n_a, _mm512_maskz_compress_epi8(keep_b, yb));
      o += n_a + 32 + static_cast<std::size_t>(__builtin_popcount(cyr_b));
      u += 64;
      continue;
    }
    // The stretches between the stops, two bytes a unit, the first 32 units in ya; each
    // stopping unit from its row if that has it; on after the last.
    const std::size_t avail = whole ? 64 : left;
    std::uint64_t stops = ~fast;
    for (std::size_t done = 0;;) {
      std::size_t at = stops == 0 ? 64 : static_cast<std::size_t>(__builtin_ctzll(stops));
      if (at > avail) at = avail;
      const std::size_t a0 = done < 32 ? done : 32, a1 = at < 32 ? at : 32;
      const std::uint64_t in_a = keep_a & bits_between(2 * a0, 2 * a1);
      const std::uint64_t in_b = keep_b & bits_between(2 * (done - a0), 2 * (at - a1));
      _mm512_storeu_si512(out + o, _mm512_maskz_compress_epi8(in_a, ya));
      o += static_cast<std::size_t>(__builtin_popcountll(in_a));
      _mm512_storeu_si512(out + o, _mm512_maskz_compress_epi8(in_b, yb));
      o += static_cast<std::size_t>(__builtin_popcountll(in_b));
      if (at == avail) break;
      if (!table_unit<big>(p, in + 2 * (u + at), out, &o)) {
        *produced += o;
        return 2 * (u + at);
      }
      done = at + 1;
      stops &= ~bits_between(0, done);
    }
    u += avail;
  }
  *produced += o;
  return 2 * u;
}

// The same with AVX2: 32 units at a time, the table of U+0400-U+047F as eight 16-entry
// rows, as narrow_avx2 has them; a 0 from them is a stop.
template <bool big>
KIV_AVX2 std::size_t utf16_narrow_avx2(const page_pair& p, const unsigned char* in, std::size_t n,
                                       unsigned char* out) {
  __m256i rows[8];
  for (int r = 0; r < 8; ++r)
    rows[r] = _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i*>(p.cyr_map + 16 * r)));
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i byte = _mm256_set1_epi16(0x00FF);
  const __m256i four = _mm256_set1_epi8(4);
  const __m256i zero = _mm256_setzero_si256();
  const std::size_t units = n / 2;
  std::size_t u = 0;
  for (; u + 32 <= units; u += 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 2 * u));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 2 * u + 32));
    const __m256i a0 = _mm256_and_si256(a, byte), b0 = _mm256_and_si256(b, byte);
    const __m256i a1 = _mm256_srli_epi16(a, 8), b1 = _mm256_srli_epi16(b, 8);
    // packus interleaves the 128-bit lanes of its two inputs; the permute puts them back.
    const __m256i low = _mm256_permute4x64_epi64(
        big ? _mm256_packus_epi16(a1, b1) : _mm256_packus_epi16(a0, b0), 0xD8);
    const __m256i high = _mm256_permute4x64_epi64(
        big ? _mm256_packus_epi16(a0, b0) : _mm256_packus_epi16(a1, b1), 0xD8);
    const __m256i cyr = _mm256_cmpeq_epi8(high, four);
    const __m256i fast = _mm256_or_si256(_mm256_cmpeq_epi8(high, zero), cyr);
    const __m256i low_nibble = _mm256_and_si256(low, nibble);
    const __m256i high_nibble = _mm256_and_si256(_mm256_srli_epi16(low, 4), nibble);
    __m256i y = low;
    for (int r = 0; r < 8; ++r) {
      const __m256i here = _mm256_and_si256(
          cyr, _mm256_cmpeq_epi8(high_nibble, _mm256_set1_epi8(static_cast<char>(r))));
      y = _mm256_blendv_epi8(y, _mm256_shuffle_epi8(rows[r], low_nibble), here);
    }
    const __m256i lacking = _mm256_and_si256(cyr, _mm256_cmpeq_epi8(y, zero));
    const std::uint32_t stop = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(fast)) |
                               static_cast<std::uint32_t>(_mm256_movemask_epi8(low)) |
                               static_cast<std::uint32_t>(_mm256_movemask_epi8(lacking));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + u), y);
    if (stop != 0) return 2 * (u + static_cast<std::size_t>(__builtin_ctz(stop)));
  }
  return 2 * u;
}

// UTF-16 into utf-8 with AVX2: 16 units at a time, each made into its UTF-8 bytes in a
// 16-bit lane, eight lanes then squeezed by a shuffle from pair_order.
template <bool big>
KIV_AVX2 std::size_t utf16_wide_avx2(const unsigned char* in, std::size_t n, unsigned char* out,
                                     std::size_t* produced) {
  const __m256i swap = _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14, 1, 0,
                                        3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
  const __m256i top = _mm256_set1_epi16(static_cast<short>(0xFF80));
  const __m256i cyr_top = _mm256_set1_epi16(0x0400);
  const __m256i zero = _mm256_setzero_si256();
  const std::size_t units = n / 2;
  std::size_t u = 0, o = 0;
  while (u + 16 <= units) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 2 * u));
    if (big) v = _mm256_shuffle_epi8(v, swap);
    const __m256i t = _mm256_and_si256(v, top);
    const __m256i cyr = _mm256_cmpeq_epi16(t, cyr_top);
    const __m256i fast = _mm256_or_si256(_mm256_cmpeq_epi16(t, zero), cyr);
    // D0 or D1 in the low byte, 80-BF in the high one: the bytes in memory order.
    const __m256i lead = _mm256_or_si256(
        _mm256_and_si256(_mm256_srli_epi16(v, 6), _mm256_set1_epi16(1)), _mm256_set1_epi16(0xD0));
    const __m256i trail = _mm256_slli_epi16(
        _mm256_or_si256(_mm256_and_si256(v, _mm256_set1_epi16(0x3F)), _mm256_set1_epi16(0x80)), 8);
    const __m256i w = _mm256_blendv_epi8(v, _mm256_or_si256(lead, trail), cyr);
    const auto twos =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_packs_epi16(cyr, cyr)));
    const unsigned m0 = twos & 0xFF, m1 = (twos >> 16) & 0xFF;               // units 0-7, 8-15
    const auto ok = static_cast<std::uint32_t>(_mm256_movemask_epi8(fast));  // two bits a unit
    const std::size_t take =
        ok == ~std::uint32_t{0} ? 16 : static_cast<std::size_t>(__builtin_ctz(~ok)) / 2;
    const std::size_t k0 = take < 8 ? take : 8;
    _mm_storeu_si128(
        reinterpret_cast<__m128i*>(out + o),
        _mm_shuffle_epi8(_mm256_castsi256_si128(w),
                         _mm_load_si128(reinterpret_cast<const __m128i*>(pair_order.order[m0]))));
    o += k0 + pair_order.twos[m0 & ((1u << k0) - 1)];
    if (take > 8) {
      const std::size_t k1 = take - 8;
      _mm_storeu_si128(
          reinterpret_cast<__m128i*>(out + o),
          _mm_shuffle_epi8(_mm256_extracti128_si256(w, 1),
                           _mm_load_si128(reinterpret_cast<const __m128i*>(pair_order.order[m1]))));
      o += k1 + pair_order.twos[m1 & ((1u << k1) - 1)];
    }
    u += take;
    if (take < 16) break;
  }
  *produced += o;
  return 2 * u;
}

}  // namespace

std::size_t simd_taken = 0;

simd_path simd_current() {
  if (!chosen) {
    current = best_path();
    chosen = true;
  }
  return current;
}

bool simd_supported(simd_path path) {
  switch (best_path()) {
    case simd_path::avx512:
      return true;
    case simd_path::avx2:
      return path != simd_path::avx512;
    default:
      return path == simd_path::scalar;
  }
}

bool simd_force(simd_path path) {
  if (!simd_supported(path)) return false;
  current = path;
  chosen = true;
  return true;
}

const char* simd_name(simd_path path) {
  switch (path) {
    case simd_path::avx512:
      return "avx512";
    case simd_path::avx2:
      return "avx2";
    default:
      return "scalar";
  }
}

std::size_t simd_narrow(const page_pair& pair, const unsigned char* in, std::size_t n,
                        unsigned char* out, std::size_t* produced) {
  std::size_t k = 0;
  if (simd_current() == simd_path::avx512) {
    k = narrow_avx512(pair, in, n, out, produced);
  } else if (simd_current() == simd_path::avx2) {
    k = narrow_avx2(pair, in, n, out);
    *produced += k;
  }
  simd_taken += k;
  return k;
}

// The AVX-512 kernels have no other version: elsewhere the scalar loop does it all.
template <typename kernel>
std::size_t avx512_only(kernel k, const page_pair& pair, const unsigned char* in, std::size_t n,
                        unsigned char* out, std::size_t* produced) {
  const std::size_t taken = simd_current() == simd_path::avx512 ? k(pair, in, n, out, produced) : 0;
  simd_taken += taken;
  return taken;
}

std::size_t simd_wide(const page_pair& pair, const unsigned char* in, std::size_t n,
                      unsigned char* out, std::size_t* produced) {
  return avx512_only(wide_avx512, pair, in, n, out, produced);
}

std::size_t simd_cyrillic(const page_pair& pair, const unsigned char* in, std::size_t n,
                          unsigned char* out, std::size_t* produced) {
  return avx512_only(cyrillic_avx512, pair, in, n, out, produced);
}

std::size_t simd_utf16(const page_pair& pair, const unsigned char* in, std::size_t n,
                       unsigned char* out, std::size_t* produced) {
  const bool narrow = pair.to->char_width == 1;
  const bool big = pair.big_endian;
  std::size_t k = 0;
  switch (simd_current()) {
    case simd_path::avx512:
      if (narrow)
        k = big ? utf16_narrow_avx512<true>(pair, in, n, out, produced)
                : utf16_narrow_avx512<false>(pair, in, n, out, produced);
      else
        k = big ? utf16_wide_avx512<true>(pair, in, n, out, produced)
                : utf16_wide_avx512<false>(pair, in, n, out, produced);
      break;
    case simd_path::avx2:
      if (narrow) {
        k = big ? utf16_narrow_avx2<true>(pair, in, n, out)
                : utf16_narrow_avx2<false>(pair, in, n, out);
        *produced += k / 2;
      } else
        k = big ? utf16_wide_avx2<true>(in, n, out, produced)
                : utf16_wide_avx2<false>(in, n, out, produced);
      break;
    default:
      break;
  }
  simd_taken += k;
  return k;
}
