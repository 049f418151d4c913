#include "status.h"

#include <cstring>

namespace tagrun {

std::string_view Status::headline() const {
  switch (code_) {
    case Code::kOk:
      return {};
    case Code::kReadError:
      return "error reading target file";
    case Code::kWriteError:
      return "error writing target file";
    case Code::kFileChanged:
      return "target file changed during the run";
    case Code::kOutOfMemory:
      return "not enough memory for the run";
  }
  return {};
}

std::string_view Status::reason() const {
  if (code_ == Code::kReadError || code_ == Code::kWriteError) {
    // glibc's strerror allocates nothing for the errno values a call gives.
    return std::strerror(errno_value_);
  }
  return {};
}

std::string Status::message() const {
  if (is_ok()) {
    return {};
  }
  std::string line(headline());
  if (!reason().empty()) {
    line += ": ";
    line += reason();
  }
  return line + "\n";
}

}  // namespace tagrun
