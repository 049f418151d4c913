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
