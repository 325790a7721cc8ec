/* iconv's single-byte answer for each of the 256 bytes ('?' where it has none). */
#include <iconv.h>

static void fill_table(unsigned char map[256], const char* from, const char* to) {
  iconv_t cd = iconv_open(to, from);
  for (int b = 0; b < 256; ++b) {
    char in = (char)b, out[8];
    char *ip = &in, *op = out;
    size_t il = 1, ol = sizeof out;
    map[b] = iconv(cd, &ip, &il, &op, &ol) != (size_t)-1 && op - out == 1 ? (unsigned char)out[0] : '?';
  }
}
