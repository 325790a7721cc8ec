// The compiled-in registry of the six Cyrillic code pages.
#pragma once

#include <cstdint>
#include <cstdio>

// Letters in canonical order: а..я with ё after е (0-32), then А..Я likewise (33-65).
constexpr int letter_positions = 66;
constexpr int boxdraw_positions = 49;
constexpr int default_output_index = 2;  // koi8-r

struct code_page {
  const char* name;         // identifier for -i/-o, also the iconv encoding name
  const char* description;  // carried along, printed nowhere
  std::int32_t letter_count;
  std::int32_t boxdraw_count;
  const unsigned char* letters;  // byte of each canonical letter (utf-8: its last byte);
                                 // null for a page that is never scored
  const unsigned char* boxdraw;  // box-drawing bytes, null when boxdraw_count is 0
  float score_total;             // detection total for the current input
  std::int32_t char_width;       // 2: UTF-16, whose ASCII is not single bytes
};

// Eight pages, then an end record whose name is null.
extern code_page code_pages[];
extern const float letter_weights[letter_positions];
extern const char boxdraw_ascii[boxdraw_positions + 1];

// Lookup by identifier, or by another name iconv gives the same page, in any letter case;
// null on no match.
code_page* find_code_page(const char* identifier);

// False for a page kiv only reads: text that passes unchanged (blocks without letters,
// binary data) would not be in it.
bool is_output_page(const code_page* page);

// Bytes a character of the page is made of at least: what an invalid one takes.
inline int code_unit(const code_page* page) { return page->char_width == 2 ? 2 : 1; }

// "The valid identifiers of the code pages are:" and the identifiers on one line.
void print_identifiers(std::FILE* out);
