// Converting an input line by line under the repair rules (convert/repair.h): each line
// goes out as soon as it is whole.
#pragma once

#include <cstdint>

struct input_stream;
struct output_stream;

struct repair_counts {
  std::uint64_t lines = 0;  // lines a rule fired on: mended, or that would have been
  bool invalid = false;     // bytes with no character in the input page, left as they are
};

// The buffers of the line loop and the rules, had once per process; false when out of
// memory.
bool repair_file_reserve();

// convert_file, a line at a time, for an input in a page the rules read (another is
// handed to convert_file). With mend, a line a rule fired on is written as its new text,
// converted as a UTF-8 line would be; without, it is converted as today, and only counted.
// Every other line is converted as convert_file converts it, so an input on which nothing
// fired gives the same bytes. mid_line: the input's first line began in what was written
// before (blocks detection let through at once); unseen whole, it is left as it is and not
// counted. Returns as convert_file does (ENOMEM also when the buffers could not be had).
int repair_file(input_stream& in, output_stream& out, bool mend, repair_counts& counts,
                bool mid_line = false);
