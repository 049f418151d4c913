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

Transfer read_at(int fd, std::span<std::byte> buffer, std::int64_t offset, PreadCall call) {
  if (call == nullptr) {
    call = ::pread;
  }
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
      break;  // end of file
    }
    done.bytes += static_cast<std::size_t>(n);
  }
  return done;
}

Transfer write_at(int fd, std::span<const std::byte> data, std::int64_t offset, PwriteCall call) {
  if (call == nullptr) {
    call = ::pwrite;
  }
  Transfer done;
  while (done.bytes < data.size()) {
    const ssize_t n = call(fd, data.data() + done.bytes, data.size() - done.bytes,
                           static_cast<off_t>(offset + static_cast<std::int64_t>(done.bytes)));
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      done.error = errno;
      break;
    }
    if (n == 0) {
      done.error = ENOSPC;
      break;
    }
    done.bytes += static_cast<std::size_t>(n);
  }
  return done;
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
