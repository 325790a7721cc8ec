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
extern bool guess;                  // --guess

// Puts every setting back to its initial value (koi8-r output, all flags off).
void reset_settings();
