#include "test_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tagged_value.h"

extern char** environ;

namespace tagrun::testing {
namespace {

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "test setup failed: %s: %s\n", what.c_str(), std::strerror(errno));
  std::abort();
}

}  // namespace

TempDir::TempDir(const std::string& root) {
  std::string pattern = root + "/tagrun-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    fail("mkdtemp(" + pattern + ")");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  if (!stream) {
    fail("write " + path);
  }
}

void write_sparse_file(const std::string& path, const Bytes& bytes,
                       const std::vector<Extent>& extents) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("open " + path);
  for (const Extent& extent : extents) {
    if (extent.offset + extent.length > bytes.size()) fail("extent past the end of " + path);
    const ssize_t n = ::pwrite(fd, bytes.data() + extent.offset, extent.length,
                               static_cast<off_t>(extent.offset));
    if (n != static_cast<ssize_t>(extent.length)) fail("pwrite " + path);
  }
  if (::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0) fail("ftruncate " + path);
  if (::close(fd) != 0) fail("close " + path);
}

Bytes read_file(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) {
    fail("read " + path);
  }
  return Bytes(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

Bytes tagged(std::int32_t value) {
  Bytes bytes(5);
  bytes[0] = VALUE_TAG;
  store_value(value, &bytes[1]);
  return bytes;
}

Bytes random_file(std::mt19937_64& random, std::int32_t first, std::size_t size) {
  Bytes file;
  while (file.size() < size) {
    switch (random() % 6) {
      case 0:
        file.push_back(static_cast<std::uint8_t>(random()));
        break;
      case 1:
        file.push_back(VALUE_TAG);
        break;
      case 2:
      case 3: {
        const Bytes value = tagged(run_value(first, static_cast<int>(random() % 12)));
        file.insert(file.end(), value.begin(), value.end());
        break;
      }
      case 4: {
        // The run's values and the two on either side of it.
        const Bytes value = tagged(run_value(first, static_cast<int>(random() % 181) - 2));
        file.insert(file.end(), value.begin(), value.end());
        break;
      }
      default: {
        // A tagged value cut short, so that the next piece overlaps it.
        const Bytes value = tagged(run_value(first, static_cast<int>(random() % 12)));
        file.insert(file.end(), value.begin(),
                    value.begin() + static_cast<std::ptrdiff_t>(1 + random() % 4));
        break;
      }
    }
  }
  file.resize(size);
  return file;
}

std::span<const ScanLimits> fixture_limits() {
  static constexpr ScanLimits kLimits[] = {
      {},
      {.block_size = 1, .candidate_cap = 0},
      {.block_size = 3, .candidate_cap = 1},
      {.block_size = 5, .candidate_cap = 2},
      {.block_size = 6, .candidate_cap = 1000},
  };
  return kLimits;
}

std::vector<ValueText> value_texts() {
  return {
      {"zero", "0", 0, false},
      {"digits", "12", 12, false},
      {"a plus sign", "+7", 7, true},
      {"a minus sign", "-7", -7, true},
      {"a minus sign before one digit", "-5", -5, false},
      {"minus zero", "-0", 0, true},
      {"plus zero", "+0", 0, false},
      {"an empty text", "", 0, true},
      {"a plus sign alone", "+", 0, true},
      {"a minus sign alone", "-", 0, true},
      {"two signs", "+-5", 0, true},
      {"two minus signs", "--5", 0, true},
      {"minus then plus", "-+5", 0, true},
      {"a sign and a blank", "- 5", 0, true},
      {"a plus sign and a blank", "+ 5", 0, false},
      {"a plus sign and a tab", "+\t5", 0, true},
      {"a blank alone", " ", 0, true},
      {"leading zeros", "000000000000000000000000000042", 42, true},
      {"leading zeros, fewer", "00000000000000000000123", 123, false},
      {"2^31 - 1", "2147483647", 2147483647, true},
      {"2^31 wraps to the least value", "2147483648", INT32_MIN, true},
      {"-2^31", "-2147483648", INT32_MIN, true},
      {"-2^31 - 1 wraps to the greatest value", "-2147483649", INT32_MAX, true},
      {"2^32 - 1", "4294967295", -1, true},
      {"2^32 spelled out", "4294967296", 0, true},
      {"2^32 + 1", "4294967297", 1, true},
      {"minus 2^32", "-4294967296", 0, true},
      {"minus 2^32 + 1", "-4294967297", -1, false},
      {"2^64 + 7", "18446744073709551623", 7, true},
      // 10^20 mod 2^32 = 1661992960: every digit wraps, nothing is clamped.
      {"10^20", "100000000000000000000", 1661992960, false},
      {"thirty digits", "123456789012345678901234567890", 1312754386, true},
      {"a hundred nines", std::string(100, '9'), -1, true},
      {"minus a hundred nines", "-" + std::string(100, '9'), 1, true},
      {"twenty thousand ones", std::string(20000, '1'), -954437177, true},
      {"a tab", "\t5", 5, true},
      {"a line feed", "\n5", 5, true},
      {"a vertical tab", "\v5", 5, true},
      {"a form feed", "\f5", 5, true},
      {"a carriage return", "\r5", 5, true},
      {"a blank", " 5", 5, true},
      {"all six kinds of white space", " \t\n\v\f\r42", 42, false},
      {"all six kinds of white space, then a sign", "\t\n\v\f\r -5", -5, true},
      {"a blank after the digits", "42 ", 42, false},
      {"white space after the digits", "5 \t\n", 5, true},
      {"a blank between digits", "4 2", 4, false},
      {"a byte 0x1C is not white space",
       "\x1c"
       "5",
       0, true},
      {"a byte 0x80", "\x80", 0, true},
      {"a byte 0x80 before digits",
       "\x80"
       "5",
       0, true},
      // No byte of 0x80 or above is white space.
      {"a byte 0xA0 before digits",
       "\xa0"
       "5",
       0, false},
      {"a byte 0xA0 after digits", "5\xa0", 5, false},
      {"a byte 0xFF after digits", "5\xff", 5, true},
      {"a no-break space in UTF-8",
       "\xc2\xa0"
       "5",
       0, true},
      {"a full-width digit", "\xef\xbc\x95", 0, true},
      {"digits after a full-width digit",
       "4\xef\xbc\x95"
       "5",
       4, true},
      {"hexadecimal", "0x10", 0, true},
      {"an exponent", "1e3", 1, true},
      {"a fraction", "5.9", 5, true},
      {"a trailing word", "12abc", 12, true},
      {"a word", "abc", 0, false},
  };
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

Bytes text_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

CommandResult run_command(const std::vector<std::string>& argv, const std::string& stdout_path) {
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    fail("pipe2");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  int broken[2] = {-1, -1};
  if (stdout_path == kClosedStdout) {
    posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
  } else if (stdout_path == kClosedPipe) {
    if (::pipe2(broken, O_CLOEXEC) != 0) fail("pipe2");
    ::close(broken[0]);
    posix_spawn_file_actions_adddup2(&actions, broken[1], STDOUT_FILENO);
  } else if (!stdout_path.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdout_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  }
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);

  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  // The child starts as from a shell in the foreground: every signal at
  // its default action and none blocked, whatever the test runner left
  // (a runner started in the background ignores SIGINT and SIGQUIT).
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all;
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid;
  const int spawned = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (broken[1] >= 0) ::close(broken[1]);
  if (spawned != 0) {
    errno = spawned;
    fail("posix_spawn(" + argv[0] + ")");
  }

  CommandResult result;
  std::array<pollfd, 2> fds{{{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}}};
  std::array<std::string*, 2> sinks{&result.out, &result.err};
  int open_pipes = 2;
  while (open_pipes > 0) {
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      fail("poll");
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) fail("waitpid");
  }
  if (WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

bool running_under_emulator() { return !std::string_view(TAGRUN_EMULATOR).empty(); }

std::vector<std::string> tagrun_command(const std::vector<std::string>& args) {
  std::vector<std::string> argv;
  const char* wrapper = std::getenv("TAGRUN_TEST_WRAPPER");
  if (wrapper != nullptr && running_under_emulator()) {
    // A wrapper such as valgrind would check the emulator, not the tool.
    static const bool noted = [] {
      std::fprintf(stderr, "TAGRUN_TEST_WRAPPER ignored: the tool runs under %s\n",
                   TAGRUN_EMULATOR);
      return true;
    }();
    static_cast<void>(noted);
    wrapper = nullptr;
  }
  const char* const word_lists[] = {wrapper, TAGRUN_EMULATOR};
  for (const char* words_text : word_lists) {
    if (words_text == nullptr) {
      continue;
    }
    std::istringstream words(words_text);
    for (std::string word; words >> word;) {
      argv.push_back(word);
    }
  }
  argv.push_back(TAGRUN_BINARY);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

CommandResult run_tagrun(const std::vector<std::string>& args, const std::string& stdout_path) {
  return run_command(tagrun_command(args), stdout_path);
}

namespace {

// A memory file for standard output and standard error of a run in process.
class CapturedStream {
 public:
  CapturedStream() : fd_(::memfd_create("tagrun-test-output", MFD_CLOEXEC)) {
    if (fd_ < 0) fail("memfd_create");
  }
  ~CapturedStream() { ::close(fd_); }
  int fd() const { return fd_; }
  std::string contents() const {
    std::string all;
    char buffer[65536];
    for (off_t at = 0;;) {
      const ssize_t n = ::pread(fd_, buffer, sizeof buffer, at);
      if (n < 0) fail("pread");
      if (n == 0) return all;
      all.append(buffer, static_cast<std::size_t>(n));
      at += n;
    }
  }

 private:
  int fd_;
};

// Runs the tool's command line on path, a copy of the target made by the
// caller.
InProcessRun run_on_copy(const std::string& path, const std::vector<std::string>& values,
                         const ScanLimits& limits) {
  std::vector<const char*> args{"tagrun", path.c_str()};
  for (const std::string& value : values) {
    args.push_back(value.c_str());
  }
  const CapturedStream out;
  const CapturedStream err;
  InProcessRun run;
  run.exit_status = run_command_line(args, out.fd(), err.fd(), limits);
  run.out = out.contents();
  run.err = err.contents();
  run.bytes = read_file(path);
  return run;
}

}  // namespace

InProcessRun run_in_process(const Bytes& file, const std::vector<std::string>& values,
                            const ScanLimits& limits) {
  const TempDir dir;
  const std::string path = dir.file("target");
  write_file(path, file);
  return run_on_copy(path, values, limits);
}

InProcessRun run_in_process_sparse(const Bytes& file, const std::vector<Extent>& extents,
                                   const std::string& dir, const std::vector<std::string>& values,
                                   const ScanLimits& limits) {
  const TempDir folder(dir);
  const std::string path = folder.file("target");
  write_sparse_file(path, file, extents);
  return run_on_copy(path, values, limits);
}

}  // namespace tagrun::testing
