#include "block_scan.h"

#include "candidate_filter.h"

namespace tagrun {

BlockScanner::BlockScanner(int fd, std::size_t block_size)
    : fd_(fd),
      block_size_(block_size),
      storage_(kAlign + block_size + kCarry),
      // storage_ is aligned: the carry fits in the first kAlign bytes.
      block_(storage_.empty() ? nullptr
                              : reinterpret_cast<std::uint8_t*>(storage_.data()) + kAlign) {
  assert(block_size > 0);
  assert(block_size <= UINT32_MAX - kCarry);
}

std::size_t find_candidates(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t tags,
                            std::int32_t first, std::uint32_t count, std::span<std::uint32_t> out,
                            std::size_t* next) {
  assert(1 <= count && count <= RUN_LENGTH);
  return find_candidates_on(fastest_filter_path(), bytes, from, tags, first, count, out, next);
}

Status BlockScanner::read_exactly(std::span<std::uint8_t> bytes, std::int64_t offset) const {
  const Transfer read = read_at(fd_, std::as_writable_bytes(bytes), offset);
  if (read.error != 0) {
    return Status::read_error(read.error);
  }
  if (read.bytes < bytes.size()) {
    return Status::file_changed();
  }
  return Status::ok();
}

Status BlockScanner::find_last(std::int64_t begin, std::int64_t end, std::int32_t first,
                               std::span<std::int64_t, RUN_LENGTH> last) {
  assert(0 <= begin);
  std::array<bool, RUN_LENGTH> known{};
  int unknown = RUN_LENGTH;
  // Chunks of tag offsets [chunk_begin, chunk_end), from the end backwards;
  // each chunk is read with the four value bytes of its last tag.
  for (std::int64_t chunk_end = end - (TAGGED_VALUE_SIZE - 1); chunk_end > begin && unknown > 0;) {
    const std::int64_t chunk_begin =
        std::max<std::int64_t>(begin, chunk_end - static_cast<std::int64_t>(block_size_));
    const auto tags = static_cast<std::size_t>(chunk_end - chunk_begin);
    const std::span<std::uint8_t> bytes(block_, tags + kCarry);
    if (Status read = read_exactly(bytes, chunk_begin); !read.is_ok()) {
      return read;
    }
    // The last candidate of each run index in this chunk.
    std::array<std::int64_t, RUN_LENGTH> chunk_last;
    chunk_last.fill(-1);
    for_each_candidate(bytes, tags, first, RUN_LENGTH, [&](std::uint32_t position, int k) {
      chunk_last[static_cast<std::size_t>(k)] = chunk_begin + static_cast<std::int64_t>(position);
      return true;
    });
    for (std::size_t k = 0; k < RUN_LENGTH; ++k) {
      if (!known[k] && chunk_last[k] >= 0) {
        known[k] = true;
        last[k] = chunk_last[k];
        --unknown;
      }
    }
    chunk_end = chunk_begin;
  }
  return Status::ok();
}

}  // namespace tagrun
