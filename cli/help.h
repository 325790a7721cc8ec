// The help text and the version.
#pragma once

#include <cstdio>

// Writes the help text, with the identifier list, to out: standard output when asked
// for, standard error after a usage error.
void print_help(std::FILE* out);

// Writes the version and the licence line to standard output.
void print_version();
