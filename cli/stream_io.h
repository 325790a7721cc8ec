// Reads and writes that remember why they failed, so that the reason can be reported
// once, after the fact, by the driver.
#pragma once

#include <cstddef>
#include <cstdio>

// errno of the last failed read_input; 0 when none failed since the last reset.
extern int input_errno;
// errno of the first failed write to any output; 0 when none failed.
extern int output_errno;

// fread of up to n bytes; a short count with ferror(in) set records input_errno.
std::size_t read_input(std::FILE* in, void* buf, std::size_t n);

// fwrite of all n bytes; false on a short write, which records output_errno.
bool write_output(std::FILE* out, const void* buf, std::size_t n);

// False when the stream's error indicator is set; records output_errno if nothing has yet.
bool output_ok(std::FILE* out);

// Forgets earlier failures (between runs of the driver in one process).
void reset_stream_errors();
