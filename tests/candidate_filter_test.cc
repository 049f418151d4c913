// The candidate filter on every path this CPU supports against a byte-at-a-
// time rule, on random bytes dense in tag bytes and in run values, at every
// start offset and at lengths around the vector widths; and the choice of
// path at run time.
#include "candidate_filter.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tagged_value.h"
#include "test_util.h"

namespace tagrun::testing {
namespace {

constexpr FilterPath kPaths[] = {FilterPath::kPlain, FilterPath::kPortable, FilterPath::kAvx2,
                                 FilterPath::kAvx512};

// First values whose runs wrap, cross a top byte, or are made of tag bytes.
constexpr std::int32_t kFirsts[] = {
    0x12FFFFA0, 0x06060606, 0x06060606 - 176, 0x060605F0, 0x0605FFF0,
    0,          -1,         INT_MAX - 48,     INT_MIN,    0x12345678};

// The rule, one position at a time.
std::vector<std::uint32_t> expected_candidates(const Bytes& bytes, std::size_t from,
                                               std::size_t tags, std::int32_t first,
                                               std::uint32_t count) {
  std::vector<std::uint32_t> found;
  for (std::size_t i = from; i < tags; ++i) {
    if (bytes[i] == 0x06 && run_distance(first, load_value(&bytes[i + 1])) < count) {
      found.push_back(static_cast<std::uint32_t>(i));
    }
  }
  return found;
}

// Every candidate of [from, tags) through path, out_size at a time.
std::vector<std::uint32_t> filter_candidates(FilterPath path, const Bytes& bytes, std::size_t from,
                                             std::size_t tags, std::int32_t first,
                                             std::uint32_t count, std::size_t out_size) {
  std::vector<std::uint32_t> found;
  std::vector<std::uint32_t> out(out_size);
  for (std::size_t at = from; at < tags;) {
    const std::size_t before = at;
    const std::size_t n = find_candidates(bytes, at, tags, first, count, out, &at, path);
    found.insert(found.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    if (n == 0 && at == before) {
      ADD_FAILURE() << "no progress at " << at;
      break;
    }
  }
  return found;
}

class FilterPathTest : public ::testing::TestWithParam<FilterPath> {
 protected:
  void SetUp() override {
    if (!filter_path_supported(GetParam())) {
      GTEST_SKIP() << filter_path_name(GetParam()) << " is not supported on this CPU";
    }
  }
};

TEST_P(FilterPathTest, MatchesTheRuleAtEveryOffsetAndLength) {
  std::mt19937_64 random(7);
  const std::size_t lengths[] = {0,  1,  2,  3,  4,  5,  31,  32,  33,  36,  63,
                                 64, 65, 68, 95, 96, 97, 127, 128, 129, 191, 300};
  for (const std::int32_t first : kFirsts) {
    const Bytes bytes = random_file(random, first, 512);
    for (const std::uint32_t count : {std::uint32_t{RUN_LENGTH}, std::uint32_t{1}, 2u, 100u}) {
      for (std::size_t from = 0; from < 70; ++from) {
        for (const std::size_t length : lengths) {
          const std::size_t tags = from + length;
          // Exactly the bytes the call may read, so a sanitizer build sees
          // any read past them.
          const Bytes exact(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(tags + 4));
          ASSERT_EQ(filter_candidates(GetParam(), exact, from, tags, first, count, 1024),
                    expected_candidates(exact, from, tags, first, count))
              << "first " << first << " count " << count << " from " << from << " length "
              << length;
        }
      }
    }
  }
}

TEST_P(FilterPathTest, ResumesWhereTheOutputFilled) {
  std::mt19937_64 random(8);
  for (const std::int32_t first : kFirsts) {
    const Bytes bytes = random_file(random, first, 4096);
    const std::size_t tags = bytes.size() - 4;
    const auto expected = expected_candidates(bytes, 3, tags, first, RUN_LENGTH);
    ASSERT_GT(expected.size(), 100u);  // the data is dense enough to fill out often
    for (const std::size_t out_size : {1u, 2u, 3u, 63u, 64u, 65u}) {
      EXPECT_EQ(filter_candidates(GetParam(), bytes, 3, tags, first, RUN_LENGTH, out_size),
                expected)
          << "first " << first << " out " << out_size;
    }
  }
}

TEST_P(FilterPathTest, FindsOnlyRunValuesInAFileOfTagBytes) {
  // 06 06 06 ...: every position is a tag holding 0x06060606.
  const Bytes bytes(200, 0x06);
  for (const std::int32_t first : {0x06060606, 0x06060606 - 176, 0x06060607, 0x06060506}) {
    EXPECT_EQ(filter_candidates(GetParam(), bytes, 0, 196, first, RUN_LENGTH, 1024),
              expected_candidates(bytes, 0, 196, first, RUN_LENGTH))
        << first;
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, FilterPathTest, ::testing::ValuesIn(kPaths),
                         [](const ::testing::TestParamInfo<FilterPath>& info) {
                           return std::string(filter_path_name(info.param));
                         });

TEST(FilterPathChoice, FastestIsSupportedAndStable) {
  const FilterPath fastest = fastest_filter_path();
  EXPECT_TRUE(filter_path_supported(fastest));
  EXPECT_EQ(fastest_filter_path(), fastest);
#ifdef TAGRUN_FORCED_FILTER_PATH
  // A build for measurement that fixes the path.
  if (filter_path_supported(FilterPath::TAGRUN_FORCED_FILTER_PATH)) {
    EXPECT_EQ(fastest, FilterPath::TAGRUN_FORCED_FILTER_PATH);
  }
#else
  // The measured order; the plain path is never the choice.
  const FilterPath expected = filter_path_supported(FilterPath::kAvx512) ? FilterPath::kAvx512
                              : filter_path_supported(FilterPath::kAvx2) ? FilterPath::kAvx2
                                                                         : FilterPath::kPortable;
  EXPECT_EQ(fastest, expected);
#endif
}

}  // namespace
}  // namespace tagrun::testing
