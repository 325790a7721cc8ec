// The help text.
#pragma once

// Writes the help text, with the identifier list, to standard output.
void print_help();
