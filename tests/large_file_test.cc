// A sparse file past 4 GiB, on tmpfs and on the disk's file system, whose
// holes the scan skips: offsets and locations past 2^31 and 2^32 in both
// modes, and a tag whose value lies in the hole after it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "test_util.h"

namespace tagrun::testing {
namespace {

constexpr std::int64_t kGiB = std::int64_t{1} << 30;

void write_at(const std::string& path, std::int64_t offset, const Bytes& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(::close(fd), 0);
}

Bytes read_at(const std::string& path, std::int64_t offset, std::size_t size) {
  Bytes bytes(size);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::pread(fd, bytes.data(), size, offset), static_cast<ssize_t>(size));
  ::close(fd);
  return bytes;
}

class LargeFileTest : public ::testing::TestWithParam<const char*> {};

TEST_P(LargeFileTest, SparseFilePastFourGiB) {
  if (::access(GetParam(), W_OK) != 0) {
    GTEST_SKIP() << "no " << GetParam();
  }
  const TempDir dir(GetParam());
  const std::string path = dir.file("sparse.bin");
  const std::int64_t size = 4 * kGiB + 4096;
  // Run values before 2^31, between 2^31 and 2^32, past 2^32, and last in
  // the file; the cursor must carry the run across all of them. The second
  // is written as its tag and low byte only, at the end of a page: its
  // three zero bytes are the hole that follows.
  const std::int64_t offsets[] = {1000, 2 * kGiB + 4094, 4 * kGiB + 17, size - 5};
  for (std::size_t i = 0; i < std::size(offsets); ++i) {
    Bytes value = tagged(static_cast<std::int32_t>(100 + i));
    if (i == 1) {
      value.resize(2);
    }
    write_at(path, offsets[i], value);
  }
  ASSERT_EQ(::truncate(path.c_str(), size), 0);

  const CommandResult find = run_tagrun({path, "100"});
  EXPECT_EQ(find.out,
            "found 100 at location 1001 \n"
            "found 101 at location 2147487743 \n"
            "found 102 at location 4294967314 \n"
            "found 103 at location 4294971388 \n");
  EXPECT_EQ(find.exit_status, 0);

  const CommandResult rewrite = run_tagrun({path, "100", "-100"});
  EXPECT_EQ(rewrite.out, "to: -100 \nto: -99 \nto: -98 \nto: -97 \n");
  EXPECT_EQ(rewrite.exit_status, 0);
  for (std::size_t i = 0; i < std::size(offsets); ++i) {
    EXPECT_EQ(read_at(path, offsets[i], 5),
              tagged(static_cast<std::int32_t>(-100 + static_cast<int>(i))));
  }
  struct stat status;
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_size, size);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, LargeFileTest, ::testing::Values("/dev/shm", "/tmp"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param) == "/tmp" ? "Disk" : "Tmpfs";
                         });

}  // namespace
}  // namespace tagrun::testing
