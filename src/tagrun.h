// The scan state and the scans shared by run control and the tagged value
// scan.
//
// A run handles the RUN_LENGTH values first, first + 1, ... in order. Find
// mode reports, for each value, every tagged value holding it from the
// cursor on, and leaves the cursor at the tag of the last one reported.
// Rewrite mode overwrites, for each value, the first tagged value holding it
// from where the scan begins, and leaves the cursor at its tag; once a
// tagged value has been rewritten, the scans that follow begin just past it,
// so a run never takes its own output as a match.
//
// A run reads the file once: gather_run collects every candidate in one
// scan, and find_value and rewrite_value answer from it. Past the cap of
// the candidate list, gathering stops, the last candidate of each value is
// found from the end backwards, and the scans reread only bounded, disjoint
// ranges: at most one more pass over the file in all. Rewrite
// mode plans all its writes before the first one, so a run stopped while
// scanning leaves the file as it was.
//
// A run allocates nothing once it has started: the read buffer and the
// candidate list are allocated with the ScanState (check ready()), and the
// plan of a rewrite is a fixed array. From its first write to the end of
// the process's report, a rewrite holds back the signals that would end it
// (see signal_block.h), and prints each "to:" line as soon as its field is
// written, so a run cut short still tells which fields were written.
#ifndef TAGRUN_TAGRUN_H_
#define TAGRUN_TAGRUN_H_

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>

#include "block_scan.h"
#include "report.h"
#include "run_candidates.h"
#include "signal_block.h"
#include "status.h"
#include "tagged_value.h"

namespace tagrun {

struct ScanLimits {
  // Bytes read from the file per call. Measured on cached files, 512 KiB
  // scans fastest: a block stays in the core's cache from the read that
  // copies it in to the filter that tests it, and the calls are still few.
  std::size_t block_size = std::size_t{512} << 10;
  // Candidates held in memory before the run falls back to rereading.
  std::size_t candidate_cap = std::size_t{1} << 19;
};

struct ScanState {
  ScanState(int target_fd, std::int64_t size, const ScanLimits& limits)
      : target(target_fd),
        file_size(size),
        scanner(target_fd, limits.block_size),
        candidates(limits.candidate_cap) {}

  // Whether the memory of the run could be allocated. A state that is not
  // ready must not be scanned.
  [[nodiscard]] bool ready() const { return scanner.ready() && candidates.ready(); }

  // The open target file, owned by run control.
  const int target;
  // The length of the target file, measured once before the run.
  const std::int64_t file_size;
  // The tag offset of the last match of the run, 0 before the first.
  std::int64_t cursor = 0;
  // Rewrite mode: the offset from which the file is untouched by the run,
  // just past the tagged value rewritten last; rewrite scans begin here.
  std::int64_t untouched_from = 0;
  // The first value of the run in progress, and its candidates.
  std::int32_t run_first = 0;
  BlockScanner scanner;
  RunCandidates candidates;
};

// One rewrite planned by rewrite_value and carried out by apply_rewrites.
struct PlannedRewrite {
  std::int64_t tag_offset;
  std::int32_t old_value;
  std::int32_t new_value;
};

// The rewrites of one run, in file order: at most one per value of the run,
// so they fit a fixed array and planning allocates nothing.
class RewritePlan {
 public:
  void add(const PlannedRewrite& rewrite) {
    assert(size_ < items_.size());
    items_[size_++] = rewrite;
  }
  [[nodiscard]] std::span<const PlannedRewrite> items() const { return {items_.data(), size_}; }

 private:
  std::array<PlannedRewrite, RUN_LENGTH> items_{};
  std::size_t size_ = 0;
};

// Starts a run at first: sets cursor to 0 and gathers the candidates in one
// scan of [0, file_size). Returns the scan's status.
Status gather_run(ScanState& state, std::int32_t first);

// Reports "found" lines for every tagged value equal to value at or after
// cursor and moves cursor to the last one. value must belong to the run
// started by gather_run. Fails only when it must reread the file and that
// fails.
Status find_value(ScanState& state, std::int32_t value, Report& report);

// Plans the rewrite of the first tagged value equal to old_value at or after
// untouched_from into plan, and moves cursor to its tag and untouched_from
// just past it. Nothing is written. Fails only when it must reread the file
// and that fails.
Status rewrite_value(ScanState& state, std::int32_t old_value, std::int32_t new_value,
                     RewritePlan& plan);

// Carries out plan in order: checks that each field still holds its old
// value, writes the new one, writes its "to:" line out at once; then syncs
// the file's data. Before the first write it checks that the whole plan
// lies within the process's file size limit (write_error EFBIG, nothing
// written, if not) and calls hold() on hold_signals, which the caller
// destroys once its report is out. Stops at the first failure: a field that
// no longer holds its old value, or lies past the file's current end, is
// file_changed and is not written.
Status apply_rewrites(const ScanState& state, std::span<const PlannedRewrite> plan, Report& report,
                      SignalBlock& hold_signals);

// The two runs, from gathering to the last report line.
Status find_run(ScanState& state, std::int32_t first, Report& report);
Status rewrite_run(ScanState& state, std::int32_t first, std::int32_t new_first, Report& report,
                   SignalBlock& hold_signals);

// The whole tool on a command line (args[0] being the program name): writes
// the run's report lines and messages to out, and a write error of out to
// err. Refuses, before reading the file, to run when out or err is the
// target file itself. Returns the exit status, 0 or 1; a terminating signal
// held back during a rewrite ends the process on the way out instead.
int run_command_line(std::span<const char* const> args, int out, int err,
                     const ScanLimits& limits = ScanLimits{});

}  // namespace tagrun

#endif  // TAGRUN_TAGRUN_H_
