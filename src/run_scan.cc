// The run: the gathering, the matching of each value, and the writes.
#include "run_scan.h"

#include <sys/resource.h>

#include <array>
#include <cassert>
#include <cerrno>
#include <optional>

#include "file_access.h"

namespace tagrun {
namespace {

// Whether a write that ends at end (exclusive) keeps within the process's
// file size limit: the kernel refuses a write that begins past the soft
// limit, and cuts short one that crosses it, even inside an existing file.
bool within_size_limit(std::int64_t end) {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return true;
  }
  return static_cast<std::uint64_t>(end) <= limit.rlim_cur;
}

}  // namespace

RunScan::RunScan(Key /*key*/, int target_fd, std::int64_t size, std::int32_t first,
                 const ScanLimits& limits)
    : target(target_fd),
      file_size(size),
      run_first_(first),
      scanner_(target_fd, limits.block_size),
      candidates_(limits.candidate_cap) {}

Status RunScan::gather(int target_fd, std::int64_t size, std::int32_t first,
                       const ScanLimits& limits, std::optional<RunScan>& run) {
  run.emplace(Key{}, target_fd, size, first, limits);
  Status status = run->ready() ? run->gather_candidates() : Status::out_of_memory();
  if (!status.is_ok()) {
    run.reset();
  }
  return status;
}

Status RunScan::gather_candidates() {
  std::int64_t overflow_at = -1;
  const Status status =
      scanner_.scan(0, file_size, run_first_, RUN_LENGTH, [&](std::int64_t tag_offset, int k) {
        candidates_.add(tag_offset, k);
        if (!candidates_.complete()) {
          overflow_at = tag_offset;
          return false;
        }
        return true;
      });
  if (!status.is_ok() || overflow_at < 0) {
    return status;
  }
  // Past the cap only the last candidate of each run index is still needed
  // (see for_each_candidate), and the last candidates lie nearest the end:
  // find them backwards. Each lies past overflow_at, so past every
  // candidate of its index added so far.
  std::array<std::int64_t, RUN_LENGTH> last;
  last.fill(-1);
  if (Status found = scanner_.find_last(overflow_at + 1, file_size, run_first_, last);
      !found.is_ok()) {
    return found;
  }
  for (int k = 0; k < RUN_LENGTH; ++k) {
    if (last[static_cast<std::size_t>(k)] >= 0) {
      candidates_.add(last[static_cast<std::size_t>(k)], k);
    }
  }
  return Status::ok();
}

int RunScan::run_index(std::int32_t value) const {
  const std::uint32_t k = run_distance(run_first_, value);
  assert(k < RUN_LENGTH);
  return static_cast<int>(k);
}

// The one place that knows where candidates come from. While the list held
// every candidate gathered, they come from it. Past its cap the gathering
// stopped where the list overflowed and kept only the last candidate of
// each run index, which a backward scan from the end of the file finds,
// usually within a few blocks; the candidates of k from `from` on then come
// from a reread of [from, last + 5) that looks for k's value alone, so only
// that value's tags reach the visitor.
//
// Those rereads are bounded and disjoint, so a run reads each byte at most
// once more: in find mode the reread for k begins at cursor c_k, and the
// next at max(c_k, last[k]); in rewrite mode the reread for k spans
// [untouched_from, match], and untouched_from then moves past the match.
// Every byte from untouched_from on is as it was when the run was gathered,
// which is why the writes can wait until all scans are done.
//
// A reread whose visits all return true must end at the last candidate the
// gathering saw; when it does not, the file changed in between.
template <class Visit>
Status RunScan::for_each_candidate(int k, std::int64_t from, Visit&& visit) {
  const std::optional<std::int64_t> last = candidates_.last(k);
  if (!last || *last < from) {
    return Status::ok();
  }
  std::int64_t visited = -1;
  bool stopped = false;
  const auto visit_from = [&](std::int64_t tag_offset) {
    if (tag_offset < from) {
      return true;
    }
    visited = tag_offset;
    stopped = !visit(tag_offset);
    return !stopped;
  };
  if (candidates_.complete()) {
    candidates_.for_each(k, visit_from);
  } else {
    const Status status =
        scanner_.scan(from, *last + TAGGED_VALUE_SIZE, run_value(run_first_, k), 1,
                      [&](std::int64_t tag_offset, int) { return visit_from(tag_offset); });
    if (!status.is_ok()) {
      return status;
    }
  }
  if (!stopped && visited != *last) {
    return Status::file_changed();  // the reread disagrees with the gathering
  }
  return Status::ok();
}

Status RunScan::find_value(std::int32_t value, Report& report) {
  std::int64_t reported = -1;
  const Status status = for_each_candidate(run_index(value), cursor, [&](std::int64_t tag_offset) {
    report.found(value, tag_offset + 1);
    reported = tag_offset;
    return true;
  });
  if (status.is_ok() && reported >= 0) {
    cursor = reported;
  }
  return status;
}

Status RunScan::rewrite_value(std::int32_t old_value, std::int32_t new_value, RewritePlan& plan) {
  std::optional<std::int64_t> match;
  const Status status =
      for_each_candidate(run_index(old_value), untouched_from_, [&](std::int64_t tag_offset) {
        match = tag_offset;
        return false;
      });
  if (status.is_ok() && match) {
    plan.add({*match, old_value, new_value});
    cursor = *match;
    untouched_from_ = *match + TAGGED_VALUE_SIZE;
  }
  return status;
}

Status RunScan::find_run(Report& report) {
  for (int i = 0; i < RUN_LENGTH; ++i) {
    if (Status status = find_value(run_value(run_first_, i), report); !status.is_ok()) {
      return status;
    }
  }
  return Status::ok();
}

Status RunScan::rewrite_run(std::int32_t new_first, Report& report, SignalBlock& hold_signals) {
  RewritePlan plan;
  for (int i = 0; i < RUN_LENGTH; ++i) {
    const Status status = rewrite_value(run_value(run_first_, i), run_value(new_first, i), plan);
    if (!status.is_ok()) {
      return status;
    }
  }
  return apply_rewrites(plan.items(), report, hold_signals);
}

Status RunScan::apply_rewrites(std::span<const PlannedRewrite> plan, Report& report,
                               SignalBlock& hold_signals) const {
  if (plan.empty()) {
    return Status::ok();
  }
  // The plan is in file order: if its last field can be written, all can.
  if (!within_size_limit(plan.back().tag_offset + TAGGED_VALUE_SIZE)) {
    return Status::write_error(EFBIG);
  }
  for (const PlannedRewrite& rewrite : plan) {
    std::array<std::uint8_t, TAGGED_VALUE_SIZE> field;
    const Transfer check =
        read_at(target, std::as_writable_bytes(std::span(field)), rewrite.tag_offset);
    if (check.error != 0) {
      return Status::read_error(check.error);
    }
    // A short read means the file now ends before the field: writing it
    // would extend the file.
    if (check.bytes < field.size() || field[0] != VALUE_TAG ||
        load_value(&field[1]) != rewrite.old_value) {
      return Status::file_changed();
    }
    // The limit can be lowered while the run goes on, and a write across it
    // would be cut short, leaving half a field written.
    if (!within_size_limit(rewrite.tag_offset + TAGGED_VALUE_SIZE)) {
      return Status::write_error(EFBIG);
    }
    hold_signals.hold();
    std::array<std::uint8_t, 4> value_bytes;
    store_value(rewrite.new_value, value_bytes.data());
    const Transfer write =
        write_at(target, std::as_bytes(std::span(value_bytes)), rewrite.tag_offset + 1);
    if (write.error != 0) {
      return Status::write_error(write.error);
    }
    // Out at once, so that however the run ends, the lines printed name
    // the fields written.
    report.rewritten(rewrite.new_value);
    (void)report.flush();  // a failure is kept in the report and told at the end
  }
  if (const int error = sync_data(target); error != 0) {
    return Status::write_error(error);
  }
  return Status::ok();
}

Status execute_run(int target_fd, std::int64_t file_size, std::int32_t first,
                   std::int32_t new_first, const ScanLimits& limits, Report& report,
                   SignalBlock& hold_signals) {
  std::optional<RunScan> run;
  if (Status status = RunScan::gather(target_fd, file_size, first, limits, run); !status.is_ok()) {
    return status;
  }
  return is_find_mode(new_first) ? run->find_run(report)
                                 : run->rewrite_run(new_first, report, hold_signals);
}

}  // namespace tagrun
