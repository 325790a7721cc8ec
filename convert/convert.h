// Conversion of the held blocks and the rest of an input from input_page to output_page.
#pragma once

#include <cstdint>

struct input_stream;
struct output_stream;

// Opens the conversion from input_page to output_page unless it is open already (once per
// run and pair; a page copied to itself needs none). Returns 0, or the error number that
// kept it from opening; says nothing.
int open_conversion();

// "kiv: cannot convert from ... to ...: " and the reason, on standard error.
void report_unconvertible(int error);

// Converts one held block (with what the previous one cut off in front of it) into out,
// as part of an unbroken sequence: an invalid byte is written as it is and conversion
// goes on after it. Returns how many bytes at the end begin a character that the block
// cuts off (left unconverted, for the caller to carry in front of what follows), or -1
// when no conversion between the pages can be opened (nothing is written; errno says
// why). A failed write ends the block early; see out.error.
std::int32_t convert_block(const unsigned char* bytes, std::int32_t length, output_stream& out);

// Writes the converted text of the held blocks and of the rest of in to out, as one
// unbroken sequence, and empties the pending list; returns 0. When no conversion between
// the pages can be opened it says so on standard error, copies everything unchanged (but
// writes nothing when out of memory) and returns the error number. Read and write
// failures are left in in.error and out.error; under the watch, the first loss ends the
// conversion (see conversion_watch).
int convert_file(input_stream& in, output_stream& out);

// Writes the held blocks and the rest of in to out unchanged, and empties the pending
// list: binary data, which no page would convert without damage.
void copy_file(input_stream& in, output_stream& out);

// Frees every held block and empties the list.
void pending_release();
