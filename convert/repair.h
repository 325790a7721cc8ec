// The repair rules: a line in another page than the one its input was named, or UTF-8
// that was read as a single-byte page and saved as UTF-8 again, mended one window at a
// time, by how Russian its words read.
#pragma once

#include <cstddef>
#include <cstdint>

struct code_page;

// The most bytes the rules read at once: a longer line is cut into windows.
constexpr std::size_t repair_window = 65536;

// Where the first window of a line longer than repair_window ends: after the last space
// or tab among its bytes 2 to repair_window; without one after byte repair_window, moved
// back by at most 3 bytes while the byte after the cut is a UTF-8 continuation byte.
// bytes holds repair_window + 1 bytes of the line.
std::size_t window_cut(const unsigned char* bytes);

// Sums over the scored words of a text: those holding a character at or above U+0080.
struct text_measure {
  std::int64_t n = 0;             // Russian letters
  std::int64_t cost = 0;          // of their pairs, the edges of words included
  std::int64_t odd = 0;           // events Russian text does not have
  std::int64_t other = 0;         // characters of class X or C
  std::int64_t typo = 0;          // typography
  std::int64_t mb = 0;            // characters at or above U+0080
  std::int64_t high_xc = 0;       // of those, class X or C
  std::int64_t high_control = 0;  // of those, class C
};
void add(text_measure& sum, const text_measure& m);
std::int64_t badness(const text_measure& m);
// At least `least` Russian letters, few odd events and letter pairs that Russian has.
bool accept(const text_measure& m, std::int64_t least);

// The measure of valid UTF-8 text.
text_measure measure_utf8(const unsigned char* text, std::size_t len);

// Bytes the vector meter measured in this process (convert/simd.h chooses it): the tests
// see that it works.
extern std::size_t repair_vector_bytes;

// The single-byte pages of the rules, in this order; the last is only ever a chain's.
enum class repair_page { cp866, cp1251, koi8_r, iso_8859_5, mac_cyrillic, cp1252 };
constexpr int repair_pages = 6;
// What a byte reads as in the page (a byte it leaves undefined: the C1 control of the
// same number), and the byte a character encodes to, or -1.
std::uint32_t page_reading(repair_page page, unsigned char byte);
bool page_defines(repair_page page, unsigned char byte);
int page_encoding(repair_page page, std::uint32_t code);
// The measure of bytes read through the page.
text_measure measure_reading(repair_page page, const unsigned char* bytes, std::size_t len);

// What the rules carry from one line of an input to the next.
struct repair_state {
  int input = -1;          // the page the input was named: -1 utf-8, else a repair_page
  int reading = -1;        // the last rule-M reading: page * 2, + 1 for the hybrid; -1 none
  int chains[2] = {0, 0};  // the last rule-J chains, repair_pages each
  int chain_count = 0;
};

// The state for an input named page; false when the rules do not read that page (UTF-16).
bool repair_start(repair_state& state, const code_page* page);

// The buffers of one window's readings, had once per process; false when out of memory.
bool repair_reserve();

struct window_verdict {
  bool fired = false;                   // a rule fired: text, in UTF-8, is what the window becomes
  bool invalid = false;                 // nothing fired, and the window holds bytes its page has no
                                        // character for
  const unsigned char* text = nullptr;  // valid until the next window
  std::size_t len = 0;
};

// The rules on one window of at most repair_window bytes (a line, or a part of a longer
// one, in order); after repair_reserve.
window_verdict repair_text(repair_state& state, const unsigned char* bytes, std::size_t len);
