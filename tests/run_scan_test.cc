// The run's rules on small fixtures, through execute_run, each checked at
// the default limits and at limits small enough to split every tagged
// value across blocks and to overflow the candidate list.
#include "run_scan.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "file_access.h"
#include "test_util.h"

namespace tagrun::testing {
namespace {

struct Fixture {
  const char* name;
  Bytes file;
  std::int32_t first;
  std::int32_t new_first;  // 0: find mode
  std::string out;
  Bytes after;  // the file afterwards; empty means unchanged
};

Bytes repeated(std::size_t count, std::uint8_t byte) { return Bytes(count, byte); }

std::vector<Fixture> fixtures() {
  return {
      {"empty file", {}, 100, 0, "", {}},
      {"four bytes hold no tag", {0x06, 100, 0, 0}, 100, 0, "", {}},
      {"tag in the last four bytes is no tag",
       concat({repeated(3, 0), {0x06, 100, 0, 0}}),
       100,
       300,
       "",
       {}},
      {"tagged value ending at the end of the file",
       concat({repeated(3, 0), tagged(100)}),
       100,
       0,
       "found 100 at location 4 \n",
       {}},
      {"tag at offset 0 is location 1", tagged(100), 100, 0, "found 100 at location 1 \n", {}},
      {"each value once in run order",
       concat({tagged(100), text_bytes("ab"), tagged(101), tagged(102)}),
       100,
       0,
       "found 100 at location 1 \nfound 101 at location 8 \nfound 102 at location 13 \n",
       {}},
      {"value twice: both reported, the one between them missed",
       concat({tagged(100), tagged(102), tagged(101), tagged(101), tagged(102)}),
       100,
       0,
       "found 100 at location 1 \nfound 101 at location 11 \nfound 101 at location 16 \n"
       "found 102 at location 21 \n",
       {}},
      {"value only before the cursor is not found",
       concat({tagged(101), tagged(100)}),
       100,
       0,
       "found 100 at location 6 \n",
       {}},
      {"06 06 x x x x: the second tag is examined",
       concat({{0x06}, tagged(100)}),
       100,
       0,
       "found 100 at location 2 \n",
       {}},
      {"06 06 x x x x: the first tag matches",
       {0x06, 0x06, 0, 0, 0, 0},
       6,
       0,
       "found 6 at location 1 \n",
       {}},
      {"a match's value bytes are examined in find mode",
       concat({{0x06, 0x06, 0x06, 0x06, 0x06}, {0x06, 0x06, 0x06}}),
       101058054,
       0,
       "found 101058054 at location 1 \nfound 101058054 at location 2 \n"
       "found 101058054 at location 3 \nfound 101058054 at location 4 \n",
       {}},
      {"negative values",
       concat({tagged(-1), tagged(0), tagged(1)}),
       -1,
       0,
       "found -1 at location 1 \nfound 0 at location 6 \nfound 1 at location 11 \n",
       {}},
      {"run wraps past the largest value",
       concat({tagged(INT_MAX), tagged(INT_MIN)}),
       2147483600,
       0,
       "found 2147483647 at location 1 \nfound -2147483648 at location 6 \n",
       {}},
      {"value just outside the run", concat({tagged(99), tagged(277)}), 100, 0, "", {}},
      {"rewrite: the run overlapping from above never rewrites its own output",
       concat({tagged(100), tagged(101), tagged(102)}), 100, 101, "to: 101 \nto: 102 \nto: 103 \n",
       concat({tagged(101), tagged(102), tagged(103)})},
      {"rewrite: only the first of two occurrences",
       concat({tagged(100), text_bytes("x"), tagged(100)}), 100, 300, "to: 300 \n",
       concat({tagged(300), text_bytes("x"), tagged(100)})},
      {"rewrite: a tag inside a rewritten field is not taken",
       {0x06, 0x00, 0x00, 0x00, 0x06, 0x01, 0x00, 0x00, 0x06},
       100663296,
       5,
       "to: 5 \n",
       {0x06, 0x05, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x06}},
      {"rewrite: a match right after a rewritten field is taken",
       concat({tagged(100), tagged(101)}), 100, 200, "to: 200 \nto: 201 \n",
       concat({tagged(200), tagged(201)})},
      {"rewrite: value only before the last rewrite is left alone",
       concat({tagged(101), tagged(100)}), 100, 200, "to: 200 \n",
       concat({tagged(101), tagged(200)})},
      {"rewrite to the same run: lines printed, bytes the same",
       concat({tagged(100), tagged(101)}),
       100,
       100,
       "to: 100 \nto: 101 \n",
       {}},
      {"rewrite wraps both runs", concat({tagged(INT_MAX), tagged(INT_MIN)}), 2147483647, -1,
       "to: -1 \nto: 0 \n", concat({tagged(-1), tagged(0)})},
      {"rewrite: nothing found, nothing written", concat({tagged(5)}), 100, 200, "", {}},
  };
}

// One run of first (new_first) on a copy of file, under limits: its status,
// its report and the file afterwards.
struct RunResult {
  Status status;
  std::string out;
  Bytes bytes;
};

RunResult run_on_copy(const Bytes& file, std::int32_t first, std::int32_t new_first,
                      const ScanLimits& limits) {
  const TempDir dir;
  const std::string target_path = dir.file("target.bin");
  const std::string out_path = dir.file("out.txt");
  write_file(target_path, file);
  write_file(out_path, {});
  const FileDescriptor target(::open(target_path.c_str(), O_RDWR | O_CLOEXEC));
  const FileDescriptor out(::open(out_path.c_str(), O_WRONLY | O_CLOEXEC));
  EXPECT_TRUE(target.is_open() && out.is_open());
  SignalBlock hold_signals;
  Report report(out.get());
  const Status status = execute_run(target.get(), static_cast<std::int64_t>(file.size()), first,
                                    new_first, limits, report, hold_signals);
  EXPECT_EQ(report.flush(), 0);
  const Bytes printed = read_file(out_path);
  return {status, std::string(printed.begin(), printed.end()), read_file(target_path)};
}

TEST(RunScanTest, FixturesAtEveryLimit) {
  for (const Fixture& fixture : fixtures()) {
    for (const ScanLimits& limit : fixture_limits()) {
      SCOPED_TRACE(std::string(fixture.name) + ", block " + std::to_string(limit.block_size) +
                   ", cap " + std::to_string(limit.candidate_cap));
      const RunResult run = run_on_copy(fixture.file, fixture.first, fixture.new_first, limit);
      EXPECT_EQ(run.out, fixture.out);
      EXPECT_EQ(run.status.message(), "");
      EXPECT_TRUE(run.status.is_ok());
      EXPECT_EQ(run.bytes, fixture.after.empty() ? fixture.file : fixture.after);
    }
  }
}

}  // namespace
}  // namespace tagrun::testing
