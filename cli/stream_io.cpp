#include "cli/stream_io.h"

#include <cerrno>

int input_errno = 0;
int output_errno = 0;

std::size_t read_input(std::FILE* in, void* buf, std::size_t n) {
  errno = 0;
  const std::size_t got = std::fread(buf, 1, n, in);
  if (got < n && std::ferror(in)) input_errno = errno ? errno : EIO;
  return got;
}

bool write_output(std::FILE* out, const void* buf, std::size_t n) {
  errno = 0;
  // A flush inside fwrite can fail even when the bytes fit the buffer: catch its errno now.
  return std::fwrite(buf, 1, n, out) == n && output_ok(out);
}

bool output_ok(std::FILE* out) {
  if (!std::ferror(out)) return true;
  // errno is meaningful only right after the failing call; callers check promptly.
  if (output_errno == 0) output_errno = errno ? errno : EIO;
  return false;
}

void reset_stream_errors() {
  input_errno = 0;
  output_errno = 0;
}
