// File access for the target file: an owning descriptor, positioned reads and
// writes that retry interrupted and short transfers, sync, and errors that
// carry their reason.
//
// Nothing here buffers: every call is one or more system calls on the
// descriptor. The syscall used by the transfer loops can be replaced, so
// that tests can drive short transfers and EINTR through them.
#ifndef TAGRUN_FILE_ACCESS_H_
#define TAGRUN_FILE_ACCESS_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace tagrun {

// Owns one open file descriptor. The destructor closes a descriptor that was
// not closed through close(), ignoring the result: that path is taken only
// when the run has already failed.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  ~FileDescriptor();

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool is_open() const { return fd_ >= 0; }

  // Closes the descriptor. Returns 0 on success, or the errno of a failed
  // close(2). Either way the descriptor is released: close(2) must not be
  // retried on Linux, even after EINTR.
  [[nodiscard]] int close();

 private:
  int release();

  int fd_ = -1;
};

// The outcome of a transfer: how many bytes moved, and the errno that ended
// it early (0 when none did).
struct Transfer {
  std::size_t bytes = 0;
  int error = 0;
};

using PreadCall = ssize_t (*)(int fd, void* buffer, std::size_t count, off_t offset);
using PwriteCall = ssize_t (*)(int fd, const void* buffer, std::size_t count, off_t offset);

// Reads buffer.size() bytes at offset, retrying EINTR and short reads.
// Stops early only at the end of the file (error 0, fewer bytes) or on an
// error (error set, bytes holds what was read before it).
[[nodiscard]] Transfer read_at(int fd, std::span<std::byte> buffer, std::int64_t offset,
                               PreadCall call = nullptr);

// Writes all of data at offset, retrying EINTR and short writes. Stops early
// only on an error (error set, bytes holds what was written before it). A
// call that writes nothing without an error counts as ENOSPC, so the loop
// always ends.
[[nodiscard]] Transfer write_at(int fd, std::span<const std::byte> data, std::int64_t offset,
                                PwriteCall call = nullptr);

// fdatasync(2), retried on EINTR. Returns 0 or the errno of the failure.
[[nodiscard]] int sync_data(int fd);

}  // namespace tagrun

#endif  // TAGRUN_FILE_ACCESS_H_
