#include "fuzz/pieces.h"

#include <cerrno>
#include <cstring>

namespace {

ssize_t read_piece(void* cookie, void* buf, std::size_t n) {
  auto* src = static_cast<piece_source*>(cookie);
  if (src->pos >= src->fail_at) {
    errno = EIO;
    return -1;
  }
  std::size_t left = (src->fail_at < src->size ? src->fail_at : src->size) - src->pos;
  if (n > left) n = left;
  if (n > src->max_read) n = src->max_read;
  if (src->size_count > 0) {
    const std::size_t piece = std::size_t{src->sizes[src->reads % src->size_count]} + 1;
    if (n > piece) n = piece;
  }
  ++src->reads;
  std::memcpy(buf, src->data + src->pos, n);
  src->pos += n;
  return static_cast<ssize_t>(n);
}

ssize_t write_memory(void* cookie, const void* bytes, std::size_t n) {
  auto* sink = static_cast<memory_sink*>(cookie);
  if (sink->bytes.size() >= sink->room) {
    errno = ENOSPC;
    return -1;
  }
  if (n > sink->room - sink->bytes.size()) n = sink->room - sink->bytes.size();
  sink->bytes.append(static_cast<const char*>(bytes), n);
  return static_cast<ssize_t>(n);
}

}  // namespace

input_stream open_pieces(piece_source* src, bool may_wait) {
  input_stream in = input_on(-1);
  in.may_wait = may_wait;
  in.read_fn = read_piece;
  in.cookie = src;
  return in;
}

output_stream open_memory_output(memory_sink* sink, std::size_t cap) {
  if (cap > sizeof sink->buf - output_slack) cap = sizeof sink->buf - output_slack;
  if (cap < 64) cap = 64;  // the converter's loops need room for a few entries
  output_stream out = output_on(-1, sink->buf, cap);
  out.write_fn = write_memory;
  out.cookie = sink;
  return out;
}
