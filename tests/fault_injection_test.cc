// The built executable under faults it cannot provoke itself: failed,
// interrupted and delayed system calls on the target file, injected with
// strace, a file truncated by another process in the middle of a rewrite,
// the process killed at any point, and a report that cannot be delivered.
//
// Whatever happens, a run never reports a failure as success, and the file
// afterwards holds exactly the fields named by the "to:" lines printed,
// rewritten, and every other byte as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

extern char** environ;

namespace tagrun::testing {
namespace {

constexpr const char* kStrace = "/usr/bin/strace";
// The tool's block size: the file's layout is drawn on its blocks.
constexpr auto kBlock = static_cast<std::int64_t>(ScanLimits{}.block_size);
constexpr const char* kReadEio = "error reading target file: Input/output error\n";
constexpr const char* kWriteEio = "error writing target file: Input/output error\n";
constexpr const char* kWriteEnospc = "error writing target file: No space left on device\n";
constexpr const char* kChanged = "target file changed during the run\n";

// Tag offsets of the run values 100, 101, ... in the target file: in the
// first block, in the second, straddling the end of the second, in the
// third, and last in the file. The file is three blocks and a bit, so a
// scan makes four reads and a rewrite five more to check its fields.
constexpr std::int64_t kFileSize = 3 * kBlock + 100;
constexpr std::int64_t kFields[] = {10, kBlock + 7, 2 * kBlock - 2, 2 * kBlock + 500,
                                    kFileSize - 5};
constexpr int kFieldCount = static_cast<int>(std::size(kFields));

std::string found_lines() {
  std::string out;
  for (int i = 0; i < kFieldCount; ++i) {
    out += "found " + std::to_string(100 + i) + " at location " + std::to_string(kFields[i] + 1) +
           " \n";
  }
  return out;
}

// The "to:" lines of the first count fields of a rewrite 100 -> 200.
std::string to_lines(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    out += "to: " + std::to_string(200 + i) + " \n";
  }
  return out;
}

bool strace_can_trace() {
  if (::access(kStrace, X_OK) != 0) {
    return false;
  }
  const CommandResult probe = run_command({kStrace, "-f", "-o", "/dev/null", "/bin/true"});
  return probe.exit_status == 0;
}

class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!strace_can_trace()) {
      GTEST_SKIP() << "strace is missing or cannot trace here";
    }
    target_ = dir_.file("target.bin");
    original_ = with_fields_rewritten(0);
    write_file(target_, original_);
  }

  // The target file after the first count fields of a rewrite 100 -> 200.
  static Bytes with_fields_rewritten(int count) {
    Bytes bytes(static_cast<std::size_t>(kFileSize), 0x06);  // dense in tags, none a candidate
    for (int i = 0; i < kFieldCount; ++i) {
      const Bytes field = tagged(i < count ? 200 + i : 100 + i);
      std::copy(field.begin(), field.end(), bytes.begin() + kFields[i]);
    }
    return bytes;
  }

  // strace -f on the target file's descriptor only, with the given -e
  // options, around tagrun args. In a sanitizer build the leak check
  // cannot run under ptrace and would fail every run: it is turned off.
  std::vector<std::string> traced(const std::vector<std::string>& options,
                                  const std::vector<std::string>& args,
                                  const std::string& log = "/dev/null") const {
    std::vector<std::string> argv{kStrace, "-f",
                                  "-o",    log,
                                  "-P",    target_,
                                  "-E",    "ASAN_OPTIONS=detect_leaks=0",
                                  "-e",    "trace=pread64,pwrite64,fdatasync,close"};
    for (const std::string& option : options) {
      argv.push_back("-e");
      argv.push_back(option);
    }
    for (const std::string& word : tagrun_command(args)) {
      argv.push_back(word);
    }
    return argv;
  }

  TempDir dir_;
  std::string target_;
  Bytes original_;
};

struct FaultCase {
  const char* name;
  bool rewrite;
  std::vector<std::string> inject;  // -e options
  std::string out;
  int exit_status;
  int fields_written;
};

TEST_F(FaultInjectionTest, FailedAndInterruptedCalls) {
  const std::string found = found_lines();
  const std::string all = to_lines(kFieldCount);
  // pread64 calls 1 to 4 scan the file; in rewrite mode calls 5 to 9 check
  // the fields, each just before its write.
  const FaultCase cases[] = {
      {"find: first read fails", false, {"inject=pread64:error=EIO:when=1"}, kReadEio, 1, 0},
      {"find: third read fails", false, {"inject=pread64:error=EIO:when=3"}, kReadEio, 1, 0},
      {"find: last read fails", false, {"inject=pread64:error=EIO:when=4"}, kReadEio, 1, 0},
      {"rewrite: first read fails", true, {"inject=pread64:error=EIO:when=1"}, kReadEio, 1, 0},
      {"rewrite: third read fails", true, {"inject=pread64:error=EIO:when=3"}, kReadEio, 1, 0},
      {"rewrite: the first check read fails",
       true,
       {"inject=pread64:error=EIO:when=5"},
       kReadEio,
       1,
       0},
      {"rewrite: the third check read fails",
       true,
       {"inject=pread64:error=EIO:when=7"},
       to_lines(2) + kReadEio,
       1,
       2},
      {"first write fails with EIO", true, {"inject=pwrite64:error=EIO:when=1"}, kWriteEio, 1, 0},
      {"first write fails with ENOSPC",
       true,
       {"inject=pwrite64:error=ENOSPC:when=1"},
       kWriteEnospc,
       1,
       0},
      {"third write fails with EIO",
       true,
       {"inject=pwrite64:error=EIO:when=3"},
       to_lines(2) + kWriteEio,
       1,
       2},
      {"third write fails with ENOSPC",
       true,
       {"inject=pwrite64:error=ENOSPC:when=3"},
       to_lines(2) + kWriteEnospc,
       1,
       2},
      {"last write fails",
       true,
       {"inject=pwrite64:error=EIO:when=5"},
       to_lines(4) + kWriteEio,
       1,
       4},
      // The writes were made, but the sync or the close says they may not
      // have reached the disk: the run must not succeed.
      {"sync fails with EIO", true, {"inject=fdatasync:error=EIO"}, all + kWriteEio, 1, 5},
      {"sync fails with ENOSPC", true, {"inject=fdatasync:error=ENOSPC"}, all + kWriteEnospc, 1, 5},
      {"rewrite: close fails", true, {"inject=close:error=EIO"}, all + kWriteEio, 1, 5},
      {"find: close fails", false, {"inject=close:error=EIO"}, found + kReadEio, 1, 0},
      // Every other call fails with EINTR: each read and write is retried.
      {"find: reads interrupted", false, {"inject=pread64:error=EINTR:when=1+2"}, found, 0, 0},
      {"rewrite: reads interrupted", true, {"inject=pread64:error=EINTR:when=1+2"}, all, 0, 5},
      {"rewrite: writes interrupted", true, {"inject=pwrite64:error=EINTR:when=1+2"}, all, 0, 5},
      {"rewrite: sync interrupted", true, {"inject=fdatasync:error=EINTR:when=1"}, all, 0, 5},
      {"rewrite: everything interrupted",
       true,
       {"inject=pread64,pwrite64,fdatasync:error=EINTR:when=1+2"},
       all,
       0,
       5},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(target_, original_);
    std::vector<std::string> args{target_, "100"};
    if (c.rewrite) args.push_back("200");
    const CommandResult result = run_command(traced(c.inject, args));
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, c.exit_status);
    EXPECT_EQ(read_file(target_), with_fields_rewritten(c.fields_written));
  }
}

// The process killed at each point of a rewrite: while it scans the file
// nothing has been written; once it writes, the fields written so far are
// the only change. The kill comes as the call is entered, before it runs.
TEST_F(FaultInjectionTest, KilledAtAnyPoint) {
  struct KillCase {
    const char* inject;
    int fields_written;
  };
  const KillCase cases[] = {
      {"inject=pread64:signal=SIGKILL:when=1", 0},
      {"inject=pread64:signal=SIGKILL:when=2", 0},
      {"inject=pread64:signal=SIGKILL:when=4", 0},
      {"inject=pread64:signal=SIGKILL:when=5", 0},  // the first check
      {"inject=pwrite64:signal=SIGKILL:when=1", 0},
      {"inject=pwrite64:signal=SIGKILL:when=3", 2},
      {"inject=fdatasync:signal=SIGKILL", 5},
  };
  for (const KillCase& c : cases) {
    SCOPED_TRACE(c.inject);
    write_file(target_, original_);
    const CommandResult result = run_command(traced({c.inject}, {target_, "100", "200"}));
    EXPECT_NE(result.exit_status, 0);
    EXPECT_EQ(read_file(target_), with_fields_rewritten(c.fields_written));
  }
}

// A traced run started in the background, which stops itself with SIGSTOP
// just after an injected call, so that the test can change the file while
// the run is held there.
class HeldRun {
 public:
  // argv writes the strace log to log.
  HeldRun(std::vector<std::string> argv, const std::string& log, const TempDir& dir)
      : log_(log), out_(dir.file("out")), err_(dir.file("err")) {
    ::unlink(log_.c_str());  // a log left by an earlier run would be read as this one's
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (std::string& word : argv) {
      args.push_back(word.data());
    }
    args.push_back(nullptr);
    spawned_ = ::posix_spawn(&strace_pid_, args[0], &actions, nullptr, args.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  HeldRun(const HeldRun&) = delete;
  HeldRun& operator=(const HeldRun&) = delete;
  ~HeldRun() {
    if (spawned_ && !finished_) {
      // A held tool stays stopped after its tracer is gone: kill both.
      if (tool_pid_ > 0) ::kill(tool_pid_, SIGKILL);
      ::kill(strace_pid_, SIGKILL);
      ::waitpid(strace_pid_, nullptr, 0);
    }
  }

  // Waits until the run has stopped, and returns the pid of the tool, or
  // -1 if the run ended first.
  pid_t wait_until_held() {
    // A run that is neither held nor ended by then has gone wrong: fail
    // rather than hang the suite.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (spawned_ && std::chrono::steady_clock::now() < deadline) {
      const std::string log = text(log_);
      if (const auto at = log.find("--- stopped by SIGSTOP ---"); at != std::string::npos) {
        tool_pid_ = static_cast<pid_t>(std::atol(log.c_str() + log.rfind('\n', at) + 1));
        return tool_pid_;
      }
      if (::waitpid(strace_pid_, nullptr, WNOHANG) == strace_pid_) {
        finished_ = true;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  // Lets the held tool go on, and waits for the run to end.
  CommandResult resume(pid_t tool) {
    ::kill(tool, SIGCONT);
    int status = 0;
    ::waitpid(strace_pid_, &status, 0);
    finished_ = true;
    CommandResult result;
    result.out = text(out_);
    result.err = text(err_);
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
  }

 private:
  // The file's text so far; empty before it is made.
  static std::string text(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
  }

  std::string log_;
  std::string out_;
  std::string err_;
  pid_t strace_pid_ = -1;
  pid_t tool_pid_ = -1;
  bool spawned_ = false;
  bool finished_ = false;
};

// Another process truncates the file while a rewrite is held: the fields
// that still lie whole inside the file are rewritten, the first that does
// not is reported as a change, and the file is never extended.
TEST_F(FaultInjectionTest, TruncatedDuringRewrite) {
  struct TruncateCase {
    const char* name;
    const char* hold;
    std::int64_t size;
    int fields_written;
  };
  const TruncateCase cases[] = {
      {"after the scan, before any check", "inject=pread64:signal=SIGSTOP:when=4", 0, 0},
      {"after the scan, inside the first field", "inject=pread64:signal=SIGSTOP:when=4", 12, 0},
      {"after the first write, before the second field", "inject=pwrite64:signal=SIGSTOP:when=1",
       kFields[1], 1},
      {"after the first write, inside the second field", "inject=pwrite64:signal=SIGSTOP:when=1",
       kFields[1] + 4, 1},
      {"after the first write, past the third field", "inject=pwrite64:signal=SIGSTOP:when=1",
       kFields[2] + 5, 3},
  };
  for (const TruncateCase& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(target_, original_);
    const std::string log = dir_.file("strace.log");
    HeldRun run(traced({c.hold}, {target_, "100", "200"}, log), log, dir_);
    const pid_t tool = run.wait_until_held();
    ASSERT_GT(tool, 0) << "the run was not held";
    ASSERT_EQ(::truncate(target_.c_str(), c.size), 0);
    const CommandResult result = run.resume(tool);
    EXPECT_EQ(result.out, to_lines(c.fields_written) + kChanged);
    EXPECT_EQ(result.exit_status, 1);
    Bytes expected = with_fields_rewritten(c.fields_written);
    expected.resize(static_cast<std::size_t>(c.size));
    EXPECT_EQ(read_file(target_), expected);
  }
}

// A report longer than the tool's output buffer is written while the
// target file is still open: with standard output closed, the target must
// not take its place, or the report would be written into the file.
TEST(LostOutputTest, LongReportNeverReachesTheFile) {
  const TempDir dir;
  const std::string target = dir.file("target.bin");
  Bytes original;
  for (int i = 0; i < 5000; ++i) {
    const Bytes value = tagged(100);
    original.insert(original.end(), value.begin(), value.end());
  }
  write_file(target, original);
  struct OutputCase {
    const char* stdout_path;
    const char* reason;
  };
  for (const OutputCase& output : {OutputCase{kClosedStdout, "Bad file descriptor"},
                                   OutputCase{"/dev/full", "No space left on device"},
                                   OutputCase{kClosedPipe, "Broken pipe"}}) {
    SCOPED_TRACE(output.stdout_path);
    const CommandResult result = run_tagrun({target, "100"}, output.stdout_path);
    EXPECT_EQ(result.err, std::string("tagrun: write error: ") + output.reason + "\n");
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(read_file(target), original);
  }
}

}  // namespace
}  // namespace tagrun::testing
