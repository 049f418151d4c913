// The candidate filter on every path this CPU supports against a byte-at-a-
// time rule, on random bytes dense in tag bytes and in run values, at every
// start offset and at lengths around the vector widths; and BlockScanner's
// forward and backward scans at tiny block sizes, where tagged values
// straddle blocks, and on sparse files, where they must read the data and
// skip the holes.
#include "block_scan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "candidate_filter.h"
#include "test_util.h"

namespace tagrun::testing {
namespace {

constexpr FilterPath kPaths[] = {FilterPath::kPlain, FilterPath::kPortable, FilterPath::kAvx2,
                                 FilterPath::kAvx512};

// First values whose runs wrap, cross a top byte, or are made of tag bytes.
constexpr std::int32_t kFirsts[] = {
    0x12FFFFA0, 0x06060606, 0x06060606 - 176, 0x060605F0, 0x0605FFF0,
    0,          -1,         INT_MAX - 48,     INT_MIN,    0x12345678};

std::int32_t plus(std::int32_t a, std::int64_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

// Random bytes dense in tag bytes, in the run's values (whole or cut short,
// so tags overlap) and in values just outside the run.
Bytes dense_bytes(std::mt19937_64& random, std::int32_t first, std::size_t size) {
  Bytes bytes;
  while (bytes.size() < size) {
    switch (random() % 4) {
      case 0:
        bytes.push_back(static_cast<std::uint8_t>(random()));
        break;
      case 1:
        bytes.push_back(0x06);
        break;
      default: {
        const Bytes value = tagged(plus(first, static_cast<std::int64_t>(random() % 181) - 2));
        bytes.insert(bytes.end(), value.begin(), value.begin() + 1 + random() % 5);
        break;
      }
    }
  }
  bytes.resize(size);
  return bytes;
}

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
    const Bytes bytes = dense_bytes(random, first, 512);
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
    const Bytes bytes = dense_bytes(random, first, 4096);
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

// A file of dense random bytes, open for reading, and its (tag, k) list.
class ScannerTest : public ::testing::Test {
 protected:
  void make(std::int32_t first, std::size_t size, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    first_ = first;
    bytes_ = dense_bytes(random, first, size);
    path_ = dir_.file("scan.bin");
    write_file(path_, bytes_);
    fd_ = FileDescriptor(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd_.is_open());
  }

  // Candidates for first + shift .. + count - 1 whose five bytes lie in [begin, end).
  std::vector<std::pair<std::int64_t, int>> expected(std::int64_t begin, std::int64_t end,
                                                     int shift, std::uint32_t count) const {
    std::vector<std::pair<std::int64_t, int>> found;
    const std::int32_t first = plus(first_, shift);
    for (std::int64_t t = begin; t + 5 <= end; ++t) {
      const auto i = static_cast<std::size_t>(t);
      const std::uint32_t k = run_distance(first, load_value(&bytes_[i + 1]));
      if (bytes_[i] == 0x06 && k < count) {
        found.emplace_back(t, static_cast<int>(k));
      }
    }
    return found;
  }

  TempDir dir_;
  std::string path_;
  FileDescriptor fd_;
  std::int32_t first_ = 0;
  Bytes bytes_;
};

TEST_F(ScannerTest, ScanSeesEveryCandidateOnceAtAnyBlockSize) {
  for (const std::int32_t first : {0x12FFFFA0, 0x06060606, -1}) {
    make(first, 3000, static_cast<std::uint64_t>(first));
    const auto size = static_cast<std::int64_t>(bytes_.size());
    for (const std::size_t block : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 31u, 64u, 65u, 100u, 4096u}) {
      BlockScanner scanner(fd_.get(), block);
      const std::pair<std::int64_t, std::int64_t> ranges[] = {
          {0, size}, {0, 4}, {1, 6}, {7, 700}, {999, size - 1}};
      for (const auto& [begin, end] : ranges) {
        for (const auto& [shift, count] : {std::pair{0, std::uint32_t{RUN_LENGTH}}, {5, 1u}}) {
          std::vector<std::pair<std::int64_t, int>> seen;
          const Status status =
              scanner.scan(begin, end, plus(first, shift), count, [&](std::int64_t t, int k) {
                seen.emplace_back(t, k);
                return true;
              });
          ASSERT_TRUE(status.is_ok());
          EXPECT_EQ(seen, expected(begin, end, shift, count))
              << "first " << first << " block " << block << " range " << begin << ".." << end
              << " count " << count;
        }
      }
    }
  }
}

TEST_F(ScannerTest, ScanStopsWhereVisitSaysSoAndNoticesAShortFile) {
  make(0x12FFFFA0, 2000, 3);
  const auto all = expected(0, 2000, 0, RUN_LENGTH);
  ASSERT_GT(all.size(), 20u);
  BlockScanner scanner(fd_.get(), 7);
  std::vector<std::pair<std::int64_t, int>> seen;
  ASSERT_TRUE(scanner
                  .scan(0, 2000, first_, RUN_LENGTH,
                        [&](std::int64_t t, int k) {
                          seen.emplace_back(t, k);
                          return seen.size() < 10;
                        })
                  .is_ok());
  EXPECT_EQ(seen, std::vector(all.begin(), all.begin() + 10));
  const Status past_end =
      scanner.scan(0, 2001, first_, RUN_LENGTH, [](std::int64_t, int) { return true; });
  EXPECT_EQ(past_end.message(), Status::file_changed().message());
}

TEST_F(ScannerTest, FindLastMatchesTheLastCandidateOfEachIndex) {
  for (const std::int32_t first : {0x12FFFFA0, 0x06060606 - 100}) {
    make(first, 2500, 11);
    const auto size = static_cast<std::int64_t>(bytes_.size());
    for (const std::size_t block : {1u, 2u, 5u, 6u, 64u, 333u, 4096u}) {
      BlockScanner scanner(fd_.get(), block);
      for (const auto& [begin, end] : {std::pair<std::int64_t, std::int64_t>{0, size},
                                       {1200, size},
                                       {3, 9},
                                       {0, 4},
                                       {500, 1500}}) {
        // Indexes with no candidate in the range keep what they held.
        std::array<std::int64_t, RUN_LENGTH> want;
        want.fill(-7);
        for (const auto& [t, k] : expected(begin, end, 0, RUN_LENGTH)) {
          want[static_cast<std::size_t>(k)] = t;
        }
        std::array<std::int64_t, RUN_LENGTH> last;
        last.fill(-7);
        ASSERT_TRUE(scanner.find_last(begin, end, first, last).is_ok());
        EXPECT_EQ(last, want) << "first " << first << " block " << block << " range " << begin
                              << ".." << end;
      }
    }
  }
}

// A sparse file of size bytes (a multiple of 4096) with three small extents
// of random bytes without tag bytes, and four candidates of the run from 0:
// two whose value bytes run into the hole after their extent.
class SparseScanTest : public ::testing::TestWithParam<const char*> {
 protected:
  static constexpr std::int64_t kPage = 4096;

  void make(std::int64_t size) {
    if (::access(GetParam(), W_OK) != 0) {
      GTEST_SKIP() << "no " << GetParam();
    }
    dir_ = std::make_unique<TempDir>(GetParam());
    path_ = dir_->file("sparse.bin");
    size_ = size;
    const std::int64_t a = size / 10 * 3 / kPage * kPage;
    const std::int64_t b = size / 10 * 7 / kPage * kPage;
    put(a, noise(2 * kPage));
    put(b, noise(kPage));
    put(size - kPage, noise(kPage));
    put(a, tagged(0));
    put(a + 2 * kPage - 2, {0x06, 5});  // holds 5: 05 00 00 00
    put(b + 100, tagged(7));
    put(b + kPage - 1, {0x06});  // holds 0
    expected_ = {{a, 0}, {a + 2 * kPage - 2, 5}, {b + 100, 7}, {b + kPage - 1, 0}};
    ASSERT_EQ(::truncate(path_.c_str(), size), 0);
    fd_ = FileDescriptor(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd_.is_open());
    if (::lseek(fd_.get(), 0, SEEK_HOLE) == size) {
      GTEST_SKIP() << GetParam() << " does not report holes";
    }
  }

  static Bytes noise(std::int64_t size) {
    std::mt19937_64 random(static_cast<std::uint64_t>(size));
    Bytes bytes(static_cast<std::size_t>(size));
    for (std::uint8_t& byte : bytes) {
      byte = static_cast<std::uint8_t>(random());
      byte = byte == 0x06 ? 0x07 : byte;
    }
    return bytes;
  }

  void put(std::int64_t offset, const Bytes& bytes) const {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(::close(fd), 0);
  }

  std::vector<std::pair<std::int64_t, int>> scan_all(BlockScanner& scanner) const {
    std::vector<std::pair<std::int64_t, int>> seen;
    EXPECT_TRUE(scanner
                    .scan(0, size_, 0, RUN_LENGTH,
                          [&](std::int64_t t, int k) {
                            seen.emplace_back(t, k);
                            return true;
                          })
                    .is_ok());
    return seen;
  }

  std::array<std::int64_t, RUN_LENGTH> expected_last() const {
    std::array<std::int64_t, RUN_LENGTH> last;
    last.fill(-1);
    for (const auto& [t, k] : expected_) {
      last[static_cast<std::size_t>(k)] = t;
    }
    return last;
  }

  std::unique_ptr<TempDir> dir_;
  std::string path_;
  std::int64_t size_ = 0;
  FileDescriptor fd_;
  std::vector<std::pair<std::int64_t, int>> expected_;
};

// Correct results alone would not show that holes are skipped: reading
// them as zeros gives the same. The bytes read do: a 1 GiB file holding
// 16 KiB of data costs a few reads, each at most the first read after a
// hole (64 KiB) forwards and about the data backwards, whatever its
// apparent size.
TEST_P(SparseScanTest, ReadsTheDataAndSkipsTheHoles) {
  make(std::int64_t{1} << 30);
  if (IsSkipped()) {
    return;
  }
  for (const std::size_t block : {std::size_t{4096}, ScanLimits{}.block_size}) {
    BlockScanner forward(fd_.get(), block);
    EXPECT_EQ(scan_all(forward), expected_) << "block " << block;
    EXPECT_LE(forward.bytes_read(), 3 * 64 * 1024) << "block " << block;

    BlockScanner backward(fd_.get(), block);
    std::array<std::int64_t, RUN_LENGTH> last;
    last.fill(-1);
    ASSERT_TRUE(backward.find_last(0, size_, 0, last).is_ok());
    EXPECT_EQ(last, expected_last()) << "block " << block;
    // From the end backwards, a chunk's leading hole is not read either.
    EXPECT_LE(backward.bytes_read(), 20 * 1024) << "block " << block;
  }
}

off_t seek_unsupported(int, off_t, int) {
  errno = EINVAL;
  return -1;
}

// As a file system without holes answers SEEK_DATA.
off_t seek_all_data(int, off_t offset, int) { return offset; }

// Where the file system cannot tell, or tells that all is data, every byte
// is read, and the results are the same.
TEST_P(SparseScanTest, ReadsEverythingWhereTheFileSystemCannotTell) {
  make(std::int64_t{16} << 20);
  if (IsSkipped()) {
    return;
  }
  for (const SeekCall seek : {&seek_unsupported, &seek_all_data}) {
    BlockScanner forward(fd_.get(), 65536, seek);
    EXPECT_EQ(scan_all(forward), expected_);
    EXPECT_EQ(forward.bytes_read(), size_);

    BlockScanner backward(fd_.get(), 65536, seek);
    std::array<std::int64_t, RUN_LENGTH> last;
    last.fill(-1);
    ASSERT_TRUE(backward.find_last(0, size_, 0, last).is_ok());
    EXPECT_EQ(last, expected_last());
  }
}

// A file that became shorter than the range is noticed even where the range
// ends in a hole that is never read.
TEST_P(SparseScanTest, NoticesAShortFileBehindAHole) {
  make(std::int64_t{16} << 20);
  if (IsSkipped()) {
    return;
  }
  BlockScanner scanner(fd_.get(), 4096);
  const auto ignore = [](std::int64_t, int) { return true; };
  EXPECT_TRUE(scanner.scan(0, size_ - 2 * kPage, 0, RUN_LENGTH, ignore).is_ok());
  EXPECT_EQ(scanner.scan(0, size_ + 1, 0, RUN_LENGTH, ignore).message(),
            Status::file_changed().message());
  std::array<std::int64_t, RUN_LENGTH> last;
  last.fill(-1);
  EXPECT_EQ(scanner.find_last(size_ / 2, size_ + 1, 0, last).message(),
            Status::file_changed().message());
}

INSTANTIATE_TEST_SUITE_P(FileSystems, SparseScanTest, ::testing::Values("/dev/shm", "/tmp"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param).substr(1) == "tmp" ? "Disk" : "Tmpfs";
                         });

}  // namespace
}  // namespace tagrun::testing
