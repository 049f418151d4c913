// The built executable under faults it cannot provoke itself: failed,
// interrupted and delayed system calls on the target file, injected with
// strace, a file truncated or overwritten by another process in the middle
// of a rewrite, the process killed or signalled at any point, a file size
// or memory limit, and a report that cannot be delivered or would land in
// the target.
//
// Whatever happens, a run never reports a failure as success, and the file
// afterwards holds exactly the fields named by the "to:" lines printed,
// rewritten, and every other byte as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "file_access.h"
#include "tagged_value.h"
#include "test_util.h"

extern char** environ;

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAGRUN_TEST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TAGRUN_TEST_SANITIZED 1
#endif

namespace tagrun::testing {
namespace {

constexpr const char* kStrace = "/usr/bin/strace";
#ifdef TAGRUN_TEST_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
// The tool's block size: the file's layout is drawn on its blocks.
constexpr auto kBlock = static_cast<std::int64_t>(ScanLimits{}.block_size);
constexpr const char* kReadEio = "error reading target file: Input/output error\n";
constexpr const char* kWriteEio = "error writing target file: Input/output error\n";
constexpr const char* kWriteEnospc = "error writing target file: No space left on device\n";
constexpr const char* kWriteEfbig = "error writing target file: File too large\n";
constexpr const char* kChanged = "target file changed during the run\n";

// Tag offsets of the run values 100, 101, ... in the target file: in the
// first block, in the second, straddling the end of the second, in the
// third, and last in the file. The file is three blocks and a bit, so a
// scan makes four reads and a rewrite five more to check its fields.
constexpr std::int64_t kFileSize = 3 * kBlock + 100;
constexpr std::int64_t kFields[] = {10, kBlock + 7, 2 * kBlock - 2, 2 * kBlock + 500,
                                    kFileSize - 5};
constexpr int kFieldCount = static_cast<int>(std::size(kFields));

// The calls a rewrite 100 -> 200 of that file makes on it, numbered as
// strace counts them (when=N): pread64 calls 1 to 4 scan its blocks, then
// for each field one pread64 checks it and one pwrite64 writes it; one
// fdatasync follows the last write.
constexpr int kScanReads = 4;
// The pread64 call that makes read n (1 to kScanReads) of the scan.
constexpr int scan_read(int n) { return n; }
// The pread64 call that checks field i (from 0), just before its write.
constexpr int check_read(int field) { return kScanReads + 1 + field; }
// The pwrite64 call that writes field i (from 0).
constexpr int field_write(int field) { return field + 1; }
// The one fdatasync call.
constexpr int kSync = 1;

// "inject=CALL:ACTION:when=N" for strace -e.
std::string inject(const std::string& call, const std::string& action, int when) {
  return "inject=" + call + ":" + action + ":when=" + std::to_string(when);
}

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

  // Rewrites 100 -> 200 on a fresh copy of the original file, held where
  // the strace injection |hold| stops the tool: calls |while_held| with the
  // held tool's process ID, then lets the run go on. Returns the run's
  // result, or nothing when the run was never held.
  std::optional<CommandResult> rewrite_held(const std::string& hold,
                                            const std::function<void(pid_t)>& while_held);

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
  const FaultCase cases[] = {
      {"find: first read fails",
       false,
       {inject("pread64", "error=EIO", scan_read(1))},
       kReadEio,
       1,
       0},
      {"find: third read fails",
       false,
       {inject("pread64", "error=EIO", scan_read(3))},
       kReadEio,
       1,
       0},
      {"find: last read fails",
       false,
       {inject("pread64", "error=EIO", scan_read(kScanReads))},
       kReadEio,
       1,
       0},
      {"rewrite: first read fails",
       true,
       {inject("pread64", "error=EIO", scan_read(1))},
       kReadEio,
       1,
       0},
      {"rewrite: third read fails",
       true,
       {inject("pread64", "error=EIO", scan_read(3))},
       kReadEio,
       1,
       0},
      {"rewrite: the first check read fails",
       true,
       {inject("pread64", "error=EIO", check_read(0))},
       kReadEio,
       1,
       0},
      {"rewrite: the third check read fails",
       true,
       {inject("pread64", "error=EIO", check_read(2))},
       to_lines(2) + kReadEio,
       1,
       2},
      {"first write fails with EIO",
       true,
       {inject("pwrite64", "error=EIO", field_write(0))},
       kWriteEio,
       1,
       0},
      {"first write fails with ENOSPC",
       true,
       {inject("pwrite64", "error=ENOSPC", field_write(0))},
       kWriteEnospc,
       1,
       0},
      {"third write fails with EIO",
       true,
       {inject("pwrite64", "error=EIO", field_write(2))},
       to_lines(2) + kWriteEio,
       1,
       2},
      {"third write fails with ENOSPC",
       true,
       {inject("pwrite64", "error=ENOSPC", field_write(2))},
       to_lines(2) + kWriteEnospc,
       1,
       2},
      {"last write fails",
       true,
       {inject("pwrite64", "error=EIO", field_write(kFieldCount - 1))},
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
      {"rewrite: sync interrupted", true, {inject("fdatasync", "error=EINTR", kSync)}, all, 0, 5},
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

// The process killed or signalled at each point of a rewrite. While it
// scans and checks, before its first write, any of these signals ends it at
// once with the file as it was. From its first write on, SIGKILL ends it
// with the lines printed naming exactly the fields written (the kill comes
// as the call is entered, before it runs); SIGINT and SIGTERM are held back
// until the whole run is written, synced and reported, and then end it.
TEST_F(FaultInjectionTest, KilledOrSignalledAtAnyPoint) {
  struct Stage {
    const char* name;
    const char* call;
    int when;
    int fields_before;  // fields written before the call
  };
  const Stage stages[] = {
      {"the first scan read", "pread64", scan_read(1), 0},
      {"the second scan read", "pread64", scan_read(2), 0},
      {"the last scan read", "pread64", scan_read(kScanReads), 0},
      {"the first check, before any write", "pread64", check_read(0), 0},
      {"the first write", "pwrite64", field_write(0), 0},
      {"a middle write", "pwrite64", field_write(2), 2},
      {"the last write", "pwrite64", field_write(kFieldCount - 1), kFieldCount - 1},
      {"the sync", "fdatasync", kSync, kFieldCount},
  };
  struct Signal {
    const char* name;
    int number;
  };
  for (const Signal signal :
       {Signal{"SIGKILL", SIGKILL}, Signal{"SIGINT", SIGINT}, Signal{"SIGTERM", SIGTERM}}) {
    for (const Stage& stage : stages) {
      SCOPED_TRACE(std::string(signal.name) + " at " + stage.name);
      write_file(target_, original_);
      const CommandResult result =
          run_command(traced({inject(stage.call, std::string("signal=") + signal.name, stage.when)},
                             {target_, "100", "200"}));
      // strace ends by the signal that ended the tool, as a shell would see it.
      EXPECT_EQ(result.signal, signal.number);
      EXPECT_EQ(result.err, "");
      const bool writing = stage.call != std::string("pread64");
      const int fields = signal.number == SIGKILL || !writing ? stage.fields_before : kFieldCount;
      EXPECT_EQ(result.out, to_lines(fields));
      EXPECT_EQ(read_file(target_), with_fields_rewritten(fields));
    }
  }
}

// A traced run started in the background, which stops itself with SIGSTOP
// just after an injected call, so that the test can change the file while
// the run is held there. Its standard output and error are pipes, read once
// it has ended: a held run prints far less than a pipe holds, and a pipe,
// unlike a file, is not bound by a file size limit set on the run.
class HeldRun {
 public:
  // argv writes the strace log to log.
  HeldRun(std::vector<std::string> argv, const std::string& log) : log_(log) {
    ::unlink(log_.c_str());  // a log left by an earlier run would be read as this one's
    std::array<int, 2> out{-1, -1};
    std::array<int, 2> err{-1, -1};
    if (::pipe2(out.data(), O_CLOEXEC) != 0 || ::pipe2(err.data(), O_CLOEXEC) != 0) {
      return;
    }
    out_ = FileDescriptor(out[0]);
    err_ = FileDescriptor(err[0]);
    const FileDescriptor out_end(out[1]);
    const FileDescriptor err_end(err[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_end.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_end.get(), STDERR_FILENO);
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
    result.out = drain(out_);
    result.err = drain(err_);
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
  }

 private:
  // The file's text so far; empty before it is made.
  static std::string text(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
  }

  // Everything left in a pipe whose writers are gone.
  static std::string drain(const FileDescriptor& pipe) {
    std::string all;
    std::array<char, 4096> buffer;
    for (;;) {
      const ssize_t n = ::read(pipe.get(), buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return all;
      all.append(buffer.data(), static_cast<std::size_t>(n));
    }
  }

  std::string log_;
  FileDescriptor out_;
  FileDescriptor err_;
  pid_t strace_pid_ = -1;
  pid_t tool_pid_ = -1;
  bool spawned_ = false;
  bool finished_ = false;
};

std::optional<CommandResult> FaultInjectionTest::rewrite_held(
    const std::string& hold, const std::function<void(pid_t)>& while_held) {
  write_file(target_, original_);
  const std::string log = dir_.file("strace.log");
  HeldRun run(traced({hold}, {target_, "100", "200"}, log), log);
  const pid_t tool = run.wait_until_held();
  if (tool <= 0) {
    return std::nullopt;
  }
  while_held(tool);
  return run.resume(tool);
}

// Another process truncates the file while a rewrite is held: the fields
// that still lie whole inside the file are rewritten, the first that does
// not is reported as a change, and the file is never extended.
TEST_F(FaultInjectionTest, TruncatedDuringRewrite) {
  struct TruncateCase {
    const char* name;
    std::string hold;
    std::int64_t size;
    int fields_written;
  };
  const std::string after_scan = inject("pread64", "signal=SIGSTOP", scan_read(kScanReads));
  const std::string after_first_write = inject("pwrite64", "signal=SIGSTOP", field_write(0));
  const TruncateCase cases[] = {
      {"after the scan, before any check", after_scan, 0, 0},
      {"after the scan, inside the first field", after_scan, 12, 0},
      {"after the first write, before the second field", after_first_write, kFields[1], 1},
      {"after the first write, inside the second field", after_first_write, kFields[1] + 4, 1},
      {"after the first write, past the third field", after_first_write, kFields[2] + 5, 3},
  };
  for (const TruncateCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<CommandResult> result =
        rewrite_held(c.hold, [&](pid_t) { ASSERT_EQ(::truncate(target_.c_str(), c.size), 0); });
    ASSERT_TRUE(result) << "the run was not held";
    EXPECT_EQ(result->out, to_lines(c.fields_written) + kChanged);
    EXPECT_EQ(result->exit_status, 1);
    Bytes expected = with_fields_rewritten(c.fields_written);
    expected.resize(static_cast<std::size_t>(c.size));
    EXPECT_EQ(read_file(target_), expected);
  }
}

// Another process overwrites one byte of a planned field while a rewrite
// is held: a field that no longer holds its value, or whose tag byte is
// gone, is not written, and neither are the fields after it.
TEST_F(FaultInjectionTest, OverwrittenDuringRewrite) {
  const std::string before_writes = inject("pread64", "signal=SIGSTOP", scan_read(kScanReads));
  const std::string after_first_write = inject("pwrite64", "signal=SIGSTOP", field_write(0));
  struct OverwriteCase {
    const char* name;
    std::string hold;
    std::int64_t offset;  // of the byte overwritten
    std::uint8_t byte;
    int fields_written;
  };
  const OverwriteCase cases[] = {
      {"before any write, the first field's value", before_writes, kFields[0] + 1, 0x00, 0},
      {"before any write, the first field's tag", before_writes, kFields[0], 0x07, 0},
      {"before any write, the last field's top value byte", before_writes, kFields[4] + 4, 0x80,
       kFieldCount - 1},
      {"after the first write, the third field's value", after_first_write, kFields[2] + 1, 0x00,
       2},
      {"after the first write, the third field's tag", after_first_write, kFields[2], 0x00, 2},
  };
  for (const OverwriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<CommandResult> result = rewrite_held(c.hold, [&](pid_t) {
      const FileDescriptor file(::open(target_.c_str(), O_WRONLY | O_CLOEXEC));
      ASSERT_TRUE(file.is_open());
      ASSERT_EQ(::pwrite(file.get(), &c.byte, 1, c.offset), 1);
    });
    ASSERT_TRUE(result) << "the run was not held";
    EXPECT_EQ(result->out, to_lines(c.fields_written) + kChanged);
    EXPECT_EQ(result->exit_status, 1);
    Bytes expected = with_fields_rewritten(c.fields_written);
    expected[static_cast<std::size_t>(c.offset)] = c.byte;
    EXPECT_EQ(read_file(target_), expected);
  }
}

// The file size limit (ulimit -f), set on a held run: the kernel refuses a
// write past it, or cuts one across it short, even inside an existing file.
// Known before the first write, a limit that the plan does not fit whole
// refuses the run with nothing written; lowered between writes, it stops
// the run before the first field that does not fit, never halfway through
// one, and never by the signal SIGXFSZ.
TEST_F(FaultInjectionTest, FileSizeLimit) {
  const std::string before_writes = inject("pread64", "signal=SIGSTOP", scan_read(kScanReads));
  const std::string after_first_write = inject("pwrite64", "signal=SIGSTOP", field_write(0));
  struct LimitCase {
    const char* name;
    std::string hold;
    std::int64_t limit;  // bytes
    int fields_written;
    bool fails;
  };
  const LimitCase cases[] = {
      {"before any write, inside the first field", before_writes, kFields[0] + 3, 0, true},
      {"before any write, past three fields", before_writes, kFields[3], 0, true},
      {"before any write, one byte short of the end", before_writes, kFileSize - 1, 0, true},
      {"before any write, at the end of the file", before_writes, kFileSize, kFieldCount, false},
      {"after the first write, inside the third field", after_first_write, kFields[2] + 3, 2, true},
      {"after the first write, at the third field's end", after_first_write,
       kFields[2] + TAGGED_VALUE_SIZE, 3, true},
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<CommandResult> result = rewrite_held(c.hold, [&](pid_t tool) {
      const auto bytes = static_cast<rlim_t>(c.limit);
      const rlimit limit{bytes, bytes};
      ASSERT_EQ(::prlimit(tool, RLIMIT_FSIZE, &limit, nullptr), 0);
    });
    ASSERT_TRUE(result) << "the run was not held";
    EXPECT_EQ(result->out, to_lines(c.fields_written) + (c.fails ? kWriteEfbig : ""));
    EXPECT_EQ(result->err, "");
    EXPECT_EQ(result->signal, 0);
    EXPECT_EQ(result->exit_status, c.fails ? 1 : 0);
    EXPECT_EQ(read_file(target_), with_fields_rewritten(c.fields_written));
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
    std::string stdout_path;
    const char* reason;
    std::vector<std::string> wrapper;  // words before the tool's command
  };
  // A file size limit (in 512-byte blocks) binds standard output too, when
  // it is a file: its write must fail and be reported, not raise SIGXFSZ.
  const std::vector<std::string> size_limit{"/bin/sh", "-c", "ulimit -f 1 && exec \"$@\"", "sh"};
  const OutputCase cases[] = {
      {kClosedStdout, "Bad file descriptor", {}},
      {"/dev/full", "No space left on device", {}},
      {kClosedPipe, "Broken pipe", {}},
      {dir.file("report.txt"), "File too large", size_limit},
  };
  for (const OutputCase& output : cases) {
    SCOPED_TRACE(output.stdout_path);
    std::vector<std::string> argv = output.wrapper;
    for (const std::string& word : tagrun_command({target, "100"})) {
      argv.push_back(word);
    }
    const CommandResult result = run_command(argv, output.stdout_path);
    EXPECT_EQ(result.err, std::string("tagrun: write error: ") + output.reason + "\n");
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(read_file(target), original);
  }
}

// Standard output or standard error open on the target file itself, by any
// name and in any mode: the run is refused before the file is read, with
// the file untouched, and the message goes to the other stream.
TEST(LostOutputTest, ReportAimedAtTheTargetIsRefused) {
  const TempDir dir;
  const std::string target = dir.file("target.bin");
  const std::string hard_link = dir.file("hard-link.bin");
  const Bytes original = concat({tagged(100), tagged(101), tagged(102)});
  write_file(target, original);
  ASSERT_EQ(::link(target.c_str(), hard_link.c_str()), 0);
  constexpr const char* kOutIsTarget = "tagrun: standard output is the target file\n";
  constexpr const char* kErrIsTarget = "standard error is the target file\n";
  struct RedirectCase {
    const char* redirect;  // shell redirections; $t is the target, $l a hard link to it
    bool rewrite;
    const char* out;
    const char* err;
  };
  const RedirectCase cases[] = {
      {">>\"$t\"", true, "", kOutIsTarget},   {">>\"$t\"", false, "", kOutIsTarget},
      {"1<>\"$t\"", true, "", kOutIsTarget},  {"1<>\"$t\"", false, "", kOutIsTarget},
      {">>\"$l\"", true, "", kOutIsTarget},   {"2>>\"$t\"", true, kErrIsTarget, ""},
      {"2<>\"$l\"", false, kErrIsTarget, ""}, {">>\"$t\" 2>&1", true, "", ""},
  };
  for (const RedirectCase& c : cases) {
    SCOPED_TRACE(std::string(c.redirect) + (c.rewrite ? ", rewrite" : ", find"));
    write_file(target, original);
    std::vector<std::string> argv{
        "/bin/sh", "-c",   std::string("t=$1 l=$2; shift 2; exec \"$@\" ") + c.redirect,
        "sh",      target, hard_link};
    std::vector<std::string> args{target, "100"};
    if (c.rewrite) args.push_back("200");
    for (const std::string& word : tagrun_command(args)) {
      argv.push_back(word);
    }
    const CommandResult result = run_command(argv);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(read_file(target), original);
  }
}

// An address space limit (ulimit -v) too small for the run's buffers: a
// message and status 1 before anything is read or written, never an abort.
// Between the limits the outcomes cross over; each is one or the other.
TEST(LimitsTest, TooLittleMemoryIsAMessage) {
  if (kSanitized) {
    GTEST_SKIP() << "the sanitizers reserve far more address space than any limit here";
  }
  if (running_under_emulator()) {
    GTEST_SKIP() << "the emulator itself needs more address space than any limit here";
  }
  const TempDir dir;
  const std::string target = dir.file("target.bin");
  Bytes original;
  for (int i = 0; i < RUN_LENGTH; ++i) {
    const Bytes value = tagged(100 + i);
    original.insert(original.end(), value.begin(), value.end());
  }
  std::string all_found;
  std::string all_rewritten;
  Bytes rewritten;
  for (int i = 0; i < RUN_LENGTH; ++i) {
    all_found +=
        "found " + std::to_string(100 + i) + " at location " + std::to_string(5 * i + 1) + " \n";
    all_rewritten += "to: " + std::to_string(200 + i) + " \n";
    const Bytes value = tagged(200 + i);
    rewritten.insert(rewritten.end(), value.begin(), value.end());
  }
  const char* const kNoMemory = "not enough memory for the run\n";
  // In KiB. The tool needs about 16 MiB of address space here; the first
  // limit leaves it none for its buffers, the last plenty.
  const int limits[] = {4000, 8000, 12000, 16000, 20000, 65536};
  for (const bool rewrite : {false, true}) {
    for (const int kib : limits) {
      SCOPED_TRACE(std::to_string(kib) + " KiB" + (rewrite ? ", rewrite" : ", find"));
      write_file(target, original);
      std::vector<std::string> argv{"/bin/sh", "-c",
                                    "ulimit -v " + std::to_string(kib) + " && exec \"$@\"", "sh"};
      std::vector<std::string> args{target, "100"};
      if (rewrite) args.push_back("200");
      for (const std::string& word : tagrun_command(args)) {
        argv.push_back(word);
      }
      const CommandResult result = run_command(argv);
      EXPECT_EQ(result.signal, 0);
      EXPECT_EQ(result.err, "");
      if (kib == limits[0] || (kib != limits[std::size(limits) - 1] && result.out == kNoMemory)) {
        EXPECT_EQ(result.out, kNoMemory);
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(read_file(target), original);
      } else {
        EXPECT_EQ(result.out, rewrite ? all_rewritten : all_found);
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(read_file(target), rewrite ? rewritten : original);
      }
    }
  }
}

}  // namespace
}  // namespace tagrun::testing
