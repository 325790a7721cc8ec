// The real path of one input, detection or a fixed page and then convert_file, on
// arbitrary bytes fed in short pieces, against the one-buffer rule.
//
// Input: the input page (an index: 0-5 the pages that are also output pages, 6-7 detect,
// 8-9 utf-16le and utf-16be), the output page, a flags byte, four
// piece sizes, then the text. Flags: 1 -l, 2 the tables, 4 a pipe (output flushed before
// each read), 8 reads fail from a point taken from the piece sizes on (the rule holds
// for the text read before it), bits 4-5 the vector path, 64 the watch of in-place
// conversion (without -l and failing reads): it reports a loss exactly when converting the
// rule's output back does not give the input, and gives the rule's output otherwise; 128
// the line loop of the repair rules (mending when the fourth piece size is odd), which
// must give the same where no rule fired. The third piece size also sets the output
// buffer's size. The same bytes, as a file's head, go through the rewriting of charset
// declarations too.
#include <cstring>
#include <string>

#include "cli/settings.h"
#include "codepages/detect.h"
#include "codepages/registry.h"
#include "convert/convert.h"
#include "convert/declarations.h"
#include "convert/repair_file.h"
#include "convert/simd.h"
#include "convert/span.h"
#include "fuzz/oracle.h"
#include "fuzz/pieces.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 7) return 0;
  const int from = data[0] % 10;
  const int to = data[1] % 6;
  const std::uint8_t flags = data[2];
  const std::uint8_t* sizes = data + 3;
  data += 7;
  size -= 7;

  reset_settings();
  output_page = &code_pages[to];
  low_score_passthrough = flags & 1;
  conversion_tables = flags & 2;
  // Bits 4-5 pick the table loop's path; one the CPU lacks runs as the scalar one.
  const auto path = static_cast<simd_path>(((flags >> 4) & 3) % 3);
  if (!simd_force(path)) simd_force(simd_path::scalar);
  input_given = from < 6 || from >= 8;
  if (input_given) input_page = &code_pages[from < 6 ? from : from - 2];

  piece_source src{data, size, sizes, 4};
  const bool failing = flags & 8;
  const bool watched = (flags & 64) && !failing;
  if (watched) low_score_passthrough = false;
  watch = conversion_watch{};
  watch.on = watched;
  if (failing) src.fail_at = (sizes[0] | std::size_t{sizes[1]} << 8) % (size + 1);
  const std::size_t readable = failing ? src.fail_at : size;
  input_stream in = open_pieces(&src, flags & 4);
  static memory_sink sink;
  sink.bytes.clear();
  output_stream out = open_memory_output(&sink, 64 + sizes[2] * 64u);

  std::size_t unchanged = 0;
  bool binary = false;
  bool named = input_given;  // by its letters, as the driver runs the rules on it
  if (!input_given) {
    unsigned char block[detect_block_size];
    detect_ctx ctx{code_pages, output_page, block, 0};
    float score = 0.0f;
    FUZZ_CHECK(detect_code_page(&ctx, in, out, true, &score) != nullptr);
    FUZZ_CHECK(out_flush(out));
    unchanged = sink.bytes.size();
    binary = ctx.outcome == detect_outcome::binary || ctx.outcome == detect_outcome::not_cyrillic;
    named = ctx.outcome == detect_outcome::letters;
  }
  // As the driver does: binary data and text that is not Cyrillic are copied, everything
  // else converted.
  repair_counts rules;
  const bool by_lines = (flags & 128) && named;
  if (binary)
    copy_file(in, out);
  else if (by_lines)
    FUZZ_CHECK(repair_file(in, out, sizes[3] & 1, rules) == 0);
  else
    FUZZ_CHECK(convert_file(in, out) == 0);
  FUZZ_CHECK(out_flush(out));
  FUZZ_CHECK(pending_head == nullptr);
  FUZZ_CHECK((in.error != 0) == failing && out.error == 0);
  const bool lost = watch.invalid || watch.lacking;  // a loss ends the conversion
  FUZZ_CHECK(src.pos == readable || lost);
  // A line a rule fired on is new text: nothing is left to compare with.
  if (by_lines && rules.lines > 0) {
    watch = conversion_watch{};
    return 0;
  }
  const char* got = sink.bytes.data();
  const std::size_t got_len = sink.bytes.size();

  const std::string_view text(reinterpret_cast<const char*>(data), readable);
  std::string want(text);
  if (!binary) {
    FUZZ_CHECK(oracle_convert(text.substr(unchanged), input_page->name, output_page->name, want));
    want.insert(0, text.substr(0, unchanged));
  }
  bool same = want == std::string_view(got, got_len);
  if (watched && !binary && input_page != output_page) {
    const std::string_view rest = text.substr(unchanged);
    std::string rule, back;
    std::size_t kept = 0, kept_back = 0;
    FUZZ_CHECK(iconv_pass(rest, input_page->name,
                          (std::string(output_page->name) + "//TRANSLIT").c_str(), rule, &kept));
    FUZZ_CHECK(iconv_pass(rule, output_page->name, input_page->name, back, &kept_back));
    const bool lossless = kept == 0 && kept_back == 0 && back == rest;
    if (lost == lossless)
      std::fprintf(stderr, "%s -> %s: watch says %s, the way back says %s\n", input_page->name,
                   output_page->name, lost ? "lost" : "kept", lossless ? "kept" : "lost");
    FUZZ_CHECK(lost != lossless);
    if (lost) same = true;
  }
  watch = conversion_watch{};
  if (!same) {
    std::fprintf(stderr, "%s -> %s, tables %d, %s: %zu bytes in, %zu out, %zu wanted\n",
                 input_page->name, output_page->name, conversion_tables, simd_name(simd_current()),
                 readable, got_len, want.size());
    for (std::size_t i = 0; i < want.size() && i < got_len; ++i)
      if (want[i] != got[i]) {
        std::fprintf(stderr, "first difference at output byte %zu\n", i);
        break;
      }
  }
  FUZZ_CHECK(same);

  // A head whose declarations name nothing but the output page comes back as it was, and
  // no head outgrows its room.
  static unsigned char head[rewritten_head_max];
  std::size_t head_len = 0;
  const int renamed = rewrite_declarations(data, size, input_page, output_page, head, &head_len);
  FUZZ_CHECK(head_len <= rewritten_head_max);
  FUZZ_CHECK(renamed == 0 || input_page != output_page);
  const std::size_t head_in = size < declaration_window ? size : declaration_window;
  FUZZ_CHECK(renamed > 0 || (head_len == head_in && std::memcmp(head, data, head_in) == 0));
  return 0;
}
