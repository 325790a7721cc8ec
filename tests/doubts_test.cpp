#include "codepages/doubts.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "codepages/naming_rules.h"
#include "codepages/registry.h"
#include "fuzz/doubts_oracle.h"
#include "tests/support.h"

namespace {

using namespace std::literals;

struct verdict_row {
  std::string what, bytes;
  const char* named;                                  // the page detection named, or null
  std::vector<std::pair<const char*, float>> totals;  // the named page's is 10 unless given
  doubt kind;
  const char* rival = nullptr;
};

void set_totals(const char* named, const std::vector<std::pair<const char*, float>>& totals) {
  for (code_page* p = code_pages; p->name != nullptr; ++p) p->score_total = 0;
  if (named != nullptr) page_named(named)->score_total = 10;
  for (const auto& [page, total] : totals) page_named(page)->score_total = total;
}

code_page* page_named_or_null(const char* name);

// The verdict on bytes fed in pieces cut at the given points.
doubt_answer verdict(std::string_view bytes, const char* named,
                     std::vector<std::size_t> cuts = {}) {
  doubt_tally t;
  naming_tally names;
  doubt_tally_start(t, code_pages);
  naming_tally_start(names, code_pages);
  // Cut, the last piece is counted as detection counts its last block: for the page named.
  const bool cut = !cuts.empty();
  cuts.push_back(bytes.size());
  std::size_t at = 0;
  for (const std::size_t end : cuts) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
    if (cut && end == bytes.size())
      doubt_tally_last(t, p, end - at, nullptr, page_named_or_null(named));
    else
      doubt_tally_add(t, p, end - at);
    naming_tally_add(names, p, end - at);
    at = end;
  }
  return doubt_verdict(t, names, page_named_or_null(named));
}

std::string cp1251(const char* utf8) { return recode(utf8, "utf-8", "cp1251"); }

code_page* page_named_or_null(const char* name) {
  return name != nullptr ? page_named(name) : nullptr;
}

TEST(Doubts, RulesAtTheirEdges) {
  const std::string text = " plain words, as text has them.\n";
  std::vector<verdict_row> rows;
  // Each magic number, and the same one byte short.
  for (const std::string_view magic :
       {"%PDF-"sv, "\x1F\x8B"sv, "\xFD\x37\x7A\x58\x5A\x00"sv, "\x28\xB5\x2F\xFD"sv,
        "\x50\x4B\x03\x04"sv, "\xFF\xD8\xFF"sv, "\x89\x50\x4E\x47"sv, "GIF87a"sv, "GIF89a"sv,
        "\x7F\x45\x4C\x46"sv, "\xDE\x12\x04\x95"sv, "\x95\x04\x12\xDE"sv, "BZh11AY&SY"sv,
        "BZh9\x17\x72\x45\x38\x50\x90"sv}) {
    const std::string m(magic);
    rows.push_back({"magic " + m, m + text, nullptr, {}, doubt::binary});
    rows.push_back({"short " + m, m.substr(0, m.size() - 1), nullptr, {}, doubt::none});
    rows.push_back(
        {"other last " + m, m.substr(0, m.size() - 1) + '\n' + text, nullptr, {}, doubt::none});
  }
  rows.push_back({"magic not at the start", " %PDF-1.4" + text, nullptr, {}, doubt::none});
  rows.push_back({"bzip2, digit 0", "BZh01AY&SY" + text, nullptr, {}, doubt::none});
  // Control bytes: 7 in a few bytes; 8 in 399 bytes (1000 C > 20 len) and in 400.
  const std::string c7 = "\x01\x02\x03\x04\x05\x06\x07";
  rows.push_back({"7 controls", c7 + "ab", nullptr, {}, doubt::none});
  rows.push_back(
      {"8 controls in 399", c7 + "\x1F" + std::string(391, 'a'), nullptr, {}, doubt::binary});
  rows.push_back(
      {"8 controls in 400", c7 + "\x1F" + std::string(392, 'a'), nullptr, {}, doubt::none});
  rows.push_back({"controls text holds",
                  std::string(40, '\b') + "\t\n\v\f\r\x1A\x1B" + "ab",
                  nullptr,
                  {},
                  doubt::none});
  rows.push_back(
      {"controls, a page named", c7 + "\x1F" + cp1251(" мир"), "cp1251", {}, doubt::binary});
  // Latin words: "xй йй" has 3 letters of cp1251, one of them in a Latin word (3 mj = hl);
  // "xй й" one of 2. A word needs as many ASCII letters as letters of the page.
  rows.push_back({"3 mj = hl", cp1251("xй йй\n"), "cp1251", {}, doubt::none});
  rows.push_back({"3 mj > hl", cp1251("xй й\n"), "cp1251", {}, doubt::not_cyrillic});
  rows.push_back({"fewer ASCII letters", cp1251("xйй\n"), "cp1251", {}, doubt::none});
  rows.push_back({"as many ASCII letters", cp1251("xxйй\n"), "cp1251", {}, doubt::not_cyrillic});
  rows.push_back({"word open at the end", cp1251("й xй"), "cp1251", {}, doubt::not_cyrillic});
  rows.push_back({"Latin-1 elephant", "\xE9l\xE9phant\n", "cp1251", {}, doubt::not_cyrillic});
  // Every single-byte page of the registry takes part, with its own letters.
  for (int p = 0; p < 5; ++p) {
    const char a = static_cast<char>(code_pages[p].letters[0]);
    rows.push_back({std::string("takes part: ") + code_pages[p].name,
                    {'x', a, ' ', a},
                    code_pages[p].name,
                    {},
                    doubt::not_cyrillic});
  }
  // Improbable pairs: ы alone costs 1044 a letter, but only from 30 letters on.
  std::string y29, y30;
  for (int i = 0; i < 29; ++i) y29 += cp1251("ы ");
  y30 = y29 + cp1251("ы");
  rows.push_back({"29 letters", y29, "cp1251", {}, doubt::none});
  rows.push_back({"30 letters", y30, "cp1251", {}, doubt::not_cyrillic});
  // Unsure: koi8-r reads мир as other letters; mac-cyrillic reads it alike, and is
  // cp1251's twin besides.
  const std::string mir = cp1251("мир\n");
  rows.push_back({"margin 1.99", mir, "cp1251", {{"koi8-r", 8.01f}}, doubt::unsure, "koi8-r"});
  rows.push_back({"margin 2.0", mir, "cp1251", {{"koi8-r", 8.0f}}, doubt::none});
  rows.push_back(
      {"renamed over a higher total", mir, "cp1251", {{"koi8-r", 12.0f}}, doubt::unsure, "koi8-r"});
  rows.push_back({"equal totals: the earlier",
                  mir,
                  "cp1251",
                  {{"iso-8859-5", 9.0f}, {"cp866", 9.0f}},
                  doubt::unsure,
                  "cp866"});
  rows.push_back(
      {"the twin reads it alike", mir, "cp1251", {{"mac-cyrillic", 9.99f}}, doubt::none});
  // cp866 capitals are mac-cyrillic's: the next best that reads them otherwise.
  const std::string caps = recode("МИР\n", "utf-8", "cp866");
  rows.push_back({"capitals read alike", caps, "cp866", {{"mac-cyrillic", 9.99f}}, doubt::none});
  rows.push_back({"capitals, the next one",
                  caps,
                  "cp866",
                  {{"mac-cyrillic", 9.99f}, {"koi8-r", 9.0f}},
                  doubt::unsure,
                  "koi8-r"});
  rows.push_back({"no other page left", "plain\n", "cp1251", {{"koi8-r", 9.99f}}, doubt::none});
  // The twin: кВт and мА give cp1251 as many odd events as В and А give mac-cyrillic.
  rows.push_back({"twin, even events",
                  cp1251("мощность 5 кВт, ток 2 мА\n"),
                  "cp1251",
                  {},
                  doubt::unsure,
                  "mac-cyrillic"});
  rows.push_back({"twin, not even", cp1251("Ветер гнал листья.\n"), "cp1251", {}, doubt::none});
  rows.push_back({"twin, alike", cp1251("ветер гнал лист\n"), "cp1251", {}, doubt::none});
  rows.push_back({"no page named", mir, nullptr, {}, doubt::none});
  rows.push_back({"utf-8 named", "мир\n", "utf-8", {}, doubt::none});

  for (const verdict_row& r : rows) {
    set_totals(r.named, r.totals);
    const doubt_answer got = verdict(r.bytes, r.named);
    EXPECT_EQ(got.kind, r.kind) << r.what;
    EXPECT_STREQ(got.rival != nullptr ? got.rival->name : nullptr, r.rival) << r.what;
    // Cut anywhere, the bytes say the same.
    for (std::size_t cut = 0; cut <= r.bytes.size(); ++cut)
      ASSERT_EQ(verdict(r.bytes, r.named, {cut}).kind, got.kind) << r.what << ", cut at " << cut;
    const doubt_answer plain = doubt_oracle(code_pages, r.bytes, page_named_or_null(r.named));
    EXPECT_EQ(plain.kind, got.kind) << r.what;
  }
}

// What iconv reads the byte as in the page, or -1 for no character.
long read_as(const char* page, unsigned char byte) {
  iconv_t cd = iconv_open("UTF-32LE", page);
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << page;
  char in[1] = {static_cast<char>(byte)};
  unsigned char out[8];
  char *ip = in, *op = reinterpret_cast<char*>(out);
  std::size_t il = 1, ol = sizeof out;
  const bool ok = iconv(cd, &ip, &il, &op, &ol) != static_cast<std::size_t>(-1) && ol == 4;
  iconv_close(cd);
  return ok ? long(out[0] | out[1] << 8 | out[2] << 16) : -1;
}

TEST(Doubts, PagesReadBytesAsIconvDoes) {
  const char* const pages[] = {"cp866", "cp1251", "koi8-r", "iso-8859-5", "mac-cyrillic"};
  long chars[5][256];
  for (int p = 0; p < 5; ++p)
    for (int b = 0; b < 256; ++b) chars[p][b] = read_as(pages[p], static_cast<unsigned char>(b));
  for (int p = 0; p < 5; ++p)
    for (int q = 0; q < 5; ++q)
      for (int b = 0; b < 256; ++b)
        ASSERT_EQ(same_character(page_named(pages[p]), page_named(pages[q]),
                                 static_cast<unsigned char>(b)),
                  chars[p][b] == chars[q][b])
            << pages[p] << " " << pages[q] << " " << b;
}

TEST(Doubts, CountedInPiecesAsOverTheWhole) {
  // Latin-1 French, Greek, Russian in cp1251 and cp866 capitals, markup long enough for
  // the quick way over ASCII, control bytes and random bytes, pieced together; any page
  // named, with totals that are often level.
  const std::string parts[] = {
      recode("Le chat est très élégant, déjà vu à côté de la forêt. ", "utf-8", "latin1"),
      recode("Η γρήγορη αλεπού πηδάει πάνω από το σκυλί. ", "utf-8", "cp1253"),
      cp1251("Съешь же ещё этих мягких французских булок да выпей чаю. "),
      recode("ВСЁ О ФАЙЛАХ И ПАПКАХ\n", "utf-8", "cp866"),
      "<div class=\"para\"><a href=\"#note\">a long enough link</a></div>\n",
  };
  const char* const named[] = {"cp866", "cp1251", "koi8-r", "iso-8859-5", "mac-cyrillic", nullptr};
  std::mt19937 rng(26);
  for (int trial = 0; trial < 600; ++trial) {
    std::string in;
    for (int piece = 1 + int(rng() % 6); piece > 0; --piece) {
      const int kind = int(rng() % 7);
      if (kind == 5) {
        in.push_back(char(rng() % 0x20));
      } else if (kind == 6) {
        for (std::size_t j = rng() % 12; j > 0; --j) in.push_back(char(rng()));
      } else {
        const std::string& from = parts[kind];
        const std::size_t at = rng() % from.size();
        in += from.substr(at, rng() % (from.size() - at + 1));
      }
    }
    const char* const page = named[rng() % 6];
    for (code_page* p = code_pages; p->name != nullptr; ++p) p->score_total = float(rng() % 4);
    std::vector<std::size_t> cuts;
    for (std::size_t at = 0; at < in.size(); cuts.push_back(at)) at += 1 + rng() % 70;
    if (!cuts.empty()) cuts.pop_back();
    const doubt_answer got = verdict(in, page, cuts);
    const doubt_answer want = doubt_oracle(code_pages, in, page_named_or_null(page));
    ASSERT_EQ(got.kind, want.kind) << "trial " << trial;
    ASSERT_EQ(got.rival, want.rival) << "trial " << trial;
  }
}

}  // namespace
