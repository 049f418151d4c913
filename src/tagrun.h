// The tool's entries: the whole command line, as main runs it, and one run
// on a file already open, as run control and the fuzzer run it.
#ifndef TAGRUN_TAGRUN_H_
#define TAGRUN_TAGRUN_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "report.h"
#include "signal_block.h"
#include "status.h"

namespace tagrun {

struct ScanLimits {
  // Bytes read from the file per call. Measured on cached files, 512 KiB
  // scans fastest: a block stays in the core's cache from the read that
  // copies it in to the filter that tests it, and the calls are still few.
  std::size_t block_size = std::size_t{512} << 10;
  // Candidates held in memory before the run falls back to rereading (see
  // RunScan::for_each_candidate in run_scan.h).
  std::size_t candidate_cap = std::size_t{1} << 19;
};

// A new first value of 0 stands for none: the run is in find mode, and
// rewrite mode otherwise.
constexpr bool is_find_mode(std::int32_t new_first) { return new_first == 0; }

// One whole run of |first| on |target_fd|, open for reading and writing and
// |file_size| bytes long, in the mode that |new_first| selects (see
// run_scan.h for the rules): allocates the run's memory, gathers, matches,
// and in rewrite mode writes, calling hold() on |hold_signals| before the
// first write. Writes the report lines to |report|. Returns ok, or why the
// run ended early (out_of_memory before anything is read).
Status execute_run(int target_fd, std::int64_t file_size, std::int32_t first,
                   std::int32_t new_first, const ScanLimits& limits, Report& report,
                   SignalBlock& hold_signals);

// The whole tool on a command line (|args[0]| being the program name):
// writes the run's report lines and messages to |out|, and a write error of
// |out| to |err|. Refuses, before reading the file, to run when |out| or
// |err| is the target file itself. Returns the exit status, 0 or 1; a
// terminating signal held back during a rewrite ends the process on the way
// out instead.
int run_command_line(std::span<const char* const> args, int out, int err,
                     const ScanLimits& limits = ScanLimits{});

}  // namespace tagrun

#endif  // TAGRUN_TAGRUN_H_
