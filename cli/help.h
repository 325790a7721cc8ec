// The help text and the version.
#pragma once

// Writes the version and the licence line to standard output.
void print_version();

// Writes the help text, with the identifier list, to standard output.
void print_help();
