#include "cli/settings.h"

#include "codepages/registry.h"

code_page* output_page = &code_pages[default_output_index];
code_page* input_page = nullptr;
bool input_given = false;
bool report_only = false;
bool verbose = false;
bool low_score_passthrough = false;
bool letters_only = false;
bool keep_boxdraw = false;
bool in_place = false;
bool dry_run = false;
bool lossy = false;
bool recursive = false;
const char* backup_suffix = nullptr;
bool keep_times = false;
bool quiet_last = false;
int jobs = 1;
bool keep_declarations = false;
bool repair = false;
bool guess = false;

void reset_settings() {
  output_page = &code_pages[default_output_index];
  input_page = nullptr;
  input_given = false;
  report_only = false;
  verbose = false;
  low_score_passthrough = false;
  letters_only = false;
  keep_boxdraw = false;
  in_place = false;
  dry_run = false;
  lossy = false;
  recursive = false;
  backup_suffix = nullptr;
  keep_times = false;
  quiet_last = false;
  jobs = 1;
  keep_declarations = false;
  repair = false;
  guess = false;
}
