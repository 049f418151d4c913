// The tool's standard output: report lines and messages, formatted into a
// fixed buffer and written with write(2) when it fills and at flush().
//
// Writing to the output never stops a run: the first failure is remembered,
// everything after it is dropped, and the caller turns the failure into the
// exit status once the work on the target file is done.
#ifndef TAGRUN_REPORT_H_
#define TAGRUN_REPORT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tagrun {

class Report {
 public:
  explicit Report(int fd) : fd_(fd) {}
  Report(const Report&) = delete;
  Report& operator=(const Report&) = delete;

  // "found VALUE at location LOCATION \n"
  void found(std::int32_t value, std::int64_t location);
  // "to: VALUE \n"
  void rewritten(std::int32_t value);
  // Any text, as it stands.
  void text(std::string_view text);

  // Writes out what is buffered. Returns the errno of the first failed write
  // since the report was made, or 0.
  int flush();

  // The descriptor written to.
  [[nodiscard]] int fd() const { return fd_; }

 private:
  // Longest line: "found " + 11 + " at location " + 20 + " \n".
  static constexpr std::size_t kLongestLine = 64;

  void make_room(std::size_t bytes);
  void append(std::string_view text);
  void append_number(std::int64_t number);
  void write_out(const char* data, std::size_t size);

  int fd_;
  int error_ = 0;
  std::size_t used_ = 0;
  std::array<char, std::size_t{64} * 1024> buffer_;
};

}  // namespace tagrun

#endif  // TAGRUN_REPORT_H_
