// Converting files in place (--in-place): which files to convert and which to leave
// alone, and the record of what was done to each.
#pragma once

// Converts each named file from its page (detected, or input_page with -i) to
// output_page and puts the result in its place; with --dry-run decides the same and
// changes nothing. Returns the exit status.
int convert_in_place(char* const* names, int count);
