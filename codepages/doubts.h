// Three rules that withhold the page detection named where the bytes do not say Russian:
// binary data that holds no NUL where detection read, 8-bit text in some other script or
// language, and Russian text that two pages read nearly as well. They never name another
// page.
#pragma once

#include <cstddef>
#include <cstdint>

struct code_page;
struct naming_tally;

// On by default. Off: detection answers as it did without them (the benchmarks compare).
extern bool doubt_rules;

constexpr std::size_t magic_length_max = 10;    // "BZh91AY&SY"
constexpr std::uint64_t least_controls = 8;     // bytes 00-1F that text has no use for
constexpr std::uint64_t improbable_cost = 480;  // per letter, in letter-pair costs
constexpr std::uint64_t least_costed = 30;      // letters, for that cost to tell
constexpr double unsure_margin = 2.0;           // between two pages' totals

// Pages taking part: the five single-byte Cyrillic pages, with their letters where the
// registry puts them, at most this many.
constexpr int doubt_pages_max = 5;

// Counts over every byte added so far, in constant memory; a word cut between two calls
// counts as if the bytes had come in one.
struct doubt_tally {
  std::uint64_t length = 0;
  std::uint64_t controls = 0;                 // in stretches of ASCII, counted apart
  std::uint64_t histogram[256] = {};          // of the other bytes
  unsigned char head[magic_length_max] = {};  // the first bytes, for a magic number
  std::size_t head_len = 0;
  // What the last byte is to each of the five pages, and the costs of their letter
  // pairs, in the order of the C library's tables.
  std::uint64_t last_steps = 0;
  std::uint64_t cost[5] = {};
  bool words_open = false;  // the words below go on in the next bytes
  int pages = 0;
  int first = 0, last = 0;  // the pages still counted
  struct page_counts {
    code_page* page;
    int tables;                  // which of the five it is
    std::uint64_t latin;         // letters in words with at least as many ASCII letters
    std::uint64_t word_ascii;    // the word in progress: its ASCII letters
    std::uint64_t word_letters;  // and the page's
  } page[doubt_pages_max] = {};
};

// Starts the counts for a registry.
void doubt_tally_start(doubt_tally& tally, code_page* pages);

// histogram: how often each byte stands in these bytes, when the caller has counted them
// already (detection scores them so), or null.
void doubt_tally_add(doubt_tally& tally, const unsigned char* bytes, std::size_t size,
                     const std::uint32_t* histogram = nullptr);

// The last bytes, once the page they will be judged for is known (null: none is named,
// only binary data is told), counted for that page alone: detection's last block.
void doubt_tally_last(doubt_tally& tally, const unsigned char* bytes, std::size_t size,
                      const std::uint32_t* histogram, const code_page* named);

enum class doubt : std::uint8_t {
  none,
  binary,        // a magic number, or control bytes no text holds
  not_cyrillic,  // 8-bit text, but no Russian in the page named
  unsure,        // the rival reads the bytes nearly as well
};
struct doubt_answer {
  doubt kind = doubt::none;
  code_page* rival = nullptr;  // unsure: the other page
};

// What the rules say once detection has read all it will. named: the single-byte page
// the letter totals and the naming rules named, or null (no hits, utf-8); names: the
// naming rules' counts (their odd events tell cp1251 from mac-cyrillic). Only binary is
// said without a page named, and of a page the bytes were not all counted for.
doubt_answer doubt_verdict(const doubt_tally& tally, const naming_tally& names, code_page* named);

// True when the two pages read the byte as the same character: ASCII in every page, and
// bytes 80-FF as the C library's iconv reads the five single-byte pages.
bool same_character(const code_page* a, const code_page* b, unsigned char byte);
