// Differential fuzzing of a whole run: the tool's scans, on an in-memory
// file, against the small model of tests/model.h. Any difference in the
// report or in the file's bytes afterwards, or a run that fails on a file
// nobody else touches, aborts.
//
// Input layout, all of it optional (missing bytes read as 0):
//   byte 0      choices: bits 0-1 the limits (0 defaults; 1-3 a block of
//               1 to 16 bytes and a cap of 0 to 8 from byte 1), bit 2 the
//               first value taken near a tagged value of the file, bits
//               3-4 how the new first value is made (find mode, ahead of
//               the run, behind it, or as given)
//   byte 1      tiny limits: block = 1 + (b & 15), cap = (b >> 4) % 9
//   bytes 2-5   first value, little-endian (or its offset below the tagged
//               value found in the file)
//   bytes 6-9   new first value, little-endian (or its distance)
//   the rest    the file
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "model.h"
#include "tagged_value.h"
#include "tagrun.h"

namespace {

constexpr std::size_t kHeader = 10;

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "run_fuzzer: %s\n", what);
  std::abort();
}

// A memory file, closed on destruction.
class MemoryFile {
 public:
  MemoryFile() : fd_(::memfd_create("tagrun-fuzz", MFD_CLOEXEC)) {
    if (fd_ < 0) die("memfd_create failed");
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  ~MemoryFile() { ::close(fd_); }

  int fd() const { return fd_; }

  void write_all(const std::vector<std::uint8_t>& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n =
          ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      if (n <= 0) die("pwrite to a memory file failed");
      done += static_cast<std::size_t>(n);
    }
  }

  std::vector<std::uint8_t> contents() const {
    std::vector<std::uint8_t> all;
    std::uint8_t buffer[4096];
    for (off_t at = 0;;) {
      const ssize_t n = ::pread(fd_, buffer, sizeof buffer, at);
      if (n < 0) die("pread from a memory file failed");
      if (n == 0) return all;
      all.insert(all.end(), buffer, buffer + n);
      at += n;
    }
  }

 private:
  int fd_;
};

std::uint32_t word_at(const std::uint8_t* data, std::size_t size, std::size_t at) {
  std::uint8_t bytes[4] = {};
  for (std::size_t i = 0; i < 4; ++i) {
    if (at + i < size) bytes[i] = data[at + i];
  }
  return static_cast<std::uint32_t>(tagrun::load_value(bytes));
}

std::int32_t signed_value(std::uint32_t bits) { return static_cast<std::int32_t>(bits); }

struct Request {
  std::int32_t first;
  std::int32_t new_first;
  tagrun::ScanLimits limits;
  std::vector<std::uint8_t> file;
};

Request decode(const std::uint8_t* data, std::size_t size) {
  Request request;
  const std::uint8_t choices = size > 0 ? data[0] : 0;
  const std::uint8_t tiny = size > 1 ? data[1] : 0;
  const std::uint32_t first_bits = word_at(data, size, 2);
  const std::uint32_t new_bits = word_at(data, size, 6);
  if (size > kHeader) request.file.assign(data + kHeader, data + size);

  if ((choices & 3) != 0) {
    request.limits.block_size = 1 + (tiny & 15U);
    request.limits.candidate_cap = static_cast<std::size_t>((tiny >> 4) % 9);
  }
  std::uint32_t first = first_bits;
  if ((choices & 4) != 0) {
    // Begin the run a little before the first tagged value of the file, so
    // that its values are likely to be found.
    const std::vector<std::uint8_t>& file = request.file;
    for (std::size_t t = 0; t + 5 <= file.size(); ++t) {
      if (file[t] == tagrun::VALUE_TAG) {
        first = static_cast<std::uint32_t>(tagrun::load_value(&file[t + 1])) -
                (first_bits % tagrun::RUN_LENGTH);
        break;
      }
    }
  }
  request.first = signed_value(first);
  const std::uint32_t distance = 1 + new_bits % (tagrun::RUN_LENGTH - 1);
  switch ((choices >> 3) & 3) {
    case 0:
      request.new_first = 0;
      break;
    case 1:
      request.new_first = signed_value(first + distance);
      break;
    case 2:
      request.new_first = signed_value(first - distance);
      break;
    default:
      request.new_first = signed_value(new_bits);
      break;
  }
  return request;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Request request = decode(data, size);
  const MemoryFile target;
  const MemoryFile out;
  target.write_all(request.file);

  tagrun::SignalBlock hold_signals;
  tagrun::Report report(out.fd());
  const tagrun::Status status =
      tagrun::execute_run(target.fd(), static_cast<std::int64_t>(request.file.size()),
                          request.first, request.new_first, request.limits, report, hold_signals);
  if (report.flush() != 0) die("the report could not be written");
  if (!status.is_ok()) die(("the run failed: " + status.message()).c_str());

  const tagrun::testing::ModelRun expected =
      tagrun::testing::model_run(request.file, request.first, request.new_first);
  const std::vector<std::uint8_t> output = out.contents();
  if (std::string(output.begin(), output.end()) != expected.output) {
    die("the report differs from the model's");
  }
  if (target.contents() != expected.bytes) die("the file differs from the model's");
  return 0;
}
