// The scan loop: every read of the target file made to look for a run's
// values goes through BlockScanner::scan, and every byte it reads is tested
// by find_candidates. A fast filter belongs in find_candidates and nowhere
// else.
//
// A candidate is a tag byte whose four value bytes hold one of the run's
// RUN_LENGTH values; every other byte of the file is irrelevant to a run.
#ifndef TAGRUN_BLOCK_SCAN_H_
#define TAGRUN_BLOCK_SCAN_H_

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "file_access.h"
#include "status.h"
#include "tagged_value.h"

namespace tagrun {

// Tests the tag positions from, from + 1, ..., tags - 1 of bytes, which must
// hold at least tags + 4 bytes (the value bytes of the last position), and
// writes the position of each candidate of the run starting at first into
// out, in ascending order, stopping when out is full. Returns the number of
// positions written; *next is set to the position to resume from (tags when
// every position was tested).
std::size_t find_candidates(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t tags,
                            std::int32_t first, std::span<std::uint32_t> out, std::size_t* next);

// Reads byte ranges of the target file block by block through one fixed
// buffer, carrying the last four bytes of a block into the next, so that a
// tagged value that straddles two blocks is seen exactly once.
class BlockScanner {
 public:
  BlockScanner(int fd, std::size_t block_size);

  // Calls visit(tag_offset, k) for every candidate whose five bytes lie in
  // [begin, end), in file order, k being its run index; visit returns false
  // to stop the scan there. Returns ok, or the read error, or file_changed
  // when the file ends before end.
  template <class Visit>
  Status scan(std::int64_t begin, std::int64_t end, std::int32_t first, Visit&& visit);

 private:
  static constexpr std::size_t kCarry = TAGGED_VALUE_SIZE - 1;

  int fd_;
  std::size_t block_size_;
  std::vector<std::uint8_t> buffer_;
};

template <class Visit>
Status BlockScanner::scan(std::int64_t begin, std::int64_t end, std::int32_t first, Visit&& visit) {
  assert(0 <= begin);
  std::array<std::uint32_t, 1024> found;
  std::int64_t base = begin;  // file offset of buffer_[0]
  std::size_t carried = 0;
  while (true) {
    const std::int64_t read_from = base + static_cast<std::int64_t>(carried);
    if (read_from >= end) {
      return Status::ok();
    }
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(end - read_from, static_cast<std::int64_t>(block_size_)));
    const Transfer read =
        read_at(fd_, std::as_writable_bytes(std::span(buffer_).subspan(carried, want)), read_from);
    if (read.error != 0) {
      return Status::read_error(read.error);
    }
    if (read.bytes < want) {
      return Status::file_changed();
    }
    const std::size_t have = carried + want;
    if (have < TAGGED_VALUE_SIZE) {
      carried = have;  // no tag fits yet: read on (blocks may be tiny)
      continue;
    }
    const std::size_t tags = have - kCarry;
    const std::span<const std::uint8_t> bytes(buffer_.data(), have);
    for (std::size_t from = 0; from < tags;) {
      const std::size_t count = find_candidates(bytes, from, tags, first, found, &from);
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t position = found[i];
        const auto k = static_cast<int>(run_distance(first, load_value(&buffer_[position + 1])));
        if (!visit(base + static_cast<std::int64_t>(position), k)) {
          return Status::ok();
        }
      }
    }
    std::memmove(buffer_.data(), buffer_.data() + tags, kCarry);
    base += static_cast<std::int64_t>(tags);
    carried = kCarry;
  }
}

}  // namespace tagrun

#endif  // TAGRUN_BLOCK_SCAN_H_
