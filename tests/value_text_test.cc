#include "value_text.h"

#include <gtest/gtest.h>

#include <string_view>

#include "test_util.h"

namespace tagrun::testing {
namespace {

TEST(ParseValueTest, ConvertsByTheRule) {
  for (const ValueText& c : value_texts()) {
    EXPECT_EQ(parse_value(c.text), c.value) << c.name << ": text \"" << c.text << "\"";
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
}  // namespace tagrun::testing
