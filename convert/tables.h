// A page pair as the run converts it: one iconv descriptor, opened the first time the pair
// is met, and tables of what single characters become, worked out through that same
// descriptor, so that the fast paths give iconv's own answers.
#pragma once

#include <iconv.h>

#include <cstdint>

struct code_page;

// What one input character becomes.
struct char_entry {
  unsigned char bytes[7];
  std::uint8_t len;  // entry_slow: longer than bytes holds, iconv converts it each time
};
constexpr std::uint8_t entry_slow = 0xFF;

enum class pair_kind {
  unavailable,  // iconv could not open the conversion (open_errno says why)
  copy,         // the same page: every byte stays as it is, and no descriptor is needed
  iconv_only,   // no table: everything through iconv
  single_byte,  // every input byte from the table
  utf8,         // ASCII, two- and three-byte characters from tables, the rest through iconv
  utf16,        // UTF-16 units from rows built as they are met, the rest through iconv
};

struct page_pair {
  const code_page* from;
  const code_page* to;
  const char* from_name;  // the key includes the names: tests build pages of their own
  const char* to_name;
  bool watched;  // converted under the watch: no transliteration; a refused entry is slow
  pair_kind kind;
  iconv_t cd;            // (iconv_t)-1 when there is none: unavailable, or a copy
  iconv_t decode;        // watched: the input page to UTF-32LE, which tells a character
                         // the output page lacks from bytes that are none; else (iconv_t)-1
  int open_errno;        // why the descriptor could not be opened
  char_entry byte[256];  // single-byte input: every byte; utf-8: ASCII only
  // utf-8: two-byte characters by lead byte C0..DF, each row indexed by the next byte
  // (slow where that is no continuation byte); a row of slow entries until the lead is
  // first met, so that one test in the loop covers both.
  const char_entry* rows[32];
  std::uint32_t rows_built;
  char_entry row_store[32][256];  // utf-8: by lead byte; UTF-16: unit rows, as they are met
  // Three-byte characters likewise, by lead byte E0..EF and second byte (row3_index),
  // each row indexed by the third byte; rows for the first few pairs met (punctuation,
  // mostly), the rest through iconv.
  const char_entry* rows3[16 * 64];
  int rows3_used;
  char_entry row3_store[8][256];
  // UTF-16: units by their high byte, each row indexed by the low one; a row of slow
  // entries until its first unit is met, then built into row_store while there is room
  // (never for surrogates, which go through iconv with their partner).
  bool big_endian;
  const char_entry* unit_rows[256];
  int unit_rows_used;
  // The vector paths' view of the same tables, upper halves only: ASCII stays itself
  // (checked when the tables are built; a pair where it does not has no vector path).
  bool bytes_ok;  // single-byte input: the byte, wide and pair tables hold bytes 80-FF
  // utf-8 input: cyr_map holds U+0400-U+047F (once the rows of both of their lead bytes
  // are built). UTF-16 input, once the rows of U+00xx and U+04xx are: the same into a
  // single-byte page; into utf-8, every one of them is UTF-8's own two bytes.
  bool cyr_ok;
  alignas(64) unsigned char byte_map[128];
  alignas(64) unsigned char byte_bad[128];      // nonzero: the output is not one byte
  alignas(16) unsigned char byte_bad_bits[16];  // the same by low nibble, a bit per high one
  alignas(64) unsigned char wide[3][128];       // byte k of the output
  alignas(64) unsigned char wide_len[128];      // 1-3, or 0: longer, shorter or slow
  // Outputs of one or two bytes: the first, and the second or 0 (one byte) or FF (other
  // lengths, or a second byte of 0 or FF).
  alignas(64) unsigned char pair_first[128];
  alignas(64) unsigned char pair_second[128];
  // The one byte each becomes, or 0 where that is not one byte (no letter becomes NUL).
  alignas(64) unsigned char cyr_map[128];
};

// The same page in and out keeps every byte: iconv would keep each valid character, and
// the conversion rule keeps each invalid byte and an incomplete tail as they are.
bool is_copy(const code_page* from, const code_page* to);

// The pair for input_page to output_page style arguments: allocated, opened and tabled once
// per run. Null, with errno ENOMEM, when its memory could not be had.
page_pair* pair_for(const code_page* from, const code_page* to);

// Puts the pair's descriptor back to its initial state.
void reset_pair(page_pair& pair);

// Works out the row of a utf-8 lead byte, if it was not yet.
void build_row(page_pair& pair, unsigned lead);

inline unsigned row3_index(unsigned lead, unsigned second) {
  return ((lead & 0x0F) << 6) | (second & 0x3F);
}
// The row of a three-byte lead and second byte, worked out now; false when it was built
// already or there is no room for more.
bool build_row3(page_pair& pair, unsigned lead, unsigned second);

// The row of UTF-16 units whose high byte is `high`, worked out now; false when it was
// built already, is a surrogate's or there is no room for more.
bool build_unit_row(page_pair& pair, unsigned high);

// Closes every descriptor the run opened and frees the pairs.
void close_pairs();
