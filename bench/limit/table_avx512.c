/* table.c with AVX-512 VBMI: 64 bytes at a time, the upper 128 entries by vpermi2b
 * (ASCII stays itself). Needs a CPU with avx512vbmi.
 *   table_avx512 FROM TO [FILE] */
#include <fcntl.h>
#include <immintrin.h>
#include <unistd.h>

#include "iconv_table.h"

static unsigned char map[256] __attribute__((aligned(64)));
static unsigned char buf[1 << 17] __attribute__((aligned(64)));

int main(int argc, char** argv) {
  fill_table(map, argv[1], argv[2]);
  const __m512i lo = _mm512_load_si512(map + 128), hi = _mm512_load_si512(map + 192);
  int fd = argc > 3 ? open(argv[3], O_RDONLY) : 0;
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
    ssize_t i = 0;
    for (; i + 64 <= n; i += 64) {
      __m512i x = _mm512_load_si512(buf + i);
      __mmask64 high = _mm512_movepi8_mask(x);
      _mm512_store_si512(buf + i, _mm512_mask_blend_epi8(high, x, _mm512_permutex2var_epi8(lo, x, hi)));
    }
    for (; i < n; ++i) buf[i] = map[buf[i]];
    for (ssize_t done = 0, w; done < n; done += w)
      if ((w = write(1, buf + done, (size_t)(n - done))) <= 0) return 1;
  }
  return 0;
}
