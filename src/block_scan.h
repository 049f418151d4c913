// The scan loop: every read of the target file made to look for a run's
// values goes through BlockScanner, and every byte it reads is tested by
// find_candidates (candidate_filter.h), where a fast filter belongs and
// nowhere else.
//
// A candidate is a tag byte whose four value bytes hold one of the values
// looked for: the run's RUN_LENGTH values, or a single one of them when a
// scan rereads the file for one value; every other byte of the file is
// irrelevant to a run.
//
// Holes: the scanner asks the file system where data lies (lseek with
// SEEK_DATA) and reads only that. A hole reads as zero bytes, and a zero
// byte is never a tag, so no candidate starts in a hole; but the value bytes
// of a tag in the last four bytes of an extent lie in the hole after it, and
// are zeros. Every hole edge is handled here, and nothing outside this unit
// knows of holes. Where the file system cannot tell, the whole file counts
// as data and is read, so results never depend on the answer, only the
// cost does. A file changed while it is scanned gives the results of some
// moment's contents, as reads of a changing file always do.
#ifndef TAGRUN_BLOCK_SCAN_H_
#define TAGRUN_BLOCK_SCAN_H_

#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "candidate_filter.h"
#include "file_access.h"
#include "large_buffer.h"
#include "status.h"
#include "tagged_value.h"

namespace tagrun {

using SeekCall = off_t (*)(int fd, off_t offset, int whence);

// Reads byte ranges of the target file block by block through one fixed
// buffer, carrying the last four bytes of a block into the next, so that a
// tagged value that straddles two blocks is seen exactly once. Each block is
// read to a 64-byte aligned address, the carried bytes just before it.
//
// Before each read the scanner asks where the next data lies and skips the
// hole before it. Asking is an lseek, which moves the descriptor's offset:
// harmless, since every transfer on the target is a pread or pwrite at an
// explicit offset. seek replaces lseek in tests.
class BlockScanner {
 public:
  // Allocates the read buffer; check ready() before a scan.
  BlockScanner(int fd, std::size_t block_size, SeekCall seek = nullptr);

  // Whether the read buffer could be allocated.
  [[nodiscard]] bool ready() const { return !storage_.empty(); }

  // Calls |visit|(tag_offset, k) for every candidate for the values |first|
  // to |first| + |count| - 1 whose five bytes lie in [|begin|, |end|), in
  // file order, k being its distance from |first|; |visit| returns false to
  // stop the scan there. Returns ok, or the read error, or file_changed
  // when the file ends before |end|.
  template <class Visit>
  Status scan(std::int64_t begin, std::int64_t end, std::int32_t first, std::uint32_t count,
              Visit&& visit);

  // For each run index k of the run starting at |first|, sets |last|[k] to
  // the tag offset of the last candidate of k whose five bytes lie in
  // [|begin|, |end|), and leaves it as it is when there is none. Reads
  // blocks from |end| backwards and stops as soon as every run index has
  // one, so it reads no more than [|begin|, |end|) once. Returns ok, or the
  // read error, or file_changed when the file ends before |end|.
  Status find_last(std::int64_t begin, std::int64_t end, std::int32_t first,
                   std::span<std::int64_t, RUN_LENGTH> last);

  // The bytes this scanner has read from the file so far: what a scan cost.
  [[nodiscard]] std::int64_t bytes_read() const { return bytes_read_; }

 private:
  static constexpr std::size_t kCarry = TAGGED_VALUE_SIZE - 1;
  static constexpr std::size_t kAlign = 64;
  // The first read after a hole: an extent's end is known only by reading
  // on and asking again, so reads after a hole grow from this size to the
  // block size, and a small extent costs about its own size, not a block.
  static constexpr std::size_t kFirstReadAfterHole = std::size_t{64} << 10;

  // Fills bytes from offset. Returns ok, the read error, or file_changed
  // when the file ends first.
  Status read_exactly(std::span<std::uint8_t> bytes, std::int64_t offset);

  // Returns ok when the file still holds the byte before end (after a scan
  // that skipped the holes up to end without reading them), file_changed
  // when it ends before, or the read error.
  Status check_reaches(std::int64_t end);

  // The offset of the first data byte in [offset, end), or end when there
  // is none. offset itself when the file system cannot tell (and from then
  // on, without asking again).
  std::int64_t next_data(std::int64_t offset, std::int64_t end);

  // One past the last data byte in [begin, before), or begin when there is
  // none. Called only when [before, ...) begins with a hole; the hole is
  // skipped backwards in steps that double, then its start is found by
  // bisection, so a hole of any length costs a few dozen questions.
  std::int64_t end_of_data_before(std::int64_t begin, std::int64_t before);

  // Calls |visit|(position, k) for every candidate at the tag positions
  // [0, |end|) of |bytes|, in order, until |visit| returns false. Returns
  // whether every candidate was visited.
  template <class Visit>
  static bool for_each_candidate(std::span<const std::uint8_t> bytes, std::size_t end,
                                 std::int32_t first, std::uint32_t count, Visit&& visit);

  int fd_;
  std::size_t block_size_;
  SeekCall seek_;
  // False once the file system has failed to say where data lies.
  bool holes_known_ = true;
  std::int64_t bytes_read_ = 0;
  LargeBuffer storage_;
  // Where blocks are read to: aligned, with kCarry bytes before it.
  std::uint8_t* block_;
};

template <class Visit>
bool BlockScanner::for_each_candidate(std::span<const std::uint8_t> bytes, std::size_t end,
                                      std::int32_t first, std::uint32_t count, Visit&& visit) {
  std::array<std::uint32_t, 1024> found;
  for (std::size_t from = 0; from < end;) {
    const std::size_t n = find_candidates(bytes, from, end, first, count, found, &from);
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
  std::size_t read_size = block_size_;
  // The end of the last read: the file is known to reach it.
  std::int64_t read_to = begin;
  for (std::int64_t read_from = begin; read_from < end;) {
    const std::int64_t data = next_data(read_from, end);
    std::size_t want = 0;
    if (data == read_from) {
      want = static_cast<std::size_t>(
          std::min<std::int64_t>(end - read_from, static_cast<std::int64_t>(read_size)));
      if (Status read = read_exactly(std::span(block_, want), read_from); !read.is_ok()) {
        return read;
      }
      read_to = read_from + static_cast<std::int64_t>(want);
      read_size = std::min(read_size * 2, block_size_);
    } else if (carried == 0) {
      read_from = data;  // nothing pending: skip the hole
      read_size = std::min(kFirstReadAfterHole, block_size_);
      continue;
    } else {
      // [read_from, data) is a hole: the carried tags' value bytes that lie
      // in it are its zeros.
      want = static_cast<std::size_t>(
          std::min<std::int64_t>(data - read_from, static_cast<std::int64_t>(kCarry)));
      std::memset(block_, 0, want);
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
    const std::size_t tag_end = bytes.size() - kCarry;
    const bool go_on =
        for_each_candidate(bytes, tag_end, first, count, [&](std::uint32_t position, int k) {
          return visit(base + static_cast<std::int64_t>(position), k);
        });
    if (!go_on) {
      return Status::ok();
    }
    if (read_from < data) {
      // The carried bytes would be the hole's zeros, which hold no tag.
      carried = 0;
      read_from = data;
      read_size = std::min(kFirstReadAfterHole, block_size_);
      continue;
    }
    std::memmove(block_ - kCarry, bytes.data() + tag_end, kCarry);
    carried = kCarry;
  }
  return read_to < end ? check_reaches(end) : Status::ok();
}

}  // namespace tagrun

#endif  // TAGRUN_BLOCK_SCAN_H_
