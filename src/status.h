// Why a run ended early. A run that ends early exits with status 1 and
// prints message() on standard output.
#ifndef TAGRUN_STATUS_H_
#define TAGRUN_STATUS_H_

#include <string>
#include <string_view>

namespace tagrun {

class [[nodiscard]] Status {
 public:
  static Status ok() { return {Code::kOk, 0}; }
  // errno_value is the errno of the failed call on the target file.
  static Status read_error(int errno_value) { return {Code::kReadError, errno_value}; }
  static Status write_error(int errno_value) { return {Code::kWriteError, errno_value}; }
  // The target file is shorter than measured, or a field planned for a
  // rewrite no longer holds the value matched.
  static Status file_changed() { return {Code::kFileChanged, 0}; }
  // The memory a run needs could not be had before it started.
  static Status out_of_memory() { return {Code::kOutOfMemory, 0}; }

  [[nodiscard]] bool is_ok() const { return code_ == Code::kOk; }

  // The line printed for it, line end included; empty when ok.
  [[nodiscard]] std::string message() const;
  // The same line in parts that need no memory, for a run that has none to
  // spare: headline(), then ": " and reason() when reason() is not empty,
  // then the line end.
  [[nodiscard]] std::string_view headline() const;
  [[nodiscard]] std::string_view reason() const;

 private:
  enum class Code { kOk, kReadError, kWriteError, kFileChanged, kOutOfMemory };

  Status(Code code, int errno_value) : code_(code), errno_value_(errno_value) {}

  Code code_;
  int errno_value_;
};

}  // namespace tagrun

#endif  // TAGRUN_STATUS_H_
