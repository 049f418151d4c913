// BlockScanner's forward and backward scans at tiny block sizes, where
// tagged values straddle blocks, and on sparse files, where they must read
// the data and skip the holes.
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

#include "tagged_value.h"
#include "test_util.h"

namespace tagrun::testing {
namespace {

// A file of random bytes dense in candidates, open for reading, and its
// (tag, k) list.
class ScannerTest : public ::testing::Test {
 protected:
  void make(std::int32_t first, std::size_t size, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    first_ = first;
    bytes_ = random_file(random, first, size);
    path_ = dir_.file("scan.bin");
    write_file(path_, bytes_);
    fd_ = FileDescriptor(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd_.is_open());
  }

  // Candidates for first + shift .. + count - 1 whose five bytes lie in [begin, end).
  std::vector<std::pair<std::int64_t, int>> expected(std::int64_t begin, std::int64_t end,
                                                     int shift, std::uint32_t count) const {
    std::vector<std::pair<std::int64_t, int>> found;
    const std::int32_t first = run_value(first_, shift);
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
              scanner.scan(begin, end, run_value(first, shift), count, [&](std::int64_t t, int k) {
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
