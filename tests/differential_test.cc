// The tool against the model on many seeded random files dense in tag bytes
// and run values, in both modes, at the default limits and at block sizes
// and candidate caps small enough to exercise every straddle and the
// fallback.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "model.h"
#include "test_util.h"

namespace tagrun::testing {
namespace {

std::int32_t plus(std::int32_t a, std::int64_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

// First values near the places where a run wraps or changes its top bytes.
std::int32_t random_first(std::mt19937_64& random) {
  const std::int32_t interesting[] = {
      0, 1, -1, -100, INT_MAX - 48, INT_MIN, 0x12FFFFA0, 0x0605FFF0, 0x06060600, 100663296, -50};
  if (random() % 2 == 0) {
    return interesting[random() % std::size(interesting)];
  }
  return static_cast<std::int32_t>(random());
}

// A file of random pieces: noise, bare tag bytes, and tagged values of the
// run and of its neighbours, sometimes overlapping.
Bytes random_file(std::mt19937_64& random, std::int32_t first, std::size_t size) {
  Bytes file;
  while (file.size() < size) {
    switch (random() % 6) {
      case 0:
        file.push_back(static_cast<std::uint8_t>(random()));
        break;
      case 1:
        file.push_back(0x06);
        break;
      case 2:
      case 3: {
        const Bytes value = tagged(plus(first, static_cast<std::int64_t>(random() % 12)));
        file.insert(file.end(), value.begin(), value.end());
        break;
      }
      case 4: {
        const Bytes value = tagged(plus(first, static_cast<std::int64_t>(random() % 181) - 2));
        file.insert(file.end(), value.begin(), value.end());
        break;
      }
      default: {
        // A tagged value cut short, so that the next one overlaps it.
        const Bytes value = tagged(plus(first, static_cast<std::int64_t>(random() % 12)));
        file.insert(file.end(), value.begin(), value.begin() + 1 + random() % 4);
        break;
      }
    }
  }
  file.resize(size);
  return file;
}

std::int32_t random_new_first(std::mt19937_64& random, std::int32_t first) {
  switch (random() % 6) {
    case 0:
      return 0;  // find mode
    case 1:
      return plus(first, 1);
    case 2:
      return plus(first, static_cast<std::int64_t>(random() % 176) + 1);
    case 3:
      return plus(first, -static_cast<std::int64_t>(random() % 176) - 1);
    case 4:
      return first;
    default:
      return static_cast<std::int32_t>(random());
  }
}

TEST(DifferentialTest, MatchesTheModelOnRandomFiles) {
  const ScanLimits limits[] = {
      {},
      {.block_size = 1, .candidate_cap = 0},
      {.block_size = 2, .candidate_cap = 1},
      {.block_size = 7, .candidate_cap = 5},
      {.block_size = 64, .candidate_cap = 1 << 20},
  };
  std::mt19937_64 random(20261211);
  for (int round = 0; round < 1500; ++round) {
    const std::int32_t first = random_first(random);
    const std::int32_t new_first = random_new_first(random, first);
    const Bytes file = random_file(random, first, random() % 400);
    const ModelRun expected = model_run(file, first, new_first);
    const ScanLimits& limit = limits[static_cast<std::size_t>(round) % std::size(limits)];
    SCOPED_TRACE("round " + std::to_string(round) + ": first " + std::to_string(first) +
                 ", new first " + std::to_string(new_first) + ", size " +
                 std::to_string(file.size()) + ", block " + std::to_string(limit.block_size) +
                 ", cap " + std::to_string(limit.candidate_cap));
    const InProcessRun run =
        run_in_process(file, {std::to_string(first), std::to_string(new_first)}, limit);
    ASSERT_EQ(run.out, expected.output);
    ASSERT_EQ(run.bytes, expected.bytes);
    ASSERT_EQ(run.exit_status, 0);
  }
}

// Files larger than a block and dense in candidates, past the default cap's
// small cousins, so that the fallback rereads several blocks.
TEST(DifferentialTest, MatchesTheModelAcrossManyBlocks) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 40; ++round) {
    const std::int32_t first = random_first(random);
    const std::int32_t new_first = random_new_first(random, first);
    const Bytes file = random_file(random, first, 20000 + random() % 20000);
    const ModelRun expected = model_run(file, first, new_first);
    const ScanLimits limit{
        .block_size = 1000 + random() % 3000,
        .candidate_cap = random() % 2 == 0 ? std::size_t{100} : std::size_t{1} << 20};
    SCOPED_TRACE("round " + std::to_string(round));
    const InProcessRun run =
        run_in_process(file, {std::to_string(first), std::to_string(new_first)}, limit);
    ASSERT_EQ(run.out, expected.output);
    ASSERT_EQ(run.bytes, expected.bytes);
    ASSERT_EQ(run.exit_status, 0);
  }
}

// More candidates than the default cap holds, at the default limits: the
// gathering stops at the cap, the last candidates are found from the end
// backwards, and each value is reread over blocks of the real size.
TEST(DifferentialTest, MatchesTheModelPastTheDefaultCap) {
  std::mt19937_64 random(11);
  const std::int32_t first = 0x12FFFFA0;  // the run crosses a top byte
  const std::size_t count = ScanLimits{}.candidate_cap + 100000;
  Bytes file;
  file.reserve(count * 6);
  for (std::size_t i = 0; i < count; ++i) {
    // Mostly in run order, so that many values are found; now and then a
    // value out of order, and noise between.
    const std::int64_t k = random() % 8 == 0 ? static_cast<std::int64_t>(random() % 177)
                                             : static_cast<std::int64_t>(i * 177 / count);
    const Bytes value = tagged(plus(first, k));
    file.insert(file.end(), value.begin(), value.end());
    if (random() % 4 == 0) {
      file.push_back(static_cast<std::uint8_t>(random()));
    }
  }
  for (const std::int32_t new_first : {0, plus(first, 1), 5}) {
    SCOPED_TRACE("new first " + std::to_string(new_first));
    const ModelRun expected = model_run(file, first, new_first);
    const InProcessRun run =
        run_in_process(file, {std::to_string(first), std::to_string(new_first)});
    ASSERT_EQ(run.out, expected.output);
    ASSERT_EQ(run.bytes, expected.bytes);
    ASSERT_EQ(run.exit_status, 0);
  }
}

}  // namespace
}  // namespace tagrun::testing
