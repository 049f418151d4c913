// Hostile value texts on the built executable's command line, in the first
// value's place and in the new first value's place. The target file makes
// the converted value visible: in the first place a run that must begin
// exactly there, in the second a rewrite that prints and stores it, or find
// mode when it converts to 0.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_util.h"

namespace tagrun::testing {
namespace {

std::int32_t plus(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

struct TextCase {
  const char* name;
  std::string text;
  std::int32_t value;  // what the text converts to
};

std::vector<TextCase> text_cases() {
  return {
      {"an empty text", "", 0},
      {"a plus sign alone", "+", 0},
      {"a minus sign alone", "-", 0},
      {"two signs", "+-5", 0},
      {"two minus signs", "--5", 0},
      {"minus then plus", "-+5", 0},
      {"a sign and a blank", "- 5", 0},
      {"a plus sign and a tab", "+\t5", 0},
      {"a blank alone", " ", 0},
      {"a plus sign", "+7", 7},
      {"a minus sign", "-7", -7},
      {"minus zero", "-0", 0},
      {"leading zeros", "000000000000000000000000000042", 42},
      {"2^31 - 1", "2147483647", 2147483647},
      {"2^31 wraps to the least value", "2147483648", INT32_MIN},
      {"-2^31", "-2147483648", INT32_MIN},
      {"-2^31 - 1 wraps to the greatest value", "-2147483649", INT32_MAX},
      {"2^32 - 1", "4294967295", -1},
      {"2^32 spelled out", "4294967296", 0},
      {"2^32 + 1", "4294967297", 1},
      {"minus 2^32", "-4294967296", 0},
      {"2^64 + 7", "18446744073709551623", 7},
      {"thirty digits", "123456789012345678901234567890", 1312754386},
      {"a hundred nines", std::string(100, '9'), -1},
      {"minus a hundred nines", "-" + std::string(100, '9'), 1},
      {"twenty thousand ones", std::string(20000, '1'), -954437177},
      {"a tab", "\t5", 5},
      {"a line feed", "\n5", 5},
      {"a vertical tab", "\v5", 5},
      {"a form feed", "\f5", 5},
      {"a carriage return", "\r5", 5},
      {"a blank", " 5", 5},
      {"all six kinds of white space, then a sign", "\t\n\v\f\r -5", -5},
      {"white space after the digits", "5 \t\n", 5},
      {"a byte 0x1C is not white space",
       "\x1c"
       "5",
       0},
      {"a byte 0x80", "\x80", 0},
      {"a byte 0x80 before digits",
       "\x80"
       "5",
       0},
      {"a byte 0xFF after digits", "5\xff", 5},
      {"a no-break space in UTF-8",
       "\xc2\xa0"
       "5",
       0},
      {"a full-width digit", "\xef\xbc\x95", 0},
      {"digits after a full-width digit",
       "4\xef\xbc\x95"
       "5",
       4},
      {"hexadecimal", "0x10", 0},
      {"an exponent", "1e3", 1},
      {"a fraction", "5.9", 5},
      {"a trailing word", "12abc", 12},
  };
}

class HostileInputTest : public ::testing::Test {
 protected:
  void SetUp() override { target_ = dir_.file("target.bin"); }

  TempDir dir_;
  std::string target_;
};

// In the first value's place: the file holds the value and the last of its
// run, each between tagged values just outside the run, so the output
// shows exactly where the run begins.
TEST_F(HostileInputTest, FirstValue) {
  for (const TextCase& c : text_cases()) {
    SCOPED_TRACE(c.name);
    const std::int32_t v = c.value;
    const Bytes file =
        concat({tagged(plus(v, -1)), tagged(v), tagged(plus(v, 176)), tagged(plus(v, 177))});
    write_file(target_, file);
    const CommandResult result = run_tagrun({target_, c.text});
    EXPECT_EQ(result.out, "found " + std::to_string(v) + " at location 6 \nfound " +
                              std::to_string(plus(v, 176)) + " at location 11 \n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(read_file(target_), file);
  }
}

// In the new first value's place: a rewrite of 100 and 101 to the value and
// the next one, or find mode when the value is 0.
TEST_F(HostileInputTest, NewFirstValue) {
  const Bytes file = concat({tagged(100), tagged(101)});
  for (const TextCase& c : text_cases()) {
    SCOPED_TRACE(c.name);
    write_file(target_, file);
    const CommandResult result = run_tagrun({target_, "100", c.text});
    const std::int32_t v = c.value;
    if (v == 0) {
      EXPECT_EQ(result.out, "found 100 at location 1 \nfound 101 at location 6 \n");
      EXPECT_EQ(read_file(target_), file);
    } else {
      EXPECT_EQ(result.out,
                "to: " + std::to_string(v) + " \nto: " + std::to_string(plus(v, 1)) + " \n");
      EXPECT_EQ(read_file(target_), concat({tagged(v), tagged(plus(v, 1))}));
    }
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
  }
}

// Arguments past the third are never read, whatever they hold.
TEST_F(HostileInputTest, ExtraArgumentsInRewriteMode) {
  write_file(target_, concat({tagged(100), tagged(101)}));
  const CommandResult result =
      run_tagrun({target_, "100", "-3", "", "\xff", "--", std::string(5000, '7')});
  EXPECT_EQ(result.out, "to: -3 \nto: -2 \n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(read_file(target_), concat({tagged(-3), tagged(-2)}));
}

}  // namespace
}  // namespace tagrun::testing
