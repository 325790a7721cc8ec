#include "cli/help.h"

#include <cstdio>

#include "codepages/registry.h"

namespace {
constexpr const char* version = "0.81";
}

void print_version() {
  std::printf("kiv %s\n", version);
  std::puts("Released by the kiv authors under the MIT licence, without warranty.");
}

void print_help() {
  std::printf(" kiv %s -- Fri Feb 27 12:29:12 MSK 2015\n", version);
  std::puts(
      " Usage: kiv [-egT] [-i incp] [-o outcp] [file ...]\n\n"
      "    -e   -- Replace box-drawing characters by non-graphic. Default.\n"
      "    -g   -- Inverse of -e option. (Overrides any previous -e option).\n"
      "    -c   -- Work with alphabet characters only. Skips non-russian characters");
  std::printf(
      "    -T   -- Just show the code pages of the input files.\n\n"
      "    -i   -- Specify an input code page. Overrides by -[tT]\n"
      "    -o   -- Specify an output code page. Default is `%s'.\n\n",
      code_pages[default_output_index].name);
  std::puts(
      "    -v   -- Be verbose. Show all warnings.\n\n"
      "    -h   -- Show this help message.\n");
  print_identifiers(stdout);
  std::printf("\nSample: cat book.html | kiv | less");
  std::printf("\n        kiv book.html | less");
  std::printf("\n        kiv -T *");
  std::puts("\n--\nkiv is maintained by its authors; report problems to them.");
}
