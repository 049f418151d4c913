#include "model.h"

#include <cstdio>

namespace tagrun::testing {
namespace {

std::int32_t add_wrapping(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

std::int32_t value_at(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = value << 8 | bytes[at + static_cast<std::size_t>(i)];
  }
  return static_cast<std::int32_t>(value);
}

bool is_tagged_value(const std::vector<std::uint8_t>& bytes, std::size_t tag, std::int32_t value) {
  return bytes[tag] == 0x06 && tag + 5 <= bytes.size() && value_at(bytes, tag + 1) == value;
}

}  // namespace

ModelRun model_run(std::vector<std::uint8_t> bytes, std::int32_t first, std::int32_t new_first) {
  ModelRun run;
  char line[80];
  std::size_t cursor = 0;
  // Rewrite mode never scans a byte it has written: each scan begins just
  // past the tagged value rewritten last.
  std::size_t rewrite_from = 0;
  for (std::int32_t i = 0; i < 177; ++i) {
    const std::int32_t value = add_wrapping(first, i);
    if (new_first == 0) {
      for (std::size_t o = cursor; o < bytes.size(); ++o) {
        if (is_tagged_value(bytes, o, value)) {
          std::snprintf(line, sizeof line, "found %d at location %zu \n", value, o + 1);
          run.output += line;
          cursor = o;
        }
      }
    } else {
      const std::int32_t new_value = add_wrapping(new_first, i);
      for (std::size_t o = rewrite_from; o < bytes.size(); ++o) {
        if (is_tagged_value(bytes, o, value)) {
          for (std::size_t b = 0; b < 4; ++b) {
            bytes[o + 1 + b] =
                static_cast<std::uint8_t>(static_cast<std::uint32_t>(new_value) >> (8 * b));
          }
          std::snprintf(line, sizeof line, "to: %d \n", new_value);
          run.output += line;
          cursor = o;
          rewrite_from = o + 5;
          break;
        }
      }
    }
  }
  run.bytes = std::move(bytes);
  return run;
}

}  // namespace tagrun::testing
