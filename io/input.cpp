#include "io/input.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "io/output.h"

namespace {

// Allocated once per process, when first needed, for the reason standard output's is.
unsigned char* area = nullptr;

// One read into the empty buffer; false at the end of the input or on failure.
bool refill(input_stream& in, output_stream& out) {
  in.pos = in.end = input_headroom;
  if (in.remaining == 0) in.eof = true;
  if (in.eof || in.error != 0) return false;
  // Whatever is ready goes to the reader before kiv may sit waiting for its writer.
  if (in.may_wait) out_flush(out);
  ssize_t got;
  do {
    unsigned char* const start = area + input_headroom;
    got = in.read_fn != nullptr ? in.read_fn(in.cookie, start, input_read_size)
                                : read(in.fd, start, input_read_size);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    in.error = errno != 0 ? errno : EIO;
    return false;
  }
  if (got == 0) {
    in.eof = true;
    return false;
  }
  in.end += static_cast<std::size_t>(got);
  if (in.remaining > 0) in.remaining -= got < in.remaining ? got : in.remaining;
  return true;
}

}  // namespace

bool reserve_input_buffer() {
  if (area == nullptr)
    area = static_cast<unsigned char*>(std::malloc(input_headroom + input_read_size));
  if (area == nullptr) errno = ENOMEM;
  return area != nullptr;
}

input_stream input_on(int fd) {
  struct stat st;
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  // Without a buffer nothing can be read: the input fails as a read would.
  const int error = reserve_input_buffer() ? 0 : ENOMEM;
  return input_stream{fd,      !regular, false, error, input_headroom, input_headroom,
                      nullptr, nullptr,  -1};
}

input_stream input_on_file(int fd, off_t size) {
  const int error = reserve_input_buffer() ? 0 : ENOMEM;
  return input_stream{fd,      false,   false, error, input_headroom, input_headroom,
                      nullptr, nullptr, size};
}

std::size_t read_block(input_stream& in, unsigned char* dst, std::size_t n, output_stream& out) {
  std::size_t got = 0;
  while (got < n) {
    if (in.pos == in.end && !refill(in, out)) break;
    std::size_t take = in.end - in.pos;
    if (take > n - got) take = n - got;
    std::memcpy(dst + got, area + in.pos, take);
    in.pos += take;
    got += take;
  }
  return got;
}

input_span read_span(input_stream& in, const unsigned char* carry, std::size_t carry_len,
                     output_stream& out) {
  if (area == nullptr) return input_span{carry, carry_len};    // nothing can have been read
  if (carry_len > input_headroom) carry_len = input_headroom;  // callers never carry more
  unsigned char keep[input_headroom];
  if (carry_len > 0) std::memcpy(keep, carry, carry_len);  // a read may land on top of it
  if (in.pos == in.end) refill(in, out);
  unsigned char* const first = area + in.pos - carry_len;
  if (carry_len > 0) std::memcpy(first, keep, carry_len);
  const std::size_t len = carry_len + (in.end - in.pos);
  in.pos = in.end;
  return input_span{first, len};
}
