// The built executable as a user runs it: standard output byte for byte,
// standard error, the exit status, and the target file's bytes afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace tagrun::testing {
namespace {

constexpr const char* kOpenFailure = "target file not found or no target specified\n";

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    target_ = dir_.file("target.bin");
    original_ = concat({text_bytes("head"), tagged(100), tagged(101), tagged(102)});
    write_file(target_, original_);
  }

  TempDir dir_;
  std::string target_;
  Bytes original_;
};

struct Case {
  const char* name;
  std::vector<std::string> args;  // "TARGET" stands for the target file's path
  std::string out;
  int exit_status;
};

TEST_F(CommandLineTest, ArgumentsAndTargets) {
  const std::string missing = dir_.file("missing");
  const std::string folder = dir_.file("folder");
  const std::string fifo = dir_.file("fifo");
  const std::string link = dir_.file("link");
  const std::string dangling = dir_.file("dangling");
  const std::string socket_path = dir_.file("socket");
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  ASSERT_EQ(::symlink(target_.c_str(), link.c_str()), 0);
  ASSERT_EQ(::symlink(missing.c_str(), dangling.c_str()), 0);
  const std::string folder_link = dir_.file("folder-link");
  const std::string loop = dir_.file("loop");
  ASSERT_EQ(::symlink(folder.c_str(), folder_link.c_str()), 0);
  ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
  const std::string too_long = dir_.path() + "/" + std::string(5000, 'x');
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  // A writer waits in its open of the FIFO until a reader opens it: were
  // the tool to open the FIFO at all, even to refuse it after, the writer's
  // open would return. It must still be waiting after the table.
  const pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    ::_exit(::open(fifo.c_str(), O_WRONLY) >= 0 ? 0 : 1);
  }
  const auto waiting_in_open = [writer] {
    std::ifstream wchan("/proc/" + std::to_string(writer) + "/wchan");
    std::string where;
    wchan >> where;
    return where == "wait_for_partner";
  };
  for (int tries = 0; tries < 500 && !waiting_in_open(); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  const std::string found_all =
      "found 100 at location 5 \nfound 101 at location 10 \nfound 102 at location 15 \n";
  const Case cases[] = {
      {"no arguments", {}, "file not specified", 1},
      {"the path alone", {"TARGET"}, "file not specified", 1},
      {"a missing file", {missing, "100"}, kOpenFailure, 1},
      {"a missing file in rewrite mode", {missing, "100", "200"}, kOpenFailure, 1},
      {"an empty path", {"", "100"}, kOpenFailure, 1},
      {"a directory", {folder, "100"}, kOpenFailure, 1},
      {"a FIFO, which must not block", {fifo, "100", "200"}, kOpenFailure, 1},
      {"a socket", {socket_path, "100"}, kOpenFailure, 1},
      {"/dev/null", {"/dev/null", "100"}, kOpenFailure, 1},
      {"/dev/zero", {"/dev/zero", "6"}, kOpenFailure, 1},
      {"a dangling symbolic link", {dangling, "100"}, kOpenFailure, 1},
      {"a symbolic link to the file", {link, "100"}, found_all, 0},
      {"a symbolic link to a directory", {folder_link, "100", "200"}, kOpenFailure, 1},
      {"a symbolic link to itself", {loop, "100", "200"}, kOpenFailure, 1},
      {"the file's path with a trailing slash", {target_ + "/", "100", "200"}, kOpenFailure, 1},
      {"a path longer than the system takes", {too_long, "100", "200"}, kOpenFailure, 1},
      {"a path through the file", {target_ + "/x", "100", "200"}, kOpenFailure, 1},
      {"find mode", {"TARGET", "100"}, found_all, 0},
      {"extra arguments are ignored", {"TARGET", "100", "0", "7", "8"}, found_all, 0},
      {"a run that finds nothing", {"TARGET", "5000"}, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    for (std::string& arg : args) {
      if (arg == "TARGET") arg = target_;
    }
    const CommandResult result = run_tagrun(args);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, c.exit_status);
    EXPECT_EQ(read_file(target_), original_);
  }
  ::close(listener);
  EXPECT_EQ(::waitpid(writer, nullptr, WNOHANG), 0) << "the FIFO was opened: its writer went on";
  // Open it for reading to let the writer go.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(writer, &status, 0), writer);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::close(reader);
}

TEST_F(CommandLineTest, RewritesInPlace) {
  const CommandResult result = run_tagrun({target_, "101", "-7"});
  EXPECT_EQ(result.out, "to: -7 \nto: -6 \n");
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(read_file(target_), concat({text_bytes("head"), tagged(100), tagged(-7), tagged(-6)}));
}

TEST_F(CommandLineTest, ReadOnlyFileIsRefusedInBothModes) {
  // Root may write to any file: as root, run the tool as nobody instead.
  std::vector<std::string> as_user;
  if (::geteuid() == 0) {
    if (::access("/usr/bin/setpriv", X_OK) != 0) {
      GTEST_SKIP() << "running as root without setpriv to drop privileges";
    }
    as_user = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  }
  ASSERT_EQ(::chmod(target_.c_str(), 0444), 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{target_, "100"}, {target_, "100", "200"}}) {
    std::vector<std::string> argv = as_user;
    for (const std::string& word : tagrun_command(args)) {
      argv.push_back(word);
    }
    const CommandResult result = run_command(argv);
    EXPECT_EQ(result.out, kOpenFailure);
    EXPECT_EQ(result.exit_status, 1);
  }
  EXPECT_EQ(read_file(target_), original_);
}

TEST_F(CommandLineTest, EmptyFileFindsNothing) {
  write_file(target_, {});
  const CommandResult result = run_tagrun({target_, "100", "200"});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(read_file(target_), Bytes{});
}

// A lost standard output is a failure, reported on standard error; in
// rewrite mode the file is rewritten all the same.
TEST_F(CommandLineTest, LostStandardOutput) {
  const Bytes rewritten = concat({text_bytes("head"), tagged(200), tagged(201), tagged(202)});
  struct OutputCase {
    const char* stdout_path;
    const char* reason;
  };
  // A pipe whose reader is gone must not kill the process by SIGPIPE.
  for (const OutputCase& output :
       {OutputCase{"/dev/full", "No space left on device"},
        OutputCase{kClosedStdout, "Bad file descriptor"}, OutputCase{kClosedPipe, "Broken pipe"}}) {
    SCOPED_TRACE(output.stdout_path);
    write_file(target_, original_);
    const CommandResult find = run_tagrun({target_, "100"}, output.stdout_path);
    EXPECT_EQ(find.err, std::string("tagrun: write error: ") + output.reason + "\n");
    EXPECT_EQ(find.exit_status, 1);
    const CommandResult rewrite = run_tagrun({target_, "100", "200"}, output.stdout_path);
    EXPECT_EQ(rewrite.err, std::string("tagrun: write error: ") + output.reason + "\n");
    EXPECT_EQ(rewrite.exit_status, 1);
    EXPECT_EQ(read_file(target_), rewritten);
  }
}

// How the value texts select the mode and which arguments are read, at
// every limit a small fixture is run at.
struct ArgumentFixture {
  const char* name;
  Bytes file;
  std::vector<std::string> values;
  std::string out;
  Bytes after;  // the file afterwards; empty means unchanged
};

TEST(CommandLineArgumentsTest, ModeAndExtraArgumentsAtEveryLimit) {
  const ArgumentFixture fixtures[] = {
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
  };
  for (const ArgumentFixture& fixture : fixtures) {
    for (const ScanLimits& limit : fixture_limits()) {
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
