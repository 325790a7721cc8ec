// Conversion of the held blocks and the rest of an input from input_page to output_page.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int read_size = 4096;

// Single-byte input pages, and the ASCII and two-byte characters of utf-8, are converted
// through tables that iconv itself filled, with the same result. Off: iconv for all of it
// (the tests and benchmarks compare the two).
extern bool conversion_tables;

// Converts one span of input bytes and writes the result to output; an invalid byte is
// written as it is and conversion goes on after it. Returns how many bytes at the end of
// the span begin a character that it cuts off (left unconverted, for the caller to carry
// in front of what follows), or -1 when no conversion between the pages can be opened
// (nothing is written then). A failed write ends the span early; see ferror(output).
std::int32_t convert_block(const unsigned char* bytes, std::int32_t length, std::FILE* output);

// Writes the converted text of the held blocks and of the rest of input to output, as
// one unbroken sequence, and empties the pending list. When no conversion between the
// pages can be opened it says so on standard error, copies everything unchanged and
// returns false. Read and write failures are left on the streams' error indicators.
bool convert_file(std::FILE* input, std::FILE* output);

// Frees every held block and empties the list.
void pending_release();
