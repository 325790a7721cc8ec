// The help text.
#pragma once

#include <cstdio>

// Writes the help text, with the identifier list, to out: standard output when asked
// for, standard error after a usage error.
void print_help(std::FILE* out);
