#include "run_candidates.h"

#include <cassert>

namespace tagrun {

void RunCandidates::clear() {
  assert(cap_ < kNone);
  complete_ = true;
  last_.fill(-1);
  head_.fill(kNone);
  tail_.fill(kNone);
  offsets_.clear();
  next_.clear();
}

void RunCandidates::add(std::int64_t tag_offset, int k) {
  assert(0 <= k && k < RUN_LENGTH);
  const auto index = static_cast<std::size_t>(k);
  assert(tag_offset > last_[index]);
  last_[index] = tag_offset;
  if (!complete_) {
    return;
  }
  if (offsets_.size() == cap_) {
    complete_ = false;
    // Give the memory back: the rest of the run rereads the file instead.
    std::vector<std::int64_t>().swap(offsets_);
    std::vector<std::uint32_t>().swap(next_);
    return;
  }
  if (offsets_.capacity() == 0) {
    // Reserved whole at once, so that growing never holds two copies; pages
    // that are never touched cost no memory.
    offsets_.reserve(cap_);
    next_.reserve(cap_);
  }
  const auto entry = static_cast<std::uint32_t>(offsets_.size());
  offsets_.push_back(tag_offset);
  next_.push_back(kNone);
  if (tail_[index] == kNone) {
    head_[index] = entry;
  } else {
    next_[tail_[index]] = entry;
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
