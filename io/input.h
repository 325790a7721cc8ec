// One input as kiv reads it: read(2) into one large buffer, shared by the inputs since
// they are read one at a time. Detection takes whole blocks from it; conversion takes
// whatever has arrived, so that nothing that could be converted waits behind a read.
#pragma once

#include <sys/types.h>

#include <cstddef>

struct output_stream;

struct input_stream {
  int fd;
  bool may_wait;  // a pipe, FIFO or terminal: a read may wait for a writer
  bool eof;
  int error;             // errno of the failed read; no read is tried after it
  std::size_t pos, end;  // bytes buffered and not yet taken: [pos, end) of the buffer
  // Where the bytes come from instead of read(2): the tests' and fuzzers' own sources.
  ssize_t (*read_fn)(void* cookie, void* bytes, std::size_t n);
  void* cookie;
  // A regular file's bytes still to come, when its size is known (-1: read to the end):
  // at 0 the input ends without a read that would only say so.
  off_t remaining;
};

// Most bytes one read asks for.
constexpr std::size_t input_read_size = std::size_t{1} << 17;
// Room kept in front of every read for bytes carried over from before it.
constexpr std::size_t input_headroom = 64;

// Allocates the buffer the inputs share, once per process; false when out of memory.
bool reserve_input_buffer();

// The input on an open descriptor, nothing read yet; failed with ENOMEM when the shared
// buffer could not be allocated.
input_stream input_on(int fd);

// The same on a regular file known to hold size more bytes from where fd stands (it is
// read no further, as if it ended there).
input_stream input_on_file(int fd, off_t size);

// Fills dst with n bytes, or fewer at the end of the input or after a failed read.
// Whatever out holds is written first whenever the read may have to wait.
std::size_t read_block(input_stream& in, unsigned char* dst, std::size_t n, output_stream& out);

struct input_span {
  const unsigned char* bytes;
  std::size_t len;  // carry_len when nothing more came: the input ended or failed
};

// The bytes that have arrived and were not taken yet, all of them, with the carry_len
// bytes at carry (at most input_headroom; they may lie in the buffer itself) directly in
// front. When none are waiting: one read, after writing what out holds if it may wait.
input_span read_span(input_stream& in, const unsigned char* carry, std::size_t carry_len,
                     output_stream& out);
