// The real path of one input, detection or a fixed page and then convert_file, on
// arbitrary bytes fed in short pieces, against the one-buffer rule.
//
// Input: the input page (an index; 6 and up: detect), the output page, a flags byte, four
// piece sizes, then the text. With flag 8 the reads fail from a point taken from the
// piece sizes on, and the rule holds for the text read before it.
#include <cstring>
#include <string>

#include "cli/settings.h"
#include "codepages/detect.h"
#include "codepages/registry.h"
#include "convert/convert.h"
#include "fuzz/oracle.h"
#include "fuzz/pieces.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 7) return 0;
  const int from = data[0] % 8;
  const int to = data[1] % 6;
  const std::uint8_t flags = data[2];
  const std::uint8_t* sizes = data + 3;
  data += 7;
  size -= 7;

  reset_settings();
  output_page = &code_pages[to];
  low_score_passthrough = flags & 1;
  conversion_tables = flags & 2;
  input_given = from < 6;
  if (input_given) input_page = &code_pages[from];

  piece_source src{data, size, sizes, 4};
  const bool failing = flags & 8;
  if (failing) src.fail_at = (sizes[0] | std::size_t{sizes[1]} << 8) % (size + 1);
  const std::size_t readable = failing ? src.fail_at : size;
  std::FILE* in = open_pieces(&src, flags & 4);
  char* got = nullptr;
  std::size_t got_len = 0;
  std::FILE* out = open_memstream(&got, &got_len);
  FUZZ_CHECK(in != nullptr && out != nullptr);

  std::size_t unchanged = 0;
  if (!input_given) {
    unsigned char block[detect_block_size];
    detect_ctx ctx{code_pages, output_page, block, 0};
    float score = 0.0f;
    FUZZ_CHECK(detect_code_page(&ctx, in, out, true, &score) != nullptr);
    std::fflush(out);
    unchanged = got_len;
  }
  FUZZ_CHECK(convert_file(in, out));
  FUZZ_CHECK(pending_head == nullptr);
  FUZZ_CHECK(static_cast<bool>(std::ferror(in)) == failing && !std::ferror(out));
  FUZZ_CHECK(src.pos == readable);
  std::fclose(in);
  std::fclose(out);

  const std::string_view text(reinterpret_cast<const char*>(data), readable);
  std::string want;
  FUZZ_CHECK(oracle_convert(text.substr(unchanged), input_page->name, output_page->name, want));
  want.insert(0, text.substr(0, unchanged));
  const bool same = want == std::string_view(got, got_len);
  if (!same) {
    std::fprintf(stderr, "%s -> %s, tables %d: %zu bytes in, %zu out, %zu wanted\n",
                 input_page->name, output_page->name, conversion_tables, readable, got_len,
                 want.size());
    for (std::size_t i = 0; i < want.size() && i < got_len; ++i)
      if (want[i] != got[i]) {
        std::fprintf(stderr, "first difference at output byte %zu\n", i);
        break;
      }
  }
  std::free(got);
  FUZZ_CHECK(same);
  return 0;
}
