#include "convert/convert.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/settings.h"
#include "cli/warn.h"
#include "codepages/detect.h"
#include "codepages/registry.h"
#include "convert/span.h"
#include "convert/tables.h"
#include "io/input.h"
#include "io/output.h"

void report_unconvertible(int e) {
  report("kiv: cannot convert from %s to %s: %s\n", input_page->name, output_page->name,
         std::strerror(e));
}

int open_conversion() {
  if (is_copy(input_page, output_page)) return 0;
  const page_pair* pair = pair_for(input_page, output_page);
  if (pair == nullptr) return ENOMEM;
  return pair->kind == pair_kind::unavailable ? pair->open_errno : 0;
}

namespace {

// Without a conversion the text still reaches the output, unchanged.
void copy_unchanged(input_stream& in, output_stream& out) {
  for (const pending_block* b = pending_head; b != nullptr; b = b->next)
    if (!out_put(out, b->bytes, static_cast<std::size_t>(b->length))) return;
  for (;;) {
    const input_span s = read_span(in, nullptr, 0, out);
    if (s.len == 0 || !out_put(out, s.bytes, s.len)) return;
  }
}

// A held block with the previous block's cut-off tail in front of it.
unsigned char joined[input_headroom + detect_block_size];

}  // namespace

std::int32_t convert_block(const unsigned char* bytes, std::int32_t length, output_stream& out) {
  if (length <= 0) return 0;
  page_pair* pair = pair_for(input_page, output_page);
  if (pair == nullptr || pair->kind == pair_kind::unavailable) {
    errno = pair == nullptr ? ENOMEM : pair->open_errno;  // for the caller's message
    return -1;
  }
  reset_pair(*pair);
  const std::int32_t tail = convert_span(*pair, bytes, static_cast<std::size_t>(length), true, out);
  return tail < 0 ? 0 : tail;
}

void copy_file(input_stream& in, output_stream& out) {
  copy_unchanged(in, out);
  pending_release();
}

int convert_file(input_stream& in, output_stream& out) {
  if (is_copy(input_page, output_page)) {
    copy_unchanged(in, out);
    pending_release();
    return 0;
  }
  if (const int e = open_conversion(); e != 0) {
    report_unconvertible(e);
    // Out of memory, nothing more is converted; otherwise the text still goes out.
    if (e != ENOMEM) copy_unchanged(in, out);
    pending_release();
    return e;
  }
  page_pair& pair = *pair_for(input_page, output_page);

  // What a span cut off at its end, carried in front of what follows.
  const unsigned char* carry = joined;
  std::size_t carry_len = 0;

  const auto lost = [] { return watch.invalid || watch.lacking; };
  // Held blocks: each converted afresh, with the previous block's cut-off tail in front,
  // so a character split between blocks is converted whole.
  for (const pending_block* b = pending_head; b != nullptr && out.error == 0 && !lost();
       b = b->next) {
    // Detection's blocks are never longer than one; a longer one goes in such pieces.
    for (std::int32_t at = 0; at < b->length && out.error == 0; at += detect_block_size) {
      const std::int32_t piece = std::min(b->length - at, std::int32_t{detect_block_size});
      std::memmove(joined, carry, carry_len);
      std::memcpy(joined + carry_len, b->bytes + at, static_cast<std::size_t>(piece));
      const auto len = static_cast<std::int32_t>(carry_len) + piece;
      std::int32_t tail = convert_block(joined, len, out);
      if (tail > static_cast<std::int32_t>(input_headroom)) {
        out_put(out, joined + len - tail, static_cast<std::size_t>(tail));  // as below
        tail = 0;
      }
      carry = joined + len - tail;
      carry_len = static_cast<std::size_t>(tail);
    }
  }
  pending_release();

  // The rest of the input, as it arrives.
  reset_pair(pair);
  while (out.error == 0 && !lost()) {
    const input_span s = read_span(in, carry, carry_len, out);
    carry = s.bytes;
    if (s.len == carry_len) break;  // nothing more: the end, or a failed read
    const std::int32_t tail = convert_span(pair, s.bytes, s.len, true, out);
    if (tail < 0) break;
    carry_len = static_cast<std::size_t>(tail);
    if (carry_len > input_headroom) {
      // No page has characters this long; keep the bytes rather than lose them.
      out_put(out, s.bytes + s.len - carry_len, carry_len);
      carry_len = 0;
    }
    carry = s.bytes + s.len - carry_len;
  }

  if (watch.on && !lost() && carry_len > 0 && in.error == 0) watch.invalid = true;  // cut short
  if (out.error == 0 && !lost()) {
    if (unsigned char* room = out_room(out, 64)) {
      char* o = reinterpret_cast<char*>(room);
      std::size_t left = 64;
      iconv(pair.cd, nullptr, nullptr, &o, &left);
      out.len += 64 - left;
    }
    // The input ended inside a character: its bytes are kept as they are.
    out_put(out, carry, carry_len);
  }
  return 0;
}

void pending_release() {
  pending_block* b = pending_head;
  while (b != nullptr) {
    pending_block* next = b->next;
    std::free(b->bytes);
    std::free(b);
    b = next;
  }
  pending_head = nullptr;
  pending_tail = nullptr;
}
