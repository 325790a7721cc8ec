#include "convert/tables.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "codepages/registry.h"
#include "convert/span.h"
#include "io/output.h"

namespace {

// More pairs than one run meets in practice: 6 pages in, one page out. Each slot is
// allocated when a pair first needs it and kept for the run: a program that reserved them
// all up front would not even start under a tight data limit.
constexpr int cached_pairs = 8;
page_pair* cache[cached_pairs];
int cache_used = 0;
int next_evicted = 0;

const iconv_t no_descriptor = reinterpret_cast<iconv_t>(-1);

// Read-only data, not the start-up's: it counts against no data limit.
constexpr std::array<char_entry, 256> all_slow() {
  std::array<char_entry, 256> row{};
  for (char_entry& e : row) e.len = entry_slow;
  return row;
}
constexpr std::array<char_entry, 256> slow_entries = all_slow();
const char_entry* const slow_row = slow_entries.data();

// Any write to it fails: an entry whose output does not fit is slow.
ssize_t refuse(void*, const void*, std::size_t) {
  errno = ENOBUFS;
  return -1;
}

// One character through iconv under the conversion rule, as an entry.
char_entry make_entry(page_pair& p, const unsigned char* ch, std::size_t len) {
  unsigned char buf[sizeof(char_entry::bytes) + output_slack];
  output_stream mem = output_on(-1, buf, sizeof(char_entry::bytes));
  mem.write_fn = refuse;
  reset_pair(p);
  // Watched, what iconv refuses is slow: the conversion meets it there and stops. Building
  // an entry is no loss of the input's.
  const conversion_watch seen = watch;
  const bool fits = iconv_span(p, ch, len, false, mem) == 0 && mem.error == 0;
  watch = seen;
  char_entry e{};
  std::memcpy(e.bytes, buf, sizeof e.bytes);
  e.len = fits ? static_cast<std::uint8_t>(mem.len) : entry_slow;
  return e;
}

bool is_ascii_identity(const char_entry& e, unsigned b) { return e.len == 1 && e.bytes[0] == b; }

void build_vector_tables(page_pair& p) {
  p.bytes_ok = p.cyr_ok = false;
  for (unsigned b = 0; b < 128; ++b)
    if (!is_ascii_identity(p.byte[b], b)) return;
  if (p.kind == pair_kind::single_byte) {
    p.bytes_ok = true;
    std::memset(p.byte_bad_bits, 0, sizeof p.byte_bad_bits);
    for (unsigned b = 0; b < 128; ++b) {
      const char_entry& e = p.byte[128 + b];
      p.byte_map[b] = e.bytes[0];
      p.byte_bad[b] = e.len != 1;
      if (e.len != 1) p.byte_bad_bits[b & 15] |= static_cast<unsigned char>(1u << (b >> 4));
      const bool short_enough = e.len >= 1 && e.len <= 3;
      p.wide_len[b] = short_enough ? e.len : 0;
      for (int k = 0; k < 3; ++k) p.wide[k][b] = short_enough && k < e.len ? e.bytes[k] : 0;
      const bool two = e.len == 2 && e.bytes[1] != 0 && e.bytes[1] != 0xFF;
      p.pair_first[b] = e.len == 1 || two ? e.bytes[0] : 0;
      p.pair_second[b] = e.len == 1 ? 0 : two ? e.bytes[1] : 0xFF;
    }
  }
  // utf-8: the Cyrillic table once the rows of both its lead bytes are built (build_row).
}

// U+0400-U+047F for the vector path, from the rows of D0 and D1.
void build_cyrillic(page_pair& p) {
  for (unsigned b = 0; b < 128; ++b)
    if (!is_ascii_identity(p.byte[b], b)) return;
  for (const unsigned lead : std::array{0xD0u, 0xD1u}) {
    const char_entry* row = p.rows[lead & 0x1F];
    for (unsigned t = 0; t < 64; ++t) {
      const char_entry& e = row[0x80 + t];
      const unsigned k = (lead & 1) * 64 + t;
      p.cyr_map[k] = e.len == 1 ? e.bytes[0] : 0;
    }
  }
  p.cyr_ok = true;
}

// UTF-16's U+0000-U+007F and U+0400-U+047F for the vector paths, from the rows of units
// 00xx and 04xx. Into utf-8 the kernels write UTF-8's own encoding: only when iconv's
// entries are just that.
void build_cyrillic_units(page_pair& p) {
  const char_entry* ascii = p.unit_rows[0x00];
  const char_entry* cyrillic = p.unit_rows[0x04];
  for (unsigned b = 0; b < 128; ++b)
    if (!is_ascii_identity(ascii[b], b)) return;
  if (p.to->char_width == 1) {
    for (unsigned k = 0; k < 128; ++k) {
      const char_entry& e = cyrillic[k];
      p.cyr_map[k] = e.len == 1 ? e.bytes[0] : 0;
    }
  } else {
    for (unsigned k = 0; k < 128; ++k) {
      const char_entry& e = cyrillic[k];
      if (e.len != 2 || e.bytes[0] != (0xD0 | k >> 6) || e.bytes[1] != (0x80 | (k & 0x3F))) return;
    }
  }
  p.cyr_ok = true;
}

// glibc's iconv_open says only EINVAL when it cannot load the module that converts, also
// when what it lacked was a descriptor or memory; every pair of the registry has one.
int open_failure(int e) {
  if (e != EINVAL) return e;
  const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == EMFILE || errno == ENFILE ? errno : e;
  close(fd);
  // More than loading a module takes.
  constexpr std::size_t room = std::size_t{256} << 10;
  void* m = mmap(nullptr, room, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return ENOMEM;
  munmap(m, room);
  return e;
}

void close_descriptors(page_pair& p) {
  if (p.cd != no_descriptor) iconv_close(p.cd);
  if (p.decode != no_descriptor) iconv_close(p.decode);
}

void open_pair(page_pair& p, const code_page* from, const code_page* to) {
  p.from = from;
  p.to = to;
  p.from_name = from->name;
  p.to_name = to->name;
  p.watched = watch.on;
  p.rows_built = 0;
  p.bytes_ok = p.cyr_ok = false;
  for (const char_entry*& r : p.rows) r = slow_row;
  for (const char_entry*& r : p.rows3) r = slow_row;
  p.rows3_used = 0;
  p.big_endian = std::strcmp(from->name, "utf-16be") == 0;
  for (const char_entry*& r : p.unit_rows) r = slow_row;
  p.unit_rows_used = 0;

  p.open_errno = 0;
  p.cd = p.decode = no_descriptor;
  if (is_copy(from, to)) {
    p.kind = pair_kind::copy;
    return;
  }
  char target[64];
  std::snprintf(target, sizeof target, p.watched ? "%s" : "%s//TRANSLIT", to->name);
  errno = 0;
  p.cd = iconv_open(target, from->name);
  // Opened with the pair, while a descriptor is surely free to load what it needs.
  if (p.cd != no_descriptor && p.watched) {
    p.decode = iconv_open("UTF-32LE", from->name);
    if (p.decode == no_descriptor) {
      const int e = errno;
      iconv_close(p.cd);
      p.cd = no_descriptor;
      errno = e;
    }
  }
  if (p.cd == no_descriptor) {
    p.open_errno = open_failure(errno != 0 ? errno : EINVAL);
    p.kind = pair_kind::unavailable;
    return;
  }
  if (from->char_width == 1)
    p.kind = pair_kind::single_byte;
  else if (std::strcmp(from->name, "utf-8") == 0)
    p.kind = pair_kind::utf8;
  else if (from->char_width == 2)
    p.kind = pair_kind::utf16;  // its rows are built as they are met
  else
    p.kind = pair_kind::iconv_only;
  if (p.kind == pair_kind::iconv_only || p.kind == pair_kind::utf16) return;

  const unsigned top = p.kind == pair_kind::single_byte ? 256 : 128;
  for (unsigned b = 0; b < top; ++b) {
    const auto ch = static_cast<unsigned char>(b);
    p.byte[b] = make_entry(p, &ch, 1);
    // The loops take every single-byte character and every ASCII one from the table; one
    // whose transliteration does not fit an entry leaves the pair to iconv. (Watched, a
    // slow entry is a loss, which the loop stops at.)
    if (p.byte[b].len == entry_slow && !p.watched) p.kind = pair_kind::iconv_only;
  }
  for (unsigned b = top; b < 256; ++b) p.byte[b].len = entry_slow;
  if (p.kind != pair_kind::iconv_only) build_vector_tables(p);
  reset_pair(p);
}

}  // namespace

bool is_copy(const code_page* from, const code_page* to) {
  return from == to || std::strcmp(from->name, to->name) == 0;
}

page_pair* pair_for(const code_page* from, const code_page* to) {
  for (int i = 0; i < cache_used; ++i) {
    page_pair* p = cache[i];
    if (p->from == from && p->to == to && p->from_name == from->name && p->to_name == to->name &&
        p->watched == watch.on)
      return p;
  }
  int slot;
  if (cache_used < cached_pairs) {
    void* m = std::aligned_alloc(alignof(page_pair), sizeof(page_pair));
    if (m == nullptr) {
      errno = ENOMEM;
      return nullptr;
    }
    slot = cache_used++;
    cache[slot] = static_cast<page_pair*>(m);
  } else {
    slot = next_evicted;
    next_evicted = (next_evicted + 1) % cached_pairs;
    close_descriptors(*cache[slot]);
  }
  open_pair(*cache[slot], from, to);
  return cache[slot];
}

void reset_pair(page_pair& pair) {
  if (pair.cd != no_descriptor) iconv(pair.cd, nullptr, nullptr, nullptr, nullptr);
}

void build_row(page_pair& p, unsigned lead) {
  const unsigned slot = lead & 0x1F;
  if ((p.rows_built & (1u << slot)) != 0) return;
  char_entry* row = p.row_store[slot];
  for (unsigned next = 0; next < 256; ++next) {
    if ((next & 0xC0) != 0x80) {
      row[next].len = entry_slow;
      continue;
    }
    const unsigned char ch[2] = {static_cast<unsigned char>(lead),
                                 static_cast<unsigned char>(next)};
    row[next] = make_entry(p, ch, 2);
  }
  p.rows[slot] = row;
  p.rows_built |= 1u << slot;
  constexpr std::uint32_t cyrillic = 1u << (0xD0 & 0x1F) | 1u << (0xD1 & 0x1F);
  if ((p.rows_built & cyrillic) == cyrillic && p.kind == pair_kind::utf8) build_cyrillic(p);
  reset_pair(p);
}

bool build_row3(page_pair& p, unsigned lead, unsigned second) {
  const unsigned slot = row3_index(lead, second);
  if (p.rows3[slot] != slow_row || p.rows3_used == static_cast<int>(std::size(p.row3_store)))
    return false;
  char_entry* row = p.row3_store[p.rows3_used++];
  for (unsigned third = 0; third < 256; ++third) {
    if ((third & 0xC0) != 0x80) {
      row[third].len = entry_slow;
      continue;
    }
    const unsigned char ch[3] = {static_cast<unsigned char>(lead),
                                 static_cast<unsigned char>(second),
                                 static_cast<unsigned char>(third)};
    row[third] = make_entry(p, ch, 3);
  }
  p.rows3[slot] = row;
  reset_pair(p);
  return true;
}

bool build_unit_row(page_pair& p, unsigned high) {
  const bool surrogate = high >= 0xD8 && high <= 0xDF;
  if (surrogate || p.unit_rows[high] != slow_row ||
      p.unit_rows_used == static_cast<int>(std::size(p.row_store)))
    return false;
  char_entry* row = p.row_store[p.unit_rows_used++];
  for (unsigned low = 0; low < 256; ++low) {
    const auto h = static_cast<unsigned char>(high), l = static_cast<unsigned char>(low);
    const unsigned char unit[2] = {p.big_endian ? h : l, p.big_endian ? l : h};
    row[low] = make_entry(p, unit, 2);
  }
  p.unit_rows[high] = row;
  if (p.unit_rows[0x00] != slow_row && p.unit_rows[0x04] != slow_row && (high == 0 || high == 4))
    build_cyrillic_units(p);
  reset_pair(p);
  return true;
}

void close_pairs() {
  for (int i = 0; i < cache_used; ++i) {
    close_descriptors(*cache[i]);
    std::free(cache[i]);
  }
  cache_used = 0;
  next_evicted = 0;
}
