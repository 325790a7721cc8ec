/* The least a utf-8 to single-byte converter can do with AVX-512 VBMI2: 64-byte chunks of
 * ASCII and U+0400-U+047F by vpermi2b and vpcompressb, in fixed steps (a lead that ends a
 * chunk goes with the next one, which takes the byte before it by a permute); a chunk
 * with another character up to it, that one the slow way, with '?' for what the table
 * lacks, and on from there. Needs avx512vbmi and avx512vbmi2.
 *   utf8_avx512 TO [FILE] */
#include <fcntl.h>
#include <iconv.h>
#include <immintrin.h>
#include <stdint.h>
#include <unistd.h>

#define READ (1 << 17)

static unsigned char cyr[128] __attribute__((aligned(64)));
static unsigned char in[READ + 64], out[READ + 64];

int main(int argc, char** argv) {
  iconv_t cd = iconv_open(argv[1], "utf-8");
  for (int c = 0; c < 128; ++c) {
    char ch[2] = {(char)(0xD0 | (c >> 6)), (char)(0x80 | (c & 0x3F))}, o[8];
    char *ip = ch, *op = o;
    size_t il = 2, ol = sizeof o;
    cyr[c] = iconv(cd, &ip, &il, &op, &ol) != (size_t)-1 && op - o == 1 ? (unsigned char)o[0] : '?';
  }
  unsigned char across_idx[64];
  for (int j = 0; j < 64; ++j) across_idx[j] = (unsigned char)(j ? 63 + j : 63);
  const __m512i across = _mm512_loadu_si512(across_idx);
  const __m512i lo = _mm512_load_si512(cyr), hi = _mm512_load_si512(cyr + 64);
  int fd = argc > 2 ? open(argv[2], O_RDONLY) : 0;
  size_t carry = 0;
  for (ssize_t n; (n = read(fd, in + carry, READ)) > 0;) {
    size_t len = carry + (size_t)n, i = 0, o = 0;
    __m512i before = _mm512_setzero_si512();
    uint64_t carried = 0;
    while (i < len) {
      if (i + 64 <= len) {
        __m512i x = _mm512_loadu_si512(in + i);
        uint64_t high = _mm512_movepi8_mask(x);
        uint64_t lead = _mm512_cmpeq_epi8_mask(_mm512_and_si512(x, _mm512_set1_epi8((char)0xFE)),
                                               _mm512_set1_epi8((char)0xD0));
        uint64_t cont = _mm512_cmplt_epi8_mask(x, _mm512_set1_epi8((char)0xC0));
        uint64_t stop = (high ^ (lead | cont)) | (cont ^ (lead << 1 | carried));
        __m512i prev = _mm512_permutex2var_epi8(before, across, x);
        __m512i idx = _mm512_or_si512(_mm512_and_si512(x, _mm512_set1_epi8(0x3F)),
                                      _mm512_and_si512(_mm512_slli_epi16(prev, 6), _mm512_set1_epi8(0x40)));
        __m512i y = _mm512_mask_blend_epi8(cont, x, _mm512_permutex2var_epi8(lo, idx, hi));
        uint64_t keep = ~lead;
        size_t take = 64;
        if (stop) { /* the characters before the first other one */
          take = (size_t)__builtin_ctzll(stop);
          if (take && (lead >> (take - 1)) & 1) --take;
          keep &= (1ull << take) - 1;
        }
        _mm512_storeu_si512(out + o, _mm512_maskz_compress_epi8(keep, y));
        o += (size_t)__builtin_popcountll(keep);
        if (!stop) {
          carried = lead >> 63;
          before = x;
          i += 64;
          continue;
        }
        i += take;
        if (!take) i -= carried;
        carried = 0;
      }
      i -= carried; /* back to the lead the last chunk ended in */
      carried = 0;
      /* one character the slow way */
      unsigned b = in[i];
      size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
      if (i + n > len) break; /* cut by the read: carried */
      out[o++] = b < 0x80 ? (unsigned char)b : (b & 0xFE) == 0xD0 ? cyr[((b & 1) << 6) | (in[i + 1] & 0x3F)] : '?';
      i += n;
    }
    if (carried) --i;
    carry = len - i;
    for (size_t k = 0; k < carry; ++k) in[k] = in[i + k];
    for (size_t done = 0; done < o;) {
      ssize_t w = write(1, out + done, o - done);
      if (w <= 0) return 1;
      done += (size_t)w;
    }
  }
  return 0;
}
