#include "block_scan.h"

namespace tagrun {

BlockScanner::BlockScanner(int fd, std::size_t block_size)
    : fd_(fd), block_size_(block_size), buffer_(block_size + kCarry) {
  assert(block_size > 0);
  assert(block_size <= UINT32_MAX - kCarry);
}

std::size_t find_candidates(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t tags,
                            std::int32_t first, std::span<std::uint32_t> out, std::size_t* next) {
  assert(tags + 4 <= bytes.size());
  const std::uint8_t* const data = bytes.data();
  std::size_t count = 0;
  std::size_t i = from;
  while (i < tags && count < out.size()) {
    const void* const tag = std::memchr(data + i, VALUE_TAG, tags - i);
    if (tag == nullptr) {
      i = tags;
      break;
    }
    i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(tag) - data);
    if (run_distance(first, load_value(data + i + 1)) < RUN_LENGTH) {
      out[count++] = static_cast<std::uint32_t>(i);
    }
    ++i;
  }
  *next = i;
  return count;
}

}  // namespace tagrun
