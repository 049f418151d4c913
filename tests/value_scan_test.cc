// Find and rewrite runs on small fixtures, each checked at the default
// limits and at limits small enough to split every tagged value across
// blocks and to overflow the candidate list.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "test_util.h"

namespace tagrun::testing {
namespace {

struct Fixture {
  const char* name;
  Bytes file;
  std::vector<std::string> values;
  std::string out;
  Bytes after;  // the file afterwards; empty means unchanged
};

Bytes repeated(std::size_t count, std::uint8_t byte) { return Bytes(count, byte); }

std::vector<Fixture> fixtures() {
  return {
      {"empty file", {}, {"100"}, "", {}},
      {"four bytes hold no tag", {0x06, 100, 0, 0}, {"100"}, "", {}},
      {"tag in the last four bytes is no tag",
       concat({repeated(3, 0), {0x06, 100, 0, 0}}),
       {"100", "300"},
       "",
       {}},
      {"tagged value ending at the end of the file",
       concat({repeated(3, 0), tagged(100)}),
       {"100"},
       "found 100 at location 4 \n",
       {}},
      {"tag at offset 0 is location 1", tagged(100), {"100"}, "found 100 at location 1 \n", {}},
      {"each value once in run order",
       concat({tagged(100), text_bytes("ab"), tagged(101), tagged(102)}),
       {"100"},
       "found 100 at location 1 \nfound 101 at location 8 \nfound 102 at location 13 \n",
       {}},
      {"value twice: both reported, the one between them missed",
       concat({tagged(100), tagged(102), tagged(101), tagged(101), tagged(102)}),
       {"100"},
       "found 100 at location 1 \nfound 101 at location 11 \nfound 101 at location 16 \n"
       "found 102 at location 21 \n",
       {}},
      {"value only before the cursor is not found",
       concat({tagged(101), tagged(100)}),
       {"100"},
       "found 100 at location 6 \n",
       {}},
      {"06 06 x x x x: the second tag is examined",
       concat({{0x06}, tagged(100)}),
       {"100"},
       "found 100 at location 2 \n",
       {}},
      {"06 06 x x x x: the first tag matches",
       {0x06, 0x06, 0, 0, 0, 0},
       {"6"},
       "found 6 at location 1 \n",
       {}},
      {"a match's value bytes are examined in find mode",
       concat({{0x06, 0x06, 0x06, 0x06, 0x06}, {0x06, 0x06, 0x06}}),
       {"101058054"},
       "found 101058054 at location 1 \nfound 101058054 at location 2 \n"
       "found 101058054 at location 3 \nfound 101058054 at location 4 \n",
       {}},
      {"negative values",
       concat({tagged(-1), tagged(0), tagged(1)}),
       {"-1"},
       "found -1 at location 1 \nfound 0 at location 6 \nfound 1 at location 11 \n",
       {}},
      {"run wraps past the largest value",
       concat({tagged(INT_MAX), tagged(INT_MIN)}),
       {"2147483600"},
       "found 2147483647 at location 1 \nfound -2147483648 at location 6 \n",
       {}},
      {"value just outside the run", concat({tagged(99), tagged(277)}), {"100"}, "", {}},
      {"new first value 0 is find mode",
       tagged(100),
       {"100", "0"},
       "found 100 at location 1 \n",
       {}},
      {"new first value -0 is find mode",
       tagged(100),
       {"100", "-0"},
       "found 100 at location 1 \n",
       {}},
      {"new first value abc is find mode",
       tagged(100),
       {"100", "abc"},
       "found 100 at location 1 \n",
       {}},
      {"new first value 2^32 is find mode",
       tagged(100),
       {"100", "4294967296"},
       "found 100 at location 1 \n",
       {}},
      {"arguments after the third are ignored",
       tagged(100),
       {"100", "0", "300"},
       "found 100 at location 1 \n",
       {}},
      {"rewrite: the run overlapping from above never rewrites its own output",
       concat({tagged(100), tagged(101), tagged(102)}),
       {"100", "101"},
       "to: 101 \nto: 102 \nto: 103 \n",
       concat({tagged(101), tagged(102), tagged(103)})},
      {"rewrite: only the first of two occurrences",
       concat({tagged(100), text_bytes("x"), tagged(100)}),
       {"100", "300"},
       "to: 300 \n",
       concat({tagged(300), text_bytes("x"), tagged(100)})},
      {"rewrite: a tag inside a rewritten field is not taken",
       {0x06, 0x00, 0x00, 0x00, 0x06, 0x01, 0x00, 0x00, 0x06},
       {"100663296", "5"},
       "to: 5 \n",
       {0x06, 0x05, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x06}},
      {"rewrite: a match right after a rewritten field is taken",
       concat({tagged(100), tagged(101)}),
       {"100", "200"},
       "to: 200 \nto: 201 \n",
       concat({tagged(200), tagged(201)})},
      {"rewrite: value only before the last rewrite is left alone",
       concat({tagged(101), tagged(100)}),
       {"100", "200"},
       "to: 200 \n",
       concat({tagged(101), tagged(200)})},
      {"rewrite to the same run: lines printed, bytes the same",
       concat({tagged(100), tagged(101)}),
       {"100", "100"},
       "to: 100 \nto: 101 \n",
       {}},
      {"rewrite wraps both runs",
       concat({tagged(INT_MAX), tagged(INT_MIN)}),
       {"2147483647", "-1"},
       "to: -1 \nto: 0 \n",
       concat({tagged(-1), tagged(0)})},
      {"rewrite: nothing found, nothing written", concat({tagged(5)}), {"100", "200"}, "", {}},
  };
}

TEST(ValueScanTest, FixturesAtEveryLimit) {
  const ScanLimits limits[] = {
      {},
      {.block_size = 1, .candidate_cap = 0},
      {.block_size = 3, .candidate_cap = 1},
      {.block_size = 5, .candidate_cap = 2},
      {.block_size = 6, .candidate_cap = 1000},
  };
  for (const Fixture& fixture : fixtures()) {
    for (const ScanLimits& limit : limits) {
      SCOPED_TRACE(std::string(fixture.name) + ", block " + std::to_string(limit.block_size) +
                   ", cap " + std::to_string(limit.candidate_cap));
      const InProcessRun run = run_in_process(fixture.file, fixture.values, limit);
      EXPECT_EQ(run.out, fixture.out);
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(run.exit_status, 0);
      EXPECT_EQ(run.bytes, fixture.after.empty() ? fixture.file : fixture.after);
    }
  }
}

}  // namespace
}  // namespace tagrun::testing
