#include "tests/support.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/settings.h"
#include "codepages/detect.h"
#include "codepages/registry.h"
#include "convert/convert.h"
#include "convert/repair_file.h"
#include "fuzz/oracle.h"
#include "fuzz/pieces.h"

std::string oracle_convert(std::string_view in, const char* from, const char* to) {
  std::string out;
  EXPECT_TRUE(oracle_convert(in, from, to, out)) << from << " -> " << to;
  return out;
}

std::string recode(std::string_view in, const char* from, const char* to) {
  std::string out;
  std::size_t kept = 0;
  EXPECT_TRUE(iconv_pass(in, from, to, out, &kept)) << from << " -> " << to;
  EXPECT_EQ(kept, 0u) << "recode " << from << " -> " << to << ": bytes that do not convert";
  return out;
}

code_page* page_named(const char* name) {
  for (code_page* p = code_pages; p->name != nullptr; ++p)
    if (std::strcmp(p->name, name) == 0) return p;
  ADD_FAILURE() << "no page " << name;
  return &code_pages[0];
}

pipeline_result run_pipeline(std::string_view input, code_page* input_fixed, code_page* output,
                             bool passthrough, bool report, repair_counts* rules, bool mend) {
  reset_settings();
  output_page = output;
  input_page = input_fixed;
  input_given = input_fixed != nullptr;
  low_score_passthrough = passthrough;
  report_only = report;

  piece_source src{reinterpret_cast<const std::uint8_t*>(input.data()), input.size(), nullptr, 0};
  src.max_read = 4096;  // read edges inside the tests' inputs
  input_stream in = open_pieces(&src, false);
  static memory_sink sink;
  sink.bytes.clear();
  output_stream out = open_memory_output(&sink);
  pipeline_result r;
  bool named = input_given;  // a page the rules read, as the driver decides it
  if (!input_given) {
    unsigned char block[detect_block_size];
    detect_ctx ctx{code_pages, output_page, block, 0};
    r.page = detect_code_page(&ctx, in, out, !report, &r.score);
    named = ctx.outcome == detect_outcome::letters;
  }
  if (!report)
    r.converted = (rules != nullptr && named ? repair_file(in, out, mend, *rules)
                                             : convert_file(in, out)) == 0;
  EXPECT_TRUE(out_flush(out));
  r.out = sink.bytes;
  pending_release();
  return r;
}
