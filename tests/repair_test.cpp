#include "convert/repair.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cli/settings.h"
#include "codepages/letter_pairs.h"
#include "convert/repair_file.h"
#include "convert/repair_tables.h"
#include "convert/simd.h"
#include "io/input.h"
#include "io/output.h"
#include "tests/support.h"

namespace {

const char* const page_names[] = {"cp866",      "cp1251",       "koi8-r",
                                  "iso-8859-5", "mac-cyrillic", "cp1252"};

std::string put_utf8(std::u32string_view text) {
  std::string s;
  for (const char32_t c : text) {
    if (c < 0x80) {
      s += static_cast<char>(c);
    } else if (c < 0x800) {
      s += static_cast<char>(0xC0 | c >> 6);
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      s += static_cast<char>(0xE0 | c >> 12);
      s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | c >> 18);
      s += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return s;
}

// UTF-8 read through a page and saved as UTF-8 again, as an editor that guessed wrong
// does; a byte the page leaves undefined becomes the C1 control of its number.
std::string mojibake(const std::string& utf8, repair_page page) {
  std::u32string t;
  for (const char c : utf8) t += page_reading(page, static_cast<unsigned char>(c));
  return put_utf8(t);
}

const std::string clean_lines =
    "Утром над озером стоял туман, и лодки у причала казались серыми тенями.\n"
    "Старый паромщик проверил канаты, подбросил дров в печку и заварил чай.\n"
    "К восьми часам пришли первые пассажиры: учительница с корзиной яблок,\n";
const std::string more_lines =
    "Вечером в библиотеке зажгли лампы — читальный зал наполнился шелестом.\n"
    "Библиотекарь записывала в журнал новые книги: «Атлас мира», сборник стихов.\n"
    "Мальчик у окна третий час разглядывал карту звёздного неба.\n";
// In characters every page has.
const std::string plain_lines =
    "Вечером в библиотеке зажгли лампы, и читальный зал наполнился шелестом.\n"
    "Библиотекарь записывала в журнал новые книги: атлас мира, сборник стихов.\n"
    "Мальчик у окна третий час разглядывал карту звёздного неба.\n";

// The tables the readings come from, against the C library's iconv.
TEST(Repair, ReadingsAreTheCLibrarysTables) {
  for (int p = 0; p < repair_pages; ++p) {
    const auto page = static_cast<repair_page>(p);
    const char* name =
        std::strcmp(page_names[p], "mac-cyrillic") == 0 ? "MAC-CYRILLIC" : page_names[p];
    iconv_t cd = iconv_open("UTF-32LE", name);
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1)) << name;
    for (int b = 0; b < 256; ++b) {
      char in = static_cast<char>(b), out[8];
      char* ip = &in;
      char* op = out;
      std::size_t il = 1, ol = sizeof out;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      const bool defined = iconv(cd, &ip, &il, &op, &ol) != static_cast<std::size_t>(-1);
      std::uint32_t want = static_cast<std::uint32_t>(b);  // undefined: the C1 control
      if (defined) std::memcpy(&want, out, 4);
      EXPECT_EQ(page_defines(page, static_cast<unsigned char>(b)), defined) << name << " " << b;
      EXPECT_EQ(page_reading(page, static_cast<unsigned char>(b)), want) << name << " " << b;
      EXPECT_EQ(page_encoding(page, want), b) << name << " " << b;
    }
    iconv_close(cd);
  }
  // Into cp1252 the Latin-1 range goes to its own bytes also where cp1252 has others.
  EXPECT_EQ(page_encoding(repair_page::cp1252, 0x80), 0x80);
  EXPECT_EQ(page_encoding(repair_page::cp1252, 0x9F), 0x9F);
  EXPECT_EQ(page_encoding(repair_page::cp1251, 0x9F), -1);
  EXPECT_EQ(page_encoding(repair_page::koi8_r, 0x00E9), -1);
}

// The measure as the rules word it, a word at a time, against which the meter's sums
// over neighbours are checked.
enum literal_class { L, U, a, s, C, p, T, X };
struct literal_char {
  literal_class cls;
  int letter;  // 0-32, letter_pair_edge for the rest
  typo_kind kind;
};
literal_char literal_class_of(char32_t c) {
  const int edge = letter_pair_edge;
  if (c >= 0x430 && c <= 0x44F) return {L, static_cast<int>(c - 0x430) + (c >= 0x436), {}};
  if (c >= 0x410 && c <= 0x42F) return {U, static_cast<int>(c - 0x410) + (c >= 0x416), {}};
  if (c == 0x451) return {L, 6, {}};
  if (c == 0x401) return {U, 6, {}};
  if (c < 0x80) {
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return {a, edge, {}};
    if (c == ' ' || (c >= 9 && c <= 13)) return {s, edge, {}};
    if (c < 0x20 || c == 0x7F) return {C, edge, {}};
    return {p, edge, {}};
  }
  for (const typography_row& t : typography_rows)
    if (t.code == c) return {T, edge, t.kind};
  for (const class_range& r : class_ranges)
    if (c >= r.first && c <= r.last) return {r.cls == 'C' ? C : s, edge, {}};
  return {X, edge, {}};
}
bool is_space(char32_t c) { return c == ' ' || (c >= 9 && c <= 13); }

text_measure literal_measure(const std::u32string& text) {
  text_measure total;
  std::size_t i = 0;
  while (i < text.size()) {
    if (is_space(text[i])) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < text.size() && !is_space(text[j])) ++j;
    const std::u32string w = text.substr(i, j - i);
    i = j;
    text_measure m;
    int prev = letter_pair_edge;
    literal_class pc = s;
    for (std::size_t k = 0; k < w.size(); ++k) {
      const char32_t c = w[k];
      const literal_char ch = literal_class_of(c);
      const bool letter_before = pc == L || pc == U;
      const bool letter_after = k + 1 < w.size() && (literal_class_of(w[k + 1]).cls <= U);
      if (ch.cls == L || ch.cls == U) {
        ++m.n;
        m.cost += letter_pair_costs[prev][ch.letter];
        prev = ch.letter;
        m.odd += ch.cls == U && pc == L;
        m.odd += pc == a || pc == X || pc == C;
        m.odd += k >= 2 && w[k - 1] == c && w[k - 2] == c && (k < 3 || w[k - 3] != c);
      } else {
        if (prev != letter_pair_edge) m.cost += letter_pair_costs[prev][letter_pair_edge];
        prev = letter_pair_edge;
        m.odd += (ch.cls == a || ch.cls == X || ch.cls == C) && letter_before;
        m.other += ch.cls == X || ch.cls == C;
        m.high_xc += c >= 0x80 && (ch.cls == X || ch.cls == C);
        m.high_control += c >= 0x80 && ch.cls == C;
        if (ch.cls == T) {
          ++m.typo;
          switch (ch.kind) {
            case typo_kind::before:
              m.odd += letter_before;
              break;
            case typo_kind::after:
              m.odd += letter_after;
              break;
            case typo_kind::adjacent:
              m.odd += letter_before || letter_after;
              break;
            case typo_kind::free:
              m.odd += c != 0xA0 && letter_before && letter_after;
              break;
          }
        }
      }
      m.mb += c >= 0x80;
      pc = ch.cls;
    }
    if (prev != letter_pair_edge) m.cost += letter_pair_costs[prev][letter_pair_edge];
    if (m.mb > 0) add(total, m);
  }
  return total;
}

void expect_same(const text_measure& got, const text_measure& want, const std::string& text) {
  EXPECT_EQ(got.n, want.n) << text;
  EXPECT_EQ(got.cost, want.cost) << text;
  EXPECT_EQ(got.odd, want.odd) << text;
  EXPECT_EQ(got.other, want.other) << text;
  EXPECT_EQ(got.typo, want.typo) << text;
  EXPECT_EQ(got.mb, want.mb) << text;
  EXPECT_EQ(got.high_xc, want.high_xc) << text;
  EXPECT_EQ(got.high_control, want.high_control) << text;
}

text_measure measure(const std::string& utf8) {
  return measure_utf8(reinterpret_cast<const unsigned char*>(utf8.data()), utf8.size());
}

TEST(Repair, MeasureOfAWord) {
  // Edge to д 288, д to а 162, а to the edge 160, from the pair table.
  EXPECT_EQ(badness(measure("да")), 610);
  EXPECT_EQ(badness(measure("Да")), 610);
  EXPECT_EQ(badness(measure("да да")), 1220);
  EXPECT_EQ(badness(measure("дА")), 610 + 600);          // a capital after a small letter
  EXPECT_EQ(badness(measure("да\xC2\xA0")), 610 + 700);  // no-break space: typography, never odd
  EXPECT_EQ(measure("plain words, no letters").mb, 0);
  EXPECT_EQ(badness(measure("plain words")), 0);
}

class RepairPath : public testing::TestWithParam<simd_path> {};

// The meter on every path this CPU has, on UTF-8 and on single bytes through each page,
// against the rules' words; texts of every kind, and texts of what the vector meter
// takes itself, over several of its blocks.
TEST_P(RepairPath, MeterAgreesWithTheRulesWordByWord) {
  if (!simd_force(GetParam())) GTEST_SKIP() << "this CPU has no " << simd_name(GetParam());
  const std::u32string any[] = {
      U"а",          U"а",      U"о",      U"д",      U"м",      U"Д",      U"Ё",      U"ё",
      U"я",          U"Я",      U"ааа",    U"нн",     U" ",      U"\t",     U"\n",     U"x",
      U"Q",          U"7",      U",",      U".",      U"\x01",   U"\x7F",   U"\u00A0", U"\u00AB",
      U"\u00BB",     U"\u2014", U"\u2026", U"\u00A9", U"\u201C", U"\u201E", U"\u2019", U"\u2116",
      U"\u00E9",     U"\u03B1", U"\u0457", U"\u2500", U"\u0085", U"\u200B", U"\uFEFF", U"\u2009",
      U"\U0001F600", U"\u4E2D", U"\u0378"};
  const std::u32string clean[] = {U" дом",   U" Мир", U" ёлка", U"ещё",      U", ",
                                  U". ",     U" — ",  U" «",    U"» ",       U" 1987",
                                  U"\u00A0", U" …",   U" №",    U"\u2009",   U" абв",
                                  U" шёл",   U" сад", U" Щи",   U" подъезд", U" объём"};
  std::mt19937 rng(7);
  const std::size_t taken = repair_vector_bytes;
  for (int round = 0; round < 4000; ++round) {
    std::u32string t;
    const bool mixed = round % 2 == 0;
    const int n = 1 + static_cast<int>(rng() % (mixed ? 24 : 60));
    for (int k = 0; k < n; ++k)
      t += mixed ? any[rng() % std::size(any)] : clean[rng() % std::size(clean)];
    const std::string u = put_utf8(t);
    expect_same(measure(u), literal_measure(t), u);
    // The same through a page: its bytes, and the characters they read as.
    const auto page = static_cast<repair_page>(rng() % repair_pages);
    std::string bytes;
    std::u32string read;
    for (const char32_t c : t) {
      const int b = page_encoding(page, c);
      const unsigned char byte = b >= 0 ? static_cast<unsigned char>(b) : rng() % 256;
      bytes += static_cast<char>(byte);
      read += page_reading(page, byte);
    }
    expect_same(
        measure_reading(page, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()),
        literal_measure(read), put_utf8(read));
    if (HasFailure()) break;
  }
  if (GetParam() == simd_path::avx512) {
    EXPECT_GT(repair_vector_bytes - taken, 100000u);
  } else {
    EXPECT_EQ(repair_vector_bytes, taken);
  }
  for (const simd_path best : {simd_path::avx512, simd_path::avx2, simd_path::scalar})
    if (simd_force(best)) break;
}

INSTANTIATE_TEST_SUITE_P(Paths, RepairPath,
                         testing::Values(simd_path::scalar, simd_path::avx2, simd_path::avx512),
                         [](const testing::TestParamInfo<simd_path>& info) {
                           return std::string(simd_name(info.param));
                         });

struct rules_run {
  std::string out;
  repair_counts counts;
};
rules_run run_rules(const std::string& in, const char* fixed, bool mend = true,
                    const char* to = "utf-8") {
  rules_run r;
  r.out = run_pipeline(in, fixed ? page_named(fixed) : nullptr, page_named(to), false, false,
                       &r.counts, mend)
              .out;
  return r;
}

// The files the rules are for, and clean ones they leave alone: each with -i and detected.
TEST(Repair, MendsMixedPagesAndDoubleEncodedText) {
  const std::string text = clean_lines + more_lines;
  const std::string plain = clean_lines + plain_lines;
  const struct {
    const char* name;
    std::string in;
    const char* page;  // the input page, for -i
    std::string want;  // in UTF-8
    std::uint64_t lines;
    bool detected = true;  // detection names the page too
  } rows[] = {
      {"utf-8, then cp1251", clean_lines + recode(more_lines, "utf-8", "cp1251"), "utf-8", text, 3},
      {"utf-8, then cp866", clean_lines + recode(plain_lines, "utf-8", "cp866"), "utf-8", plain, 3},
      {"utf-8, then koi8-r", clean_lines + recode(plain_lines, "utf-8", "koi8-r"), "utf-8", plain,
       3},
      // Detection names it iso-8859-5, whose reading of the UTF-8 makes pairs no Russian
      // text has: not Cyrillic, so no rule runs on it (with -i utf-8 they do).
      {"utf-8, then iso-8859-5", clean_lines + recode(plain_lines, "utf-8", "iso-8859-5"), "utf-8",
       plain, 3, false},
      {"utf-8, then mac-cyrillic", clean_lines + recode(more_lines, "utf-8", "mac-cyrillic"),
       "utf-8", text, 3},
      // Detection takes it for mac-cyrillic: UTF-8 read as cp1251 has capitals after small
      // letters, which the mac-cyrillic or cp1251 rule counts against cp1251.
      {"cp1251, then utf-8", recode(clean_lines, "utf-8", "cp1251") + more_lines, "cp1251", text, 3,
       false},
      {"koi8-r, then utf-8", recode(clean_lines, "utf-8", "koi8-r") + more_lines, "koi8-r", text,
       3},
      {"cp866, then utf-8", recode(clean_lines, "utf-8", "cp866") + more_lines, "cp866", text, 3},
      {"double-encoded, cp1251", mojibake(text, repair_page::cp1251), "utf-8", text, 6},
      {"double-encoded, koi8-r", mojibake(text, repair_page::koi8_r), "utf-8", text, 6},
      {"double-encoded, cp866", mojibake(text, repair_page::cp866), "utf-8", text, 6},
      {"double-encoded, iso-8859-5", mojibake(text, repair_page::iso_8859_5), "utf-8", text, 6},
      {"double-encoded, mac-cyrillic", mojibake(text, repair_page::mac_cyrillic), "utf-8", text, 6},
      {"double-encoded, cp1252", mojibake(text, repair_page::cp1252), "utf-8", text, 6},
      {"twice double-encoded, cp1251",
       mojibake(mojibake(text, repair_page::cp1251), repair_page::cp1251), "utf-8", text, 6},
      {"twice double-encoded, koi8-r then cp1251",
       mojibake(mojibake(text, repair_page::koi8_r), repair_page::cp1251), "utf-8", text, 6},
      // cp1251 read as cp1252 holds no UTF-8: left as it is.
      {"cp1251 read as cp1252",
       put_utf8(U"\u00CF\u00F0\u00E8\u00E2\u00E5\u00F2, \u00EC\u00E8\u00F0!\n"), "utf-8",
       put_utf8(U"\u00CF\u00F0\u00E8\u00E2\u00E5\u00F2, \u00EC\u00E8\u00F0!\n"), 0},
      {"clean", text, "utf-8", text, 0},
      {"clean cp1251", recode(text, "utf-8", "cp1251"), "cp1251", text, 0},
      {"French", "Mère Noëlle a gardé la clé du grenier ; à midi, on déjeune près de la rivière.\n",
       "utf-8", "Mère Noëlle a gardé la clé du grenier ; à midi, on déjeune près de la rivière.\n",
       0},
      {"Greek", "Το πρωί πήγαμε στη θάλασσα· ο ήλιος ήταν ζεστός και το νερό κρύο.\n", "utf-8",
       "Το πρωί πήγαμε στη θάλασσα· ο ήλιος ήταν ζεστός και το νερό κρύο.\n", 0},
      {"Ukrainian", "Їжачок і білочка збирали гриби в осінньому лісі, а ґава дивилася.\n", "utf-8",
       "Їжачок і білочка збирали гриби в осінньому лісі, а ґава дивилася.\n", 0},
  };
  for (const auto& row : rows) {
    for (const bool fixed : {true, false}) {
      if (!fixed && !row.detected) continue;
      const rules_run r = run_rules(row.in, fixed ? row.page : nullptr);
      EXPECT_EQ(r.out, row.want) << row.name << (fixed ? " (-i)" : "");
      EXPECT_EQ(r.counts.lines, row.lines) << row.name << (fixed ? " (-i)" : "");
      // Without mending: today's bytes, the same lines counted.
      const rules_run told = run_rules(row.in, fixed ? row.page : nullptr, false);
      EXPECT_EQ(
          told.out,
          run_pipeline(row.in, fixed ? page_named(row.page) : nullptr, page_named("utf-8")).out)
          << row.name;
      EXPECT_EQ(told.counts.lines, row.lines) << row.name;
    }
  }
}

}  // namespace

namespace {

std::string cp1251(const std::string& utf8) { return recode(utf8, "utf-8", "cp1251"); }

// Rule M's readings: the best, the first of equals, and the one remembered from the line
// before while it stays within 1500 of the best.
TEST(Repair, RuleMTakesTheRememberedReadingWhileItIsClose) {
  // Lower case without я reads the same in cp1251 and mac-cyrillic: cp1251, the first.
  const std::string same = "над рекой стоял туман, и рыбаки не решались отчалить от берега\n";
  // Longer than 40 letters, with я at the ends of words: mac-cyrillic writes it DF, which
  // cp1251 reads as Я, a capital after a small letter (one odd event, 600).
  const std::string one = "старик раскурил трубку и долго смотрел на небо над рекой моя\n";
  const std::string three = "моя земля и твоя река старик раскурил трубку и смотрел на небо\n";
  const std::string mac_one = recode(one, "utf-8", "mac-cyrillic");
  const std::string mac_three = recode(three, "utf-8", "mac-cyrillic");
  const std::string upper_one = "старик раскурил трубку и долго смотрел на небо над рекой моЯ\n";
  const struct {
    const char* name;
    std::string in, want;
  } rows[] = {
      {"alone: the best", "утро\n" + mac_one, "утро\n" + one},
      {"after cp1251: the remembered, 600 worse", "утро\n" + cp1251(same) + mac_one,
       "утро\n" + same + upper_one},
      {"after cp1251: 1800 worse, the best", "утро\n" + cp1251(same) + mac_three,
       "утро\n" + same + three},
  };
  for (const auto& row : rows) {
    const rules_run r = run_rules(row.in, "utf-8");
    EXPECT_EQ(r.out, row.want) << row.name;
  }
}

// A line no reading makes Russian is left as it is, an invalid line; a UTF-8 line in a
// single-byte input needs five letters, unless rule J takes it for what it is then, UTF-8
// read as that page.
TEST(Repair, LinesTheRulesLeave) {
  const std::string latin1 = recode("Mère Noëlle a gardé la clé du grenier.\n", "utf-8", "latin1");
  const std::string koi8 = recode(clean_lines, "utf-8", "koi8-r");
  const struct {
    const char* name;
    std::string in;
    const char* page;
    std::uint64_t lines;
    bool invalid;
  } rows[] = {
      {"Latin-1 in UTF-8", clean_lines + latin1, "utf-8", 0, true},
      // In koi8-r, У in UTF-8 is пё: no odd event, so rule J does not take four of them.
      {"four letters of UTF-8 in koi8-r", koi8 + "У У У У\n", "koi8-r", 0, false},
      {"five letters of UTF-8 in koi8-r", koi8 + "У У У У У\n", "koi8-r", 1, false},
      {"a short UTF-8 line in cp1251, by rule J", cp1251(clean_lines) + "да, ум\n", "cp1251", 1,
       false},
      // Valid UTF-8 that reads worse than cp1251: capitals before ё.
      {"cp1251 that is valid UTF-8", cp1251(clean_lines) + cp1251("Сё Пё\n"), "cp1251", 0, false},
      {"cp1251's undefined byte", cp1251(clean_lines) + "\x98\n", "cp1251", 0, true},
      // A Latin letter in a Russian word: suspect, but no chain mends it.
      {"suspect, no chain", "Пpивет, мир.\n", "utf-8", 0, false},
      // A chain mends the word, to one letter: not enough to be taken.
      {"suspect, not accepted", "пё\n", "utf-8", 0, false},
  };
  for (const auto& row : rows) {
    const rules_run r = run_rules(row.in, row.page);
    EXPECT_EQ(r.counts.lines, row.lines) << row.name;
    EXPECT_EQ(r.counts.invalid, row.invalid) << row.name;
    if (row.lines == 0) {
      EXPECT_EQ(r.out, run_pipeline(row.in, page_named(row.page), page_named("utf-8")).out)
          << row.name;
    }
  }
}

// Chains remembered from an accepted line mend lines the search alone would not take.
TEST(Repair, RuleJRemembersItsChains) {
  const std::string koi8 = mojibake(clean_lines, repair_page::koi8_r);
  const std::string twice =
      mojibake(mojibake(clean_lines, repair_page::koi8_r), repair_page::cp1251);
  const struct {
    const char* name;
    std::string in, want;
    std::uint64_t lines;
  } rows[] = {
      {"alone", "пё\n", "пё\n", 0},
      {"after koi8-r", koi8 + "пё\n", clean_lines + "У\n", 4},
      {"after koi8-r then cp1251", twice + mojibake("пё\n", repair_page::cp1251),
       clean_lines + "У\n", 4},
      // A chain that changes nothing on a line is not used: the line is clean.
      {"clean after koi8-r", koi8 + "Утро.\n", clean_lines + "Утро.\n", 3},
  };
  for (const auto& row : rows) {
    const rules_run r = run_rules(row.in, "utf-8");
    EXPECT_EQ(r.out, row.want) << row.name;
    EXPECT_EQ(r.counts.lines, row.lines) << row.name;
  }
}

// Windows of a long line: after the last space or tab, else moved back off a character.
TEST(Repair, WindowsOfALongLine) {
  std::string line(repair_window + 1, 'x');
  auto at = [&](std::size_t byte, const std::string& s) { line.replace(byte - 1, s.size(), s); };
  const auto cut = [&] { return window_cut(reinterpret_cast<const unsigned char*>(line.data())); };
  EXPECT_EQ(cut(), repair_window);
  at(1, " ");
  EXPECT_EQ(cut(), repair_window);  // the first byte does not count
  at(2, "\t");
  EXPECT_EQ(cut(), 2u);
  at(repair_window, " ");
  EXPECT_EQ(cut(), repair_window);
  at(repair_window, "x");
  at(2, "x");
  const struct {
    const char* tail;  // from byte repair_window - 2
    std::size_t cut;
  } rows[] = {
      {"x\xD0\xB4x", repair_window},            // a character ends at the cut
      {"xx\xD0\xB4", repair_window - 1},        // one starts before it
      {"x\xE2\x80\x94", repair_window - 2},     // a dash
      {"\xF0\x9F\x98\x80", repair_window - 3},  // four bytes
      {"\x80\x80\x80\x80", repair_window - 3},  // at most three bytes back
  };
  for (const auto& row : rows) {
    line.replace(repair_window - 3, 4, row.tail);
    EXPECT_EQ(cut(), row.cut) << row.tail;
  }

  // Through the loop: a line of two windows counts once, whichever of them is mended.
  std::string words;
  while (words.size() < repair_window + 9000) words += "Утром над озером стоял туман. ";
  const std::string tail = "Старый паромщик проверил канаты.\n";
  const std::string clean = words + tail;
  const struct {
    const char* name;
    std::string in;
  } mixed[] = {
      {"second window", words + cp1251(tail)},
      {"both windows", cp1251(words.substr(0, 30)) + words.substr(30) + cp1251(tail)},
  };
  for (const auto& row : mixed) {
    const rules_run r = run_rules(row.in + clean_lines, "utf-8");
    EXPECT_EQ(r.out, clean + clean_lines) << row.name;
    EXPECT_EQ(r.counts.lines, 1u) << row.name;
  }
}

}  // namespace

namespace {

// A line goes out when it is whole, before kiv waits for more: `tail -f log | kiv`.
struct paced_lines {
  std::string text;
  std::size_t delivered = 0;
  std::string written;
  int behind = 0;  // reads at which a whole line was not out, or part of one was
};

TEST(Repair, EachLineGoesOutWhenWhole) {
  paced_lines pipe;
  for (int i = 0; i < 60; ++i)
    pipe.text += i % 3 == 0 ? cp1251(clean_lines.substr(0, 70)) + "\n" : clean_lines;
  input_stream in = input_on(-1);
  in.may_wait = true;
  in.cookie = &pipe;
  in.read_fn = [](void* c, void* buf, std::size_t n) -> ssize_t {
    auto* p = static_cast<paced_lines*>(c);
    // Mended lines change in length, so lines are counted rather than bytes.
    const auto lines = [](const std::string& s, std::size_t len) {
      return std::count(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(len), '\n');
    };
    if (lines(p->text, p->delivered) != lines(p->written, p->written.size()) ||
        (!p->written.empty() && p->written.back() != '\n'))
      ++p->behind;
    n = std::min({n, std::size_t{333}, p->text.size() - p->delivered});
    std::memcpy(buf, p->text.data() + p->delivered, n);
    p->delivered += n;
    return static_cast<ssize_t>(n);
  };
  unsigned char buf[1 << 16];
  output_stream out = output_on(-1, buf, sizeof buf - output_slack);
  out.cookie = &pipe;
  out.write_fn = [](void* c, const void* bytes, std::size_t n) -> ssize_t {
    static_cast<paced_lines*>(c)->written.append(static_cast<const char*>(bytes), n);
    return static_cast<ssize_t>(n);
  };
  reset_settings();
  input_page = page_named("utf-8");
  output_page = page_named("utf-8");
  repair_counts counts;
  ASSERT_EQ(repair_file(in, out, true, counts), 0);
  EXPECT_TRUE(out_flush(out));
  EXPECT_EQ(counts.lines, 20u);
  EXPECT_EQ(pipe.behind, 0);
  EXPECT_EQ(std::count(pipe.written.begin(), pipe.written.end(), '\n'),
            std::count(pipe.text.begin(), pipe.text.end(), '\n'));
}

}  // namespace
