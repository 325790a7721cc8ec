#include <unistd.h>

#include <cstdio>

#include "cli/driver.h"

namespace {
// Larger than stdio's default: fewer system calls when kiv streams big files.
char stdin_buffer[1 << 16];
char stdout_buffer[1 << 12];
}  // namespace

int main(int argc, char** argv) {
  // A terminal keeps its line buffering, so that interactive output shows up.
  if (!isatty(STDIN_FILENO)) std::setvbuf(stdin, stdin_buffer, _IOFBF, sizeof stdin_buffer);
  if (!isatty(STDOUT_FILENO)) std::setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);
  return finish_output(kiv_main(argc, argv));
}
