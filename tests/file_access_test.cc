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
#include <string>
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

// One call the fake file answered: where and how much it was asked for.
struct Call {
  off_t offset;
  std::size_t count;
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
  file.calls.push_back({offset, count});
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

  // The calls made must be exactly |expected|, in order: every call after
  // an interruption or a partial transfer asks for exactly what is left, at
  // the offset just past what has moved.
  void expect_calls(const std::vector<Call>& expected) const {
    ASSERT_EQ(file_.calls.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      SCOPED_TRACE("call " + std::to_string(i));
      EXPECT_EQ(file_.calls[i].offset, expected[i].offset);
      EXPECT_EQ(file_.calls[i].count, expected[i].count);
    }
  }

  FakeFile file_;
};

struct TransferCase {
  const char* name;
  Behaviour behaviour;
  std::int64_t offset;
  std::size_t size;
  std::size_t bytes;        // expected count
  int error;                // expected errno, 0 for none
  std::vector<Call> calls;  // expected, in order
};

TEST_F(FileAccessTest, ReadAt) {
  const TransferCase cases[] = {
      {"one call", {}, 3, 10, 10, 0, {{3, 10}}},
      {"one byte per call",
       {.chunk = 1},
       3,
       10,
       10,
       0,
       {{3, 10}, {4, 9}, {5, 8}, {6, 7}, {7, 6}, {8, 5}, {9, 4}, {10, 3}, {11, 2}, {12, 1}}},
      {"three bytes per call, every other call interrupted",
       {.chunk = 3, .interrupt_every = 2},
       0,
       20,
       20,
       0,
       {{0, 20},
        {3, 17},
        {3, 17},
        {6, 14},
        {6, 14},
        {9, 11},
        {9, 11},
        {12, 8},
        {12, 8},
        {15, 5},
        {15, 5},
        {18, 2},
        {18, 2}}},
      {"every call interrupted once",
       {.chunk = 1, .interrupt_every = 2},
       5,
       7,
       7,
       0,
       {{5, 7},
        {6, 6},
        {6, 6},
        {7, 5},
        {7, 5},
        {8, 4},
        {8, 4},
        {9, 3},
        {9, 3},
        {10, 2},
        {10, 2},
        {11, 1},
        {11, 1}}},
      // The call at the end of the file moves nothing, and ends the loop.
      {"the end of the file comes first",
       {.chunk = 4},
       30,
       20,
       10,
       0,
       {{30, 20}, {34, 16}, {38, 12}, {40, 10}}},
      {"reading at the end of the file", {}, 40, 5, 0, 0, {{40, 5}}},
      {"a failure midway",
       {.chunk = 2, .fail_at = 8},
       2,
       20,
       6,
       EIO,
       {{2, 20}, {4, 18}, {6, 16}, {8, 14}}},
      {"a failure at once", {.fail_at = 0}, 0, 5, 0, EIO, {{0, 5}}},
      {"a failure after interruptions",
       {.chunk = 1, .interrupt_every = 3, .fail_at = 4},
       0,
       10,
       4,
       EIO,
       {{0, 10}, {1, 9}, {2, 8}, {2, 8}, {3, 7}, {4, 6}, {4, 6}}},
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
    expect_calls(c.calls);
  }
}

TEST_F(FileAccessTest, WriteAt) {
  const TransferCase cases[] = {
      {"one call", {}, 3, 10, 10, 0, {{3, 10}}},
      {"one byte per call",
       {.chunk = 1},
       3,
       10,
       10,
       0,
       {{3, 10}, {4, 9}, {5, 8}, {6, 7}, {7, 6}, {8, 5}, {9, 4}, {10, 3}, {11, 2}, {12, 1}}},
      {"two bytes per call, every third call interrupted",
       {.chunk = 2, .interrupt_every = 3},
       0,
       9,
       9,
       0,
       {{0, 9}, {2, 7}, {4, 5}, {4, 5}, {6, 3}, {8, 1}, {8, 1}}},
      {"every call interrupted once",
       {.chunk = 1, .interrupt_every = 2},
       5,
       4,
       4,
       0,
       {{5, 4}, {6, 3}, {6, 3}, {7, 2}, {7, 2}, {8, 1}, {8, 1}}},
      {"a failure midway", {.chunk = 3, .fail_at = 9}, 3, 10, 6, EIO, {{3, 10}, {6, 7}, {9, 4}}},
      {"a full disk midway",
       {.chunk = 1, .fail_at = 12, .fail_errno = ENOSPC},
       10,
       4,
       2,
       ENOSPC,
       {{10, 4}, {11, 3}, {12, 2}}},
      // A call that writes nothing and reports nothing must end the loop.
      {"a write of nothing", {.writes_nothing = true}, 0, 4, 0, ENOSPC, {{0, 4}}},
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
    expect_calls(c.calls);
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
