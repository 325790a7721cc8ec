/* The least a UTF-16 converter can do with AVX-512 VBMI2: 64 units at a time; to single
 * bytes, their low bytes gathered by vpermi2b and U+0400-U+047F looked up in a table;
 * into utf-8, U+0400-U+047F made into two bytes in place and the empty high bytes of
 * ASCII squeezed out by vpcompressb. A chunk with another unit up to it, that one the
 * slow way ('?' for what the table lacks, a surrogate too), and on from there. Needs
 * avx512vbmi and avx512vbmi2.
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
  unsigned char low_idx[64];
  for (int j = 0; j < 64; ++j) low_idx[j] = (unsigned char)(2 * j + big);
  const __m512i li = _mm512_loadu_si512(low_idx);
  const __m512i lo = _mm512_load_si512(cyr), hi = _mm512_load_si512(cyr + 64);
  const __m512i swap = _mm512_set4_epi32(0x0E0F0C0D, 0x0A0B0809, 0x06070405, 0x02030001);
  const __m512i top = _mm512_set1_epi16((short)0xFF80), four = _mm512_set1_epi16(0x400);
  const uint64_t even = 0x5555555555555555ull;
  int fd = argc > 3 ? open(argv[3], O_RDONLY) : 0;
  size_t carry = 0;
  for (ssize_t n; (n = read(fd, in + carry, READ)) > 0;) {
    size_t len = carry + (size_t)n, i = 0, o = 0;
    while (i + 2 <= len) {
      if (i + 128 <= len) {
        __m512i a = _mm512_loadu_si512(in + i), b = _mm512_loadu_si512(in + i + 64);
        __m512i sa = big ? _mm512_shuffle_epi8(a, swap) : a, sb = big ? _mm512_shuffle_epi8(b, swap) : b;
        __mmask32 ca = _mm512_cmpeq_epi16_mask(_mm512_and_si512(sa, top), four);
        __mmask32 cb = _mm512_cmpeq_epi16_mask(_mm512_and_si512(sb, top), four);
        uint64_t ok = (uint64_t)(uint32_t)(_mm512_testn_epi16_mask(sa, top) | ca) |
                      (uint64_t)(uint32_t)(_mm512_testn_epi16_mask(sb, top) | cb) << 32;
        size_t take = ok == ~0ull ? 64 : (size_t)__builtin_ctzll(~ok);
        if (!utf8) {
          __m512i l = _mm512_permutex2var_epi8(a, li, b);
          __mmask64 c = (uint64_t)ca | (uint64_t)cb << 32;
          _mm512_storeu_si512(out + o, _mm512_mask_blend_epi8(c, l, _mm512_permutex2var_epi8(lo, l, hi)));
          o += take;
        } else {
          __m512i y[2];
          __mmask32 c[2] = {ca, cb};
          __m512i v[2] = {sa, sb};
          for (int k = 0; k < 2; ++k) {
            __m512i lead = _mm512_or_si512(_mm512_and_si512(_mm512_srli_epi16(v[k], 6), _mm512_set1_epi16(1)),
                                           _mm512_set1_epi16(0xD0));
            __m512i trail = _mm512_slli_epi16(
                _mm512_or_si512(_mm512_and_si512(v[k], _mm512_set1_epi16(0x3F)), _mm512_set1_epi16(0x80)), 8);
            y[k] = _mm512_mask_blend_epi16(c[k], v[k], _mm512_or_si512(lead, trail));
          }
          uint64_t ka = _mm512_test_epi8_mask(y[0], y[0]) | even, kb = _mm512_test_epi8_mask(y[1], y[1]) | even;
          if (take < 32) ka &= (1ull << 2 * take) - 1, kb = 0;
          else if (take < 64) kb &= (1ull << 2 * (take - 32)) - 1;
          _mm512_storeu_si512(out + o, _mm512_maskz_compress_epi8(ka, y[0]));
          o += (size_t)__builtin_popcountll(ka);
          _mm512_storeu_si512(out + o, _mm512_maskz_compress_epi8(kb, y[1]));
          o += (size_t)__builtin_popcountll(kb);
        }
        i += 2 * take;
        if (take == 64) continue;
      }
      /* one unit the slow way */
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
      i += 2;
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
