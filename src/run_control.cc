// The tool's entry and run control: the argument check, the opening and
// measuring of the target file, the choice of mode, one run, the close and
// the exit status.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "file_access.h"
#include "tagrun.h"
#include "value_text.h"

namespace tagrun {
namespace {

constexpr std::string_view kUsageMessage = "file not specified";
constexpr std::string_view kOpenMessage = "target file not found or no target specified\n";

struct Target {
  FileDescriptor fd;
  std::int64_t size;
};

// Opens path for reading and writing if it names an existing regular file;
// never creates or truncates it. Anything else is refused by stat before it
// is opened, since opening a device can act on it. If the path is swapped
// for such a file between stat and open, O_NONBLOCK keeps the open from
// blocking and fstat refuses it before anything is read.
std::optional<Target> open_target(const char* path) {
  struct stat named;
  if (::stat(path, &named) != 0 || !S_ISREG(named.st_mode)) {
    return std::nullopt;
  }
  int fd = -1;
  do {
    fd = ::open(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return std::nullopt;
  }
  FileDescriptor target(fd);
  // With a standard stream closed, open() hands out its number, and the
  // report written to standard output would land in the target file. Move
  // the target above them, so that a closed standard output stays closed.
  if (target.get() <= STDERR_FILENO) {
    FileDescriptor moved(::fcntl(target.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    if (!moved.is_open()) {
      return std::nullopt;
    }
    target = std::move(moved);
  }
  struct stat status;
  if (::fstat(target.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  const int flags = ::fcntl(target.get(), F_GETFL);
  if (flags < 0 || ::fcntl(target.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return std::nullopt;
  }
  return Target{std::move(target), static_cast<std::int64_t>(status.st_size)};
}

int run_tool(std::span<const char* const> args, const ScanLimits& limits, Report& report) {
  if (args.size() < 3) {
    report.text(kUsageMessage);
    return 1;
  }
  std::optional<Target> target = open_target(args[1]);
  if (!target) {
    report.text(kOpenMessage);
    return 1;
  }
  const std::int32_t first = parse_value(args[2]);
  const std::int32_t new_first = args.size() >= 4 ? parse_value(args[3]) : 0;
  // A new first value of 0 stands for none: find mode.
  const bool find_mode = new_first == 0;

  ScanState state(target->fd.get(), target->size, limits);
  const Status status =
      find_mode ? find_run(state, first, report) : rewrite_run(state, first, new_first, report);
  const int close_error = target->fd.close();
  if (!status.is_ok()) {
    report.text(status.message());
    return 1;
  }
  if (close_error != 0) {
    // After a rewrite, a failed close can mean written data was lost.
    const Status failure =
        find_mode ? Status::read_error(close_error) : Status::write_error(close_error);
    report.text(failure.message());
    return 1;
  }
  return 0;
}

}  // namespace

Status find_run(ScanState& state, std::int32_t first, Report& report) {
  if (Status status = gather_run(state, first); !status.is_ok()) {
    return status;
  }
  for (int i = 0; i < RUN_LENGTH; ++i) {
    if (Status status = find_value(state, run_value(first, i), report); !status.is_ok()) {
      return status;
    }
  }
  return Status::ok();
}

Status rewrite_run(ScanState& state, std::int32_t first, std::int32_t new_first, Report& report) {
  if (Status status = gather_run(state, first); !status.is_ok()) {
    return status;
  }
  std::vector<PlannedRewrite> plan;
  plan.reserve(RUN_LENGTH);
  for (int i = 0; i < RUN_LENGTH; ++i) {
    const Status status = rewrite_value(state, run_value(first, i), run_value(new_first, i), plan);
    if (!status.is_ok()) {
      return status;
    }
  }
  return apply_rewrites(state, plan, report);
}

int run_command_line(std::span<const char* const> args, int out, int err,
                     const ScanLimits& limits) {
  Report report(out);
  int exit_status = run_tool(args, limits, report);
  if (const int error = report.flush(); error != 0) {
    // Standard output is gone: standard error is the only channel left.
    const std::string message = std::string("tagrun: write error: ") + std::strerror(error) + "\n";
    Report err_report(err);
    err_report.text(message);
    err_report.flush();  // nothing is left to tell if this fails too
    exit_status = 1;
  }
  return exit_status;
}

}  // namespace tagrun
