/* The least a table converter can do: read 128 KiB, map each byte through a 256-entry
 * table, write, again. The table is iconv's single-byte answers (others map to '?').
 *   table FROM TO [FILE]   (standard input without FILE) */
#include <fcntl.h>
#include <unistd.h>

#include "iconv_table.h"

static unsigned char map[256];
static unsigned char buf[1 << 17];

int main(int argc, char** argv) {
  fill_table(map, argv[1], argv[2]);
  int fd = argc > 3 ? open(argv[3], O_RDONLY) : 0;
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) {
    for (ssize_t i = 0; i < n; ++i) buf[i] = map[buf[i]];
    for (ssize_t done = 0, w; done < n; done += w)
      if ((w = write(1, buf + done, (size_t)(n - done))) <= 0) return 1;
  }
  return 0;
}
