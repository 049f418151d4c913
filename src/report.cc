#include "report.h"

#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace tagrun {

void Report::found(std::int32_t value, std::int64_t location) {
  make_room(kLongestLine);
  append("found ");
  append_number(value);
  append(" at location ");
  append_number(location);
  append(" \n");
}

void Report::rewritten(std::int32_t value) {
  make_room(kLongestLine);
  append("to: ");
  append_number(value);
  append(" \n");
}

void Report::text(std::string_view text) {
  if (text.size() > buffer_.size() - used_) {
    flush();
    if (text.size() > buffer_.size()) {
      write_out(text.data(), text.size());
      return;
    }
  }
  append(text);
}

int Report::flush() {
  write_out(buffer_.data(), used_);
  used_ = 0;
  return error_;
}

void Report::make_room(std::size_t bytes) {
  if (buffer_.size() - used_ < bytes) {
    flush();
  }
}

void Report::append(std::string_view text) {
  assert(text.size() <= buffer_.size() - used_);
  std::memcpy(buffer_.data() + used_, text.data(), text.size());
  used_ += text.size();
}

void Report::append_number(std::int64_t number) {
  char* const begin = buffer_.data() + used_;
  const auto [end, status] = std::to_chars(begin, buffer_.data() + buffer_.size(), number);
  assert(status == std::errc());
  used_ += static_cast<std::size_t>(end - begin);
}

void Report::write_out(const char* data, std::size_t size) {
  while (size > 0 && error_ == 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0) {
      if (errno != EINTR) {
        error_ = errno;
      }
      continue;
    }
    if (n == 0) {
      error_ = EIO;
      break;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace tagrun
