#include "cli/help.h"

#include <cstdio>
#include <cstdlib>

#include "cli/options.h"
#include "codepages/registry.h"

namespace {
constexpr const char* version = "0.81";

// puts, on any stream.
void put_line(std::FILE* out, const char* s) {
  std::fputs(s, out);
  std::fputc('\n', out);
}
struct option_name {
  char text[64];
};
// "--name", with "=arg" for one that takes an argument.
option_name long_name(const option_row& r) {
  option_name n;
  std::snprintf(n.text, sizeof n.text, "--%s%s%s%s%s", r.name, r.optional ? "[" : "",
                r.argument != nullptr ? "=" : "", r.argument != nullptr ? r.argument : "",
                r.optional ? "]" : "");
  return n;
}

void write_help(std::FILE* out) {
  std::fprintf(out, " kiv %s -- Fri Feb 27 12:29:12 MSK 2015\n", version);
  put_line(out,
           " Usage: kiv [-egT] [-i incp] [-o outcp] [file ...]\n"
           "        kiv --in-place [--dry-run] [--lossy] [-v] [-i incp] -o outcp file ...\n\n"
           "    -e   -- Replace box-drawing characters by non-graphic. Default.\n"
           "    -g   -- Inverse of -e option. (Overrides any previous -e option).\n"
           "    -c   -- Work with alphabet characters only. Skips non-russian characters");
  std::fprintf(out,
               "    -T   -- Just show the code pages of the input files.\n"
               "    -t   -- Convert the input files. Default. Overrides -i and -T.\n"
               "    -l   -- Leave blocks that score low unconverted.\n\n"
               "    -i   -- Specify an input code page. Overrides by -[tT]\n"
               "    -o   -- Specify an output code page. Default is `%s'.\n\n",
               code_pages[default_output_index].name);
  put_line(out,
           "    -v   -- Be verbose. Show all warnings.\n"
           "    -q   -- Be quiet. Inverse of -v option. Default.\n"
           "    -s   -- Take an argument and ignore it.\n"
           "    -r   -- With --in-place: convert what each folder holds, all the way down.\n"
           "    -j   -- With --in-place: convert in N jobs at once (0: one for each CPU).\n\n"
           "    -h   -- Show this help message.\n");
  std::fputs(" Long options, each the same as the short one beside it:\n", out);
  for (const option_row& r : option_rows)
    if (r.key < version_option) std::fprintf(out, "    %-20s -%c\n", long_name(r).text, r.key);
  std::fputs(" Long options without a short one:\n", out);
  for (const option_row& r : option_rows)
    if (r.key >= version_option) std::fprintf(out, "    %-20s %s\n", long_name(r).text, r.help);
  std::fputc('\n', out);
  print_identifiers(out);
  std::fprintf(out, "\nSample: cat book.html | kiv | less");
  std::fprintf(out, "\n        kiv book.html | less");
  std::fprintf(out, "\n        kiv -T *");
  put_line(out, "\n--\nkiv is maintained by its authors; report problems to them.");
}
}  // namespace

void print_help(std::FILE* out) {
  // Composed first, so that it leaves in one write even on unbuffered standard error.
  char* text = nullptr;
  std::size_t len = 0;
  std::FILE* mem = open_memstream(&text, &len);
  if (mem == nullptr) {
    write_help(out);
    return;
  }
  write_help(mem);
  std::fclose(mem);
  std::fwrite(text, 1, len, out);
  std::free(text);
}

void print_version() {
  std::printf("kiv %s\n", version);
  std::puts("Released by the kiv authors under the MIT licence, without warranty.");
}
