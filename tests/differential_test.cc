// The tool against the model on many seeded random files dense in tag bytes
// and run values, in both modes, at the default limits and at block sizes
// and candidate caps small enough to exercise every straddle and the
// fallback; and on sparse files, whose holes the scan skips, on tmpfs and on
// the disk's file system.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "model.h"
#include "tagged_value.h"
#include "test_util.h"

namespace tagrun::testing {
namespace {

// First values near the places where a run wraps or changes its top bytes.
std::int32_t random_first(std::mt19937_64& random) {
  const std::int32_t interesting[] = {
      0, 1, -1, -100, INT_MAX - 48, INT_MIN, 0x12FFFFA0, 0x0605FFF0, 0x06060600, 100663296, -50};
  if (random() % 2 == 0) {
    return interesting[random() % std::size(interesting)];
  }
  return static_cast<std::int32_t>(random());
}

std::int32_t random_new_first(std::mt19937_64& random, std::int32_t first) {
  switch (random() % 6) {
    case 0:
      return 0;  // find mode
    case 1:
      return run_value(first, 1);
    case 2:
      return run_value(first, static_cast<int>(random() % 176) + 1);
    case 3:
      return run_value(first, -static_cast<int>(random() % 176) - 1);
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
    const int k =
        random() % 8 == 0 ? static_cast<int>(random() % 177) : static_cast<int>(i * 177 / count);
    const Bytes value = tagged(run_value(first, k));
    file.insert(file.end(), value.begin(), value.end());
    if (random() % 4 == 0) {
      file.push_back(static_cast<std::uint8_t>(random()));
    }
  }
  for (const std::int32_t new_first : {0, run_value(first, 1), 5}) {
    SCOPED_TRACE("new first " + std::to_string(new_first));
    const ModelRun expected = model_run(file, first, new_first);
    const InProcessRun run =
        run_in_process(file, {std::to_string(first), std::to_string(new_first)});
    ASSERT_EQ(run.out, expected.output);
    ASSERT_EQ(run.bytes, expected.bytes);
    ASSERT_EQ(run.exit_status, 0);
  }
}

constexpr std::size_t kPage = 4096;

// The folders sparse files are made in: tmpfs, and the disk's file system.
std::vector<std::string> sparse_dirs() {
  std::vector<std::string> dirs{"/tmp"};
  if (::access("/dev/shm", W_OK) == 0) {
    dirs.emplace_back("/dev/shm");
  }
  return dirs;
}

// Random bytes with a few tagged run values: few enough that the values at
// extent ends decide what a run finds.
Bytes sparse_values(std::mt19937_64& random, std::int32_t first, std::size_t size) {
  Bytes bytes(size);
  for (std::uint8_t& byte : bytes) {
    byte = static_cast<std::uint8_t>(random());
  }
  for (std::size_t i = 0; i < size / 1000 && size >= 5; ++i) {
    const Bytes value = tagged(run_value(first, static_cast<int>(random() % 177)));
    std::copy(value.begin(), value.end(),
              bytes.begin() + static_cast<std::ptrdiff_t>(random() % (size - 4)));
  }
  return bytes;
}

// A sparse file of size bytes: random extents (page-aligned, so that the
// file system leaves real holes between them) of the random_file pieces,
// zeros elsewhere. Some extents end in a tag byte and the low bytes of a
// run value whose high bytes are zero: the rest of the value lies in the
// hole that follows, so the value matches only if the hole's zeros are read
// as zeros. With first near 0, such values are in the run.
Bytes sparse_file(std::mt19937_64& random, std::int32_t first, std::size_t size,
                  std::vector<Extent>& extents) {
  Bytes file(size, 0);
  extents.clear();
  const std::size_t pages = (size + kPage - 1) / kPage;
  const unsigned data_share = static_cast<unsigned>(random() % 4);  // 0: all hole
  for (std::size_t page = 0; page < pages;) {
    std::size_t length = 1 + random() % 3;
    length = std::min(length, pages - page);
    if (random() % 4 < data_share) {
      const std::size_t offset = page * kPage;
      const std::size_t bytes = std::min(length * kPage, size - offset);
      const Bytes data = random() % 3 == 0 ? random_file(random, first, bytes)
                                           : sparse_values(random, first, bytes);
      std::copy(data.begin(), data.end(), file.begin() + static_cast<std::ptrdiff_t>(offset));
      if (random() % 3 != 0 && offset + bytes < size) {
        // 1 to 4 bytes of a tagged value at the extent's end.
        const std::size_t in_extent = std::min<std::size_t>(1 + random() % 4, bytes);
        const std::int32_t value =
            random() % 4 == 0 ? 0 : static_cast<std::int32_t>(random() % 177);
        const Bytes whole = tagged(value);
        std::copy(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(in_extent),
                  file.begin() + static_cast<std::ptrdiff_t>(offset + bytes - in_extent));
      }
      if (!extents.empty() && extents.back().offset + extents.back().length == offset) {
        extents.back().length += bytes;
      } else {
        extents.push_back({offset, bytes});
      }
    }
    page += length;
  }
  return file;
}

// First values whose runs hold 0 and the small values at extent ends, and
// now and then any first value.
std::int32_t sparse_first(std::mt19937_64& random) {
  if (random() % 4 == 0) {
    return random_first(random);
  }
  return -static_cast<std::int32_t>(random() % 177);
}

void expect_model_on_sparse(const Bytes& file, const std::vector<Extent>& extents,
                            const std::string& dir, std::int32_t first, std::int32_t new_first,
                            const ScanLimits& limit) {
  const ModelRun expected = model_run(file, first, new_first);
  const InProcessRun run = run_in_process_sparse(
      file, extents, dir, {std::to_string(first), std::to_string(new_first)}, limit);
  ASSERT_EQ(run.out, expected.output);
  ASSERT_EQ(run.bytes, expected.bytes);
  ASSERT_EQ(run.exit_status, 0);
}

TEST(DifferentialTest, MatchesTheModelOnSparseFiles) {
  const ScanLimits limits[] = {
      {},
      {.block_size = 1, .candidate_cap = 0},
      {.block_size = 5, .candidate_cap = 3},
      {.block_size = 7, .candidate_cap = 1 << 20},
      {.block_size = 4096, .candidate_cap = 2},
      {.block_size = 4097, .candidate_cap = 1 << 20},
      {.block_size = 3 * 4096 - 2, .candidate_cap = 40},
  };
  for (const std::string& dir : sparse_dirs()) {
    std::mt19937_64 random(20261212);
    for (int round = 0; round < 250; ++round) {
      const std::int32_t first = sparse_first(random);
      const std::int32_t new_first = random_new_first(random, first);
      const ScanLimits& limit = limits[static_cast<std::size_t>(round) % std::size(limits)];
      // Tiny blocks read a byte or a few per call: keep their files short.
      const std::size_t pages = limit.block_size < 64 ? 3 : 12;
      const std::size_t size = random() % (pages * kPage) + (random() % 2 == 0 ? 0 : kPage);
      std::vector<Extent> extents;
      const Bytes file = sparse_file(random, first, size, extents);
      SCOPED_TRACE(dir + " round " + std::to_string(round) + ": first " + std::to_string(first) +
                   ", new first " + std::to_string(new_first) + ", size " + std::to_string(size) +
                   ", extents " + std::to_string(extents.size()) + ", block " +
                   std::to_string(limit.block_size) + ", cap " +
                   std::to_string(limit.candidate_cap));
      expect_model_on_sparse(file, extents, dir, first, new_first, limit);
      if (::testing::Test::HasFatalFailure()) {
        return;
      }
    }
  }
}

// Holes longer than the default block, extents of a page to over a block,
// at the default block size; with a small cap, the rereads and the backward
// search for the last candidates cross the holes too.
TEST(DifferentialTest, MatchesTheModelOnSparseFilesPastABlock) {
  constexpr std::size_t kBlock = ScanLimits{}.block_size;
  for (const std::string& dir : sparse_dirs()) {
    std::mt19937_64 random(99);
    for (int round = 0; round < 6; ++round) {
      const std::int32_t first = sparse_first(random);
      const std::int32_t new_first = random_new_first(random, first);
      Bytes file(4 * kBlock + random() % (2 * kBlock), 0);
      std::vector<Extent> extents;
      // An extent at the start or not, then extents and holes of up to two
      // blocks; the last may end before the file does.
      for (std::size_t at = random() % 2 == 0 ? 0 : kPage * (1 + random() % 200);
           at < file.size();) {
        const std::size_t length =
            std::min(file.size() - at, kPage * (1 + random() % (2 * kBlock / kPage)));
        const Bytes data = random() % 3 == 0 ? random_file(random, first, length)
                                             : sparse_values(random, first, length);
        std::copy(data.begin(), data.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
        if (at + length < file.size()) {
          // A tag whose value, 0 or a small one, runs into the hole.
          const std::size_t in_extent = 1 + random() % 4;
          const Bytes value = tagged(static_cast<std::int32_t>(random() % 177));
          std::copy(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(in_extent),
                    file.begin() + static_cast<std::ptrdiff_t>(at + length - in_extent));
        }
        extents.push_back({at, length});
        at += length + kPage * (1 + random() % (2 * kBlock / kPage));
      }
      for (const ScanLimits& limit :
           {ScanLimits{}, ScanLimits{.block_size = kBlock, .candidate_cap = 100}}) {
        SCOPED_TRACE(dir + " round " + std::to_string(round) + ", cap " +
                     std::to_string(limit.candidate_cap));
        expect_model_on_sparse(file, extents, dir, first, new_first, limit);
        if (::testing::Test::HasFatalFailure()) {
          return;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tagrun::testing
