#include "block_scan.h"

#include <unistd.h>

#include <cerrno>

namespace tagrun {

BlockScanner::BlockScanner(int fd, std::size_t block_size, SeekCall seek)
    : fd_(fd),
      block_size_(block_size),
      seek_(seek != nullptr ? seek : ::lseek),
      storage_(kAlign + block_size + kCarry),
      // storage_ is aligned: the carry fits in the first kAlign bytes.
      block_(storage_.empty() ? nullptr
                              : reinterpret_cast<std::uint8_t*>(storage_.data()) + kAlign) {
  assert(block_size > 0);
  assert(block_size <= UINT32_MAX - kCarry);
}

Status BlockScanner::read_exactly(std::span<std::uint8_t> bytes, std::int64_t offset) {
  const Transfer read = read_at(fd_, std::as_writable_bytes(bytes), offset);
  bytes_read_ += static_cast<std::int64_t>(read.bytes);
  if (read.error != 0) {
    return Status::read_error(read.error);
  }
  if (read.bytes < bytes.size()) {
    return Status::file_changed();
  }
  return Status::ok();
}

Status BlockScanner::check_reaches(std::int64_t end) {
  std::array<std::uint8_t, 1> last_byte;
  return read_exactly(last_byte, end - 1);
}

std::int64_t BlockScanner::next_data(std::int64_t offset, std::int64_t end) {
  if (!holes_known_ || offset >= end) {
    return offset;
  }
  const off_t data = seek_(fd_, static_cast<off_t>(offset), SEEK_DATA);
  if (data >= 0) {
    // Clamped, so that an answer from a file changing meanwhile can neither
    // move a scan backwards nor past its range.
    return std::clamp<std::int64_t>(data, offset, end);
  }
  if (errno == ENXIO) {
    // No data from offset to the end of the file. A file now shorter than
    // end reads as its hole here; the scan's last check notices it.
    return end;
  }
  // EINVAL or EOPNOTSUPP: this file system cannot say. Any other failure is
  // taken the same way: reading everything is always right, and a real read
  // error shows up in the reads.
  holes_known_ = false;
  return offset;
}

std::int64_t BlockScanner::end_of_data_before(std::int64_t begin, std::int64_t before) {
  // [hole_from, before) holds no data; widen it until data shows below.
  std::int64_t hole_from = before;
  auto step = static_cast<std::int64_t>(block_size_);
  std::int64_t data = before;
  while (true) {
    if (hole_from == begin) {
      return begin;
    }
    const std::int64_t from = hole_from - std::min(step, hole_from - begin);
    data = next_data(from, hole_from);
    if (data < hole_from) {
      break;
    }
    hole_from = from;
    step = std::min(step, std::int64_t{1} << 61) * 2;
  }
  // data is a data byte below hole_from: bisect for the last one.
  std::int64_t no_data_from = hole_from;
  while (no_data_from - data > 1) {
    const std::int64_t middle = data + (no_data_from - data) / 2;
    const std::int64_t found = next_data(middle, no_data_from);
    if (found < no_data_from) {
      data = found;
    } else {
      no_data_from = middle;
    }
  }
  return data + 1;
}

Status BlockScanner::find_last(std::int64_t begin, std::int64_t end, std::int32_t first,
                               std::span<std::int64_t, RUN_LENGTH> last) {
  assert(0 <= begin);
  std::array<bool, RUN_LENGTH> known{};
  int unknown = RUN_LENGTH;
  // Chunks of tag offsets [chunk_begin, chunk_end), from the end backwards;
  // each chunk is read with the four value bytes of its last tag, which
  // are zeros where they lie in a hole. A chunk's leading hole is not read,
  // and a chunk that is all hole moves the next chunk's end to the last
  // data byte below it.
  const std::int64_t last_tag_end = end - static_cast<std::int64_t>(kCarry);
  bool reached_end = false;
  for (std::int64_t chunk_end = last_tag_end; chunk_end > begin && unknown > 0;) {
    const std::int64_t chunk_begin =
        std::max<std::int64_t>(begin, chunk_end - static_cast<std::int64_t>(block_size_));
    const std::int64_t data = next_data(chunk_begin, chunk_end);
    if (data == chunk_end) {
      chunk_end = end_of_data_before(begin, chunk_begin);
      continue;
    }
    const auto tag_end = static_cast<std::size_t>(chunk_end - data);
    const std::span<std::uint8_t> bytes(block_, tag_end + kCarry);
    if (Status read = read_exactly(bytes, data); !read.is_ok()) {
      return read;
    }
    reached_end = reached_end || chunk_end == last_tag_end;
    // The last candidate of each run index in this chunk.
    std::array<std::int64_t, RUN_LENGTH> chunk_last;
    chunk_last.fill(-1);
    for_each_candidate(bytes, tag_end, first, RUN_LENGTH, [&](std::uint32_t position, int k) {
      chunk_last[static_cast<std::size_t>(k)] = data + static_cast<std::int64_t>(position);
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
  if (!reached_end && last_tag_end > begin) {
    return check_reaches(end);
  }
  return Status::ok();
}

}  // namespace tagrun
