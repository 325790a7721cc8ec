#include "convert/convert.h"

#include <iconv.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "cli/settings.h"
#include "cli/stream_io.h"
#include "codepages/detect.h"
#include "codepages/registry.h"

bool conversion_tables = true;

namespace {

// Where converted bytes go: a stream through a buffer of our own, so that the per-byte
// work below never calls into stdio, or (with no stream) a few bytes of memory.
struct sink {
  std::FILE* file;
  unsigned char* buf;
  std::size_t cap;
  std::size_t len = 0;
  bool overflow = false;  // memory only: more than cap bytes were put
  bool failed = false;    // a write to the stream failed

  bool drain() {
    if (file == nullptr || failed) return !failed;
    if (len > 0 && !write_output(file, buf, len)) failed = true;
    len = 0;
    return !failed;
  }
  bool put(const void* p, std::size_t n) {
    if (cap - len < n) {
      if (file == nullptr) {
        overflow = true;
        return false;
      }
      if (!drain()) return false;
      if (n > cap) {
        failed = !write_output(file, p, n);
        return !failed;
      }
    }
    std::memcpy(buf + len, p, n);
    len += n;
    return true;
  }
};

// Converts a span with iconv. A byte that does not convert is kept as it is and the
// conversion resumes after it. A character cut off by the end of the span is returned
// (its length) when more input may complete it; when the byte after the span cannot
// continue it, it is as invalid as any other. Returns -1 when writing failed.
std::int32_t iconv_span(iconv_t cd, const unsigned char* bytes, std::size_t len, bool may_continue,
                        sink& out) {
  // iconv does not write through its input pointer; its type is only historical.
  char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes));
  char tmp[read_size];
  while (len > 0) {
    char* o = tmp;
    std::size_t room = sizeof tmp;
    errno = 0;
    const std::size_t rc = iconv(cd, &in, &len, &o, &room);
    const int e = errno;
    if (!out.put(tmp, static_cast<std::size_t>(o - tmp))) return -1;
    if (rc != static_cast<std::size_t>(-1)) break;
    if (e == E2BIG && o != tmp) continue;
    if (e == EINVAL && may_continue) return static_cast<std::int32_t>(len);
    if (!out.put(in, 1)) return -1;
    ++in;
    --len;
  }
  return 0;
}

// What one input character becomes, worked out once through iconv itself.
struct entry {
  unsigned char bytes[7];
  std::uint8_t len;  // `slow`: too long to keep here, iconv converts it each time
};
constexpr std::uint8_t slow = 0xFF;

// The conversion of single characters for the page pair in use. Single-byte input pages
// have every byte here; utf-8 has ASCII and the two-byte characters, by lead byte, worked
// out the first time each lead byte is met. Anything else goes through iconv.
struct char_table {
  const code_page* from = nullptr;
  const code_page* to = nullptr;
  const char* from_name = nullptr;
  const char* to_name = nullptr;
  enum { none, single_byte, utf8 } kind = none;
  // Single characters by their byte, then utf-8 two-byte characters: 256 entries per
  // lead byte C0..DF (by its low bits), indexed by the next byte; `slow` where that is
  // no continuation byte, so that one test covers both.
  entry chars[256 + 32 * 256];
  entry& byte(unsigned b) { return chars[b]; }
  entry& pair(unsigned lead, unsigned next) { return chars[pair_index(lead, next)]; }
  static unsigned pair_index(unsigned lead, unsigned next) {
    return 256 + ((lead & 0x1F) << 8) + next;
  }
  std::uint32_t pairs_built = 0;
};
char_table table;

entry make_entry(iconv_t cd, const unsigned char* ch, std::size_t len) {
  entry e{};
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  sink mem{nullptr, e.bytes, sizeof e.bytes};
  iconv_span(cd, ch, len, false, mem);
  e.len = mem.overflow ? slow : static_cast<std::uint8_t>(mem.len);
  return e;
}

void build_pairs(iconv_t cd, unsigned lead) {
  for (unsigned trail = 0; trail < 64; ++trail) {
    const unsigned char ch[2] = {static_cast<unsigned char>(lead),
                                 static_cast<unsigned char>(0x80 + trail)};
    table.pair(lead, 0x80 + trail) = make_entry(cd, ch, 2);
  }
  table.pairs_built |= 1u << (lead - 0xC0);
}

// The table for input_page to output_page, or null when only iconv will do.
char_table* table_for(iconv_t cd) {
  if (!conversion_tables) return nullptr;
  if (table.from == input_page && table.to == output_page && table.from_name == input_page->name &&
      table.to_name == output_page->name)
    return table.kind == char_table::none ? nullptr : &table;
  table.from = input_page;
  table.to = output_page;
  table.from_name = input_page->name;
  table.to_name = output_page->name;
  table.pairs_built = 0;
  for (unsigned k = 256; k < std::size(table.chars); ++k) table.chars[k].len = slow;
  if (input_page->char_width == 1)
    table.kind = char_table::single_byte;
  else if (std::strcmp(input_page->name, "utf-8") == 0)
    table.kind = char_table::utf8;
  else
    table.kind = char_table::none;
  const unsigned top = table.kind == char_table::single_byte ? 256 : 128;
  for (unsigned b = 0; b < top; ++b) {
    const unsigned char ch = static_cast<unsigned char>(b);
    table.byte(b) = make_entry(cd, &ch, 1);
  }
  for (unsigned b = top; b < 256; ++b) table.byte(b).len = slow;
  // The fast loops take every single-byte character and every ASCII one from the table;
  // one whose transliteration does not fit an entry leaves the page pair to iconv.
  for (unsigned b = 0; b < top; ++b)
    if (table.byte(b).len == slow) table.kind = char_table::none;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  return table.kind == char_table::none ? nullptr : &table;
}

bool is_utf8_lead2(unsigned char b) { return b >= 0xC2 && b <= 0xDF; }
bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The same result as iconv_span(..., may_continue = true) on the whole span, faster.
std::int32_t table_span(char_table& t, iconv_t cd, const unsigned char* in, std::size_t len,
                        sink& out) {
  const bool utf8 = t.kind == char_table::utf8;
  std::size_t i = 0;
  while (i < len) {
    // Room for a whole entry per input byte, so that the loop below checks nothing else;
    // entries are copied whole and the output advances by their length.
    if (out.cap - out.len < 2 * sizeof(entry) && !out.drain()) return -1;
    const std::size_t room = (out.cap - out.len) / sizeof(entry);
    const std::size_t stop = len - i < room ? len : i + room;
    unsigned char* o = out.buf + out.len;
    if (!utf8) {
      const auto put = [&](unsigned char b) {
        std::memcpy(o, &t.chars[b], sizeof(entry));
        o += t.chars[b].len;
      };
      for (; i + 4 <= stop; i += 4) {
        put(in[i]);
        put(in[i + 1]);
        put(in[i + 2]);
        put(in[i + 3]);
      }
      for (; i < stop; ++i) put(in[i]);
      out.len = static_cast<std::size_t>(o - out.buf);
      continue;
    }
    // utf-8: ASCII and two-byte characters come from the table. (Picking the entry
    // without a branch is slower: the next position then waits for this byte's load.)
    // The pair entries of lead bytes not yet worked out are all `slow`.
    const std::size_t last = stop < len ? stop : len - 1;  // so that in[i + 1] exists
    while (i < last) {
      const unsigned char b = in[i];
      const bool ascii = b < 0x80;
      if (!ascii && (b & 0xE0) != 0xC0) break;
      const entry& e = ascii ? t.chars[b] : t.pair(b, in[i + 1]);
      if (e.len == slow) break;
      std::memcpy(o, &e, sizeof e);
      o += e.len;
      i += ascii ? 1 : 2;
    }
    if (i == len - 1 && i < stop && in[i] < 0x80) {
      std::memcpy(o, &t.byte(in[i]), sizeof(entry));
      o += t.byte(in[i]).len;
      ++i;
    }
    out.len = static_cast<std::size_t>(o - out.buf);
    if (i >= stop) continue;

    const unsigned char b = in[i];
    if (utf8 && is_utf8_lead2(b) && i + 1 < len && is_continuation(in[i + 1]) &&
        (t.pairs_built & (1u << (b - 0xC0))) == 0) {
      build_pairs(cd, b);
      continue;
    }
    // Up to the next byte that starts a character the table knows: never a continuation
    // byte, so the span ends on a character boundary unless the input itself is broken.
    std::size_t j = i + 1;
    if (utf8)
      while (j < len && in[j] >= 0x80 && !is_utf8_lead2(in[j])) ++j;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    const std::int32_t tail = iconv_span(cd, in + i, j - i, j == len, out);
    if (tail != 0) return tail;
    i = j;
  }
  return 0;
}

// One input's conversion: the descriptor, the table if any, and the output buffer.
struct converter {
  iconv_t cd;
  char_table* table;
  sink out;

  std::int32_t span(const unsigned char* in, std::size_t len) {
    return table != nullptr ? table_span(*table, cd, in, len, out)
                            : iconv_span(cd, in, len, true, out);
  }
};

// Owns one conversion descriptor from input_page to output_page with transliteration.
struct conversion {
  iconv_t cd;
  int open_errno = 0;

  conversion() {
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

bool is_regular_file(std::FILE* f) {
  struct stat st;
  const int fd = fileno(f);
  return fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
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

constexpr std::size_t out_buffer_size = 16 * read_size;

}  // namespace

std::int32_t convert_block(const unsigned char* bytes, std::int32_t length, std::FILE* output) {
  if (length < 0 || length > read_size) return 0;
  const conversion conv;
  if (!conv.ok()) {
    errno = conv.open_errno;  // for the caller's message
    return -1;
  }
  unsigned char buf[out_buffer_size];
  converter c{conv.cd, table_for(conv.cd), {output, buf, sizeof buf}};
  const std::int32_t tail = c.span(bytes, static_cast<std::size_t>(length));
  c.out.drain();
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
      if (converted) report_unconvertible(errno);
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
  unsigned char buf[out_buffer_size];
  converter c{conv.cd, table_for(conv.cd), {output, buf, sizeof buf}};
  // A pipe or terminal may keep kiv waiting in the next read: what is converted must be on
  // its way to the reader by then. From a file the next read comes at once.
  const bool may_wait = !is_regular_file(input);
  while (!std::ferror(input) && !c.out.failed && !std::ferror(output)) {
    if (may_wait && !c.out.drain()) break;
    const std::size_t got = read_input(input, upper, read_size);
    if (got == 0) break;
    const unsigned char* in = upper - carry;
    const std::size_t len = got + static_cast<std::size_t>(carry);
    const std::int32_t tail = c.span(in, len);
    if (tail < 0) break;
    carry = tail;
    if (carry > read_size) {
      c.out.put(in + len - carry, static_cast<std::size_t>(carry));
      carry = 0;
    }
    std::memmove(upper - carry, in + len - carry, static_cast<std::size_t>(carry));
  }

  if (!c.out.failed) {
    char tmp[64];
    char* o = tmp;
    std::size_t room = sizeof tmp;
    iconv(conv.cd, nullptr, nullptr, &o, &room);
    c.out.put(tmp, static_cast<std::size_t>(o - tmp));
    // The input ended inside a character: its bytes are kept as they are.
    c.out.put(upper - carry, static_cast<std::size_t>(carry));
  }
  c.out.drain();
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
