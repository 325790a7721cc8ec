#include "convert/simd.h"

#include <immintrin.h>

#include <cstdint>

#include "convert/tables.h"

namespace {

#define KIV_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,popcnt")))
#define KIV_AVX2 __attribute__((target("avx2")))

simd_path best_path() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2"))
    return simd_path::avx512;
  if (__builtin_cpu_supports("avx2")) return simd_path::avx2;
  return simd_path::scalar;
}

bool chosen = false;
simd_path current = simd_path::scalar;

// Index vectors of the kernels below.
struct kernel_constants {
  alignas(64) unsigned char spread[64];  // slot j of the wide kernel takes input byte j / 3
  alignas(64) unsigned char slot[64];    // and is byte j % 3 of its output (3: unused)
  alignas(64) unsigned char before[64];  // the byte before each one
};
constexpr kernel_constants make_constants() {
  kernel_constants k{};
  for (int j = 0; j < 64; ++j) {
    k.spread[j] = static_cast<unsigned char>(j < 48 ? j / 3 : 0);
    k.slot[j] = static_cast<unsigned char>(j < 48 ? j % 3 : 3);
    k.before[j] = static_cast<unsigned char>(j == 0 ? 0 : j - 1);
  }
  return k;
}
constexpr kernel_constants wide_consts = make_constants();

// Bytes 80-FF through a 128-entry table in two registers: vpermi2b reads index bits
// 0-6, so the byte itself is the index. ASCII stays itself.
KIV_AVX512 std::size_t narrow_avx512(const page_pair& p, const unsigned char* in, std::size_t n,
                                     unsigned char* out) {
  const __m512i lo = _mm512_load_si512(p.byte_map);
  const __m512i hi = _mm512_load_si512(p.byte_map + 64);
  const __m512i bad_lo = _mm512_load_si512(p.byte_bad);
  const __m512i bad_hi = _mm512_load_si512(p.byte_bad + 64);
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m512i x = _mm512_loadu_si512(in + i);
    const __mmask64 high = _mm512_movepi8_mask(x);
    const __m512i bad = _mm512_permutex2var_epi8(bad_lo, x, bad_hi);
    if (_mm512_mask_test_epi8_mask(high, bad, bad) != 0) break;
    const __m512i y = _mm512_permutex2var_epi8(lo, x, hi);
    _mm512_storeu_si512(out + i, _mm512_mask_blend_epi8(high, x, y));
  }
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
    if (!_mm256_testz_si256(bad, bad)) break;
    __m256i y = x;
    for (int r = 0; r < 8; ++r) {
      const __m256i here = _mm256_cmpeq_epi8(high, _mm256_set1_epi8(static_cast<char>(8 + r)));
      y = _mm256_blendv_epi8(y, _mm256_shuffle_epi8(rows[r], low), here);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), y);
  }
  return i;
}

// Sixteen input bytes at a time, each given three output slots: slot k holds byte k of
// its output, and the slots past its length are squeezed out.
KIV_AVX512 std::size_t wide_avx512(const page_pair& p, const unsigned char* in, std::size_t n,
                                   unsigned char* out, std::size_t* produced) {
  constexpr std::uint64_t used = (std::uint64_t{1} << 48) - 1;
  constexpr std::uint64_t slot1 = 0x4924'9249'2492;  // j % 3 == 1
  constexpr std::uint64_t slot2 = slot1 << 1;        // j % 3 == 2
  constexpr std::uint64_t slot0 = used & ~slot1 & ~slot2;
  const __m512i spread_idx = _mm512_load_si512(wide_consts.spread);
  const __m512i slot_idx = _mm512_load_si512(wide_consts.slot);
  const __m512i b0_lo = _mm512_load_si512(p.wide[0]), b0_hi = _mm512_load_si512(p.wide[0] + 64);
  const __m512i b1_lo = _mm512_load_si512(p.wide[1]), b1_hi = _mm512_load_si512(p.wide[1] + 64);
  const __m512i b2_lo = _mm512_load_si512(p.wide[2]), b2_hi = _mm512_load_si512(p.wide[2] + 64);
  const __m512i len_lo = _mm512_load_si512(p.wide_len);
  const __m512i len_hi = _mm512_load_si512(p.wide_len + 64);
  const __m512i one = _mm512_set1_epi8(1);
  std::size_t i = 0, o = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512i x =
        _mm512_zextsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)));
    const __m512i xs = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, spread_idx, x);
    const __mmask64 ascii = ~_mm512_movepi8_mask(xs);
    const __m512i len =
        _mm512_mask_blend_epi8(ascii, _mm512_permutex2var_epi8(len_lo, xs, len_hi), one);
    if ((_mm512_cmpeq_epi8_mask(len, _mm512_setzero_si512()) & used) != 0) break;
    __m512i y = _mm512_permutex2var_epi8(b0_lo, xs, b0_hi);
    y = _mm512_mask_blend_epi8(slot1, y, _mm512_permutex2var_epi8(b1_lo, xs, b1_hi));
    y = _mm512_mask_blend_epi8(slot2, y, _mm512_permutex2var_epi8(b2_lo, xs, b2_hi));
    y = _mm512_mask_blend_epi8(ascii & slot0, y, xs);
    const __mmask64 keep = _mm512_cmpgt_epu8_mask(len, slot_idx) & used;
    _mm512_storeu_si512(out + o, _mm512_maskz_compress_epi8(keep, y));
    o += static_cast<std::size_t>(__builtin_popcountll(keep));
  }
  *produced += o;
  return i;
}

// A chunk of ASCII and two-byte characters led by D0 or D1: each continuation byte,
// with its lead's low bit, indexes the 128 characters U+0400-U+047F; the leads are then
// squeezed out.
KIV_AVX512 std::size_t cyrillic_avx512(const page_pair& p, const unsigned char* in, std::size_t n,
                                       unsigned char* out, std::size_t* produced) {
  const __m512i prev_idx = _mm512_load_si512(wide_consts.before);
  const __m512i lo = _mm512_load_si512(p.cyr_map), hi = _mm512_load_si512(p.cyr_map + 64);
  const __m512i bad_lo = _mm512_load_si512(p.cyr_bad);
  const __m512i bad_hi = _mm512_load_si512(p.cyr_bad + 64);
  const __m512i d0 = _mm512_set1_epi8(static_cast<char>(0xD0));
  const __m512i d1 = _mm512_set1_epi8(static_cast<char>(0xD1));
  const __m512i top2 = _mm512_set1_epi8(static_cast<char>(0xC0));
  const __m512i cont_bits = _mm512_set1_epi8(static_cast<char>(0x80));
  const __m512i low6 = _mm512_set1_epi8(0x3F);
  const __m512i bit6 = _mm512_set1_epi8(0x40);
  std::size_t i = 0, o = 0;
  while (i + 64 <= n) {
    const __m512i x = _mm512_loadu_si512(in + i);
    const std::uint64_t high = _mm512_movepi8_mask(x);
    std::uint64_t lead = _mm512_cmpeq_epi8_mask(x, d0) | _mm512_cmpeq_epi8_mask(x, d1);
    const std::uint64_t cont = _mm512_cmpeq_epi8_mask(_mm512_and_si512(x, top2), cont_bits);
    if ((lead | cont) != high) break;
    std::size_t take = 64;
    std::uint64_t span = ~std::uint64_t{0};
    if (lead >> 63) {  // cut by the chunk's end: left to the next chunk
      take = 63;
      span >>= 1;
      lead &= span;
    }
    if (cont != (lead << 1)) break;
    const __m512i prev = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, prev_idx, x);
    const __m512i idx = _mm512_or_si512(_mm512_and_si512(x, low6),
                                        _mm512_and_si512(_mm512_slli_epi16(prev, 6), bit6));
    const __m512i bad = _mm512_permutex2var_epi8(bad_lo, idx, bad_hi);
    if (_mm512_mask_test_epi8_mask(cont, bad, bad) != 0) break;
    const __m512i y = _mm512_mask_blend_epi8(cont, x, _mm512_permutex2var_epi8(lo, idx, hi));
    const std::uint64_t keep = ~lead & span;
    _mm512_storeu_si512(out + o, _mm512_maskz_compress_epi8(keep, y));
    o += static_cast<std::size_t>(__builtin_popcountll(keep));
    i += take;
  }
  *produced += o;
  return i;
}

}  // namespace

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
                        unsigned char* out) {
  switch (simd_current()) {
    case simd_path::avx512:
      return narrow_avx512(pair, in, n, out);
    case simd_path::avx2:
      return narrow_avx2(pair, in, n, out);
    default:
      return 0;
  }
}

std::size_t simd_wide(const page_pair& pair, const unsigned char* in, std::size_t n,
                      unsigned char* out, std::size_t* produced) {
  return simd_current() == simd_path::avx512 ? wide_avx512(pair, in, n, out, produced) : 0;
}

std::size_t simd_cyrillic(const page_pair& pair, const unsigned char* in, std::size_t n,
                          unsigned char* out, std::size_t* produced) {
  return simd_current() == simd_path::avx512 ? cyrillic_avx512(pair, in, n, out, produced) : 0;
}
