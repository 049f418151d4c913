// Conversion of a value argument from its decimal text.
#ifndef TAGRUN_VALUE_TEXT_H_
#define TAGRUN_VALUE_TEXT_H_

#include <cstdint>
#include <string_view>

namespace tagrun {

// Converts text to a 32-bit value. Never fails: leading white space (bytes
// 0x09 to 0x0D and 0x20) is skipped, one '+' or '-' is taken, then ASCII
// digits up to the first byte that is not one; each digit wraps modulo 2^32,
// a '-' negates the result, and everything after the digits is ignored.
// Text without digits gives 0.
std::int32_t parse_value(std::string_view text);

}  // namespace tagrun

#endif  // TAGRUN_VALUE_TEXT_H_
