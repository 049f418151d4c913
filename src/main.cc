#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <span>

#include "tagrun.h"

int main(int argc, char** argv) {
  // A closed pipe on standard output must not kill the process halfway
  // through its writes to the target file; the write error is reported
  // instead.
  (void)std::signal(SIGPIPE, SIG_IGN);
  // Likewise a write past the file size limit must fail with EFBIG and be
  // reported, not kill the process after some fields are written.
  (void)std::signal(SIGXFSZ, SIG_IGN);
  return tagrun::run_command_line(
      std::span<const char* const>(argv, static_cast<std::size_t>(argc)), STDOUT_FILENO,
      STDERR_FILENO);
}
