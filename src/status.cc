#include "status.h"

#include <cstring>

namespace tagrun {

std::string Status::message() const {
  switch (code_) {
    case Code::kOk:
      return {};
    case Code::kReadError:
      return std::string("error reading target file: ") + std::strerror(errno_value_) + "\n";
    case Code::kWriteError:
      return std::string("error writing target file: ") + std::strerror(errno_value_) + "\n";
    case Code::kFileChanged:
      return "target file changed during the run\n";
  }
  return {};
}

}  // namespace tagrun
