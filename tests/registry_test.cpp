#include "codepages/registry.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <bit>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/settings.h"
#include "tests/support.h"

namespace {

const char* const lower = "абвгдеёжзийклмнопрстуфхцчшщъыьэюя";
const char* const upper = "АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ";

// The canonical letter at position k, in UTF-8 (every Russian letter takes two bytes).
std::string letter(int k) {
  const char* row = k < 33 ? lower : upper;
  return std::string(row + 2 * (k % 33), 2);
}

char32_t decode_one(const char* page, unsigned char byte) {
  const std::string u = recode(std::string(1, static_cast<char>(byte)), page, "UTF-32LE");
  if (u.size() != 4) return 0;
  char32_t c;
  std::memcpy(&c, u.data(), 4);
  return c;
}

TEST(Registry, EveryLetterByteDecodesToItsLetter) {
  int pages = 0;
  for (const code_page* p = code_pages; p->name != nullptr; ++p) {
    if (p->letters == nullptr) {  // never scored
      EXPECT_EQ(p->letter_count, 0) << p->name;
      continue;
    }
    ++pages;
    ASSERT_EQ(p->letter_count, letter_positions) << p->name;
    for (int k = 0; k < letter_positions; ++k) {
      const unsigned char b = p->letters[k];
      if (std::strcmp(p->name, "utf-8") == 0) {
        EXPECT_EQ(static_cast<unsigned char>(letter(k)[1]), b) << "utf-8 position " << k;
      } else {
        EXPECT_EQ(recode(std::string(1, static_cast<char>(b)), p->name, "utf-8"), letter(k))
            << p->name << " position " << k;
      }
    }
  }
  EXPECT_EQ(pages, 6);
}

TEST(Registry, BoxDrawingRowsHoldBoxDrawingCharacters) {
  for (const code_page* p = code_pages; p->name != nullptr; ++p) {
    if (p->boxdraw_count == 0) {
      EXPECT_EQ(p->boxdraw, nullptr) << p->name;
      continue;
    }
    ASSERT_EQ(p->boxdraw_count, boxdraw_positions) << p->name;
    for (int i = 0; i < p->boxdraw_count; ++i) {
      const char32_t c = decode_one(p->name, p->boxdraw[i]);
      EXPECT_TRUE((c >= 0x2500 && c <= 0x25A0) || c == 0x2219)
          << p->name << " position " << i << " decodes to U+" << std::hex << int(c);
    }
  }
  EXPECT_EQ(std::strlen(boxdraw_ascii), std::size_t{boxdraw_positions});
}

TEST(Registry, WeightsAreTheReferenceValues) {
  // Written out independently of the table, as the shortest decimals of the floats.
  const char* const expected[letter_positions] = {
      "0.02911861", "0.00530614", "0.01529035", "0.00398345", "0.0111889",  "0.03256691",
      "0.00017816", "0.00325609", "0.00691263", "0.02753051", "0.00546225", "0.0114045",
      "0.01529603", "0.01238457", "0.02199038", "0.03914828", "0.01230602", "0.01882221",
      "0.02013654", "0.02705218", "0.00879488", "0.0019471",  "0.00301776", "0.00160615",
      "0.00468407", "0.00157038", "0.0015774",  "9.125e-05",  "0.00802607", "0.00712522",
      "0.00116392", "0.00280951", "0.00752902", "9.727e-05",  "9.627e-05",  "0.00076313",
      "0.00012368", "0.00036435", "0.00037505", "1e-06",      "2.01e-06",   "0.00025037",
      "0.00028012", "6.02e-06",   "0.00039677", "4.446e-05",  "0.00014741", "0.0004312",
      "0.00040413", "0.00083867", "0.00023833", "0.00041081", "0.00021995", "0.00017516",
      "8.323e-05",  "4.011e-05",  "1.17e-05",   "6.685e-05",  "3.276e-05",  "2.34e-06",
      "0",          "8.02e-06",   "4.68e-06",   "0.00031922", "6.69e-06",   "1.972e-05"};
  double low = 0, up = 0;
  for (int k = 0; k < letter_positions; ++k) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(letter_weights[k]),
              std::bit_cast<std::uint32_t>(std::strtof(expected[k], nullptr)))
        << "position " << k;
    (k < 33 ? low : up) += letter_weights[k];
  }
  EXPECT_NEAR(low, 0.369, 0.001);
  EXPECT_NEAR(up, 0.006, 0.001);
}

TEST(Registry, OrderAndDefaultPage) {
  const char* const names[] = {"cp866",        "cp1251", "koi8-r",   "iso-8859-5",
                               "mac-cyrillic", "utf-8",  "utf-16le", "utf-16be"};
  for (int i = 0; i < 8; ++i) {
    EXPECT_STREQ(code_pages[i].name, names[i]);
    EXPECT_EQ(is_output_page(&code_pages[i]), i < 6) << names[i];
  }
  EXPECT_EQ(code_pages[8].name, nullptr);
  EXPECT_STREQ(code_pages[default_output_index].name, "koi8-r");
}

TEST(Registry, LookupIgnoresLetterCase) {
  reset_settings();
  for (code_page* p = code_pages; p->name != nullptr; ++p) {
    std::string upper_name = p->name;
    for (char& c : upper_name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& name : {std::string(p->name), upper_name}) {
      testing::internal::CaptureStderr();
      EXPECT_EQ(find_code_page(name.c_str()), p) << name;
      EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << name;
    }
  }
}

TEST(Registry, FailedLookupSaysNothing) {
  // What was wrong is the command line's to say, once.
  for (const char* bad : {"KOI8-U", "koi8", "", "utf-8 ", "%s%n"}) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(find_code_page(bad), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << bad;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << bad;
  }
}

}  // namespace
