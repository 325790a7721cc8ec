#include "fuzz/pieces.h"

#include <cerrno>
#include <cstring>

namespace {

ssize_t read_piece(void* cookie, char* buf, std::size_t n) {
  auto* src = static_cast<piece_source*>(cookie);
  if (src->pos >= src->fail_at) {
    errno = EIO;
    return -1;
  }
  std::size_t left = (src->fail_at < src->size ? src->fail_at : src->size) - src->pos;
  if (n > left) n = left;
  if (src->size_count > 0) {
    const std::size_t piece = std::size_t{src->sizes[src->reads % src->size_count]} + 1;
    if (n > piece) n = piece;
  }
  ++src->reads;
  std::memcpy(buf, src->data + src->pos, n);
  src->pos += n;
  return static_cast<ssize_t>(n);
}

int close_piece(void* cookie) {
  static_cast<piece_source*>(cookie)->closed = true;
  return 0;
}

}  // namespace

std::FILE* open_pieces(piece_source* src, bool unbuffered) {
  std::FILE* f = fopencookie(src, "r", {read_piece, nullptr, nullptr, close_piece});
  if (f != nullptr && unbuffered) std::setvbuf(f, nullptr, _IONBF, 0);
  return f;
}
