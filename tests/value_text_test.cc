#include "value_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

namespace tagrun {
namespace {

struct Conversion {
  std::string_view text;
  std::int32_t value;
};

TEST(ParseValueTest, ConvertsByTheRule) {
  const Conversion cases[] = {
      {"0", 0},
      {"12", 12},
      {"-5", -5},
      {"+7", 7},
      {"12abc", 12},
      {"abc", 0},
      {"0x10", 0},
      {"", 0},
      {"+", 0},
      {"-", 0},
      {"+-5", 0},
      {"--5", 0},
      {"- 5", 0},
      {"+ 5", 0},
      {" \t\n\v\f\r42", 42},
      {"42 ", 42},
      {"4 2", 4},
      {"2147483647", 2147483647},
      {"2147483648", INT32_MIN},
      {"-2147483648", INT32_MIN},
      {"4294967295", -1},
      {"4294967296", 0},
      {"4294967297", 1},
      {"-4294967297", -1},
      {"00000000000000000000123", 123},
      // 10^20 mod 2^32 = 1661992960: every digit wraps, nothing is clamped.
      {"100000000000000000000", 1661992960},
      {"\xa0"
       "5",
       0},  // no byte of 0x80 or above is white space
      {"5\xa0", 5},
      {"-0", 0},
      {"+0", 0},
  };
  for (const Conversion& c : cases) {
    EXPECT_EQ(parse_value(c.text), c.value) << "text \"" << c.text << "\"";
  }
}

TEST(ParseValueTest, StopsAtAnEmbeddedNul) {
  // Arguments arrive as C strings; the view holds only what precedes the NUL.
  EXPECT_EQ(parse_value(std::string_view("12\0"
                                         "34",
                                         5)),
            12);
}

}  // namespace
}  // namespace tagrun
