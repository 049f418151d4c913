#include "run_candidates.h"

#include <cassert>

namespace tagrun {

RunCandidates::RunCandidates(std::size_t cap)
    : cap_(cap),
      storage_(cap * sizeof(Entry)),
      entries_(reinterpret_cast<Entry*>(storage_.data())) {
  clear();
}

void RunCandidates::clear() {
  assert(cap_ < kNone);
  complete_ = true;
  size_ = 0;
  last_.fill(-1);
  head_.fill(kNone);
  tail_.fill(kNone);
}

void RunCandidates::add(std::int64_t tag_offset, int k) {
  assert(0 <= k && k < RUN_LENGTH);
  const auto index = static_cast<std::size_t>(k);
  assert(tag_offset > last_[index]);
  last_[index] = tag_offset;
  if (!complete_) {
    return;
  }
  if (size_ == cap_) {
    // The memory is kept: the run allocates nothing once it has started.
    complete_ = false;
    return;
  }
  const auto entry = static_cast<std::uint32_t>(size_++);
  const auto bits = static_cast<std::uint64_t>(tag_offset);
  entries_[entry] =
      Entry{static_cast<std::uint32_t>(bits), static_cast<std::uint32_t>(bits >> 32), kNone};
  if (tail_[index] == kNone) {
    head_[index] = entry;
  } else {
    entries_[tail_[index]].next = entry;
  }
  tail_[index] = entry;
}

std::optional<std::int64_t> RunCandidates::last(int k) const {
  const std::int64_t offset = last_[static_cast<std::size_t>(k)];
  if (offset < 0) {
    return std::nullopt;
  }
  return offset;
}

}  // namespace tagrun
