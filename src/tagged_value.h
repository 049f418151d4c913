// The tagged value as it lies in the target file, and the run of values the
// tool handles.
//
// A tagged value is the tag byte 0x06 followed by a signed 32-bit integer,
// least significant byte first, with no alignment: every 0x06 that has four
// bytes after it inside the file is a tag, and tagged values may overlap.
// Its reported location is the offset of its first value byte.
#ifndef TAGRUN_TAGGED_VALUE_H_
#define TAGRUN_TAGGED_VALUE_H_

#include <cstdint>
#include <cstring>

namespace tagrun {

inline constexpr std::uint8_t VALUE_TAG = 0x06;
inline constexpr int RUN_LENGTH = 177;
// The tag byte and four value bytes.
inline constexpr std::int64_t TAGGED_VALUE_SIZE = 5;

// The value of run index k (0 to RUN_LENGTH - 1) of the run starting at
// first: first + k in 32-bit arithmetic that wraps.
constexpr std::int32_t run_value(std::int32_t first, int k) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(first) +
                                   static_cast<std::uint32_t>(k));
}

// The run index of value in the run starting at first, as an unsigned
// distance: value belongs to the run iff the result is below RUN_LENGTH.
constexpr std::uint32_t run_distance(std::int32_t first, std::int32_t value) {
  return static_cast<std::uint32_t>(value) - static_cast<std::uint32_t>(first);
}

// Reads the four value bytes at bytes, least significant first.
inline std::int32_t load_value(const std::uint8_t* bytes) {
  const std::uint32_t value =
      static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
      static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  return static_cast<std::int32_t>(value);
}

// Writes value as four bytes, least significant first.
inline void store_value(std::int32_t value, std::uint8_t* bytes) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  }
}

}  // namespace tagrun

#endif  // TAGRUN_TAGGED_VALUE_H_
