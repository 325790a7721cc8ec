/* The least a UTF-16 converter can do with AVX-512 VBMI2: 64 units at a time, their low
 * and high bytes gathered apart by vpermi2b; ASCII and U+0400-U+047F to single bytes
 * through a table, or into utf-8 as one byte or two, interleaved and squeezed by
 * vpcompressb; any other chunk unit by unit, with '?' for what the table lacks (a
 * surrogate too). Needs avx512vbmi and avx512vbmi2.
 *   utf16_avx512 FROM TO [FILE]   (FROM utf-16le or utf-16be) */
#include <fcntl.h>
#include <iconv.h>
#include <immintrin.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#define READ (1 << 17)

static unsigned char cyr[128] __attribute__((aligned(64)));
static unsigned char in[READ + 2], out[READ * 3 / 2 + 128];

int main(int argc, char** argv) {
  const int big = strcmp(argv[1], "utf-16be") == 0, utf8 = strcmp(argv[2], "utf-8") == 0;
  iconv_t cd = iconv_open(argv[2], argv[1]);
  for (int c = 0; c < 128; ++c) {
    char ch[2] = {(char)(big ? 4 : c), (char)(big ? c : 4)}, o[8];
    char *ip = ch, *op = o;
    size_t il = 2, ol = sizeof o;
    cyr[c] = iconv(cd, &ip, &il, &op, &ol) != (size_t)-1 && op - o == 1 ? (unsigned char)o[0] : '?';
  }
  const int paired[8] = {0, 4, 1, 5, 2, 6, 3, 7}; /* utf-8: the order unpacklo/hi undo */
  unsigned char low_idx[64], high_idx[64];
  for (int j = 0; j < 64; ++j) {
    int u = utf8 ? paired[j / 8] * 8 + j % 8 : j;
    low_idx[j] = (unsigned char)(2 * u + big);
    high_idx[j] = (unsigned char)(2 * u + 1 - big);
  }
  const __m512i li = _mm512_loadu_si512(low_idx), hi_ = _mm512_loadu_si512(high_idx);
  const __m512i lo = _mm512_load_si512(cyr), hi = _mm512_load_si512(cyr + 64);
  const uint64_t odd = 0xAAAAAAAAAAAAAAAAull, low_half = 0x00FF00FF00FF00FFull;
  int fd = argc > 3 ? open(argv[3], O_RDONLY) : 0;
  size_t carry = 0;
  for (ssize_t n; (n = read(fd, in + carry, READ)) > 0;) {
    size_t len = carry + (size_t)n, i = 0, o = 0;
    while (i + 2 <= len) {
      if (i + 128 <= len) {
        __m512i a = _mm512_loadu_si512(in + i), b = _mm512_loadu_si512(in + i + 64);
        __m512i l = _mm512_permutex2var_epi8(a, li, b), h = _mm512_permutex2var_epi8(a, hi_, b);
        uint64_t cy = _mm512_cmpeq_epi8_mask(h, _mm512_set1_epi8(4));
        uint64_t ok = (_mm512_testn_epi8_mask(h, h) | cy) & ~_mm512_movepi8_mask(l);
        if (ok == ~0ull) {
          if (!utf8) {
            _mm512_storeu_si512(out + o, _mm512_mask_blend_epi8(cy, l, _mm512_permutex2var_epi8(lo, l, hi)));
            o += 64;
          } else {
            __m512i lead = _mm512_or_si512(_mm512_set1_epi8((char)0xD0),
                                           _mm512_and_si512(_mm512_srli_epi16(l, 6), _mm512_set1_epi8(1)));
            __m512i f = _mm512_mask_blend_epi8(cy, l, lead);
            __m512i s = _mm512_or_si512(_mm512_set1_epi8((char)0x80), _mm512_and_si512(l, _mm512_set1_epi8(0x3F)));
            uint64_t keep_lo = _pdep_u64(_pext_u64(cy, low_half), odd) | ~odd;
            uint64_t keep_hi = _pdep_u64(_pext_u64(cy, ~low_half), odd) | ~odd;
            _mm512_storeu_si512(out + o, _mm512_maskz_compress_epi8(keep_lo, _mm512_unpacklo_epi8(f, s)));
            o += (size_t)__builtin_popcountll(keep_lo);
            _mm512_storeu_si512(out + o, _mm512_maskz_compress_epi8(keep_hi, _mm512_unpackhi_epi8(f, s)));
            o += (size_t)__builtin_popcountll(keep_hi);
          }
          i += 128;
          continue;
        }
      }
      for (size_t stop = i + 128 < len ? i + 128 : len; i + 2 <= stop; i += 2) {
        unsigned u = big ? (unsigned)in[i] << 8 | in[i + 1] : (unsigned)in[i + 1] << 8 | in[i];
        if (u < 0x80) {
          out[o++] = (unsigned char)u;
        } else if (u >= 0x400 && u < 0x480 && !utf8) {
          out[o++] = cyr[u & 0x7F];
        } else if (!utf8 || (u >= 0xD800 && u < 0xE000)) {
          out[o++] = '?';
        } else if (u < 0x800) {
          out[o++] = (unsigned char)(0xC0 | u >> 6);
          out[o++] = (unsigned char)(0x80 | (u & 0x3F));
        } else {
          out[o++] = (unsigned char)(0xE0 | u >> 12);
          out[o++] = (unsigned char)(0x80 | ((u >> 6) & 0x3F));
          out[o++] = (unsigned char)(0x80 | (u & 0x3F));
        }
      }
    }
    carry = len - i;
    if (carry) in[0] = in[i];
    for (size_t done = 0; done < o;) {
      ssize_t w = write(1, out + done, o - done);
      if (w <= 0) return 1;
      done += (size_t)w;
    }
  }
  return 0;
}
