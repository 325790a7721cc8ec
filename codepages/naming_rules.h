// Two rules that may rename the single-byte page the totals chose, from the bytes
// detection read: all-capitals text (whose capitals score as another page's lower case),
// and mac-cyrillic against cp1251 (which share their lower case).
#pragma once

#include <cstddef>
#include <cstdint>

#include "codepages/letter_pairs.h"

struct code_page;

// On by default. Off: the page stays as the totals and the UTF-8 rule chose it (the tests
// and benchmarks compare the two).
extern bool naming_rules;

constexpr std::uint64_t stray_byte_cost = 800;  // a byte 80-FF that is no letter of the page
constexpr std::uint64_t capitals_margin = 750;  // how much cheaper the capitals must read

// Byte classes of the mac-cyrillic/cp1251 rule. Other Cyrillic letters, the no-break space
// and ASCII other than letters are all `other`: none causes an event or satisfies one.
enum class byte_class : std::uint8_t {
  other,
  ascii_letter,
  lower,
  upper,
  typography,
  graphics,
  junk
};

// The class of every byte in cp1251 or in mac-cyrillic (mac true).
const byte_class* event_classes(bool mac);

// Single-byte pages taking part: those with a full letter row, at most this many.
constexpr int naming_pages_max = 8;

// Counts over every byte added so far, in constant memory; a word or a pair cut between
// two calls counts as if the bytes had come in one.
struct naming_tally {
  int pages = 0;
  code_page* page[naming_pages_max] = {};
  bool skip_ascii = true;  // no page has a letter below 80
  struct capitals {
    std::uint8_t code[256];  // what each byte is to the capitals rule
    std::uint64_t letters = 0, upper = 0, cost = 0;
    std::uint8_t last = letter_pair_edge;  // what the last byte was
  } caps[naming_pages_max];
  // Pages still counted: those with no lower-case or no capital letter yet, as long as
  // there are two such pages, one without capitals and another without lower case.
  int open = 0;
  std::uint8_t open_page[naming_pages_max] = {};

  struct events {
    code_page* page = nullptr;
    std::uint64_t count = 0;
    std::uint32_t window = 0;  // classes of the last three bytes, 3 bits each
  } cp1251, mac;
  // The last byte, how many times in a row it stands, and the byte before those; 0, a
  // letter nowhere, before the first.
  unsigned char before = 0, stretch_before = 0;
  std::uint64_t repeats = 0;
};

// Starts the counts for a registry.
void naming_tally_start(naming_tally& tally, code_page* pages);

void naming_tally_add(naming_tally& tally, const unsigned char* bytes, std::size_t size);

// The page to report once detection has read all it will, given the page chosen so far
// (null, utf-8 and a page whose total is 0 stand as they are).
code_page* naming_verdict(const naming_tally& tally, code_page* chosen);

// True when the mac-cyrillic/cp1251 rule found as many odd events in the one page's
// reading as in the other's; false when it counted none (the registry lacks one of them,
// or the rules are off).
bool events_even(const naming_tally& tally);
