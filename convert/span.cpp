#include "convert/span.h"

#include <cerrno>
#include <cstring>

#include "codepages/registry.h"
#include "convert/simd.h"
#include "convert/tables.h"
#include "io/output.h"

bool conversion_tables = true;
conversion_watch watch;

namespace {

// Sorts out the loss iconv met at `at` (EILSEQ or, at the very end, EINVAL): a character
// of the input page that the output page lacks, or bytes the input page has no character
// for.
std::int32_t note_loss(const page_pair& pair, const unsigned char* at, std::size_t len, int e) {
  bool character = false;
  if (e == EILSEQ && pair.decode != reinterpret_cast<iconv_t>(-1)) {
    char one[4];
    char* o = one;
    std::size_t room = sizeof one;
    char* in = const_cast<char*>(reinterpret_cast<const char*>(at));
    std::size_t n = len < 4 ? len : 4;
    iconv(pair.decode, nullptr, nullptr, nullptr, nullptr);
    iconv(pair.decode, &in, &n, &o, &room);
    character = o != one;
  }
  (character ? watch.lacking : watch.invalid) = true;
  return span_lost;
}

// Whether the span holds one of the tag characters U+E0000-U+E007F, which iconv drops
// without a word where a single-byte page has no room for them. Spans start on a
// character.
bool drops_silently(const page_pair& pair, const unsigned char* in, std::size_t len) {
  if (pair.to->char_width != 1) return false;
  const char* from = pair.from_name;
  const int order = std::strcmp(from, "utf-16le") == 0   ? 1
                    : std::strcmp(from, "utf-16be") == 0 ? 2
                                                         : 0;
  if (order == 0 && std::strcmp(from, "utf-8") != 0) return false;
  for (std::size_t i = 0; i + 3 < len; i += order == 0 ? 1 : 2) {
    const unsigned char* c = in + i;
    if (order == 0   ? c[0] == 0xF3 && c[1] == 0xA0 && (c[2] == 0x80 || c[2] == 0x81)
        : order == 1 ? c[0] == 0x40 && c[1] == 0xDB && c[2] <= 0x7F && c[3] == 0xDC
                     : c[0] == 0xDB && c[1] == 0x40 && c[2] == 0xDC && c[3] <= 0x7F)
      return true;
  }
  return false;
}

// Input taken per round of the table loops: at most 4096 bytes, and few enough that a
// whole entry for each, and one more, fits the output buffer.
std::size_t round_size(const output_stream& out) {
  const std::size_t fits = out.cap / sizeof(char_entry) - 1;
  return fits < 4096 ? fits : 4096;
}
constexpr std::size_t chunk = 64;

// Where the scalar loop hands back to a vector kernel that stopped at `at` after taking
// `taken` bytes: after one character (of `unit` bytes at least), or after a chunk where the
// kernel could take nothing at all.
std::size_t scalar_stop(std::size_t at, std::size_t end, std::size_t taken, std::size_t unit = 1) {
  const std::size_t stop = at + (taken > 0 ? unit : chunk);
  return stop < end ? stop : end;
}

bool is_utf8_lead2(unsigned char b) { return b >= 0xC2 && b <= 0xDF; }
bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Entries are copied whole (they are 8 bytes) and the output advances by their length.
inline unsigned char* put_entry(unsigned char* o, const char_entry& e) {
  std::memcpy(o, &e, sizeof e);
  return o + e.len;
}

// Watched, an entry iconv refused (slow) is a loss; unwatched, the pair has none.
template <bool watched>
std::int32_t single_byte_span(page_pair& p, const unsigned char* in, std::size_t len,
                              output_stream& out) {
  const simd_path path = simd_current();
  // Into a single-byte page nearly every byte becomes one byte; into utf-8, one to three.
  const bool narrow = path != simd_path::scalar && p.bytes_ok && p.to->char_width == 1;
  const bool wide = path == simd_path::avx512 && p.bytes_ok && !narrow;
  const bool vector = narrow || wide;
  const std::size_t most = round_size(out);
  for (std::size_t i = 0; i < len;) {
    const std::size_t r = len - i < most ? len - i : most;
    unsigned char* o = out_room(out, r * sizeof(char_entry));
    if (o == nullptr) return -1;
    const unsigned char* const src = in + i;
    for (std::size_t done = 0; done < r;) {
      std::size_t taken = 0, produced = 0;
      if (narrow)
        taken = simd_narrow(p, src + done, r - done, o, &produced);
      else if (wide)
        taken = simd_wide(p, src + done, r - done, o, &produced);
      done += taken;
      o += produced;
      const std::size_t stop = vector ? scalar_stop(done, r, taken) : r;
      if constexpr (watched) {
        for (; done < stop; ++done) {
          const char_entry& e = p.byte[src[done]];
          if (e.len == entry_slow) {
            out.len = static_cast<std::size_t>(o - out.buf);
            return note_loss(p, src + done, 1, EILSEQ);
          }
          o = put_entry(o, e);
        }
      }
      for (; done + 4 <= stop; done += 4) {
        o = put_entry(o, p.byte[src[done]]);
        o = put_entry(o, p.byte[src[done + 1]]);
        o = put_entry(o, p.byte[src[done + 2]]);
        o = put_entry(o, p.byte[src[done + 3]]);
      }
      for (; done < stop; ++done) o = put_entry(o, p.byte[src[done]]);
    }
    out.len = static_cast<std::size_t>(o - out.buf);
    i += r;
  }
  return 0;
}

std::int32_t utf8_span(page_pair& p, const unsigned char* in, std::size_t len, output_stream& out) {
  const bool vector = p.cyr_ok && simd_current() == simd_path::avx512;
  const std::size_t most = round_size(out);
  std::size_t i = 0;
  while (i < len) {
    const std::size_t r = len - i < most ? len - i : most;
    // One more entry than the round's bytes: a character may straddle its end.
    unsigned char* o = out_room(out, (r + 1) * sizeof(char_entry));
    if (o == nullptr) return -1;
    std::size_t stop = i + r;
    if (vector) {
      std::size_t produced = 0;
      const std::size_t k = simd_cyrillic(p, in + i, stop - i, o, &produced);
      o += produced;
      i += k;
      stop = scalar_stop(i, stop, k);
    }
    // ASCII, two- and three-byte characters from the table. (Picking the entry without
    // a branch is slower: the next position then waits for this byte's load.) The rows of
    // lead bytes not yet met are all slow.
    const std::size_t last = stop < len ? stop : len - 1;  // so that in[i + 1] exists
    while (i < last) {
      const unsigned char b = in[i];
      const char_entry* e;
      std::size_t step;
      if (b < 0x80) {
        e = &p.byte[b];
        step = 1;
      } else if ((b & 0xE0) == 0xC0) {
        e = &p.rows[b & 0x1F][in[i + 1]];
        step = 2;
      } else if ((b & 0xF0) == 0xE0 && i + 2 < len && is_continuation(in[i + 1])) {
        e = &p.rows3[row3_index(b, in[i + 1])][in[i + 2]];
        step = 3;
      } else {
        break;
      }
      if (e->len == entry_slow) break;
      o = put_entry(o, *e);
      i += step;
    }
    if (i == len - 1 && i < stop && in[i] < 0x80) o = put_entry(o, p.byte[in[i++]]);
    out.len = static_cast<std::size_t>(o - out.buf);
    if (i >= stop) continue;

    const unsigned char b = in[i];
    if (is_utf8_lead2(b) && i + 1 < len && is_continuation(in[i + 1]) &&
        (p.rows_built & (1u << (b & 0x1F))) == 0) {
      build_row(p, b);
      continue;
    }
    if ((b & 0xF0) == 0xE0 && i + 2 < len && is_continuation(in[i + 1]) &&
        is_continuation(in[i + 2]) && build_row3(p, b, in[i + 1]))
      continue;
    // Up to the next byte that starts a character the table knows: never a continuation
    // byte, so the span ends on a character boundary unless the input itself is broken.
    std::size_t j = i + 1;
    while (j < len && in[j] >= 0x80 && !is_utf8_lead2(in[j])) ++j;
    reset_pair(p);
    const std::int32_t tail = iconv_span(p, in + i, j - i, j == len, out);
    if (tail != 0) return tail;
    i = j;
  }
  return 0;
}

template <bool big>
inline unsigned unit_at(const unsigned char* c) {
  return big ? static_cast<unsigned>(c[0] << 8 | c[1]) : static_cast<unsigned>(c[1] << 8 | c[0]);
}

template <bool big>
std::int32_t utf16_span(page_pair& p, const unsigned char* in, std::size_t len,
                        output_stream& out) {
  // iconv_span looks for what iconv drops silently in the whole span before converting any
  // of it; so does this, so that the same loss is found first.
  if (p.watched && drops_silently(p, in, len)) {
    watch.lacking = true;
    return span_lost;
  }
  const std::size_t most = round_size(out) & ~std::size_t{1};
  const std::size_t whole = len & ~std::size_t{1};
  std::size_t i = 0;
  while (i < whole) {
    const std::size_t end = whole - i < most ? whole : i + most;
    unsigned char* o = out_room(out, (end - i) * sizeof(char_entry));
    if (o == nullptr) return -1;
    const bool vector = p.cyr_ok && simd_current() != simd_path::scalar;
    while (i < end) {
      std::size_t stop = end;
      if (vector) {
        std::size_t produced = 0;
        const std::size_t k = simd_utf16(p, in + i, end - i, o, &produced);
        o += produced;
        i += k;
        stop = scalar_stop(i, end, k, 2);
      }
      for (; i < stop; i += 2) {
        const unsigned u = unit_at<big>(in + i);
        const char_entry& e = p.unit_rows[u >> 8][u & 0xFF];
        if (e.len == entry_slow) break;
        o = put_entry(o, e);
      }
      if (i < stop) break;
    }
    out.len = static_cast<std::size_t>(o - out.buf);
    if (i >= end) continue;

    // A unit no table holds yet: its row, if it can have one; otherwise iconv, up to the
    // next unit a table holds. No table holds a surrogate, so a pair goes to iconv whole,
    // and a high surrogate before any other unit is invalid however it is cut.
    if (build_unit_row(p, unit_at<big>(in + i) >> 8)) continue;
    std::size_t j = i + 2;
    for (; j + 2 <= len; j += 2) {
      const unsigned u = unit_at<big>(in + j);
      if (p.unit_rows[u >> 8][u & 0xFF].len != entry_slow) break;
    }
    if (len - j < 2) j = len;  // with the half unit at the end, if there is one
    reset_pair(p);
    const std::int32_t tail = iconv_span(p, in + i, j - i, j == len, out);
    if (tail != 0) return tail;
    i = j;
  }
  // Half a unit at the end: iconv hands it back for what follows.
  return i < len ? iconv_span(p, in + i, len - i, true, out) : 0;
}

}  // namespace

std::int32_t iconv_span(page_pair& pair, const unsigned char* bytes, std::size_t len,
                        bool may_continue, output_stream& out) {
  const auto unit = static_cast<std::size_t>(code_unit(pair.from));
  iconv_t const cd = pair.cd;
  if (pair.watched && drops_silently(pair, bytes, len)) {
    watch.lacking = true;
    return span_lost;
  }
  // iconv does not write through its input pointer; its type is only historical.
  char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes));
  while (len > 0) {
    if (out.len == out.cap && !out_flush(out)) return -1;
    char* const start = reinterpret_cast<char*>(out.buf + out.len);
    char* o = start;
    std::size_t room = out.cap - out.len;
    errno = 0;
    const std::size_t rc = iconv(cd, &in, &len, &o, &room);
    const int e = errno;
    out.len += static_cast<std::size_t>(o - start);
    if (rc != static_cast<std::size_t>(-1)) break;
    if (e == E2BIG) {
      if (o != start) continue;
      // Not even one character fits: make the whole buffer free, or give up.
      if (out.len == 0) {
        out.error = E2BIG;
        return -1;
      }
      if (!out_flush(out)) return -1;
      continue;
    }
    if (e == EINVAL && may_continue) return static_cast<std::int32_t>(len);
    if (pair.watched) return note_loss(pair, reinterpret_cast<const unsigned char*>(in), len, e);
    const std::size_t kept = len < unit ? len : unit;
    if (!out_put(out, in, kept)) return -1;
    in += kept;
    len -= kept;
  }
  return 0;
}

std::int32_t convert_span(page_pair& pair, const unsigned char* bytes, std::size_t len,
                          bool may_continue, output_stream& out) {
  // The table loops want room for a few whole entries at a time.
  constexpr std::size_t least_room = 64;
  // A copy has no descriptor: iconv would give the same bytes.
  if (pair.kind == pair_kind::copy) return out_put(out, bytes, len) ? 0 : -1;
  if (!conversion_tables || pair.kind == pair_kind::iconv_only || out.cap < least_room)
    return iconv_span(pair, bytes, len, may_continue, out);
  switch (pair.kind) {
    case pair_kind::single_byte:
      return pair.watched ? single_byte_span<true>(pair, bytes, len, out)
                          : single_byte_span<false>(pair, bytes, len, out);
    case pair_kind::utf8:
      if (!may_continue) return iconv_span(pair, bytes, len, false, out);
      return utf8_span(pair, bytes, len, out);
    case pair_kind::utf16:
      if (!may_continue) return iconv_span(pair, bytes, len, false, out);
      return pair.big_endian ? utf16_span<true>(pair, bytes, len, out)
                             : utf16_span<false>(pair, bytes, len, out);
    default:
      return iconv_span(pair, bytes, len, may_continue, out);
  }
}
