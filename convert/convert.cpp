#include "convert/convert.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/settings.h"
#include "cli/stream_io.h"
#include "codepages/detect.h"
#include "codepages/registry.h"

namespace {

// Owns one conversion descriptor from input_page to output_page with transliteration.
struct conversion {
  iconv_t cd;
  int open_errno;

  conversion() : cd(reinterpret_cast<iconv_t>(-1)), open_errno(0) {
    char target[64];
    std::snprintf(target, sizeof target, "%s//TRANSLIT", output_page->name);
    errno = 0;
    cd = iconv_open(target, input_page->name);
    if (!ok())
      open_errno = errno ? errno : EINVAL;
    else
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  ~conversion() {
    if (ok()) iconv_close(cd);
  }
  conversion(const conversion&) = delete;
  conversion& operator=(const conversion&) = delete;

  bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }
};

// The conversion loop shared by held blocks and reads: converts what it can, keeps an
// invalid byte as it is, and stops at a character cut off by the end of the span.
// Returns the length of that cut-off tail, or -1 when a write failed.
std::int32_t convert_span(iconv_t cd, char* in, std::size_t len, std::FILE* output) {
  char out[read_size];
  while (len > 0) {
    char* o = out;
    std::size_t room = sizeof out;
    errno = 0;
    const std::size_t rc = iconv(cd, &in, &len, &o, &room);
    const int e = errno;
    const auto produced = static_cast<std::size_t>(o - out);
    if (!write_output(output, out, produced)) return -1;
    if (rc != static_cast<std::size_t>(-1)) break;
    if (e == E2BIG && produced > 0) continue;
    if (e == EINVAL) return static_cast<std::int32_t>(len);
    // EILSEQ (or anything unexpected): this byte does not convert; keep it.
    if (!write_output(output, in, 1)) return -1;
    ++in;
    --len;
  }
  return 0;
}

void report_unconvertible(int e) {
  std::fprintf(stderr, "kiv: cannot convert from %s to %s: %s\n", input_page->name,
               output_page->name, std::strerror(e));
}

// Without a conversion the text still reaches the output, unchanged.
void copy_unchanged(std::FILE* input, std::FILE* output) {
  for (const pending_block* b = pending_head; b != nullptr; b = b->next)
    if (!write_output(output, b->bytes, static_cast<std::size_t>(b->length))) return;
  pending_release();
  unsigned char buf[read_size];
  while (!std::ferror(input)) {
    const std::size_t got = read_input(input, buf, sizeof buf);
    if (got == 0 || !write_output(output, buf, got)) return;
  }
}

}  // namespace

std::int32_t convert_block(const unsigned char* bytes, std::int32_t length, std::FILE* output) {
  if (length < 0 || length > read_size) return 0;
  const conversion conv;
  if (!conv.ok()) return -1;
  char area[read_size];
  std::memcpy(area, bytes, static_cast<std::size_t>(length));
  const std::int32_t tail = convert_span(conv.cd, area, static_cast<std::size_t>(length), output);
  return tail < 0 ? 0 : tail;
}

bool convert_file(std::FILE* input, std::FILE* output) {
  const conversion conv;
  if (!conv.ok()) {
    report_unconvertible(conv.open_errno);
    copy_unchanged(input, output);
    pending_release();
    return false;
  }

  // Reads land in the upper half; a character cut off by the end of the previous span
  // is carried into the lower half, directly in front of them.
  unsigned char area[2 * read_size];
  unsigned char* const upper = area + read_size;
  std::int32_t carry = 0;
  bool converted = true;

  // Held blocks: each gets a conversion of its own, with the previous block's cut-off
  // tail in front of it, so a character split between blocks is converted whole.
  unsigned char joined[read_size];
  for (const pending_block* b = pending_head; b != nullptr && !std::ferror(output); b = b->next) {
    std::memmove(joined, upper - carry, static_cast<std::size_t>(carry));
    std::memcpy(joined + carry, b->bytes, static_cast<std::size_t>(b->length));
    const std::int32_t len = carry + b->length;
    std::int32_t tail = convert_block(joined, len, output);
    if (tail < 0) {
      if (converted) report_unconvertible(EINVAL);
      converted = false;
      write_output(output, joined, static_cast<std::size_t>(len));
      tail = 0;
    } else if (tail > read_size - detect_block_size) {
      // No page has characters this long; keep the bytes rather than lose them.
      write_output(output, joined + len - tail, static_cast<std::size_t>(tail));
      tail = 0;
    }
    carry = tail;
    std::memcpy(upper - carry, joined + len - carry, static_cast<std::size_t>(carry));
  }
  pending_release();

  // The rest of the input, one conversion for all of it.
  while (!std::ferror(input) && !std::ferror(output)) {
    const std::size_t got = read_input(input, upper, read_size);
    if (got == 0) break;
    char* in = reinterpret_cast<char*>(upper - carry);
    const std::size_t len = got + static_cast<std::size_t>(carry);
    const std::int32_t tail = convert_span(conv.cd, in, len, output);
    if (tail < 0) break;
    carry = tail;
    if (carry > read_size) {
      write_output(output, in + len - carry, static_cast<std::size_t>(carry));
      carry = 0;
    }
    std::memmove(upper - carry, in + len - carry, static_cast<std::size_t>(carry));
  }

  if (!std::ferror(output)) {
    char out[64];
    char* o = out;
    std::size_t room = sizeof out;
    iconv(conv.cd, nullptr, nullptr, &o, &room);
    write_output(output, out, static_cast<std::size_t>(o - out));
    // The input ended inside a character: its bytes are kept as they are.
    write_output(output, upper - carry, static_cast<std::size_t>(carry));
  }
  return converted;
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
