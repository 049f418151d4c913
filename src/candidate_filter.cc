#include "candidate_filter.h"

#include <bit>
#include <cassert>
#include <cstring>
#include <utility>

#include "tagged_value.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TAGRUN_X86_FILTERS 1
#include <immintrin.h>
#else
#define TAGRUN_X86_FILTERS 0
#endif

#if defined(__s390x__) && defined(__GNUC__) && !defined(__clang__) && !defined(__VX__)
#define TAGRUN_S390X_VECTOR_CLONE 1
#include <sys/auxv.h>
#else
#define TAGRUN_S390X_VECTOR_CLONE 0
#endif

namespace tagrun {
namespace {

// Where a scan of one call stands: the output and how far it is filled.
struct Output {
  std::uint32_t* positions;
  std::size_t size;
  std::size_t used = 0;
};

std::size_t plain_filter(const std::uint8_t* data, std::size_t from, std::size_t end,
                         std::int32_t first, std::uint32_t count, Output& out) {
  std::size_t i = from;
  while (i < end && out.used < out.size) {
    const void* const tag = std::memchr(data + i, VALUE_TAG, end - i);
    if (tag == nullptr) {
      return end;
    }
    i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(tag) - data);
    if (run_distance(first, load_value(data + i + 1)) < count) {
      out.positions[out.used++] = static_cast<std::uint32_t>(i);
    }
    ++i;
  }
  return i;
}

// The byte patterns of the values looked for. Value bytes are numbered by
// their position after the tag, 1 to 4 (least significant first), here as
// in the vectors b1 to b4 of the paths. A tag holds a value of the range
// iff its bytes 2 to 4 equal those of the lowest value (pattern low) or of
// the highest (pattern high), and its byte 1, less the pattern's offset, is
// at most its width.
struct Patterns {
  explicit Patterns(std::int32_t first, std::uint32_t count) {
    const auto low = static_cast<std::uint32_t>(first);
    const std::uint32_t high = low + count - 1;
    const bool same = low >> 8 == high >> 8;
    for (int b = 1; b <= 4; ++b) {
      low_bytes[b] = value_byte(low, b);
      high_bytes[b] = value_byte(high, b);
    }
    low_offset = low_bytes[1];
    low_width = static_cast<std::uint8_t>((same ? high_bytes[1] : 0xFF) - low_offset);
    high_offset = same ? low_offset : std::uint8_t{0};
    high_width = static_cast<std::uint8_t>(high_bytes[1] - high_offset);
    one_pattern = same;
  }

  // Byte |position| (1 to 4) after the tag of a tagged value holding value.
  static std::uint8_t value_byte(std::uint32_t value, int position) {
    return static_cast<std::uint8_t>(value >> (8 * (position - 1)));
  }

  // Indexed by position after the tag; [0] is unused.
  std::uint8_t low_bytes[5] = {};
  std::uint8_t high_bytes[5] = {};
  std::uint8_t low_offset, low_width, high_offset, high_width;
  // Whether patterns low and high are one and the same, as they are for
  // all but one run in 256: the whole test then needs one of them only.
  bool one_pattern;
};

// Writes position + each set bit of mask; returns false, with *next set to
// the first position not written, when out fills first.
inline bool emit(std::uint64_t mask, std::size_t position, Output& out, std::size_t* next) {
  while (mask != 0) {
    if (out.used == out.size) {
      *next = position + static_cast<std::size_t>(__builtin_ctzll(mask));
      return false;
    }
    out.positions[out.used++] =
        static_cast<std::uint32_t>(position + static_cast<std::size_t>(__builtin_ctzll(mask)));
    mask &= mask - 1;
  }
  return true;
}

// The portable path, for the machine's baseline: see portable_filter.inc.
namespace baseline {
#include "portable_filter.inc"
}  // namespace baseline

#if TAGRUN_S390X_VECTOR_CLONE
// Debian's s390x baseline (z196) has no vector facility, so the path above
// is scalar code there; z13 and later machines run this build of it, which
// the compiler lowers to the vector facility. Its code is compiled for z13
// as a whole: on s390x a function built for one target cannot be inlined
// into one built for another.
#pragma GCC push_options
#pragma GCC target("arch=z13")
namespace z13 {
#include "portable_filter.inc"
}  // namespace z13
#pragma GCC pop_options

bool has_vector_facility() {
  static const bool vector = (getauxval(AT_HWCAP) & HWCAP_S390_VX) != 0;
  return vector;
}
#endif

#if TAGRUN_X86_FILTERS

char as_char(std::uint8_t byte) { return static_cast<char>(byte); }

#define TAGRUN_AVX2 __attribute__((target("avx2")))
#define TAGRUN_AVX512 __attribute__((target("avx512f,avx512bw")))

// Lambdas do not take on the target of the function around them, so the
// vector steps are functions of their own.

TAGRUN_AVX2 inline __m256i splat256(std::uint8_t byte) { return _mm256_set1_epi8(as_char(byte)); }

TAGRUN_AVX2 inline __m256i load256(const std::uint8_t* at) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

// Bytes 1 to 3 of one pattern; top_eq holds the tags whose byte 4 matches.
TAGRUN_AVX2 inline __m256i pattern256(__m256i top_eq, __m256i b1, __m256i b2, __m256i b3,
                                      const std::uint8_t* bytes, std::uint8_t offset,
                                      std::uint8_t width) {
  const __m256i d = _mm256_sub_epi8(b1, splat256(offset));
  const __m256i in_range = _mm256_cmpeq_epi8(_mm256_min_epu8(d, splat256(width)), d);
  return _mm256_and_si256(_mm256_and_si256(top_eq, in_range),
                          _mm256_and_si256(_mm256_cmpeq_epi8(b3, splat256(bytes[3])),
                                           _mm256_cmpeq_epi8(b2, splat256(bytes[2]))));
}

TAGRUN_AVX2 std::size_t avx2_filter(const std::uint8_t* data, std::size_t from, std::size_t end,
                                    std::int32_t first, std::uint32_t count, Output& out) {
  const Patterns p(first, count);
  const __m256i tag = splat256(VALUE_TAG);
  const __m256i top_low = splat256(p.low_bytes[4]);
  const __m256i top_high = splat256(p.high_bytes[4]);
  std::size_t i = from;
  for (; i + 32 <= end; i += 32) {
    const std::uint8_t* const at = data + i;
    const __m256i b4 = load256(at + 4);
    const __m256i tags_eq = _mm256_cmpeq_epi8(load256(at), tag);
    const __m256i top_low_eq = _mm256_and_si256(tags_eq, _mm256_cmpeq_epi8(b4, top_low));
    const __m256i top_high_eq = _mm256_and_si256(tags_eq, _mm256_cmpeq_epi8(b4, top_high));
    const __m256i coarse = _mm256_or_si256(top_low_eq, top_high_eq);
    if (_mm256_testz_si256(coarse, coarse)) {
      continue;
    }
    const __m256i b1 = load256(at + 1);
    const __m256i b2 = load256(at + 2);
    const __m256i b3 = load256(at + 3);
    const __m256i exact =
        p.one_pattern
            ? pattern256(coarse, b1, b2, b3, p.low_bytes, p.low_offset, p.low_width)
            : _mm256_or_si256(
                  pattern256(top_low_eq, b1, b2, b3, p.low_bytes, p.low_offset, p.low_width),
                  pattern256(top_high_eq, b1, b2, b3, p.high_bytes, p.high_offset, p.high_width));
    const auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(exact));
    std::size_t next = 0;
    if (!emit(mask, i, out, &next)) {
      return next;
    }
  }
  // Fewer than 32 positions are left.
  return plain_filter(data, i, end, first, count, out);
}

TAGRUN_AVX512 inline __m512i splat512(std::uint8_t byte) { return _mm512_set1_epi8(as_char(byte)); }

TAGRUN_AVX512 inline __mmask64 pattern512(__mmask64 top_eq, __m512i b1, __m512i b2, __m512i b3,
                                          const std::uint8_t* bytes, std::uint8_t offset,
                                          std::uint8_t width) {
  __mmask64 m = _mm512_mask_cmpeq_epi8_mask(top_eq, b3, splat512(bytes[3]));
  m = _mm512_mask_cmpeq_epi8_mask(m, b2, splat512(bytes[2]));
  const __m512i d = _mm512_sub_epi8(b1, splat512(offset));
  return _mm512_mask_cmple_epu8_mask(m, d, splat512(width));
}

// The candidates among the live positions of the 64 at at. Masked loads
// read nothing outside the live positions' bytes; with every position live
// the compiler drops the masks.
TAGRUN_AVX512 inline __mmask64 candidates512(const std::uint8_t* at, __mmask64 live,
                                             const Patterns& p, __m512i tag, __m512i top_low,
                                             __m512i top_high) {
  const __m512i b4 = _mm512_maskz_loadu_epi8(live, at + 4);
  const __mmask64 tags_eq =
      _mm512_mask_cmpeq_epi8_mask(live, _mm512_maskz_loadu_epi8(live, at), tag);
  const __mmask64 top_low_eq = _mm512_mask_cmpeq_epi8_mask(tags_eq, b4, top_low);
  const __mmask64 top_high_eq = _mm512_mask_cmpeq_epi8_mask(tags_eq, b4, top_high);
  // The cheap test: in most files no tag of the 64 has a pattern's top byte.
  if ((top_low_eq | top_high_eq) == 0) {
    return 0;
  }
  const __m512i b1 = _mm512_maskz_loadu_epi8(live, at + 1);
  const __m512i b2 = _mm512_maskz_loadu_epi8(live, at + 2);
  const __m512i b3 = _mm512_maskz_loadu_epi8(live, at + 3);
  return pattern512(top_low_eq, b1, b2, b3, p.low_bytes, p.low_offset, p.low_width) |
         pattern512(top_high_eq, b1, b2, b3, p.high_bytes, p.high_offset, p.high_width);
}

// The tags in |tags| whose byte 4 (in |top|) is a top byte of the run's
// values: with two top bytes, the second is the first plus one, so one
// unsigned compare of the difference tests both.
template <bool kOneTopByte>
TAGRUN_AVX512 inline __mmask64 top_byte_matches(__mmask64 tags, __m512i top, __m512i top_low) {
  if constexpr (kOneTopByte) {
    return _mm512_mask_cmpeq_epi8_mask(tags, top, top_low);
  } else {
    return _mm512_mask_cmple_epu8_mask(tags, _mm512_sub_epi8(top, top_low), splat512(1));
  }
}

// The dwords (qwords) of high:low shifted down by kCount: the masked form
// with every lane kept, since GCC 12 warns of an uninitialized variable
// inside the plain form's own header code.
template <int kCount>
TAGRUN_AVX512 inline __m512i alignr32(__m512i high, __m512i low) {
  return _mm512_maskz_alignr_epi32(__mmask16{0xFFFF}, high, low, kCount);
}

template <int kCount>
TAGRUN_AVX512 inline __m512i alignr64(__m512i high, __m512i low) {
  return _mm512_maskz_alignr_epi64(__mmask8{0xFF}, high, low, kCount);
}

// Value bytes 1 to 3 of the 64 positions whose byte 4 begins |top|, |before|
// holding the 64 bytes before those: the two vectors' bytes shifted down by
// 3, 2 and 1, so no byte is loaded again at another offset. alignr_epi8
// shifts within 16-byte lanes, so each lane is paired with the lane below it,
// which alignr_epi64 brings into place across the vector.
struct ValueBytes512 {
  TAGRUN_AVX512 ValueBytes512(__m512i before, __m512i top)
      : below(alignr64<6>(top, before)),
        b1(_mm512_alignr_epi8(top, below, 13)),
        b2(_mm512_alignr_epi8(top, below, 14)),
        b3(_mm512_alignr_epi8(top, below, 15)) {}
  __m512i below, b1, b2, b3;
};

// The candidates among the 64 positions whose byte 4 begins |top|, |before|
// holding the 64 bytes before those, given those whose tag and top byte
// match pattern low (|top_low_eq|) or high (|top_high_eq|). It has no early
// exit when neither does: where the pair's cheap test passes, as it does for
// nearly every pair in a file dense in the run's top byte, about one vector
// in 14 still fails it on its own, and a branch on that costs more in
// mispredictions than the test it would skip (measured on whole scans).
TAGRUN_AVX512 inline __mmask64 exact512(__m512i before, __m512i top, __mmask64 top_low_eq,
                                        __mmask64 top_high_eq, const Patterns& p) {
  const ValueBytes512 v(before, top);
  if (p.one_pattern) {
    return pattern512(top_low_eq | top_high_eq, v.b1, v.b2, v.b3, p.low_bytes, p.low_offset,
                      p.low_width);
  }
  return pattern512(top_low_eq, v.b1, v.b2, v.b3, p.low_bytes, p.low_offset, p.low_width) |
         pattern512(top_high_eq, v.b1, v.b2, v.b3, p.high_bytes, p.high_offset, p.high_width);
}

// The cheap test on two vectors at a time: in most files neither holds a
// tag with a pattern's top byte. Tests positions from i on in steps of 128
// and returns where it stopped: where out filled (*full set), or where
// fewer than 128 positions are left. Nearly every run has one top byte for
// all its values, and then one compare fewer per vector is needed.
//
// Each byte is loaded once, in the vector of top bytes (byte 4) of the
// positions 4 before it; the tag bytes and value bytes 1 to 3 are made from
// two such vectors by shifting, not loaded again from the four offsets
// between. The scan's blocks are read to aligned addresses after the four
// carried bytes, so in a scan these loads are aligned from the second block
// on, and none crosses a cache line.
//
// p is a copy of its own: the writes to out could change the bytes of a
// Patterns it refers to, and every broadcast of them would be made again
// after each write.
template <bool kOneTopByte>
TAGRUN_AVX512 std::size_t avx512_pairs(const std::uint8_t* data, std::size_t i, std::size_t end,
                                       Patterns p, Output& out, bool* full) {
  const __m512i tag = splat512(VALUE_TAG);
  const __m512i top_low = splat512(p.low_bytes[4]);
  std::size_t next = 0;
  if (i + 128 > end) {
    return i;
  }
  // Only the last four bytes of the vector before the first matter: the
  // first position's tag and value bytes 1 to 3, in every dword.
  std::int32_t first_bytes = 0;
  std::memcpy(&first_bytes, data + i, sizeof first_bytes);
  __m512i a4 = _mm512_set1_epi32(first_bytes);
  for (; i + 128 <= end; i += 128) {
    const std::uint8_t* const at = data + i;
    const __m512i b4 = _mm512_loadu_si512(at + 4);
    const __m512i c4 = _mm512_loadu_si512(at + 68);
    // Bytes at to at + 63: the last dword of a4, then b4 less its last dword.
    const __mmask64 b_tags = _mm512_cmpeq_epi8_mask(alignr32<15>(b4, a4), tag);
    const __mmask64 c_tags = _mm512_cmpeq_epi8_mask(alignr32<15>(c4, b4), tag);
    const __mmask64 b_top = top_byte_matches<kOneTopByte>(b_tags, b4, top_low);
    const __mmask64 c_top = top_byte_matches<kOneTopByte>(c_tags, c4, top_low);
    const __m512i before = a4;
    a4 = c4;
    if ((b_top | c_top) == 0) {
      continue;
    }
    const __mmask64 b_low = kOneTopByte ? b_top : _mm512_mask_cmpeq_epi8_mask(b_top, b4, top_low);
    const __mmask64 c_low = kOneTopByte ? c_top : _mm512_mask_cmpeq_epi8_mask(c_top, c4, top_low);
    const __mmask64 b_high = kOneTopByte ? b_top : b_top & ~b_low;
    const __mmask64 c_high = kOneTopByte ? c_top : c_top & ~c_low;
    if (!emit(exact512(before, b4, b_low, b_high, p), i, out, &next) ||
        !emit(exact512(b4, c4, c_low, c_high, p), i + 64, out, &next)) {
      *full = true;
      return next;
    }
  }
  return i;
}

TAGRUN_AVX512 std::size_t avx512_filter(const std::uint8_t* data, std::size_t from, std::size_t end,
                                        std::int32_t first, std::uint32_t count, Output& out) {
  const Patterns p(first, count);
  const __m512i tag = splat512(VALUE_TAG);
  const __m512i top_low = splat512(p.low_bytes[4]);
  const __m512i top_high = splat512(p.high_bytes[4]);
  constexpr __mmask64 kAll = ~__mmask64{0};
  bool full = false;
  std::size_t i = p.low_bytes[4] == p.high_bytes[4]
                      ? avx512_pairs<true>(data, from, end, p, out, &full)
                      : avx512_pairs<false>(data, from, end, p, out, &full);
  if (full) {
    return i;
  }
  std::size_t next = 0;
  for (; i + 64 <= end; i += 64) {
    const __mmask64 found = candidates512(data + i, kAll, p, tag, top_low, top_high);
    if (found != 0 && !emit(found, i, out, &next)) {
      return next;
    }
  }
  if (i < end) {
    const __mmask64 live = (__mmask64{1} << (end - i)) - 1;
    if (!emit(candidates512(data + i, live, p, tag, top_low, top_high), i, out, &next)) {
      return next;
    }
  }
  return end;
}

#endif  // TAGRUN_X86_FILTERS

}  // namespace

bool filter_path_supported(FilterPath path) {
  switch (path) {
    case FilterPath::kPlain:
    case FilterPath::kPortable:
      return true;
#if TAGRUN_X86_FILTERS
    case FilterPath::kAvx2:
      return __builtin_cpu_supports("avx2");
    case FilterPath::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#else
    case FilterPath::kAvx2:
    case FilterPath::kAvx512:
      return false;
#endif
  }
  return false;
}

FilterPath fastest_filter_path() {
#ifdef TAGRUN_FORCED_FILTER_PATH
  if (filter_path_supported(FilterPath::TAGRUN_FORCED_FILTER_PATH)) {
    return FilterPath::TAGRUN_FORCED_FILTER_PATH;
  }
#endif
  // The order measured by the benchmark's filter section on 512 KiB blocks
  // (see README.md, Performance), not the order of vector width.
  static const FilterPath fastest = filter_path_supported(FilterPath::kAvx512) ? FilterPath::kAvx512
                                    : filter_path_supported(FilterPath::kAvx2)
                                        ? FilterPath::kAvx2
                                        : FilterPath::kPortable;
  return fastest;
}

const char* filter_path_name(FilterPath path) {
  switch (path) {
    case FilterPath::kPlain:
      return "plain";
    case FilterPath::kPortable:
      return "portable";
    case FilterPath::kAvx2:
      return "avx2";
    case FilterPath::kAvx512:
      return "avx512bw";
  }
  return "unknown";
}

std::size_t find_candidates(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t end,
                            std::int32_t first, std::uint32_t count, std::span<std::uint32_t> out,
                            std::size_t* next, FilterPath path) {
  assert(end + 4 <= bytes.size());
  assert(1 <= count && count <= 256);
  assert(filter_path_supported(path));
  Output output{out.data(), out.size()};
  switch (path) {
#if TAGRUN_X86_FILTERS
    case FilterPath::kAvx512:
      *next = avx512_filter(bytes.data(), from, end, first, count, output);
      break;
    case FilterPath::kAvx2:
      *next = avx2_filter(bytes.data(), from, end, first, count, output);
      break;
#endif
    case FilterPath::kPortable:
#if TAGRUN_S390X_VECTOR_CLONE
      if (has_vector_facility()) {
        *next = z13::portable_filter(bytes.data(), from, end, first, count, output);
        break;
      }
#endif
      *next = baseline::portable_filter(bytes.data(), from, end, first, count, output);
      break;
    default:
      *next = plain_filter(bytes.data(), from, end, first, count, output);
      break;
  }
  return output.used;
}

}  // namespace tagrun
