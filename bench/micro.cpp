// Micro-benchmarks of the hot paths: scoring one block, detecting a typical input, and
// each conversion path over a few MB held in memory.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/settings.h"
#include "codepages/detect.h"
#include "codepages/doubts.h"
#include "codepages/naming_rules.h"
#include "codepages/registry.h"
#include "convert/convert.h"
#include "convert/span.h"
#include "fuzz/pieces.h"
#include "io/input.h"
#include "io/output.h"

namespace {

const char* const prose =
    "Поезд опаздывал уже на сорок минут, и начальник станции, немолодой человек в потёртой "
    "фуражке, в который раз выходил на перрон, смотрел на часы и качал головой. Ветер гнал "
    "по доскам жёлтые листья — а над лесом медленно поднималась тяжёлая сизая туча. ";

std::string recode(const std::string& in, const char* to) {
  iconv_t cd = iconv_open((std::string(to) + "//TRANSLIT").c_str(), "utf-8");
  std::string out(in.size() * 2 + 16, '\0');
  char* ip = const_cast<char*>(in.data());
  char* op = out.data();
  std::size_t il = in.size(), ol = out.size();
  iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  out.resize(out.size() - ol);
  return out;
}

std::string text(const char* page, std::size_t size) {
  std::string utf8;
  while (utf8.size() < size) utf8 += prose;
  return recode(utf8, page);
}

// Output thrown away, as into /dev/null, without the system calls.
output_stream null_output() {
  static unsigned char buf[(1 << 17) + output_slack];
  output_stream out = output_on(-1, buf, 1 << 17);
  out.write_fn = [](void*, const void*, std::size_t n) { return static_cast<ssize_t>(n); };
  return out;
}

code_page* page(const char* name) {
  for (code_page* p = code_pages; p->name != nullptr; ++p)
    if (std::strcmp(p->name, name) == 0) return p;
  return nullptr;
}

void score_one_block(benchmark::State& state) {
  const std::string block = text("cp1251", detect_block_size).substr(0, detect_block_size);
  unsigned char buf[detect_block_size];
  std::memcpy(buf, block.data(), sizeof buf);
  detect_ctx ctx{code_pages, &code_pages[2], buf, detect_block_size};
  float best = 0;
  for (auto _ : state) {
    for (code_page* p = code_pages; p->name != nullptr; ++p) p->score_total = 0;
    benchmark::DoNotOptimize(score_block(&ctx, &best));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * detect_block_size);
}
BENCHMARK(score_one_block);

// Markup first, then prose: a web page saved in koi8-r; with 50 MB of markup, about the
// most detection reads. The naming rules and the rules that withhold a page on and off:
// they should cost little.
// args: bytes of markup, naming rules on or off, the others on or off
void detect_input(benchmark::State& state, std::size_t markup, bool rules, bool doubts) {
  std::string input;
  while (input.size() < markup) input += "<div class=\"para\"><a href=\"#n\">link</a></div>\n";
  input += text("koi8-r", 8192);
  reset_settings();
  naming_rules = rules;
  doubt_rules = doubts;
  unsigned char block[detect_block_size];
  detect_ctx ctx{code_pages, output_page, block, 0};
  output_stream sink = null_output();
  float score = 0;
  for (auto _ : state) {
    piece_source src{reinterpret_cast<const std::uint8_t*>(input.data()), input.size(), nullptr, 0};
    input_stream in = open_pieces(&src, false);
    benchmark::DoNotOptimize(detect_code_page(&ctx, in, sink, true, &score));
    pending_release();
  }
  naming_rules = doubt_rules = true;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK_CAPTURE(detect_input, typical, 900, true, true);
BENCHMARK_CAPTURE(detect_input, typical_without_doubt_rules, 900, true, false);
BENCHMARK_CAPTURE(detect_input, typical_without_naming_rules, 900, false, true);
BENCHMARK_CAPTURE(detect_input, markup_50MB, 50 << 20, true, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(detect_input, markup_50MB_without_doubt_rules, 50 << 20, true, false)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(detect_input, markup_50MB_without_naming_rules, 50 << 20, false, true)
    ->Unit(benchmark::kMillisecond);

// args: input page, output page, tables on or off
void convert_path(benchmark::State& state, const char* from, const char* to, bool tables) {
  std::string input = text(from, 4 << 20);
  reset_settings();
  input_page = page(from);
  output_page = page(to);
  conversion_tables = tables;
  output_stream sink = null_output();
  for (auto _ : state) {
    piece_source src{reinterpret_cast<const std::uint8_t*>(input.data()), input.size(), nullptr, 0};
    input_stream in = open_pieces(&src, false);
    convert_file(in, sink);
    out_flush(sink);
  }
  conversion_tables = true;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}
BENCHMARK_CAPTURE(convert_path, cp1251_koi8r_table, "cp1251", "koi8-r", true);
BENCHMARK_CAPTURE(convert_path, cp1251_koi8r_iconv, "cp1251", "koi8-r", false);
BENCHMARK_CAPTURE(convert_path, cp1251_utf8_table, "cp1251", "utf-8", true);
BENCHMARK_CAPTURE(convert_path, cp1251_utf8_iconv, "cp1251", "utf-8", false);
BENCHMARK_CAPTURE(convert_path, utf8_koi8r_table, "utf-8", "koi8-r", true);
BENCHMARK_CAPTURE(convert_path, utf8_koi8r_iconv, "utf-8", "koi8-r", false);
BENCHMARK_CAPTURE(convert_path, utf8_cp1251_table, "utf-8", "cp1251", true);
BENCHMARK_CAPTURE(convert_path, utf8_cp1251_iconv, "utf-8", "cp1251", false);
BENCHMARK_CAPTURE(convert_path, utf16le_utf8_table, "utf-16le", "utf-8", true);
BENCHMARK_CAPTURE(convert_path, utf16le_utf8_iconv, "utf-16le", "utf-8", false);
BENCHMARK_CAPTURE(convert_path, utf16be_koi8r_table, "utf-16be", "koi8-r", true);
BENCHMARK_CAPTURE(convert_path, utf16be_koi8r_iconv, "utf-16be", "koi8-r", false);

}  // namespace

BENCHMARK_MAIN();
