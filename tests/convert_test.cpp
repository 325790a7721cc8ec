#include "convert/convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "cli/settings.h"
#include "codepages/detect.h"
#include "codepages/registry.h"
#include "convert/repair_file.h"
#include "convert/simd.h"
#include "convert/span.h"
#include "convert/tables.h"
#include "fuzz/pieces.h"
#include "io/input.h"
#include "io/output.h"
#include "tests/support.h"

namespace {

const char* const prose_utf8 =
    "Старый мост через реку давно требовал ремонта, но в городе об этом вспоминали лишь "
    "весной, когда вода поднималась к самым перилам. Ёжик в тумане — любимая сказка. ";

// Sparse Cyrillic, so that detection holds all seven blocks it may.
const char* const weak_utf8 =
    "line of plain ASCII text with few letters: word, another word, and yet more words; "
    "дом ";

std::string cycle(const std::string& unit, std::size_t n) {
  std::string s;
  while (s.size() < n) s += unit;
  s.resize(n);
  return s;
}

// Cuts a filler so that it never ends inside a character, then appends.
std::string filler(const std::string& unit, std::size_t n) {
  std::string s = cycle(unit, n);
  while (!s.empty() && (static_cast<unsigned char>(s.back()) & 0xC0) == 0x80) s.pop_back();
  if (!s.empty() && static_cast<unsigned char>(s.back()) >= 0xC0) s.pop_back();
  while (s.size() < n) s.push_back('.');
  return s;
}

// The output must be the one-buffer conversion, wherever blocks and reads fall; line by
// line under the repair rules too, where no rule fired.
void expect_rule(const std::string& in, code_page* fixed, const char* to) {
  const pipeline_result r = run_pipeline(in, fixed, page_named(to));
  ASSERT_TRUE(r.converted);
  const char* from = fixed ? fixed->name : r.page->name;
  ASSERT_EQ(r.out, oracle_convert(in, from, to))
      << from << " -> " << to << ", " << in.size() << " bytes" << (fixed ? " (-i)" : " (detected)");
  repair_counts rules;
  const pipeline_result lines = run_pipeline(in, fixed, page_named(to), false, false, &rules, true);
  if (rules.lines == 0) {
    ASSERT_EQ(lines.out, r.out) << from << " -> " << to << ", by lines";
  }
}

TEST(Convert, OutputDoesNotDependOnBlockOrReadBoundaries) {
  const std::vector<std::string> specials = {
      "—", "😀", "ё", "\xFF", "\x80", "\xE2\x80z", "\xD0 ", "\xF0\x9F\x98", "\xC0\xAF"};
  // Every 512-byte edge up to 12 KiB: held-block joins and, wherever detection stopped,
  // the 4096-byte read edges after it.
  std::vector<std::size_t> edges;
  for (std::size_t k = 1; k <= 24; ++k) edges.push_back(512 * k);
  for (const char* unit : {prose_utf8, weak_utf8}) {
    for (const std::size_t edge : edges) {
      for (int shift = -4; shift <= 3; ++shift) {
        for (const std::string& sp : specials) {
          const std::size_t at = edge + static_cast<std::size_t>(shift);
          std::string in = filler(unit, at) + sp + filler(unit, 700);
          expect_rule(in, nullptr, "koi8-r");
          expect_rule(in, page_named("utf-8"), shift % 2 ? "utf-8" : "cp866");
          if (HasFatalFailure()) return;
        }
      }
    }
  }
}

TEST(Convert, InputEndingInsideACharacterKeepsItsBytes) {
  for (const char* tail : {"\xD0", "\xE2\x80", "\xF0\x9F\x98"}) {
    for (const std::size_t n :
         {std::size_t{100}, std::size_t{512} - 1, std::size_t{512}, std::size_t{3584},
          std::size_t{4095}, std::size_t{4096}, std::size_t{5000}}) {
      for (const char* unit : {prose_utf8, weak_utf8}) {
        std::string in = filler(unit, n);
        in.replace(in.size() - std::string(tail).size(), std::string::npos, tail);
        expect_rule(in, nullptr, "cp1251");
        expect_rule(in, page_named("utf-8"), "koi8-r");
        const pipeline_result r = run_pipeline(in, page_named("utf-8"), page_named("koi8-r"));
        EXPECT_EQ(r.out.substr(r.out.size() - std::string(tail).size()), tail);
      }
    }
  }
}

TEST(Convert, EveryPagePairOnTheSampleText) {
  const std::string utf8 = filler(prose_utf8, 6000) + "\n";
  for (const code_page* from = code_pages; from->name != nullptr; ++from) {
    const std::string in =
        recode(utf8, "utf-8", std::string(from->name).append("//TRANSLIT").c_str());
    for (const code_page* to = code_pages; to->name != nullptr; ++to) {
      if (!is_output_page(to)) continue;
      const pipeline_result fixed =
          run_pipeline(in, const_cast<code_page*>(from), const_cast<code_page*>(to));
      const std::string want = oracle_convert(in, from->name, to->name);
      EXPECT_EQ(fixed.out, want) << from->name << " -> " << to->name << " (-i)";
      const pipeline_result found = run_pipeline(in, nullptr, const_cast<code_page*>(to));
      EXPECT_EQ(found.page, from);
      EXPECT_EQ(found.out, want) << from->name << " -> " << to->name;
    }
  }
}

TEST(Convert, OutputLargerThanInput) {
  const std::string in = recode(filler(prose_utf8, 20000), "utf-8", "cp1251//TRANSLIT");
  const pipeline_result r = run_pipeline(in, nullptr, page_named("utf-8"));
  EXPECT_STREQ(r.page->name, "cp1251");
  EXPECT_EQ(r.out, recode(in, "cp1251", "utf-8"));
  EXPECT_GT(r.out.size(), in.size() * 3 / 2);
}

TEST(Convert, AnInvalidByteCostsOnlyItself) {
  // 98 is the one byte cp1251 leaves undefined; in UTF-16 a lone surrogate is the unit
  // that costs only itself, and the text after it stays in step.
  const struct {
    const char* page;
    std::string bad;
  } rows[] = {{"cp1251", "\x98"},
              {"utf-16le", std::string("\0\xD8", 2)},
              {"utf-16be", std::string("\xDC\0", 2)}};
  for (const auto& [page, bad] : rows) {
    const std::string target = std::string(page) + "//TRANSLIT";
    const std::string a = recode(filler(prose_utf8, 2000), "utf-8", target.c_str());
    const std::string b = recode(filler(prose_utf8, 900), "utf-8", target.c_str());
    for (code_page* fixed : {page_named(page), static_cast<code_page*>(nullptr)}) {
      const pipeline_result r = run_pipeline(a + bad + b, fixed, page_named("utf-8"));
      EXPECT_EQ(r.out, recode(a, page, "utf-8") + bad + recode(b, page, "utf-8"))
          << page << (fixed ? " (-i)" : "");
    }
  }
}

TEST(Convert, ExactlyOneRead) {
  const std::string in = filler(prose_utf8, input_read_size);
  ASSERT_EQ(in.size(), input_read_size);
  EXPECT_EQ(run_pipeline(in, page_named("utf-8"), page_named("koi8-r")).out,
            recode(in, "utf-8", "koi8-r//TRANSLIT"));
}

TEST(Convert, UnknownConversionCopiesTheInputUnchanged) {
  code_page bogus[] = {{"no-such-page", "", 66, 0, code_pages[1].letters, nullptr, 0, 1},
                       {nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0}};
  const std::string in = "abc\xE0\xE1\xE2 " + cycle("xyz", 9000);
  testing::internal::CaptureStderr();
  const pipeline_result r = run_pipeline(in, bogus, page_named("utf-8"));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(r.converted);
  EXPECT_EQ(r.out, in);
  EXPECT_EQ(err.rfind("kiv: cannot convert from no-such-page to utf-8: ", 0), 0u) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

TEST(Convert, BlockReportsTheCutOffTail) {
  pipeline_result unused = run_pipeline("", page_named("utf-8"), page_named("koi8-r"));
  (void)unused;
  memory_sink sink;
  output_stream out = open_memory_output(&sink);
  const std::string block = "мир\xD0";
  EXPECT_EQ(convert_block(reinterpret_cast<const unsigned char*>(block.data()),
                          static_cast<std::int32_t>(block.size()), out),
            1);
  EXPECT_EQ(convert_block(reinterpret_cast<const unsigned char*>(block.data()), 0, out), 0);
  EXPECT_TRUE(out_flush(out));
  EXPECT_EQ(sink.bytes, "\xCD\xC9\xD2");
}

}  // namespace

namespace {

// Random text made of the pieces that matter to a utf-8 decoder, valid or not.
std::string utf8ish(std::mt19937& rng, std::size_t n) {
  static const char* const pieces[] = {"a",
                                       " ",
                                       "\n",
                                       "д",
                                       "Ё",
                                       "я",
                                       "\xC2\xAB",
                                       "\xC2\xA0",
                                       "\xC3\xA9",
                                       "\xCC\x81",
                                       "\xDF\xBF",
                                       "—",
                                       "€",
                                       "№",
                                       "😀",
                                       "\xE2\x80",
                                       "\xD0",
                                       "\x80",
                                       "\xBF",
                                       "\xC0\xAF",
                                       "\xED\xA0\x80",
                                       "\xE0\x80\xAF",
                                       "\xEF\xBB\xBF",
                                       "\xEF\xBF\xBF",
                                       "…",
                                       "\xF4\x90\x80\x80",
                                       "\xFF",
                                       "\xF0\x9F"};
  std::string s;
  while (s.size() < n) s += pieces[rng() % std::size(pieces)];
  return s;
}

// UTF-16 in the page's byte order.
std::string utf16_of(const code_page* page, const std::vector<unsigned>& units) {
  const bool big = std::strcmp(page->name, "utf-16be") == 0;
  std::string s;
  for (const unsigned u : units) {
    s.push_back(static_cast<char>(big ? u >> 8 : u & 0xFF));
    s.push_back(static_cast<char>(big ? u & 0xFF : u >> 8));
  }
  return s;
}

// For UTF-16: every unit of U+0000-U+007F and U+0400-U+04FF at every offset from the edge
// of a kernel's chunk, among units no table holds (a BOM, punctuation, Latin-1, a
// character koi8-r lacks, surrogates paired, alone and a tag character's); noise of all
// of them, ending in half a unit; and a surrogate pair and a lone one across read edges,
// the text ending in half a unit after another.
std::vector<std::string> utf16_inputs(const code_page* page, std::mt19937& rng) {
  static const std::vector<unsigned> others[] = {
      {0xFEFF}, {0x2014}, {0x00AB}, {0x00E9}, {0x0462},         {0xD83D, 0xDE00},
      {0xD800}, {0xDC00}, {0x2116}, {0x4E2D}, {0xDB40, 0xDC41}, {0xD800, 0xD83D, 0xDE00}};
  std::vector<unsigned> all;
  std::size_t next = 0;
  for (unsigned shift = 0; shift < 64; ++shift) {
    all.insert(all.end(), shift, 'x');
    for (unsigned c = 0; c < 0x500; c = c == 0x7F ? 0x400 : c + 1) {
      all.push_back(c);
      if (c % 29 == 0) {
        const std::vector<unsigned>& o = others[next++ % std::size(others)];
        all.insert(all.end(), o.begin(), o.end());
      }
    }
  }
  std::vector<unsigned> noise;
  while (noise.size() < 6000) {
    const unsigned r = rng() % 20;
    if (r < 7)
      noise.push_back(0x400 + rng() % 128);
    else if (r < 12)
      noise.push_back(rng() % 128);
    else if (r < 14)
      noise.push_back(0x480 + rng() % 128);
    else if (r < 16)
      noise.push_back(rng() % 256);
    else if (r < 18)
      noise.push_back(rng() & 0xFFFF);
    else {
      const std::vector<unsigned>& o = others[rng() % std::size(others)];
      noise.insert(noise.end(), o.begin(), o.end());
    }
  }
  // Reads are 4096 bytes: a pair straddles the first edge, a lone high surrogate the
  // second; another, the end.
  std::vector<unsigned> edges(6144, 0x0436);
  edges[2047] = 0xD83D;
  edges[2048] = 0xDE00;
  edges[4095] = 0xD801;
  edges.back() = 0xD802;
  std::string cut = utf16_of(page, edges) + "\x41";
  noise.push_back('.');
  return {utf16_of(page, all), utf16_of(page, noise) + "\x42", cut};
}

// Inputs that reach every path of the table loops: each byte in a run of its own, so that
// the vector kernels meet it in whole chunks; prose in the page with stray bytes; every
// character of U+0400-U+047F at every offset from a chunk's edge; and noise.
std::vector<std::string> table_inputs(const code_page* from, std::mt19937& rng) {
  std::vector<std::string> inputs;
  std::string runs;
  for (int b = 0; b < 256; ++b) runs += std::string(64 + b % 3, static_cast<char>(b));
  inputs.push_back(runs);
  std::string prose = recode(filler(prose_utf8, 9000), "utf-8",
                             std::string(from->name).append("//TRANSLIT").c_str());
  for (int k = 0; k < 12; ++k) prose[rng() % prose.size()] = static_cast<char>(rng());
  inputs.push_back(prose);
  std::string cyrillic;
  for (int shift = 0; shift < 64; ++shift) {
    cyrillic += std::string(static_cast<std::size_t>(shift), 'x');
    for (unsigned c = 0x400; c < 0x480; ++c) {
      cyrillic.push_back(static_cast<char>(0xC0 | (c >> 6)));
      cyrillic.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      if (c % 7 == 0) cyrillic += " .";
    }
  }
  inputs.push_back(cyrillic);
  inputs.push_back(utf8ish(rng, 9000));
  std::string noise(9000, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  inputs.push_back(noise);
  if (from->char_width == 2)
    for (std::string& more : utf16_inputs(from, rng)) inputs.push_back(std::move(more));
  return inputs;
}

class ConvertPath : public testing::TestWithParam<simd_path> {};

// Which kernel each path has for each kind of pair, written down rather than worked out
// from the code under test: the kind of a page is single-byte, utf-8 or utf-16 in, and
// single-byte or utf-8 out.
const char* page_kind(const code_page* page) {
  return page->char_width == 2 ? "utf-16" : page->char_width == 1 ? "single-byte" : "utf-8";
}
struct path_kernel {
  simd_path path;
  const char* in;
  const char* out;
  const char* kernel;  // "none": the scalar loop or iconv alone
};
constexpr path_kernel path_kernels[] = {
    {simd_path::scalar, "single-byte", "single-byte", "none"},
    {simd_path::scalar, "single-byte", "utf-8", "none"},
    {simd_path::scalar, "utf-8", "single-byte", "none"},
    {simd_path::scalar, "utf-16", "single-byte", "none"},
    {simd_path::scalar, "utf-16", "utf-8", "none"},
    {simd_path::avx2, "single-byte", "single-byte", "narrow"},
    {simd_path::avx2, "single-byte", "utf-8", "none"},
    {simd_path::avx2, "utf-8", "single-byte", "none"},
    {simd_path::avx2, "utf-16", "single-byte", "utf16"},
    {simd_path::avx2, "utf-16", "utf-8", "utf16"},
    {simd_path::avx512, "single-byte", "single-byte", "narrow"},
    {simd_path::avx512, "single-byte", "utf-8", "wide"},
    {simd_path::avx512, "utf-8", "single-byte", "cyrillic"},
    {simd_path::avx512, "utf-16", "single-byte", "utf16"},
    {simd_path::avx512, "utf-16", "utf-8", "utf16"},
};
const char* kernel_for(simd_path path, const code_page* from, const code_page* to) {
  for (const path_kernel& k : path_kernels)
    if (k.path == path && std::strcmp(k.in, page_kind(from)) == 0 &&
        std::strcmp(k.out, page_kind(to)) == 0)
      return k.kernel;
  return nullptr;
}

}  // namespace

void PrintTo(simd_path path, std::ostream* os) { *os << simd_name(path); }

namespace {

// Every path this CPU has, forced in turn, against one plain iconv pass; a page into
// itself is a plain copy, which iconv's own answer proves right.
TEST_P(ConvertPath, SameOutputAsIconv) {
  if (!simd_force(GetParam())) GTEST_SKIP() << "this CPU has no " << simd_name(GetParam());
  const simd_path path = GetParam();
  std::mt19937 rng(5);
  for (code_page* from = code_pages; from->name != nullptr; ++from) {
    const std::vector<std::string> inputs = table_inputs(from, rng);
    for (const std::string& in : inputs) {
      for (code_page* to = code_pages; to->name != nullptr; ++to) {
        if (!is_output_page(to)) continue;
        const std::size_t taken = simd_taken;
        const std::string fast = run_pipeline(in, from, to).out;
        const std::string want = oracle_convert(in, from->name, to->name);
        ASSERT_EQ(fast, want) << from->name << " -> " << to->name << ", " << in.size();
        if (from == to) {
          ASSERT_EQ(fast, in) << from->name;
        }
        // Converting in place, the tables find the same loss first as iconv alone does,
        // from the same output: for UTF-16 that was its only path.
        {
          const auto watched = [&](bool tables) {
            conversion_tables = tables;
            watch = conversion_watch{};
            watch.on = true;
            const std::string out = run_pipeline(in, from, to).out;
            const conversion_watch seen = watch;
            watch = conversion_watch{};
            conversion_tables = true;
            return std::tuple(out, seen.invalid, seen.lacking);
          };
          ASSERT_EQ(watched(true), watched(false))
              << "watched " << from->name << " -> " << to->name;
        }
        // On prose the kernel the table names does the work, not the scalar loop alone;
        // where it names none, no kernel takes a byte. A page into itself is a copy.
        if (&in == &inputs[1]) {
          const char* kernel = from == to ? "none" : kernel_for(path, from, to);
          ASSERT_NE(kernel, nullptr)
              << "the table lacks " << simd_name(path) << ", " << from->name << " -> " << to->name;
          if (std::strcmp(kernel, "none") == 0) {
            EXPECT_EQ(simd_taken - taken, 0u) << from->name << " -> " << to->name;
          } else {
            EXPECT_GT(simd_taken - taken, in.size() / 2)
                << kernel << ": " << from->name << " -> " << to->name;
          }
        }
      }
    }
  }
  // The kernels do take clean text whole, rather than leave it all to the scalar loop:
  // with AVX-512 also the dashes that koi8-r writes as two bytes.
  if (GetParam() != simd_path::scalar) {
    const bool avx512 = GetParam() == simd_path::avx512;
    const std::string text = filler(
        avx512 ? "съешь же — ещё этих мягких булок, да выпей чаю. " : "съешь ещё булок. ", 4096);
    const std::string cp1251 = recode(text, "utf-8", "cp1251");
    std::vector<unsigned char> out(4 * text.size() + 64);
    const auto* in = reinterpret_cast<const unsigned char*>(cp1251.data());
    std::size_t produced = 0;
    EXPECT_GE(simd_narrow(*pair_for(page_named("cp1251"), page_named("koi8-r")), in, cp1251.size(),
                          out.data(), &produced),
              cp1251.size() - (avx512 ? 0 : 31));  // AVX2 leaves a short last chunk
    if (avx512) {
      EXPECT_GT(simd_wide(*pair_for(page_named("cp1251"), page_named("utf-8")), in, cp1251.size(),
                          out.data(), &produced),
                cp1251.size() - 16);
      const std::string plain = filler("съешь ещё булок, да выпей чаю. ", 4096);
      page_pair& u = *pair_for(page_named("utf-8"), page_named("koi8-r"));
      build_row(u, 0xD0);
      build_row(u, 0xD1);
      EXPECT_GT(simd_cyrillic(u, reinterpret_cast<const unsigned char*>(plain.data()), plain.size(),
                              out.data(), &produced),
                plain.size() - 64);
    }
    // UTF-16, either byte order, to single bytes and into utf-8: with AVX2 a short last
    // chunk is left, up to 31 units or 15.
    const std::string plain = filler("съешь ещё булок, да выпей чаю. ", 4096);
    for (const char* order : {"utf-16le", "utf-16be"}) {
      const std::string units = recode(plain, "utf-8", order);
      for (const char* to : {"koi8-r", "utf-8"}) {
        page_pair& u = *pair_for(page_named(order), page_named(to));
        build_unit_row(u, 0x00);
        build_unit_row(u, 0x04);
        const std::size_t left = avx512 ? 0 : std::strcmp(to, "utf-8") == 0 ? 30 : 62;
        EXPECT_GE(simd_utf16(u, reinterpret_cast<const unsigned char*>(units.data()), units.size(),
                             out.data(), &produced),
                  units.size() - left)
            << order << " -> " << to;
      }
    }
  }
  conversion_tables = false;  // the plain path gives the same
  for (code_page* from = code_pages; from->name != nullptr; ++from) {
    const std::string in = table_inputs(from, rng)[1];
    EXPECT_EQ(run_pipeline(in, from, page_named("utf-8")).out,
              oracle_convert(in, from->name, "utf-8"));
  }
  conversion_tables = true;
  // Back to the best path, for whatever runs next.
  for (const simd_path best : {simd_path::avx512, simd_path::avx2, simd_path::scalar})
    if (simd_force(best)) break;
}

INSTANTIATE_TEST_SUITE_P(Paths, ConvertPath,
                         testing::Values(simd_path::scalar, simd_path::avx2, simd_path::avx512),
                         [](const testing::TestParamInfo<simd_path>& info) {
                           return std::string(simd_name(info.param));
                         });

}  // namespace

namespace {

// A pipe's reader must see the text converted so far while kiv waits for more input.
struct paced_pipe {
  std::string text;
  std::size_t delivered = 0;
  std::size_t written = 0;    // bytes that reached the output
  std::size_t worst_lag = 0;  // most input read, beyond a block, not yet out
};

TEST(Convert, OutputKeepsPaceWithASlowPipe) {
  paced_pipe pipe;
  pipe.text = recode(filler(prose_utf8, 120000), "utf-8", "cp1251//TRANSLIT");
  input_stream in = input_on(-1);
  in.may_wait = true;
  in.cookie = &pipe;
  in.read_fn = [](void* c, void* buf, std::size_t n) -> ssize_t {
    auto* p = static_cast<paced_pipe*>(c);
    // cp1251 to koi8-r never shortens the text, so everything read but a block that
    // detection has not finished should have come out by now.
    const std::size_t due = p->delivered > detect_block_size ? p->delivered - detect_block_size : 0;
    if (due > p->written) p->worst_lag = std::max(p->worst_lag, due - p->written);
    n = std::min({n, std::size_t{1000}, p->text.size() - p->delivered});
    std::memcpy(buf, p->text.data() + p->delivered, n);
    p->delivered += n;
    return static_cast<ssize_t>(n);
  };
  unsigned char buf[1 << 16];
  output_stream out = output_on(-1, buf, sizeof buf - output_slack);
  out.cookie = &pipe;
  out.write_fn = [](void* c, const void*, std::size_t n) -> ssize_t {
    static_cast<paced_pipe*>(c)->written += n;
    return static_cast<ssize_t>(n);
  };
  reset_settings();
  unsigned char block[detect_block_size];
  detect_ctx ctx{code_pages, output_page, block, 0};
  float score = 0;
  ASSERT_STREQ(detect_code_page(&ctx, in, out, true, &score)->name, "cp1251");
  EXPECT_EQ(convert_file(in, out), 0);
  EXPECT_TRUE(out_flush(out));
  EXPECT_EQ(pipe.written, oracle_convert(pipe.text, "cp1251", "koi8-r").size());
  EXPECT_EQ(pipe.worst_lag, 0u);
}

}  // namespace
