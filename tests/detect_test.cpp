#include "codepages/detect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cli/settings.h"
#include "codepages/doubts.h"
#include "codepages/naming_rules.h"
#include "codepages/registry.h"
#include "codepages/utf8_tally.h"
#include "convert/convert.h"
#include "fuzz/doubts_oracle.h"
#include "fuzz/naming_oracle.h"
#include "fuzz/pieces.h"
#include "fuzz/utf8_oracle.h"
#include "tests/support.h"

namespace {

// The scoring rule in its plainest form, for every page at once: per page an index map
// in which a repeated byte keeps its later position, a histogram, and the sum in the
// order and precisions the answers depend on.
std::vector<float> reference_totals(const std::vector<std::string>& blocks) {
  std::vector<float> totals(6, 0.0f);
  for (const std::string& b : blocks) {
    for (int p = 0; p < 6; ++p) {
      int map[256];
      for (int& m : map) m = -1;
      for (int k = 0; k < 66; ++k) map[code_pages[p].letters[k]] = k;
      int count[66] = {};
      for (const char c : b)
        if (const int k = map[static_cast<unsigned char>(c)]; k >= 0) ++count[k];
      float s = 0;
      for (int k = 0; k < 66; ++k) {
        const float share = b.empty() ? 0.0f : float(count[k]) / float(b.size());
        const float term = (float(66 - k) * float(66 - k)) * (share * letter_weights[k]);
        s = float(double(s) + std::sqrt(double(term)));
      }
      totals[p] = s + totals[p];
    }
  }
  return totals;
}

std::string sample(const char* page) {
  std::ifstream f(std::string(KIV_SOURCE_DIR "/samples/text.") + page + ".txt", std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  EXPECT_FALSE(ss.str().empty()) << page;
  return ss.str();
}

struct detection {
  code_page* page;
  float score;
  std::string written;
  std::vector<std::string> held;
  detect_outcome outcome;
  const code_page* rival;
};

detection detect(const std::string& input, bool echo = true, bool passthrough = false,
                 code_page* output = nullptr) {
  reset_settings();
  low_score_passthrough = passthrough;
  if (output != nullptr) output_page = output;
  piece_source src{reinterpret_cast<const std::uint8_t*>(input.data()), input.size(), nullptr, 0};
  input_stream in = open_pieces(&src, false);
  static memory_sink sink;
  sink.bytes.clear();
  output_stream out = open_memory_output(&sink);
  unsigned char block[detect_block_size];
  detect_ctx ctx{code_pages, output_page, block, 0};
  detection d{};
  d.page = detect_code_page(&ctx, in, out, echo, &d.score);
  d.outcome = ctx.outcome;
  d.rival = ctx.rival;
  EXPECT_EQ(d.page, input_page);
  for (const pending_block* b = pending_head; b != nullptr; b = b->next)
    d.held.emplace_back(reinterpret_cast<const char*>(b->bytes), b->length);
  pending_release();
  EXPECT_TRUE(out_flush(out));
  d.written = sink.bytes;
  return d;
}

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

TEST(Detect, ScoresMatchTheReferenceBitForBit) {
  std::mt19937 rng(1);
  const std::string text = sample("utf-8") + sample("cp1251") + sample("koi8-r");
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<std::string> blocks;
    const int count = 1 + int(rng() % 4);
    for (int i = 0; i < count; ++i) {
      const std::size_t len = rng() % (detect_block_size + 1);
      std::string b;
      if (trial % 2) {
        for (std::size_t j = 0; j < len; ++j) b.push_back(char(rng()));
      } else {
        b = text.substr(rng() % (text.size() - len), len);
      }
      blocks.push_back(b);
    }
    for (code_page* p = code_pages; p->name != nullptr; ++p) p->score_total = 0;
    unsigned char block[detect_block_size];
    detect_ctx ctx{code_pages, &code_pages[2], block, 0};
    float best = 0;
    code_page* chosen = nullptr;
    for (const std::string& b : blocks) {
      std::memcpy(block, b.data(), b.size());
      ctx.block_len = std::int32_t(b.size());
      chosen = score_block(&ctx, &best);
    }
    const std::vector<float> want = reference_totals(blocks);
    int arg = -1;
    float top = 0;
    for (int p = 0; p < 6; ++p) {
      ASSERT_EQ(bits(code_pages[p].score_total), bits(want[p])) << "trial " << trial;
      if (want[p] > top) top = want[p], arg = p;
    }
    EXPECT_EQ(bits(best), bits(top));
    EXPECT_EQ(chosen, arg < 0 ? &code_pages[2] : &code_pages[arg]);
  }
}

TEST(Detect, EverySampleIsDetected) {
  for (const char* page : {"cp866", "cp1251", "koi8-r", "iso-8859-5", "mac-cyrillic", "utf-8"}) {
    const detection d = detect(sample(page));
    EXPECT_STREQ(d.page->name, page);
    EXPECT_EQ(d.outcome, detect_outcome::letters) << page;
    EXPECT_EQ(d.rival, nullptr) << page;
    EXPECT_EQ(d.written, "");
    EXPECT_GE(d.score, 17.0f) << page;
  }
}

TEST(Detect, NothingToScore) {
  const std::string ascii512(512, 'a');
  for (const std::string& in : {std::string(), std::string("plain text\n"), ascii512,
                                ascii512 + ascii512, std::string(1500, 'z')}) {
    const detection d = detect(in);
    EXPECT_EQ(d.page, output_page) << in.size();
    EXPECT_EQ(d.score, 0.0f);
    EXPECT_EQ(d.written, in) << in.size();
    EXPECT_TRUE(d.held.empty());
  }
}

TEST(Detect, StopsAfterTheFirstStrongBlock) {
  const std::string prose = sample("cp1251");
  ASSERT_GT(prose.size(), std::size_t{detect_block_size});
  const std::string ascii(1024, '-');
  const detection d = detect(ascii + prose);
  EXPECT_STREQ(d.page->name, "cp1251");
  EXPECT_EQ(d.written, ascii);
  ASSERT_EQ(d.held.size(), 1u);
  EXPECT_EQ(d.held[0], prose.substr(0, detect_block_size));
}

TEST(Detect, AtMostSevenScoringBlocksAreHeld) {
  // One rare letter (cp1251 ф) per block: the totals creep up while the threshold falls.
  std::string in;
  for (int i = 0; i < 20; ++i) in += std::string(511, '.') + "\xF4";
  const detection d = detect(in);
  EXPECT_EQ(d.held.size(), 7u);
  EXPECT_EQ(d.written, "");
  std::string joined;
  for (const std::string& b : d.held) joined += b;
  EXPECT_EQ(joined, in.substr(0, 7 * detect_block_size));
}

TEST(Detect, ReportModeWritesAndHoldsNothing) {
  const detection d = detect(std::string(600, ' ') + sample("koi8-r"), false);
  EXPECT_STREQ(d.page->name, "koi8-r");
  EXPECT_EQ(d.written, "");
  EXPECT_TRUE(d.held.empty());
}

TEST(Detect, TiesGoToTheEarlierPage) {
  // Lower-case letters other than ё and я are the same bytes in cp1251 and mac-cyrillic.
  const std::string text = recode("съешь же ещё этих мягких булок", "utf-8", "cp1251");
  std::string same;
  for (const char c : text)
    if (c != '\xB8' && c != '\xFF') same.push_back(c);
  const detection d = detect(same);
  EXPECT_STREQ(d.page->name, "cp1251");
  EXPECT_EQ(bits(page_named("cp1251")->score_total), bits(page_named("mac-cyrillic")->score_total));
}

TEST(Detect, HardSignAddsNothing) {
  // DA is Ъ in cp1251 (weight 0) but к in iso-8859-5.
  const detection d = detect(std::string(300, '\xDA'));
  EXPECT_STREQ(d.page->name, "iso-8859-5");
  EXPECT_EQ(page_named("cp1251")->score_total, 0.0f);
}

TEST(Detect, RepeatedUtf8TrailBytesKeepTheirLaterPosition) {
  // 81 is с and Ё, 91 is ё and Б: they count as Ё and Б.
  const auto one_letter = [](int k, float share) {
    return float(double(0) +
                 std::sqrt(double((float(66 - k) * float(66 - k)) * (share * letter_weights[k]))));
  };
  for (const auto& [text, k] : {std::pair{"с", 39}, std::pair{"ё", 34}}) {
    std::string in;
    for (int i = 0; i < 100; ++i) in += text;
    detect(in, false);
    EXPECT_EQ(bits(page_named("utf-8")->score_total), bits(one_letter(k, 0.5f))) << text;
  }
}

TEST(Detect, LowScorePassthroughThreshold) {
  // Built to score exactly 0.78f, the float just below 0.78, and the next float up.
  const std::string at = std::string(1, '\xF5') + std::string(7, '\xF6') + std::string(72, '.');
  const std::string above =
      std::string(13, '\xFE') + std::string(21, '\xC3') + std::string(77, '.');
  {
    const detection d = detect(at, true, true);
    ASSERT_EQ(bits(d.score), bits(0.78f));
    EXPECT_STREQ(d.page->name, "cp1251");
    EXPECT_EQ(d.written, at);  // passed through
    EXPECT_TRUE(d.held.empty());
  }
  {
    const detection d = detect(above, true, true);
    ASSERT_EQ(bits(d.score), bits(std::nextafter(0.78f, 1.0f)));
    EXPECT_EQ(d.written, "");
    ASSERT_EQ(d.held.size(), 1u);
  }
  {
    const detection d = detect(at, true, false);
    EXPECT_EQ(d.written, "");  // without -l it is held for conversion
    EXPECT_EQ(d.held.size(), 1u);
  }
}

TEST(Detect, PassthroughBlocksDoNotLowerTheThreshold) {
  // Weak blocks let through under -l leave the threshold at 20, so the input is read past
  // the seventh block; the total stays below 0.78 to the end. A lone ф (cp1251 F4) reads far
  // less like Russian than a lone capital Т (koi8-r F4): the capitals rule names koi8-r.
  std::string in;
  for (int i = 0; i < 8; ++i) in += std::string(511, '.') + "\xF4";
  const detection d = detect(in, true, true);
  EXPECT_EQ(d.written, in);
  EXPECT_TRUE(d.held.empty());
  EXPECT_STREQ(d.page->name, "koi8-r");
  EXPECT_GT(d.score, 0.0f);
}

TEST(Detect, Utf8OnlyWhereTheBytesAreUtf8) {
  // Accented letters whose trail bytes read as Russian letters in cp866.
  const std::string french = "Le train part à l'aube ; prends ton écharpe, il gèle déjà. ";
  struct row {
    std::string what, in;
    const char* page;  // null: anything but utf-8
  };
  std::vector<row> rows = {
      {"short french", french, "utf-8"},
      {"stray bytes", sample("utf-8").insert(700, "\xD0 \xFF").insert(90, "\x80"), "utf-8"},
      {"cut at the end", french + "\xF0\x9F\x8E", "utf-8"},
      // Letters that score as cp866, one stray byte: still far more UTF-8 than not.
      {"french, one stray byte", french + french + "caf\xE9\n", "utf-8"},
      // Ъ weighs nothing: utf-8's total stays 0 while cp1251 reads D0 as Р.
      {"only hard signs", "ЪЪЪЪ\n", "utf-8"},
      // Eight characters, then as many bytes that are never UTF-8, then one more.
      {"as many stray bytes", "тихо, ночь. " + std::string(8, '\xF8'), "utf-8"},
      {"one stray byte more", "тихо, ночь. " + std::string(9, '\xF8'), nullptr},
  };
  // A character cut by the block boundary at every point.
  for (const std::string ch : {"é", "€", "\xF0\x9D\x84\x9E"})
    for (std::size_t cut = 1; cut < ch.size(); ++cut)
      rows.push_back({"boundary " + std::to_string(ch.size()) + "/" + std::to_string(cut),
                      std::string(detect_block_size - cut, '.') + ch + french, "utf-8"});
  // Capitals are the same bytes in cp866 and mac-cyrillic: the tie goes to cp866.
  for (const char* heading : {"ПАРАМЕТРЫ\n", "ВНИМАНИЕ\n", "== ОГЛАВЛЕНИЕ ==\n", "ПРИВЕТ"})
    for (const auto& [page, want] : {std::pair{"cp866", "cp866"},
                                     {"mac-cyrillic", "cp866"},
                                     {"iso-8859-5", "iso-8859-5"},
                                     {"koi8-r", "koi8-r"}})
      rows.push_back({std::string(heading) + " in " + page, recode(heading, "utf-8", page), want});
  for (const row& r : rows) {
    const detection d = detect(r.in);
    if (r.page != nullptr)
      EXPECT_STREQ(d.page->name, r.page) << r.what;
    else
      EXPECT_STRNE(d.page->name, "utf-8") << r.what;
    EXPECT_GT(d.score, 0.0f) << r.what;
  }
  // Bytes that only utf-8 reads as letters (9A is К there, Ъ or no letter elsewhere), and
  // that are not UTF-8: no hits, as when nothing scored.
  // utf-8 as the output page included.
  for (const char* out : {"koi8-r", "utf-8"}) {
    const detection none = detect("x\x9A\x9A\x9A\n", true, false, page_named(out));
    EXPECT_STREQ(none.page->name, out);
    EXPECT_EQ(none.score, 0.0f) << out;
  }
}

TEST(Detect, Utf16AndBinaryEndDetectionAtOnce) {
  const std::string line = "Осенний вечер на станции, plain words too.\n";
  std::string numbers;  // little-endian 16-bit numbers: mostly not printable as UTF-16
  for (unsigned i = 1; i <= 256; ++i) numbers += {char(i * 3 & 0xFF), char(i * 3 >> 8)};
  const std::string cp1251 = sample("cp1251");
  const std::string ascii(1024, '-');
  struct row {
    std::string what, in;
    detect_outcome outcome;
    const char* page;         // the page detection names
    std::size_t written = 0;  // bytes written unchanged; the rest of what was read is held
  };
  const row rows[] = {
      {"le, BOM", "\xFF\xFE" + recode(line, "utf-8", "utf-16le"), detect_outcome::utf16,
       "utf-16le"},
      {"be, BOM", "\xFE\xFF" + recode(line, "utf-8", "utf-16be"), detect_outcome::utf16,
       "utf-16be"},
      {"BOM alone", "\xFF\xFE", detect_outcome::utf16, "utf-16le"},
      {"le, 16 units", recode("sixteen letters.", "utf-8", "utf-16le"), detect_outcome::utf16,
       "utf-16le"},
      {"be, Russian", recode(line + line, "utf-8", "utf-16be"), detect_outcome::utf16, "utf-16be"},
      {"le, long", recode(sample("utf-8"), "utf-8", "utf-16le"), detect_outcome::utf16, "utf-16le"},
      // Under 32 bytes, no BOM: NULs and nothing more.
      {"le, 15 units", recode("fifteen letters", "utf-8", "utf-16le"), detect_outcome::binary,
       "koi8-r"},
      {"UTF-32LE, BOM", std::string("\xFF\xFE\0\0", 4) + recode(line, "utf-8", "utf-32le"),
       detect_outcome::binary, "koi8-r"},
      {"UTF-32BE, BOM", std::string("\0\0\xFE\xFF", 4) + recode(line, "utf-8", "utf-32be"),
       detect_outcome::binary, "koi8-r"},
      {"16-bit numbers", numbers, detect_outcome::binary, "koi8-r"},
      {"NUL in the first block", cp1251.substr(0, 100) + '\0' + cp1251, detect_outcome::binary,
       "koi8-r"},
      {"NUL after unchanged blocks", ascii + cp1251.substr(0, 300) + '\0' + cp1251,
       detect_outcome::binary, "koi8-r", ascii.size()},
      {"NUL after detection", cp1251 + std::string(600, '\0'), detect_outcome::letters, "cp1251"},
  };
  for (const row& r : rows) {
    const detection d = detect(r.in);
    EXPECT_EQ(d.outcome, r.outcome) << r.what;
    EXPECT_STREQ(d.page->name, r.page) << r.what;
    EXPECT_EQ(d.written, r.in.substr(0, r.written)) << r.what;
    std::string held;
    for (const std::string& b : d.held) held += b;
    EXPECT_EQ(r.written + held.size(),
              std::min(r.in.size(), (r.written / detect_block_size + 1) * detect_block_size))
        << r.what;
    EXPECT_EQ(held, r.in.substr(r.written, held.size())) << r.what;
    if (r.outcome != detect_outcome::letters) {
      EXPECT_EQ(d.score, 0.0f) << r.what;
    }
    EXPECT_TRUE(detect(r.in, false).held.empty()) << r.what;
  }
  // Text in 8-bit pages and UTF-8 holds no NUL, so it never looks like UTF-16.
  for (const char* page : {"cp866", "cp1251", "koi8-r", "iso-8859-5", "mac-cyrillic", "utf-8"})
    EXPECT_EQ(detect(sample(page)).outcome, detect_outcome::letters) << page;
}

TEST(Detect, Utf8IsNamedByTheRuleOnWhatWasRead) {
  // Inputs pieced together from UTF-8 and cp1251 prose, French and random bytes; the page
  // must follow from the letter totals and whole-buffer counts of what detection read.
  std::mt19937 rng(9);
  // Kinds 0-3: long UTF-8, cp1251, French, short UTF-8; 4: random bytes and forms that
  // only look like UTF-8 (surrogates, overlong, past U+10FFFF) next to the extremes that are.
  const std::string parts[] = {sample("utf-8"), sample("cp1251"),
                               "Déjà l'été ; où êtes-vous, très chère Noëlle ? "};
  const std::string latin1 = recode(parts[2], "utf-8", "latin1");
  const std::string edges =
      "\xED\xA0\x80\xED\x9F\xBF\xF4\x90\x80\x80\xF4\x8F\xBF\xBF\xE0\x9F\xBF\xE0\xA0\x80"
      "\xF0\x8F\xBF\xBF\xF0\x90\x80\x80\xC1\xBF\xC2\x80\xF5\x80\x80\x80";
  code_page* const utf8 = page_named("utf-8");
  for (int trial = 0; trial < 400; ++trial) {
    std::string in;
    for (int piece = 1 + int(rng() % 6); piece > 0; --piece) {
      const std::size_t len = rng() % 700;
      const int kind = int(rng() % 5);
      if (kind == 4) {
        for (std::size_t j = 0; j < len % 40; ++j)
          in.push_back(rng() % 2 ? char(rng()) : edges[rng() % edges.size()]);
      } else {
        const std::string& from = kind == 3 && len % 2 ? latin1 : parts[kind % 3];
        const std::size_t at = rng() % from.size();
        in += from.substr(at, kind == 3 ? len % 60 : len);
      }
    }
    // The tally fed in small pieces counts what one pass over the whole input counts.
    utf8_tally t;
    for (std::size_t at = 0, step; at < in.size(); at += step) {
      step = std::min<std::size_t>(in.size() - at, 1 + rng() % 9);
      utf8_tally_add(t, reinterpret_cast<const unsigned char*>(in.data()) + at, step);
    }
    const utf8_counts whole = count_utf8(in);
    ASSERT_EQ(t.valid, whole.valid) << "trial " << trial;
    ASSERT_EQ(t.invalid, whole.invalid) << "trial " << trial;

    const detection d = detect(in);
    std::string read = d.written;
    for (const std::string& b : d.held) read += b;
    // A NUL ends detection with the block that holds it; no mix of these is UTF-16.
    ASSERT_NE(d.outcome, detect_outcome::utf16) << "trial " << trial;
    if (const std::size_t nul = read.find('\0'); nul != std::string::npos) {
      ASSERT_EQ(d.outcome, detect_outcome::binary) << "trial " << trial;
      EXPECT_EQ(nul / detect_block_size, (read.size() - 1) / detect_block_size);
      EXPECT_EQ(d.page, output_page);
      continue;
    }
    // So does much of the rest: control bytes, read whole.
    ASSERT_EQ(d.outcome == detect_outcome::binary, binary_by_oracle(read)) << "trial " << trial;
    if (d.outcome == detect_outcome::binary) {
      EXPECT_EQ(d.page, output_page);
      continue;
    }
    std::vector<std::string> blocks;
    for (std::size_t at = 0; at < read.size(); at += detect_block_size)
      blocks.push_back(read.substr(at, detect_block_size));
    const std::vector<float> totals = reference_totals(blocks);
    const auto top = [&](int pages) {
      return int(std::max_element(totals.begin(), totals.begin() + pages) - totals.begin());
    };
    const utf8_counts n = count_utf8(read);
    const bool scored = totals[top(6)] > 0;
    code_page* const by_letters = &code_pages[top(6)];
    code_page* named = scored ? by_letters : nullptr;
    if (scored && n.valid > 0 && n.invalid * stray_share <= n.valid)
      named = utf8;
    else if (scored && by_letters == utf8 && n.invalid > n.valid)
      named = totals[top(5)] > 0 ? &code_pages[top(5)] : nullptr;
    named = naming_oracle(code_pages, read, named);
    code_page* const want = named != nullptr ? named : output_page;
    ASSERT_EQ(d.page, want) << "trial " << trial << ": V " << n.valid << " I " << n.invalid;
    // Then what the rules that withhold a page say of it.
    const doubt_answer doubts = doubt_oracle(code_pages, read, named != nullptr ? want : nullptr);
    ASSERT_EQ(d.outcome == detect_outcome::not_cyrillic, doubts.kind == doubt::not_cyrillic)
        << "trial " << trial;
    ASSERT_EQ(d.rival, doubts.rival) << "trial " << trial;
    if (scored && d.page == utf8) {
      EXPECT_LE(n.invalid, n.valid);
    }
  }
}

std::string hex(const char* digits) {
  std::string bytes;
  for (const char* d = digits; d[0] != '\0' && d[1] != '\0'; d += 2)
    bytes.push_back(char(std::stoi(std::string(d, 2), nullptr, 16)));
  return bytes;
}

TEST(Detect, NamingRules) {
  const auto in = [](const char* page, const char* text) { return recode(text, "utf-8", page); };
  struct row {
    std::string bytes;
    const char* want;
    const char* without;  // with the rules off
  } rows[] = {
      // All capitals, which the totals read as another page's lower case: ПАРАМЕТРЫ in
      // three pages, НОРМ.СТ.РАСП, and a word that only its end, closed where the input
      // ends, makes cheaper as capitals.
      {hex("f0e1f2e1ede5f4f2f90a"), "koi8-r", "cp1251"},
      {hex("cfc0d0c0ccc5d2d0db0a"), "cp1251", "koi8-r"},
      {hex("bfb0c0b0bcb5c2c0cb0a"), "iso-8859-5", "koi8-r"},
      {hex("eeeff2ed2ef3f42ef2e1f3f00a"), "koi8-r", "cp1251"},
      {in("koi8-r", "ОШИБКА"), "koi8-r", "cp1251"},
      // « » are З И in cp1251; Я, …, € and the first letter of Цена are я, Х, И and ÷ in
      // mac-cyrillic; a row of dashes is a capital repeated in cp1251, up to the end or not.
      {hex("8de520f3e4e0ebeef1fc20eff0eef7e5f1f2fc20e8e720c72573c80a"), "mac-cyrillic", "cp1251"},
      {in("cp1251", "Я никогда не буду женщиной. А интересно…"), "cp1251", "mac-cyrillic"},
      {hex("d6e5ede020313030208820e1e5e720f1eae8e4eae80a"), "cp1251", "mac-cyrillic"},
      {in("mac-cyrillic", "раздел первый\n————————\n"), "mac-cyrillic", "cp1251"},
      {in("mac-cyrillic", "раздел первый\n————————"), "mac-cyrillic", "cp1251"},
      // Named as without the rules. кВт and мА give cp1251 as many events as В and А give
      // mac-cyrillic; Или is ‡ли in cp1251.
      {in("koi8-r", "параметры\n"), "koi8-r", "koi8-r"},
      {in("cp1251", "параметры\n"), "cp1251", "cp1251"},
      {in("cp1251", "прошедший, прошлый"), "cp1251", "cp1251"},
      {in("koi8-r", "коклюш"), "koi8-r", "koi8-r"},
      {in("cp1251", "ООО «Ромашка» и партнёры\n"), "cp1251", "cp1251"},
      {in("cp1251", "мощность 5 кВт, ток 2 мА\n"), "cp1251", "cp1251"},
      {hex("88ebe820f2e0ea2c20e8ebe820ede8eae0ea2e0a"), "mac-cyrillic", "mac-cyrillic"},
      {in("utf-8", "ПАРАМЕТРЫ\n"), "utf-8", "utf-8"},
      // Known and left: lower-case cp1251 with nothing but € to tell it from mac-cyrillic.
      {in("cp1251", "цена 100 € без скидки\n"), "mac-cyrillic", "mac-cyrillic"},
  };
  for (const row& r : rows) {
    const detection on = detect(r.bytes);
    naming_rules = false;
    const detection off = detect(r.bytes);
    naming_rules = true;
    EXPECT_STREQ(on.page->name, r.want) << r.bytes;
    EXPECT_STREQ(off.page->name, r.without) << r.bytes;
    EXPECT_EQ(on.held, off.held) << r.bytes;
  }
}

TEST(Detect, RulesThatWithholdThePage) {
  // The page stays the one named without them, only withheld: binary data goes to the
  // fallback, as for a NUL. The blocks written and held do not change.
  std::string pdf = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  for (int i = 0; i < 600; ++i) pdf.push_back(char(0x80 + i * 37 % 128));
  struct row {
    const char* what;
    std::string bytes;
    detect_outcome outcome;
    const char* page;
    const char* rival;
  } rows[] = {
      {"French in Latin-1",
       recode("Le chat est très élégant, déjà vu à côté de la forêt.\n", "utf-8", "latin1"),
       detect_outcome::not_cyrillic, "koi8-r", nullptr},
      {"Greek in cp1253",
       recode("Η γρήγορη καφέ αλεπού πηδάει πάνω από το τεμπέλικο σκυλί.\n", "utf-8", "cp1253"),
       detect_outcome::not_cyrillic, "mac-cyrillic", nullptr},
      {"cp866 heading", recode("ВСЁ О ФАЙЛАХ\n", "utf-8", "cp866"), detect_outcome::letters,
       "mac-cyrillic", "cp866"},
      {"PDF without a NUL", pdf, detect_outcome::binary, "koi8-r", nullptr},
      {"Russian", sample("cp866").substr(0, 600), detect_outcome::letters, "cp866", nullptr},
  };
  for (const row& r : rows) {
    doubt_rules = false;
    const detection before = detect(r.bytes);
    doubt_rules = true;
    const detection d = detect(r.bytes);
    EXPECT_EQ(d.outcome, r.outcome) << r.what;
    EXPECT_STREQ(d.page->name, r.page) << r.what;
    EXPECT_STREQ(d.rival != nullptr ? d.rival->name : nullptr, r.rival) << r.what;
    EXPECT_EQ(before.outcome, detect_outcome::letters) << r.what;
    if (r.outcome != detect_outcome::binary) {
      EXPECT_EQ(d.page, before.page) << r.what;
    }
    EXPECT_EQ(d.written, before.written) << r.what;
    EXPECT_EQ(d.held, before.held) << r.what;
  }
}

TEST(Detect, NamingRulesReadAcrossBlocks) {
  // The block boundary at every point of a word named right only when it is costed whole
  // (ФАЙЛ, ДЕНЬГИ), or of a pair that tells mac-cyrillic from cp1251 (Ц and е: ÷ before a
  // letter in mac-cyrillic; о and …: a capital Х after a letter there).
  for (const auto& [page, text] : {std::pair{"koi8-r", "ФАЙЛ\n"},
                                   {"cp1251", "ДЕНЬГИ\n"},
                                   {"cp1251", "Цена 100 € без скидки\n"},
                                   {"cp1251", "Я знаю, что будет дальше, но интересно…"}}) {
    const std::string bytes = recode(text, "utf-8", page);
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut)
      EXPECT_STREQ(detect(std::string(detect_block_size - cut, ' ') + bytes).page->name, page)
          << text << " cut after " << cut;
  }
}

}  // namespace
