// The options: every short one with its long twin, and those that are only long. getopt
// reads them from this table and --help lists the long names from it, so a new option is
// one row here and one case where the options are read.
#pragma once

// Keys of the options that have no short twin: above every letter.
constexpr int version_option = 256;
constexpr int in_place_option = 257;
constexpr int dry_run_option = 258;
constexpr int lossy_option = 259;
constexpr int backup_option = 260;
constexpr int keep_times_option = 261;
constexpr int keep_declarations_option = 262;
constexpr int repair_option = 263;
constexpr int guess_option = 264;

struct option_row {
  int key;                // the short letter, or one of the keys above
  const char* name;       // the long name
  const char* argument;   // what the help calls its argument; null when it takes none
  const char* help;       // for an option that is only long: its help line
  bool optional = false;  // the argument may be left out (and then comes only after "=")
};

// In the order --help lists them.
inline constexpr option_row option_rows[] = {
    {'i', "from-code", "incp", nullptr},
    {'o', "to-code", "outcp", nullptr},
    {'T', "report", nullptr, nullptr},
    {'t', "convert", nullptr, nullptr},
    {'l', "leave-low-scores", nullptr, nullptr},
    {'e', "no-box-drawing", nullptr, nullptr},
    {'g', "box-drawing", nullptr, nullptr},
    {'c', "letters-only", nullptr, nullptr},
    {'v', "verbose", nullptr, nullptr},
    {'q', "quiet", nullptr, nullptr},
    {'s', "ignored", "arg", nullptr},
    {'r', "recursive", nullptr, nullptr},
    {'j', "jobs", "N", nullptr},
    {in_place_option, "in-place", nullptr, "Convert each file in its place (needs -o)."},
    {dry_run_option, "dry-run", nullptr, "With --in-place: decide and report, change nothing."},
    {lossy_option, "lossy", nullptr, "With --in-place: convert what loses characters too."},
    {backup_option, "backup", "SUFFIX",
     "With --in-place: keep each original as NAME~ (or NAME and SUFFIX).", true},
    {keep_times_option, "keep-times", nullptr,
     "With --in-place: give each new file the original's times."},
    {keep_declarations_option, "keep-declarations", nullptr,
     "With --in-place: leave charset declarations as they are."},
    {repair_option, "repair", nullptr, "Mend lines in another page or double-encoded."},
    {guess_option, "guess", nullptr, "With --in-place: convert unsure files too."},
    {'h', "help", nullptr, nullptr},
    {version_option, "version", nullptr, "Show the version and the licence."},
};
