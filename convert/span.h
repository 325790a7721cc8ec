// The hot loop: one span of input converted into the output buffer, through the pair's
// tables (vector paths first, the scalar loop where they stop) or through iconv.
#pragma once

#include <iconv.h>

#include <cstddef>
#include <cstdint>

struct output_stream;
struct page_pair;

// Single-byte input pages, and the ASCII, two- and three-byte characters of utf-8, are converted
// through the tables. Off: iconv for all of it but a page copied to itself (the tests and
// benchmarks compare the two).
extern bool conversion_tables;

// Converts a span with iconv. A code unit that does not convert (a byte; two bytes in
// UTF-16, so that the text after it stays in step) is kept as it is and the conversion
// resumes after it. A character cut off by the end of the span is left unconverted and
// its length returned when more input may complete it (may_continue); otherwise it is as
// invalid as any other. -1 when writing failed.
std::int32_t iconv_span(iconv_t cd, const unsigned char* bytes, std::size_t len, bool may_continue,
                        output_stream& out, std::size_t unit = 1);

// The same as iconv_span on the pair's descriptor, by the fastest path the pair and the
// CPU allow.
std::int32_t convert_span(page_pair& pair, const unsigned char* bytes, std::size_t len,
                          bool may_continue, output_stream& out);
