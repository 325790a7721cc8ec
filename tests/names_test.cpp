#include "cli/names.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Names, ControlsAndBackslashesEscapedTheRestAsItIs) {
  const std::string many(300, 'x');  // longer than the copy kept inline
  const struct {
    std::string name, shown;
  } cases[] = {
      {"book.txt", "book.txt"},
      {"книга ё.txt", "книга ё.txt"},
      {"a\nb\tc\rd\b\v\f", "a\\nb\\tc\\rd\\b\\v\\f"},
      {"\x1b]0;title\a\x1b[2J", "\\033]0;title\\a\\033[2J"},
      {"\x01\x1f\x7f", "\\001\\037\\177"},
      {"back\\slash", "back\\\\slash"},
      {"\xc2\x9b"
       "2J",
       "\\302\\2332J"},
      {"\xc2\x80\xc2\x9f", "\\302\\200\\302\\237"},
      {"\xc2\xa0\xc2\x7f\xc2", "\xc2\xa0\xc2\\177\xc2"},  // no C1 control: the bytes stay
      {"\xff\xfe bytes", "\xff\xfe bytes"},
      {many + "\n", many + "\\n"},
  };
  for (const auto& c : cases) {
    const shown_name shown(c.name.c_str());
    EXPECT_EQ(std::string(shown.c_str(), shown.size()), c.shown) << c.shown;
    EXPECT_EQ(std::string(shown.c_str()), c.shown) << c.shown;
  }
}

}  // namespace
