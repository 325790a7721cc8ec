// Helpers shared by the unit tests: the conversion rule computed independently with
// plain iconv, and the real detection and conversion path run on bytes in memory.
#pragma once

#include <string>
#include <string_view>

struct code_page;
struct repair_counts;

// The whole input converted in one iconv pass: a byte iconv rejects is kept and the
// pass resumes after it; a character cut off by the end of the input is kept as it is.
std::string oracle_convert(std::string_view in, const char* from, const char* to);

// Strict conversion for building fixtures; fails the calling test on any error.
std::string recode(std::string_view in, const char* from, const char* to);

struct pipeline_result {
  std::string out;
  const code_page* page = nullptr;  // detected page, null with a fixed input page
  float score = 0;
  bool converted = false;  // convert_file's answer
};

// Sets the run settings, then runs detection (unless input is given) and conversion the
// way the driver does, on input read from memory, collecting standard output's bytes.
// With rules, line by line under the repair rules (mending with --repair's setting).
pipeline_result run_pipeline(std::string_view input, code_page* input_fixed, code_page* output,
                             bool passthrough = false, bool report = false,
                             repair_counts* rules = nullptr, bool mend = false);

code_page* page_named(const char* name);  // registry lookup that must succeed
