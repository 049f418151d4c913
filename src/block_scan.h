// The scan loop: every read of the target file made to look for a run's
// values goes through BlockScanner, and every byte it reads is tested by
// find_candidates. A fast filter belongs in find_candidates (see
// candidate_filter.h) and nowhere else.
//
// A candidate is a tag byte whose four value bytes hold one of the values
// looked for: the run's RUN_LENGTH values, or a single one of them when a
// scan rereads the file for one value; every other byte of the file is
// irrelevant to a run.
#ifndef TAGRUN_BLOCK_SCAN_H_
#define TAGRUN_BLOCK_SCAN_H_

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "file_access.h"
#include "large_buffer.h"
#include "status.h"
#include "tagged_value.h"

namespace tagrun {

// Tests the tag positions from, from + 1, ..., tags - 1 of bytes, which must
// hold at least tags + 4 bytes (the value bytes of the last position), and
// writes the position of each candidate for the values first to first +
// count - 1 (1 <= count <= RUN_LENGTH) into out, in ascending order,
// stopping when out is full. Returns the number of positions written; *next
// is set to the position to resume from (tags when every position was
// tested). Runs on the fastest filter path of the CPU.
std::size_t find_candidates(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t tags,
                            std::int32_t first, std::uint32_t count, std::span<std::uint32_t> out,
                            std::size_t* next);

// Reads byte ranges of the target file block by block through one fixed
// buffer, carrying the last four bytes of a block into the next, so that a
// tagged value that straddles two blocks is seen exactly once. Each block is
// read to a 64-byte aligned address, the carried bytes just before it.
class BlockScanner {
 public:
  // Allocates the read buffer; check ready() before a scan.
  BlockScanner(int fd, std::size_t block_size);

  // Whether the read buffer could be allocated.
  [[nodiscard]] bool ready() const { return !storage_.empty(); }

  // Calls visit(tag_offset, k) for every candidate for the values first to
  // first + count - 1 whose five bytes lie in [begin, end), in file order, k
  // being its distance from first; visit returns false to stop the scan
  // there. Returns ok, or the read error, or file_changed when the file ends
  // before end.
  template <class Visit>
  Status scan(std::int64_t begin, std::int64_t end, std::int32_t first, std::uint32_t count,
              Visit&& visit);

  // For each run index k of the run starting at first, sets last[k] to the
  // tag offset of the last candidate of k whose five bytes lie in
  // [begin, end), and leaves it as it is when there is none. Reads blocks
  // from end backwards and stops as soon as every run index has one, so it
  // reads no more than [begin, end) once. Returns ok, or the read error, or
  // file_changed when the file ends before end.
  Status find_last(std::int64_t begin, std::int64_t end, std::int32_t first,
                   std::span<std::int64_t, RUN_LENGTH> last);

 private:
  static constexpr std::size_t kCarry = TAGGED_VALUE_SIZE - 1;
  static constexpr std::size_t kAlign = 64;

  // Fills bytes from offset. Returns ok, the read error, or file_changed
  // when the file ends first.
  Status read_exactly(std::span<std::uint8_t> bytes, std::int64_t offset) const;

  // Calls visit(position, k) for every candidate at the tag positions
  // [0, tags) of bytes, in order, until visit returns false. Returns whether
  // every candidate was visited.
  template <class Visit>
  static bool for_each_candidate(std::span<const std::uint8_t> bytes, std::size_t tags,
                                 std::int32_t first, std::uint32_t count, Visit&& visit);

  int fd_;
  std::size_t block_size_;
  LargeBuffer storage_;
  // Where blocks are read to: aligned, with kCarry bytes before it.
  std::uint8_t* block_;
};

template <class Visit>
bool BlockScanner::for_each_candidate(std::span<const std::uint8_t> bytes, std::size_t tags,
                                      std::int32_t first, std::uint32_t count, Visit&& visit) {
  std::array<std::uint32_t, 1024> found;
  for (std::size_t from = 0; from < tags;) {
    const std::size_t n = find_candidates(bytes, from, tags, first, count, found, &from);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t position = found[i];
      const auto k = static_cast<int>(run_distance(first, load_value(&bytes[position + 1])));
      if (!visit(position, k)) {
        return false;
      }
    }
  }
  return true;
}

template <class Visit>
Status BlockScanner::scan(std::int64_t begin, std::int64_t end, std::int32_t first,
                          std::uint32_t count, Visit&& visit) {
  assert(0 <= begin);
  std::size_t carried = 0;
  for (std::int64_t read_from = begin; read_from < end;) {
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(end - read_from, static_cast<std::int64_t>(block_size_)));
    if (Status read = read_exactly(std::span(block_, want), read_from); !read.is_ok()) {
      return read;
    }
    // bytes begins at the carried bytes, file offset base.
    const std::span<const std::uint8_t> bytes(block_ - carried, carried + want);
    const std::int64_t base = read_from - static_cast<std::int64_t>(carried);
    read_from += static_cast<std::int64_t>(want);
    if (bytes.size() < TAGGED_VALUE_SIZE) {
      // No tag fits yet: keep every byte and read on (blocks may be tiny).
      std::memmove(block_ - bytes.size(), bytes.data(), bytes.size());
      carried = bytes.size();
      continue;
    }
    const std::size_t tags = bytes.size() - kCarry;
    const bool go_on =
        for_each_candidate(bytes, tags, first, count, [&](std::uint32_t position, int k) {
          return visit(base + static_cast<std::int64_t>(position), k);
        });
    if (!go_on) {
      return Status::ok();
    }
    std::memmove(block_ - kCarry, bytes.data() + tags, kCarry);
    carried = kCarry;
  }
  return Status::ok();
}

}  // namespace tagrun

#endif  // TAGRUN_BLOCK_SCAN_H_
