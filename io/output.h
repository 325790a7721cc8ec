// Standard output as kiv writes it: a buffer of its own, emptied by write(2) in a loop
// that keeps the reason of the first failed write. No stdio in between: converted text
// leaves in large writes, and report lines leave whole.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

struct output_stream {
  int fd;
  unsigned char* buf;  // cap bytes, then output_slack more that a fast loop may overrun
  std::size_t cap;
  std::size_t len;       // bytes waiting in buf
  std::size_t line_cap;  // report lines: most bytes one write may carry
  int error;             // errno of the first failed write; nothing is written after it
  // Where the bytes go instead of write(2): the tests' and fuzzers' own destinations.
  ssize_t (*write_fn)(void* cookie, const void* bytes, std::size_t n);
  void* cookie;
};

// Bytes past the requested room that a vector loop may store and then not count.
constexpr std::size_t output_slack = 64;

// The process's standard output (descriptor 1). Reset: emptied, with no error recorded,
// its report lines PIPE_BUF bytes at a time into a pipe; false, with nowhere to write,
// when its buffer could not be allocated (the first time).
output_stream& standard_output();
bool reset_standard_output();

// An output of the caller's on the given buffer (cap + output_slack bytes), its report
// lines up to cap bytes a write. The converter needs a cap of 64 bytes or more.
output_stream output_on(int fd, unsigned char* buf, std::size_t cap);

// Writes what is waiting. False once any write has failed.
bool out_flush(output_stream& out);

// Appends bytes, writing the buffer out whenever it fills. False after a failed write.
bool out_put(output_stream& out, const void* bytes, std::size_t n);

// Room for n bytes (n <= cap) at out.buf + out.len, plus output_slack; null after a
// failed write. The caller advances out.len by what it really stored.
unsigned char* out_room(output_stream& out, std::size_t n);

// One line, from parts: it reaches the output in one write of whole lines, never split
// across writes, so that processes sharing a pipe cannot cut each other's lines.
bool out_line(output_stream& out, const struct iovec* parts, int count);
