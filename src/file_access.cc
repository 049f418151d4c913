#include "file_access.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tagrun {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = other.release();
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

int FileDescriptor::close() {
  const int fd = release();
  if (fd < 0) {
    return 0;
  }
  return ::close(fd) == 0 ? 0 : errno;
}

int FileDescriptor::release() { return std::exchange(fd_, -1); }

namespace {

// The loop shared by reads and writes: retries EINTR and short transfers
// until all of buffer has moved, the call fails, or it moves nothing. A
// read that moves nothing is the end of the file; a write that moves
// nothing would loop forever, so it ends the transfer as ENOSPC.
template <class Call, class Byte>
Transfer transfer_all(Call call, int fd, std::span<Byte> buffer, std::int64_t offset,
                      int error_when_nothing_moves) {
  Transfer done;
  while (done.bytes < buffer.size()) {
    const ssize_t n = call(fd, buffer.data() + done.bytes, buffer.size() - done.bytes,
                           static_cast<off_t>(offset + static_cast<std::int64_t>(done.bytes)));
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      done.error = errno;
      break;
    }
    if (n == 0) {
      done.error = error_when_nothing_moves;
      break;
    }
    done.bytes += static_cast<std::size_t>(n);
  }
  return done;
}

}  // namespace

Transfer read_at(int fd, std::span<std::byte> buffer, std::int64_t offset, PreadCall call) {
  return transfer_all(call != nullptr ? call : ::pread, fd, buffer, offset, 0);
}

Transfer write_at(int fd, std::span<const std::byte> data, std::int64_t offset, PwriteCall call) {
  return transfer_all(call != nullptr ? call : ::pwrite, fd, data, offset, ENOSPC);
}

int sync_data(int fd) {
  while (::fdatasync(fd) != 0) {
    if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

}  // namespace tagrun
