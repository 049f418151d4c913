// The tool's entry and run control: the argument check, the opening and
// measuring of the target file, the refusal of a target that is also
// standard output or standard error, one run (see run_scan.h), the close
// and the exit status.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "file_access.h"
#include "tagrun.h"
#include "value_text.h"

namespace tagrun {
namespace {

constexpr std::string_view kUsageMessage = "file not specified";
constexpr std::string_view kOpenMessage = "target file not found or no target specified\n";
constexpr std::string_view kOutIsTargetMessage = "tagrun: standard output is the target file\n";
constexpr std::string_view kErrIsTargetMessage = "standard error is the target file\n";

struct Target {
  FileDescriptor fd;
  std::int64_t size;
  dev_t device;
  ino_t inode;
};

// Writes parts to fd through a report of its own, for a message on a
// stream that has nothing left to report to: a failure is not told.
// Allocates nothing.
void write_parts(int fd, std::initializer_list<std::string_view> parts) {
  Report message(fd);
  for (const std::string_view part : parts) {
    message.text(part);
  }
  (void)message.flush();
}

// Whether fd is open on the target file itself, under whatever name or
// open mode: the report written to it would land in the file.
bool is_target(int fd, const Target& target) {
  struct stat status;
  return ::fstat(fd, &status) == 0 && status.st_dev == target.device &&
         status.st_ino == target.inode;
}

// Prints why a run failed, without allocating: the failure may be that
// memory ran out.
void report_failure(const Status& status, Report& report) {
  report.text(status.headline());
  if (!status.reason().empty()) {
    report.text(": ");
    report.text(status.reason());
  }
  report.text("\n");
}

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
  return Target{std::move(target), static_cast<std::int64_t>(status.st_size), status.st_dev,
                status.st_ino};
}

int run_tool(std::span<const char* const> args, const ScanLimits& limits, Report& report, int err,
             SignalBlock& hold_signals) {
  if (args.size() < 3) {
    report.text(kUsageMessage);
    return 1;
  }
  std::optional<Target> target = open_target(args[1]);
  if (!target) {
    report.text(kOpenMessage);
    return 1;
  }
  // Refused before anything is read: the report would be written into the
  // file (appended, growing it, or over its bytes). The message goes to
  // whichever stream is not the file; when both are, there is none.
  const bool out_is_target = is_target(report.fd(), *target);
  const bool err_is_target = is_target(err, *target);
  if (out_is_target || err_is_target) {
    if (!err_is_target) {
      write_parts(err, {kOutIsTargetMessage});
    } else if (!out_is_target) {
      report.text(kErrIsTargetMessage);
    }
    return 1;
  }
  const std::int32_t first = parse_value(args[2]);
  const std::int32_t new_first = args.size() >= 4 ? parse_value(args[3]) : 0;
  const Status status =
      execute_run(target->fd.get(), target->size, first, new_first, limits, report, hold_signals);
  const int close_error = target->fd.close();
  if (!status.is_ok()) {
    report_failure(status, report);
    return 1;
  }
  if (close_error != 0) {
    // After a rewrite, a failed close can mean written data was lost.
    report_failure(is_find_mode(new_first) ? Status::read_error(close_error)
                                           : Status::write_error(close_error),
                   report);
    return 1;
  }
  return 0;
}

}  // namespace

int run_command_line(std::span<const char* const> args, int out, int err,
                     const ScanLimits& limits) {
  // Made first, so destroyed last: a signal held back during a rewrite's
  // writes is let through only once the sync, the close and every message
  // are done, and the process then ends as that signal says.
  SignalBlock hold_signals;
  Report report(out);
  int exit_status = run_tool(args, limits, report, err, hold_signals);
  if (const int error = report.flush(); error != 0) {
    // Standard output is gone: standard error is the only channel left.
    write_parts(err, {"tagrun: write error: ", std::strerror(error), "\n"});
    exit_status = 1;
  }
  return exit_status;
}

}  // namespace tagrun
