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
  if (n == 0) return output_ok(out);
  errno = 0;
  if (std::fwrite(buf, 1, n, out) == n) return true;
  if (output_errno == 0) output_errno = errno ? errno : EIO;
  return false;
}

bool output_ok(std::FILE* out) {
  if (!std::ferror(out)) return true;
  if (output_errno == 0) output_errno = errno ? errno : EIO;
  return false;
}

void reset_stream_errors() {
  input_errno = 0;
  output_errno = 0;
}
