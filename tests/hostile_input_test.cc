// Hostile value texts (those of test_util's table marked end_to_end) on
// the built executable's command line, in the first
// value's place and in the new first value's place. The target file makes
// the converted value visible: in the first place a run that must begin
// exactly there, in the second a rewrite that prints and stores it, or find
// mode when it converts to 0.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tagged_value.h"
#include "test_util.h"

namespace tagrun::testing {
namespace {

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
  for (const ValueText& c : value_texts()) {
    if (!c.end_to_end) continue;
    SCOPED_TRACE(c.name);
    const std::int32_t v = c.value;
    const Bytes file = concat({tagged(run_value(v, -1)), tagged(v), tagged(run_value(v, 176)),
                               tagged(run_value(v, 177))});
    write_file(target_, file);
    const CommandResult result = run_tagrun({target_, c.text});
    EXPECT_EQ(result.out, "found " + std::to_string(v) + " at location 6 \nfound " +
                              std::to_string(run_value(v, 176)) + " at location 11 \n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(read_file(target_), file);
  }
}

// In the new first value's place: a rewrite of 100 and 101 to the value and
// the next one, or find mode when the value is 0.
TEST_F(HostileInputTest, NewFirstValue) {
  const Bytes file = concat({tagged(100), tagged(101)});
  for (const ValueText& c : value_texts()) {
    if (!c.end_to_end) continue;
    SCOPED_TRACE(c.name);
    write_file(target_, file);
    const CommandResult result = run_tagrun({target_, "100", c.text});
    const std::int32_t v = c.value;
    if (v == 0) {
      EXPECT_EQ(result.out, "found 100 at location 1 \nfound 101 at location 6 \n");
      EXPECT_EQ(read_file(target_), file);
    } else {
      EXPECT_EQ(result.out,
                "to: " + std::to_string(v) + " \nto: " + std::to_string(run_value(v, 1)) + " \n");
      EXPECT_EQ(read_file(target_), concat({tagged(v), tagged(run_value(v, 1))}));
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
