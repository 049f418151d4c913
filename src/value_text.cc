#include "value_text.h"

#include <cstddef>

namespace tagrun {
namespace {

bool is_white_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::int32_t parse_value(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_white_space(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Unsigned arithmetic wraps modulo 2^32 by definition.
  std::uint32_t value = 0;
  for (; i < text.size() && is_digit(text[i]); ++i) {
    value = value * 10U + static_cast<std::uint32_t>(text[i] - '0');
  }
  if (negative) {
    value = 0U - value;
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace tagrun
