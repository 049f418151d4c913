// read_at and write_at through their syscall seam, against a fake file
// whose calls transfer a byte at a time, are interrupted, write nothing, or
// fail midway: the faults a real file rarely shows and strace cannot
// inject. Each case checks the bytes moved, the count, the error, and that
// every call asked for the rest of the transfer at the right offset.
#include "file_access.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "test_util.h"

namespace tagrun::testing {
namespace {

// How the fake file answers each call.
struct Behaviour {
  std::size_t chunk = SIZE_MAX;    // most bytes moved per call
  int interrupt_every = 0;         // every n-th call fails with EINTR first (0: never)
  std::size_t fail_at = SIZE_MAX;  // a call starting at this offset fails with fail_errno
  int fail_errno = EIO;
  bool writes_nothing = false;  // pwrite returns 0
};

struct Call {
  std::size_t count;
  off_t offset;
};

// The one fake file a test drives. The seam takes plain function pointers,
// so the fake is reached through a fixed place, set up by the fixture.
struct FakeFile {
  Bytes bytes;
  Behaviour behaviour;
  std::vector<Call> calls;
  int interrupted = 0;
};

FakeFile*& fake() {
  static FakeFile* file = nullptr;
  return file;
}

// The part of the call the fake file answers: returns the bytes to move, or
// -1 with errno set.
ssize_t admit(std::size_t count, off_t offset) {
  FakeFile& file = *fake();
  file.calls.push_back({count, offset});
  const Behaviour& b = file.behaviour;
  if (b.interrupt_every > 0 &&
      file.calls.size() % static_cast<std::size_t>(b.interrupt_every) == 0) {
    ++file.interrupted;
    errno = EINTR;
    return -1;
  }
  if (static_cast<std::size_t>(offset) == b.fail_at) {
    errno = b.fail_errno;
    return -1;
  }
  return static_cast<ssize_t>(std::min(count, b.chunk));
}

ssize_t fake_pread(int, void* buffer, std::size_t count, off_t offset) {
  const ssize_t admitted = admit(count, offset);
  if (admitted < 0) return admitted;
  const Bytes& bytes = fake()->bytes;
  const auto at = static_cast<std::size_t>(offset);
  const std::size_t n =
      at >= bytes.size()
          ? 0
          : std::min<std::size_t>(static_cast<std::size_t>(admitted), bytes.size() - at);
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), n,
              static_cast<std::uint8_t*>(buffer));
  return static_cast<ssize_t>(n);
}

ssize_t fake_pwrite(int, const void* buffer, std::size_t count, off_t offset) {
  const ssize_t admitted = admit(count, offset);
  if (admitted < 0) return admitted;
  if (fake()->behaviour.writes_nothing) return 0;
  Bytes& bytes = fake()->bytes;
  const auto at = static_cast<std::size_t>(offset);
  const auto n = static_cast<std::size_t>(admitted);
  if (bytes.size() < at + n) bytes.resize(at + n);
  std::copy_n(static_cast<const std::uint8_t*>(buffer), n,
              bytes.begin() + static_cast<std::ptrdiff_t>(at));
  return admitted;
}

class FileAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (std::size_t i = 0; i < 40; ++i) {
      file_.bytes.push_back(static_cast<std::uint8_t>(i + 1));
    }
    fake() = &file_;
  }
  void TearDown() override { fake() = nullptr; }

  // Every call after an interruption or a partial transfer must ask for
  // exactly what is left, at the offset just past what has moved.
  void expect_calls_continue(std::int64_t offset, std::size_t size) const {
    std::size_t done = 0;
    for (std::size_t i = 0; i < file_.calls.size(); ++i) {
      SCOPED_TRACE("call " + std::to_string(i));
      EXPECT_EQ(file_.calls[i].offset,
                static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
      EXPECT_EQ(file_.calls[i].count, size - done);
      const bool interrupted =
          file_.behaviour.interrupt_every > 0 &&
          (i + 1) % static_cast<std::size_t>(file_.behaviour.interrupt_every) == 0;
      if (!interrupted) {
        done += std::min(
            {file_.calls[i].count, file_.behaviour.chunk,
             file_.bytes.size() -
                 std::min(file_.bytes.size(), static_cast<std::size_t>(file_.calls[i].offset))});
      }
    }
  }

  FakeFile file_;
};

struct TransferCase {
  const char* name;
  Behaviour behaviour;
  std::int64_t offset;
  std::size_t size;
  std::size_t bytes;  // expected count
  int error;          // expected errno, 0 for none
};

TEST_F(FileAccessTest, ReadAt) {
  const TransferCase cases[] = {
      {"one call", {}, 3, 10, 10, 0},
      {"one byte per call", {.chunk = 1}, 3, 10, 10, 0},
      {"three bytes per call, every other call interrupted",
       {.chunk = 3, .interrupt_every = 2},
       0,
       20,
       20,
       0},
      {"every call interrupted once", {.chunk = 1, .interrupt_every = 2}, 5, 7, 7, 0},
      {"the end of the file comes first", {.chunk = 4}, 30, 20, 10, 0},
      {"reading at the end of the file", {}, 40, 5, 0, 0},
      {"a failure midway", {.chunk = 2, .fail_at = 8}, 2, 20, 6, EIO},
      {"a failure at once", {.fail_at = 0}, 0, 5, 0, EIO},
      {"a failure after interruptions",
       {.chunk = 1, .interrupt_every = 3, .fail_at = 4},
       0,
       10,
       4,
       EIO},
  };
  for (const TransferCase& c : cases) {
    SCOPED_TRACE(c.name);
    file_.behaviour = c.behaviour;
    file_.calls.clear();
    std::vector<std::byte> buffer(c.size, std::byte{0xEE});
    const Transfer transfer = read_at(99, buffer, c.offset, fake_pread);
    EXPECT_EQ(transfer.bytes, c.bytes);
    EXPECT_EQ(transfer.error, c.error);
    for (std::size_t i = 0; i < c.size; ++i) {
      const auto want = i < c.bytes ? file_.bytes[static_cast<std::size_t>(c.offset) + i] : 0xEE;
      ASSERT_EQ(static_cast<int>(buffer[i]), want) << "byte " << i;
    }
    expect_calls_continue(c.offset, c.size);
  }
}

TEST_F(FileAccessTest, WriteAt) {
  const TransferCase cases[] = {
      {"one call", {}, 3, 10, 10, 0},
      {"one byte per call", {.chunk = 1}, 3, 10, 10, 0},
      {"two bytes per call, every third call interrupted",
       {.chunk = 2, .interrupt_every = 3},
       0,
       9,
       9,
       0},
      {"every call interrupted once", {.chunk = 1, .interrupt_every = 2}, 5, 4, 4, 0},
      {"a failure midway", {.chunk = 3, .fail_at = 9}, 3, 10, 6, EIO},
      {"a full disk midway", {.chunk = 1, .fail_at = 12, .fail_errno = ENOSPC}, 10, 4, 2, ENOSPC},
      // A call that writes nothing and reports nothing must end the loop.
      {"a write of nothing", {.writes_nothing = true}, 0, 4, 0, ENOSPC},
  };
  for (const TransferCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes before = file_.bytes;
    file_.behaviour = c.behaviour;
    file_.calls.clear();
    std::vector<std::byte> data(c.size);
    for (std::size_t i = 0; i < c.size; ++i) {
      data[i] = static_cast<std::byte>(0xA0 + i);
    }
    const Transfer transfer = write_at(99, data, c.offset, fake_pwrite);
    EXPECT_EQ(transfer.bytes, c.bytes);
    EXPECT_EQ(transfer.error, c.error);
    Bytes expected = before;
    for (std::size_t i = 0; i < c.bytes; ++i) {
      expected[static_cast<std::size_t>(c.offset) + i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    EXPECT_EQ(file_.bytes, expected);
    if (!c.behaviour.writes_nothing) {
      expect_calls_continue(c.offset, c.size);
    } else {
      EXPECT_EQ(file_.calls.size(), 1U);
    }
    file_.bytes = before;
  }
}

// Offsets past 2^32 reach the call whole.
TEST_F(FileAccessTest, LargeOffsets) {
  file_.behaviour = {.chunk = 1};
  const std::int64_t offset = (std::int64_t{1} << 32) + 3;
  std::vector<std::byte> buffer(2);
  const Transfer transfer = read_at(99, buffer, offset, fake_pread);
  EXPECT_EQ(transfer.bytes, 0U);  // past the fake's end
  ASSERT_EQ(file_.calls.size(), 1U);
  EXPECT_EQ(file_.calls[0].offset, static_cast<off_t>(offset));
}

}  // namespace
}  // namespace tagrun::testing
