// One run of the tool on an open target file: how each of its values is
// matched, and the writes of a rewrite.
//
// A run handles the RUN_LENGTH values first, first + 1, ... in order. Find
// mode reports, for each value, every tagged value holding it from the
// cursor on, and leaves the cursor at the tag of the last one reported.
// Rewrite mode overwrites, for each value, the first tagged value holding it
// from where the file is still untouched by the run, and leaves the cursor
// at its tag; the scans that follow begin just past it, so a run never
// takes its own output as a match. Rewrite mode plans all its writes before
// the first one, so a run stopped while scanning leaves the file as it was.
//
// A run reads the file once: RunScan::gather collects every candidate of
// the run in one scan when the run is made, and each value is answered
// from them (see RunScan::for_each_candidate for what happens past the
// cap of the candidate list).
//
// A run allocates nothing once it has started: gather allocates the read
// buffer and the candidate list before it reads, and fails with
// out_of_memory if it cannot; the plan of a rewrite is a fixed array. From
// its first write to the end of the process's report, a rewrite holds back
// the signals that would end it (see signal_block.h), and prints each "to:"
// line as soon as its field is written, so a run cut short still tells
// which fields were written.
#ifndef TAGRUN_RUN_SCAN_H_
#define TAGRUN_RUN_SCAN_H_

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "block_scan.h"
#include "report.h"
#include "run_candidates.h"
#include "signal_block.h"
#include "status.h"
#include "tagged_value.h"
#include "tagrun.h"

namespace tagrun {

// A run whose candidates have been gathered: made only by gather, so no
// value is matched before the gathering.
class RunScan {
 public:
  // Tells gather's callers apart from everyone else: the constructor is
  // public for std::optional's sake only.
  class Key {
    friend class RunScan;
    Key() = default;
  };

  RunScan(Key /*key*/, int target_fd, std::int64_t size, std::int32_t first,
          const ScanLimits& limits);
  RunScan(const RunScan&) = delete;
  RunScan& operator=(const RunScan&) = delete;

  // Allocates the memory of the run of |first| on |target_fd| (open, of
  // |size| bytes), then gathers its candidates in one scan of [0, size).
  // On success returns ok with the run in |run|; on failure returns
  // out_of_memory or the scan's failure and leaves |run| empty.
  static Status gather(int target_fd, std::int64_t size, std::int32_t first,
                       const ScanLimits& limits, std::optional<RunScan>& run);

  // Find mode: reports "found" lines for every value of the run, in run
  // order. Returns ok, or the failure of a reread of the file.
  Status find_run(Report& report);

  // Rewrite mode: plans the rewrite of every value of the run to the value
  // at the same place in the run of |new_first|, then carries the plan out
  // (see apply_rewrites). Returns ok, or the first failure.
  Status rewrite_run(std::int32_t new_first, Report& report, SignalBlock& hold_signals);

  // The open target file, owned by run control.
  const int target;
  // The length of the target file, measured once before the run.
  const std::int64_t file_size;

 private:
  // One rewrite planned by rewrite_value and carried out by apply_rewrites.
  struct PlannedRewrite {
    std::int64_t tag_offset;
    std::int32_t old_value;
    std::int32_t new_value;
  };

  // The rewrites of one run, in file order: at most one per value of the
  // run, so they fit a fixed array and planning allocates nothing.
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

  // Whether the memory of the run could be allocated.
  [[nodiscard]] bool ready() const { return scanner_.ready() && candidates_.ready(); }

  // The one scan of [0, file_size) that fills candidates_. Returns its status.
  Status gather_candidates();

  // The run index of |value|, which must belong to the run.
  [[nodiscard]] int run_index(std::int32_t value) const;

  // Calls |visit|(tag_offset) for the candidates of run index |k| whose tag
  // lies at or after |from|, in file order, until |visit| returns false.
  // Returns ok, the failure of a reread, or file_changed when the file no
  // longer holds what the gathering saw.
  template <class Visit>
  Status for_each_candidate(int k, std::int64_t from, Visit&& visit);

  // Reports "found" lines for every tagged value equal to |value| at or
  // after the cursor and moves the cursor to the last one. Fails only when
  // it must reread the file and that fails.
  Status find_value(std::int32_t value, Report& report);

  // Plans the rewrite of the first tagged value equal to |old_value| at or
  // after untouched_from_ into |plan|, and moves the cursor to its tag and
  // untouched_from_ just past it. Nothing is written. Fails only when it
  // must reread the file and that fails.
  Status rewrite_value(std::int32_t old_value, std::int32_t new_value, RewritePlan& plan);

  // Carries out |plan| in order: checks that each field still holds its old
  // value, writes the new one, writes its "to:" line out at once; then
  // syncs the file's data. Before the first write it checks that the whole
  // plan lies within the process's file size limit (write_error EFBIG,
  // nothing written, if not) and calls hold() on |hold_signals|, which the
  // caller destroys once its report is out. Stops at the first failure: a
  // field that no longer holds its old value, or lies past the file's
  // current end, is file_changed and is not written.
  Status apply_rewrites(std::span<const PlannedRewrite> plan, Report& report,
                        SignalBlock& hold_signals) const;

  // The scan state is target, file_size and this cursor: the tag offset of
  // the last match of the run, 0 before the first; find scans begin here.
  // Only the scans of this run move it.
  std::int64_t cursor = 0;
  // Rewrite mode: the offset from which the file is untouched by the run,
  // just past the tagged value rewritten last; rewrite scans begin here.
  std::int64_t untouched_from_ = 0;
  // The first value of the run.
  const std::int32_t run_first_;
  BlockScanner scanner_;
  RunCandidates candidates_;
};

}  // namespace tagrun

#endif  // TAGRUN_RUN_SCAN_H_
