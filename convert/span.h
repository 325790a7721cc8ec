// The hot loop: one span of input converted into the output buffer, through the pair's
// tables (vector paths first, the scalar loop where they stop) or through iconv.
#pragma once

#include <iconv.h>

#include <cstddef>
#include <cstdint>

struct output_stream;
struct page_pair;

// Single-byte input pages, the ASCII, two- and three-byte characters of utf-8 and the UTF-16
// units met are converted through the tables. Off: iconv for all of it but a page copied to itself
// (the tests and benchmarks compare the two).
extern bool conversion_tables;

// Converting files in place watches what a conversion cannot keep: a file is replaced
// only when converting the result back gives its bytes again. Set for the whole run before
// the first pair is opened: the pairs then convert without transliteration, so that iconv
// refuses what the output page lacks, and the first loss ends the conversion.
struct conversion_watch {
  bool on = false;
  bool invalid = false;  // a byte not valid in the input page, or an input that ends
                         // inside a character
  bool lacking = false;  // a character the output page lacks
};
extern conversion_watch watch;

// What the span functions return when the watch saw a loss (nothing more is converted).
constexpr std::int32_t span_lost = -2;

// Converts a span with the pair's iconv descriptor. A code unit that does not convert (a
// byte; two bytes in UTF-16, so that the text after it stays in step) is kept as it is
// and the conversion resumes after it. A character cut off by the end of the span is left
// unconverted and its length returned when more input may complete it (may_continue);
// otherwise it is as invalid as any other. -1 when writing failed.
std::int32_t iconv_span(page_pair& pair, const unsigned char* bytes, std::size_t len,
                        bool may_continue, output_stream& out);

// The same as iconv_span on the pair's descriptor, by the fastest path the pair and the
// CPU allow.
std::int32_t convert_span(page_pair& pair, const unsigned char* bytes, std::size_t len,
                          bool may_continue, output_stream& out);
