// Run settings: process-wide, set from the command line before the first input.
#pragma once

struct code_page;

extern code_page* output_page;      // never null once the options are read
extern code_page* input_page;       // fixed by -i, or rewritten by detection per input
extern bool input_given;            // -i
extern bool report_only;            // -T
extern bool verbose;                // -v
extern bool low_score_passthrough;  // -l
extern bool letters_only;           // -c
extern bool keep_boxdraw;           // -g
extern bool in_place;               // --in-place
extern bool dry_run;                // --dry-run
extern bool lossy;                  // --lossy
extern bool recursive;              // -r
extern const char* backup_suffix;   // --backup: the suffix, or null without it
extern bool keep_times;             // --keep-times
extern bool quiet_last;             // -q came after the last -v
extern int jobs;                    // -j: 1 by default, 0 for as many as there are CPUs
extern bool keep_declarations;      // --keep-declarations
extern bool repair;                 // --repair
extern bool guess;                  // --guess

// Puts every setting back to its initial value (koi8-r output, all flags off).
void reset_settings();
