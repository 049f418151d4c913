// The tagged value scan: one gathering pass per run, then each value of the
// run answered from the gathered candidates, or from a bounded reread of the
// file when there were more candidates than the cap.
//
// Past the cap the gathering stops where the list overflowed: from there on
// only last[] is still needed, and a backward scan from the end of the file
// finds it, usually within a few blocks. The rereads then look for one value
// each, so only that value's tags reach the visitor.
//
// Find mode: the scan for run index k begins at cursor c_k and reports every
// candidate of k in [c_k, last[k]]; the next begins at max(c_k, last[k]).
// Those ranges do not overlap, so the rereads of a run read each byte at
// most once more.
//
// Rewrite mode: the scan for k takes the first candidate of k at or after
// untouched_from. Every byte from untouched_from on is as it was when the
// run was gathered, which is why the writes can wait until all scans are
// done. The reread ranges [untouched_from, match] do not overlap either.
#include <sys/resource.h>

#include <array>
#include <cassert>
#include <cerrno>
#include <optional>

#include "file_access.h"
#include "tagrun.h"

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

int run_index(const ScanState& state, std::int32_t value) {
  const std::uint32_t k = run_distance(state.run_first, value);
  assert(k < RUN_LENGTH);
  return static_cast<int>(k);
}

}  // namespace

Status gather_run(ScanState& state, std::int32_t first) {
  state.run_first = first;
  state.cursor = 0;
  state.untouched_from = 0;
  state.candidates.clear();
  std::int64_t overflow_at = -1;
  const Status status = state.scanner.scan(0, state.file_size, first, RUN_LENGTH,
                                           [&](std::int64_t tag_offset, int k) {
                                             state.candidates.add(tag_offset, k);
                                             if (!state.candidates.complete()) {
                                               overflow_at = tag_offset;
                                               return false;
                                             }
                                             return true;
                                           });
  if (!status.is_ok() || overflow_at < 0) {
    return status;
  }
  // Past the cap only last[] is still needed, and the last candidates lie
  // nearest the end: find them backwards. Each lies past overflow_at, so
  // past every candidate of its index added so far.
  std::array<std::int64_t, RUN_LENGTH> last;
  last.fill(-1);
  if (Status found = state.scanner.find_last(overflow_at + 1, state.file_size, first, last);
      !found.is_ok()) {
    return found;
  }
  for (int k = 0; k < RUN_LENGTH; ++k) {
    if (last[static_cast<std::size_t>(k)] >= 0) {
      state.candidates.add(last[static_cast<std::size_t>(k)], k);
    }
  }
  return Status::ok();
}

Status find_value(ScanState& state, std::int32_t value, Report& report) {
  const int k = run_index(state, value);
  const std::optional<std::int64_t> last = state.candidates.last(k);
  if (!last || *last < state.cursor) {
    return Status::ok();
  }
  std::int64_t reported = -1;
  const auto report_from_cursor = [&](std::int64_t tag_offset) {
    if (tag_offset >= state.cursor) {
      report.found(value, tag_offset + 1);
      reported = tag_offset;
    }
    return true;
  };
  if (state.candidates.complete()) {
    state.candidates.for_each(k, report_from_cursor);
  } else {
    // The reread looks for this one value only.
    const Status status = state.scanner.scan(
        state.cursor, *last + TAGGED_VALUE_SIZE, value, 1,
        [&](std::int64_t tag_offset, int) { return report_from_cursor(tag_offset); });
    if (!status.is_ok()) {
      return status;
    }
  }
  if (reported != *last) {
    return Status::file_changed();  // the reread disagrees with the gathering
  }
  state.cursor = reported;
  return Status::ok();
}

Status rewrite_value(ScanState& state, std::int32_t old_value, std::int32_t new_value,
                     RewritePlan& plan) {
  const int k = run_index(state, old_value);
  const std::optional<std::int64_t> last = state.candidates.last(k);
  const std::int64_t begin = state.untouched_from;
  if (!last || *last < begin) {
    return Status::ok();
  }
  std::optional<std::int64_t> match;
  if (state.candidates.complete()) {
    state.candidates.for_each(k, [&](std::int64_t tag_offset) {
      if (tag_offset >= begin) {
        match = tag_offset;
      }
      return !match;
    });
  } else {
    const Status status = state.scanner.scan(begin, *last + TAGGED_VALUE_SIZE, old_value, 1,
                                             [&](std::int64_t tag_offset, int) {
                                               match = tag_offset;
                                               return false;
                                             });
    if (!status.is_ok()) {
      return status;
    }
  }
  if (!match) {
    return Status::file_changed();  // the reread disagrees with the gathering
  }
  plan.add({*match, old_value, new_value});
  state.cursor = *match;
  state.untouched_from = *match + TAGGED_VALUE_SIZE;
  return Status::ok();
}

Status apply_rewrites(const ScanState& state, std::span<const PlannedRewrite> plan, Report& report,
                      SignalBlock& hold_signals) {
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
        read_at(state.target, std::as_writable_bytes(std::span(field)), rewrite.tag_offset);
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
        write_at(state.target, std::as_bytes(std::span(value_bytes)), rewrite.tag_offset + 1);
    if (write.error != 0) {
      return Status::write_error(write.error);
    }
    // Out at once, so that however the run ends, the lines printed name
    // the fields written.
    report.rewritten(rewrite.new_value);
    (void)report.flush();  // a failure is kept in the report and told at the end
  }
  if (const int error = sync_data(state.target); error != 0) {
    return Status::write_error(error);
  }
  return Status::ok();
}

}  // namespace tagrun
