// The candidates of one run, gathered in one scan of the file, so that the
// run's RUN_LENGTH scans can be answered without reading the file again.
//
// The last candidate of every run index is always kept. The candidates
// themselves are kept, grouped by run index in file order, up to a fixed
// cap; past it they are dropped and complete() turns false (what the run
// does then is told once, at RunScan::for_each_candidate in run_scan.cc).
#ifndef TAGRUN_RUN_CANDIDATES_H_
#define TAGRUN_RUN_CANDIDATES_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "large_buffer.h"
#include "tagged_value.h"

namespace tagrun {

class RunCandidates {
 public:
  // Allocates room for |cap| candidates at once, so that a run allocates
  // nothing once it has started; check ready() before the first add.
  explicit RunCandidates(std::size_t cap);

  // Whether the room for the candidates could be allocated.
  [[nodiscard]] bool ready() const { return cap_ == 0 || !storage_.empty(); }

  void clear();

  // Records the candidate whose tag lies at |tag_offset| and whose value has
  // run index |k|. Calls for one run index must come in ascending order of
  // |tag_offset|; the lists keep file order from that alone.
  void add(std::int64_t tag_offset, int k);

  // Whether every candidate added since clear() is still held.
  [[nodiscard]] bool complete() const { return complete_; }

  // The tag offset of the last candidate of run index |k|, if there is one.
  [[nodiscard]] std::optional<std::int64_t> last(int k) const;

  // Calls |visit|(tag_offset) for each held candidate of run index |k|, in
  // file order, until |visit| returns false. Requires complete().
  template <class Visit>
  void for_each(int k, Visit&& visit) const;

 private:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  std::size_t cap_;
  bool complete_ = true;
  std::size_t size_ = 0;
  std::array<std::int64_t, RUN_LENGTH> last_{};
  // One singly linked list per run index, through entries_.
  std::array<std::uint32_t, RUN_LENGTH> head_{};
  std::array<std::uint32_t, RUN_LENGTH> tail_{};
  // One entry per held candidate: its tag offset and the entry after it in
  // its list, together, so that a run with few candidates touches one page.
  // 12 bytes, not 16: the offset is split in two words.
  struct Entry {
    std::uint32_t offset_low;
    std::uint32_t offset_high;
    std::uint32_t next;
    [[nodiscard]] std::int64_t offset() const {
      return static_cast<std::int64_t>(std::uint64_t{offset_high} << 32 | offset_low);
    }
  };
  // Allocated whole at construction, so that growing never holds two
  // copies; pages that are never touched cost no memory.
  LargeBuffer storage_;
  Entry* entries_ = nullptr;
};

template <class Visit>
void RunCandidates::for_each(int k, Visit&& visit) const {
  for (std::uint32_t i = head_[static_cast<std::size_t>(k)]; i != kNone; i = entries_[i].next) {
    if (!visit(entries_[i].offset())) {
      return;
    }
  }
}

}  // namespace tagrun

#endif  // TAGRUN_RUN_CANDIDATES_H_
