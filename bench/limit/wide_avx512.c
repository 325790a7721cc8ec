/* The least a single-byte to utf-8 converter can do with AVX-512 VBMI2: 64-byte chunks
 * whose bytes become one or two bytes each, their first and second bytes looked up by
 * vpermi2b, interleaved and squeezed by vpcompressb; in a chunk with a byte that becomes
 * three, the bytes before it so, that one from a table, and on from there. The tables are iconv's answers ('?' where it has none).
 * Needs avx512vbmi and avx512vbmi2.
 *   wide_avx512 FROM [FILE] */
#include <fcntl.h>
#include <iconv.h>
#include <immintrin.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#define READ (1 << 17)

static unsigned char first[128] __attribute__((aligned(64))), second[128] __attribute__((aligned(64)));
static unsigned char whole[256][4]; /* up to three bytes, then the length */
static unsigned char in[READ], out[3 * READ + 64];

int main(int argc, char** argv) {
  iconv_t cd = iconv_open("utf-8", argv[1]);
  for (int b = 0; b < 256; ++b) {
    char ch = (char)b, o[8];
    char *ip = &ch, *op = o;
    size_t il = 1, ol = sizeof o;
    size_t len = iconv(cd, &ip, &il, &op, &ol) != (size_t)-1 ? (size_t)(op - o) : 0;
    if (len < 1 || len > 3) o[0] = '?', len = 1;
    memcpy(whole[b], o, len);
    whole[b][3] = (unsigned char)len;
    if (b >= 128) {
      first[b - 128] = (unsigned char)o[0];
      second[b - 128] = len == 1 ? 0 : len == 2 ? (unsigned char)o[1] : 0xFF;
    }
  }
  const __m512i f_lo = _mm512_load_si512(first), f_hi = _mm512_load_si512(first + 64);
  const __m512i s_lo = _mm512_load_si512(second), s_hi = _mm512_load_si512(second + 64);
  const __m512i order = _mm512_setr_epi64(0, 4, 1, 5, 2, 6, 3, 7);
  const uint64_t odd = 0xAAAAAAAAAAAAAAAAull, low_half = 0x00FF00FF00FF00FFull;
  int fd = argc > 2 ? open(argv[2], O_RDONLY) : 0;
  for (ssize_t n; (n = read(fd, in, READ)) > 0;) {
    size_t i = 0, o = 0;
    while (i + 64 <= (size_t)n) {
      /* quadwords reordered so that interleaving within 128-bit lanes keeps the order */
      __m512i x = _mm512_permutexvar_epi64(order, _mm512_loadu_si512(in + i));
      __mmask64 high = _mm512_movepi8_mask(x);
      __m512i s = _mm512_maskz_permutex2var_epi8(high, s_lo, x, s_hi);
      uint64_t need = _mm512_cmpeq_epi8_mask(s, _mm512_set1_epi8(-1));
      size_t take = 64;
      if (need) take = (size_t)__builtin_ctzll(_pext_u64(need, low_half) | _pext_u64(need, ~low_half) << 32);
      __m512i f = _mm512_mask_blend_epi8(high, x, _mm512_permutex2var_epi8(f_lo, x, f_hi));
      uint64_t two = _mm512_test_epi8_mask(s, s);
      uint64_t two_lo = _pext_u64(two, low_half), two_hi = _pext_u64(two, ~low_half);
      uint64_t keep_lo = _pdep_u64(two_lo, odd) | ~odd, keep_hi = _pdep_u64(two_hi, odd) | ~odd;
      if (take < 32) keep_lo &= (1ull << 2 * take) - 1, keep_hi = 0;
      else if (take < 64) keep_hi &= (1ull << 2 * (take - 32)) - 1;
      _mm512_storeu_si512(out + o, _mm512_maskz_compress_epi8(keep_lo, _mm512_unpacklo_epi8(f, s)));
      o += (size_t)__builtin_popcountll(keep_lo);
      _mm512_storeu_si512(out + o, _mm512_maskz_compress_epi8(keep_hi, _mm512_unpackhi_epi8(f, s)));
      o += (size_t)__builtin_popcountll(keep_hi);
      i += take;
      if (take < 64) { /* a byte of three the slow way */
        memcpy(out + o, whole[in[i]], 4);
        o += whole[in[i]][3];
        ++i;
      }
    }
    for (; i < (size_t)n; ++i) {
      memcpy(out + o, whole[in[i]], 4);
      o += whole[in[i]][3];
    }
    for (size_t done = 0; done < o;) {
      ssize_t w = write(1, out + done, o - done);
      if (w <= 0) return 1;
      done += (size_t)w;
    }
  }
  return 0;
}
