// The tool's speed against the floor of reading the file once.
//
// Makes seeded files on /dev/shm (so they are cached), runs the built tagrun
// on them as a child process with standard output to /dev/null, and prints,
// per file, the median time of a find run and of a rewrite run, the median
// time of one plain read() of the same file in the blocks the tool reads
// (the floor), and
// the median of the ratios, each tool run paired with a floor measured right
// before it. Medians of paired ratios keep the figures steady on a machine
// shared with other work. The rewrite runs write back the values they find
// (new first = first), so the files stay as made. A second floor is a
// process of its own reading the file the same way (dd), paired with one
// more find run: the tool is a process too, and starting one costs a few
// milliseconds here, a fifth of reading 256 MiB.
//
// Before them, each candidate filter path on one block in cache (the rates
// the run-time choice of path is set from); after them, the tool against
// itself built with the portable path forced.
//
// Also: the ratio against a byte-at-a-time stdio find run written here, on
// 16 MiB; the peak memory of the child (ru_maxrss through wait4); the rate
// of report lines on a file whose every candidate is reported; and a sparse
// file of 16 GiB holding four 64 MiB extents against a plain file of the
// same four extents, each run on the one paired with the same run on the
// other, alternately.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "candidate_filter.h"
#include "tagged_value.h"
#include "tagrun.h"

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;
// The floor reads through the same block size as the tool.
constexpr std::size_t kBlock = tagrun::ScanLimits{}.block_size;
constexpr int kRunLength = 177;
constexpr int kRepetitions = 9;

using Clock = std::chrono::steady_clock;

// Strings joined by append: GCC 12 at -O3 warns (-Wrestrict, falsely) inside
// the standard library's operator+ on some targets, s390x among them.
std::string concat(std::initializer_list<std::string_view> parts) {
  std::string joined;
  for (const std::string_view part : parts) {
    joined.append(part);
  }
  return joined;
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "tagrun_bench: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void put_tagged(std::vector<std::uint8_t>& bytes, std::size_t at, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  bytes[at] = 0x06;
  for (std::size_t i = 0; i < 4; ++i) {
    bytes[at + 1 + i] = static_cast<std::uint8_t>(bits >> (8 * i));
  }
}

// Random bytes; with tag_percent > 0, that share of them are tag bytes.
std::vector<std::uint8_t> random_bytes(std::size_t size, int tag_percent, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<std::uint8_t> bytes(size);
  std::size_t i = 0;
  if (tag_percent == 0) {
    for (; i + 8 <= size; i += 8) {
      const std::uint64_t r = random();
      std::memcpy(&bytes[i], &r, 8);
    }
  }
  for (; i < size; i += 4) {
    std::uint64_t r = random();
    for (std::size_t j = i; j < std::min(size, i + 4); ++j, r >>= 16) {
      const bool tag = (r & 0xFF) * 100 < static_cast<std::uint64_t>(tag_percent) * 256;
      bytes[j] = tag ? std::uint8_t{0x06} : static_cast<std::uint8_t>(r >> 8);
    }
  }
  return bytes;
}

// The run's values, tagged, in run order, spread over the whole file.
void plant_run(std::vector<std::uint8_t>& bytes, std::int32_t first) {
  const std::size_t step = (bytes.size() - 5) / kRunLength;
  for (int k = 0; k < kRunLength; ++k) {
    put_tagged(bytes, static_cast<std::size_t>(k) * step + step / 2, tagrun::run_value(first, k));
  }
}

// A tagged run value every five bytes: value k at the i-th, k = i % 177 when
// cycling, else k = i * 177 / count, each value's copies together in run
// order (then a find run reports every one of them).
std::vector<std::uint8_t> all_tagged(std::size_t size, std::int32_t first, bool cycling) {
  std::vector<std::uint8_t> bytes(size, 0);
  const std::size_t count = size / 5;
  for (std::size_t i = 0; i < count; ++i) {
    const auto k = static_cast<int>(cycling ? i % kRunLength : i * kRunLength / count);
    put_tagged(bytes, 5 * i, tagrun::run_value(first, k));
  }
  return bytes;
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    fail(concat({"open(", path, ")"}));
  }
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      fail(concat({"write(", path, ")"}));
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) {
    fail(concat({"close(", path, ")"}));
  }
}

// One read() of the whole file in kBlock blocks: the floor.
double plain_read(const std::string& path) {
  static_assert(kBlock % 64 == 0);
  std::vector<std::uint8_t> buffer(kBlock);
  const Clock::time_point start = Clock::now();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fail(concat({"open(", path, ")"}));
  }
  std::uint8_t sink = 0;
  while (true) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      fail(concat({"read(", path, ")"}));
    }
    if (n == 0) {
      break;
    }
    sink = static_cast<std::uint8_t>(sink ^ buffer[static_cast<std::size_t>(n) - 1]);
  }
  ::close(fd);
  const double elapsed = seconds_since(start);
  if (sink == 0x5A) {
    std::fputs("", stdout);  // keeps the reads from being dropped
  }
  return elapsed;
}

struct ChildRun {
  double seconds;
  long peak_kib;
};

// Runs program with args, standard output to /dev/null.
ChildRun run_child(const std::string& path, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::string program = path;
  argv.push_back(program.data());
  std::vector<std::string> copies = args;
  for (std::string& arg : copies) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  // fork, not posix_spawn: a vfork-style spawn shares this process's memory
  // until the exec, and the child's ru_maxrss would then start from this
  // process's peak (the files are made in memory) instead of its own.
  const Clock::time_point start = Clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) {
    fail("fork");
  }
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null < 0 || ::dup2(null, STDOUT_FILENO) < 0) {
      ::_exit(127);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (::wait4(pid, &status, 0, &usage) != pid) {
    fail("wait4");
  }
  const double elapsed = seconds_since(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "tagrun_bench: %s %s failed\n", path.c_str(), args[0].c_str());
    std::exit(1);
  }
  return {elapsed, usage.ru_maxrss};
}

ChildRun run_tagrun(const std::vector<std::string>& args) { return run_child(TAGRUN_BINARY, args); }

// The same tool built with the portable filter path forced, as it runs on
// machines without an x86 path of its own.
ChildRun run_portable_tagrun(const std::vector<std::string>& args) {
  return run_child(TAGRUN_PORTABLE_BINARY, args);
}

// The floor as a process of its own: one plain read of the file through the
// same block size by dd, whose start and exit cost about what the tool's do.
double process_read(const std::string& path) {
  return run_child("/bin/dd", {concat({"if=", path}), "of=/dev/null",
                               concat({"bs=", std::to_string(kBlock)}), "status=none"})
      .seconds;
}

// The tool's find mode the plain way: 177 scans from the cursor to the end
// of the file, one fgetc per byte, four more after each tag byte and a step
// back of four with fseek.
double stdio_find(const std::string& path, std::int32_t first, long* lines) {
  const Clock::time_point start = Clock::now();
  std::FILE* file = std::fopen(path.c_str(), "r+b");
  std::FILE* out = std::fopen("/dev/null", "w");
  if (file == nullptr || out == nullptr) {
    fail("fopen");
  }
  std::fseek(file, 0, SEEK_END);
  const long size = std::ftell(file);
  long cursor = 0;
  *lines = 0;
  for (int k = 0; k < kRunLength; ++k) {
    const std::uint32_t value = static_cast<std::uint32_t>(tagrun::run_value(first, k));
    std::fseek(file, cursor, SEEK_SET);
    for (long o = cursor; o < size; ++o) {
      if (std::fgetc(file) != 0x06 || o > size - 5) {
        continue;
      }
      std::uint32_t read = 0;
      for (int i = 0; i < 4; ++i) {
        read |= static_cast<std::uint32_t>(std::fgetc(file)) << (8 * i);
      }
      std::fseek(file, -4, SEEK_CUR);
      if (read == value) {
        std::fprintf(out, "found %d at location %ld \n", static_cast<std::int32_t>(value), o + 1);
        cursor = o;
        ++*lines;
      }
    }
  }
  std::fclose(out);
  std::fclose(file);
  return seconds_since(start);
}

struct Case {
  const char* name;
  std::string path;
  std::int32_t first;
};

void print_header() {
  std::printf("%-22s %9s %9s %9s %10s %10s %9s %9s %9s\n", "file (256 MiB, cached)", "find ms",
              "rewrite", "read ms", "find/read", "rewr/read", "dd ms", "find/dd", "peak MiB");
}

void bench_case(const Case& c) {
  const std::string first = std::to_string(c.first);
  std::vector<double> find_times, rewrite_times, floor_times, find_ratios, rewrite_ratios;
  std::vector<double> process_floor_times, process_ratios;
  long peak = 0;
  for (int rep = 0; rep < kRepetitions; ++rep) {
    const double floor_a = plain_read(c.path);
    const ChildRun find = run_tagrun({c.path, first});
    const double floor_b = plain_read(c.path);
    const ChildRun rewrite = run_tagrun({c.path, first, first});
    const double process_floor = process_read(c.path);
    const ChildRun find_again = run_tagrun({c.path, first});
    process_floor_times.push_back(process_floor);
    process_ratios.push_back(find_again.seconds / process_floor);
    floor_times.push_back(floor_a);
    floor_times.push_back(floor_b);
    find_times.push_back(find.seconds);
    rewrite_times.push_back(rewrite.seconds);
    find_ratios.push_back(find.seconds / floor_a);
    rewrite_ratios.push_back(rewrite.seconds / floor_b);
    peak = std::max({peak, find.peak_kib, rewrite.peak_kib});
  }
  std::printf("%-22s %9.1f %9.1f %9.1f %10.2f %10.2f %9.1f %9.2f %9.1f\n", c.name,
              median(find_times) * 1e3, median(rewrite_times) * 1e3, median(floor_times) * 1e3,
              median(find_ratios), median(rewrite_ratios), median(process_floor_times) * 1e3,
              median(process_ratios), static_cast<double>(peak) / 1024);
  std::fflush(stdout);
}

// Each filter path on one block of the size the tool reads, in cache, as
// the scan runs it right after the read: the rate at which it tests tag
// positions, median of the repetitions, the paths interleaved. This is the
// measurement the run-time order of the paths (candidate_filter.cc) is set
// from.
void bench_filter_paths(const char* name, const std::vector<std::uint8_t>& block,
                        std::int32_t first) {
  constexpr tagrun::FilterPath kAllPaths[] = {
      tagrun::FilterPath::kPlain, tagrun::FilterPath::kPortable, tagrun::FilterPath::kAvx2,
      tagrun::FilterPath::kAvx512};
  constexpr int kPasses = 256;  // 128 MiB of tag positions per measurement
  const std::size_t tags = block.size() - 4;
  std::vector<std::uint32_t> out(1024);
  std::printf("%-28s", name);
  std::vector<std::vector<double>> rates(std::size(kAllPaths));
  for (int rep = 0; rep < kRepetitions; ++rep) {
    for (std::size_t p = 0; p < std::size(kAllPaths); ++p) {
      if (!tagrun::filter_path_supported(kAllPaths[p])) {
        continue;
      }
      std::size_t found = 0;
      const Clock::time_point start = Clock::now();
      for (int pass = 0; pass < kPasses; ++pass) {
        for (std::size_t from = 0; from < tags;) {
          found += tagrun::find_candidates(block, from, tags, first, kRunLength, out, &from,
                                           kAllPaths[p]);
        }
      }
      const double elapsed = seconds_since(start);
      // Keeps the work: the count is never this large.
      if (found == SIZE_MAX) {
        std::printf("!");
      }
      rates[p].push_back(static_cast<double>(tags) * kPasses / elapsed / 1e9);
    }
  }
  for (std::size_t p = 0; p < std::size(kAllPaths); ++p) {
    if (rates[p].empty()) {
      std::printf(" %10s", "-");
    } else {
      std::printf(" %10.1f", median(rates[p]));
    }
  }
  std::printf("\n");
  std::fflush(stdout);
}

// The tool as built against the same tool with the portable path forced,
// each run paired with a plain read made just before it: medians of the
// ratios to the read, and of portable / built, find and rewrite.
void bench_portable_case(const Case& c) {
  const std::string first = std::to_string(c.first);
  std::vector<double> find_ratios, rewrite_ratios, portable_find_ratios, portable_rewrite_ratios,
      find_against, rewrite_against;
  for (int rep = 0; rep < kRepetitions; ++rep) {
    const double floor_a = plain_read(c.path);
    const ChildRun find = run_tagrun({c.path, first});
    const double floor_b = plain_read(c.path);
    const ChildRun portable_find = run_portable_tagrun({c.path, first});
    const double floor_c = plain_read(c.path);
    const ChildRun rewrite = run_tagrun({c.path, first, first});
    const double floor_d = plain_read(c.path);
    const ChildRun portable_rewrite = run_portable_tagrun({c.path, first, first});
    find_ratios.push_back(find.seconds / floor_a);
    portable_find_ratios.push_back(portable_find.seconds / floor_b);
    rewrite_ratios.push_back(rewrite.seconds / floor_c);
    portable_rewrite_ratios.push_back(portable_rewrite.seconds / floor_d);
    find_against.push_back(portable_find.seconds / find.seconds);
    rewrite_against.push_back(portable_rewrite.seconds / rewrite.seconds);
  }
  std::printf("%-28s %10.2f %10.2f %10.2f %10.2f %10.2f %10.2f\n", c.name, median(find_ratios),
              median(rewrite_ratios), median(portable_find_ratios), median(portable_rewrite_ratios),
              median(find_against), median(rewrite_against));
}

// Writes bytes as extents of extent_size bytes, one at each offset, into a
// new file of size bytes that is otherwise holes.
void write_sparse(const std::string& path, const std::vector<std::uint8_t>& bytes,
                  std::size_t extent_size, const std::vector<std::int64_t>& offsets,
                  std::int64_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    fail(concat({"open(", path, ")"}));
  }
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    for (std::size_t done = 0; done < extent_size;) {
      const ssize_t n = ::pwrite(fd, bytes.data() + i * extent_size + done, extent_size - done,
                                 static_cast<off_t>(offsets[i] + static_cast<std::int64_t>(done)));
      if (n <= 0) {
        fail(concat({"pwrite(", path, ")"}));
      }
      done += static_cast<std::size_t>(n);
    }
  }
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0 || ::close(fd) != 0) {
    fail(concat({"ftruncate(", path, ")"}));
  }
}

// Reads the extents of extent_size bytes at offsets of the file at path,
// in kBlock blocks: the floor of a run that reads only them.
double read_extents(const std::string& path, std::size_t extent_size,
                    const std::vector<std::int64_t>& offsets) {
  std::vector<std::uint8_t> buffer(kBlock);
  const Clock::time_point start = Clock::now();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fail(concat({"open(", path, ")"}));
  }
  for (const std::int64_t offset : offsets) {
    for (std::size_t done = 0; done < extent_size;) {
      const ssize_t n = ::pread(fd, buffer.data(), std::min(kBlock, extent_size - done),
                                static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
      if (n <= 0) {
        fail(concat({"pread(", path, ")"}));
      }
      done += static_cast<std::size_t>(n);
    }
  }
  ::close(fd);
  return seconds_since(start);
}

// The sparse file against the plain file of its extents: find runs and
// rewrite runs, each on the sparse file paired with one on the plain file,
// the order alternating between repetitions. The reads of the data alone,
// paired the same way, show how much of a difference is the page cache's:
// on tmpfs, the same bytes read at different speeds in different files.
void bench_sparse(const std::string& sparse, const std::string& plain, std::int32_t first,
                  std::size_t extent_size, const std::vector<std::int64_t>& offsets) {
  const std::string text = std::to_string(first);
  std::vector<double> sparse_find, plain_find, sparse_rewrite, plain_rewrite;
  std::vector<double> find_ratios, rewrite_ratios, read_ratios;
  long peak = 0;
  for (int rep = 0; rep < kRepetitions; ++rep) {
    const double sparse_read = read_extents(sparse, extent_size, offsets);
    const double plain_read_time = plain_read(plain);
    read_ratios.push_back(sparse_read / plain_read_time);
    for (const bool rewrite : {false, true}) {
      const std::vector<std::string> sparse_args =
          rewrite ? std::vector<std::string>{sparse, text, text} : std::vector{sparse, text};
      const std::vector<std::string> plain_args =
          rewrite ? std::vector<std::string>{plain, text, text} : std::vector{plain, text};
      ChildRun on_sparse{};
      ChildRun on_plain{};
      if (rep % 2 == 0) {
        on_sparse = run_tagrun(sparse_args);
        on_plain = run_tagrun(plain_args);
      } else {
        on_plain = run_tagrun(plain_args);
        on_sparse = run_tagrun(sparse_args);
      }
      (rewrite ? sparse_rewrite : sparse_find).push_back(on_sparse.seconds);
      (rewrite ? plain_rewrite : plain_find).push_back(on_plain.seconds);
      (rewrite ? rewrite_ratios : find_ratios).push_back(on_sparse.seconds / on_plain.seconds);
      peak = std::max({peak, on_sparse.peak_kib, on_plain.peak_kib});
    }
  }
  std::printf(
      "sparse 16 GiB, four 64 MiB extents, against a plain 256 MiB file of them:\n"
      "  find %.1f ms against %.1f ms: %.2f times; rewrite %.1f ms against %.1f ms: %.2f "
      "times; peak %.1f MiB\n"
      "  reading the data alone: %.2f times\n",
      median(sparse_find) * 1e3, median(plain_find) * 1e3, median(find_ratios),
      median(sparse_rewrite) * 1e3, median(plain_rewrite) * 1e3, median(rewrite_ratios),
      static_cast<double>(peak) / 1024, median(read_ratios));
  std::fflush(stdout);
}

}  // namespace

int main() {
  const std::string dir = "/dev/shm";
  const std::string tag = std::to_string(::getpid());
  const std::string path = concat({dir, "/tagrun_bench_", tag, ".bin"});
  constexpr std::size_t kSize = 256 * kMiB;
  // Its run crosses a top-byte boundary: 0x12FFFFA0 .. 0x13000050.
  constexpr std::int32_t kFirst = 0x12FFFFA0;

  std::printf(
      "tagrun_bench: medians of %d repetitions, each tool run paired with a plain read\n"
      "(%zu KiB blocks, as the tool reads) made just before it; the machine may be\n"
      "shared, so expect noise.\n\n",
      kRepetitions, kBlock >> 10);
  std::printf("filter paths, one %zu KiB block in cache: GB/s of tag positions tested\n",
              kBlock >> 10);
  std::printf("%-28s %10s %10s %10s %10s\n", "block", "plain", "portable", "avx2", "avx512bw");
  bench_filter_paths("random", random_bytes(kBlock + 4, 0, 11), kFirst);
  bench_filter_paths("20% tags", random_bytes(kBlock + 4, 20, 12), kFirst);
  bench_filter_paths("20% tags, first 0x06060606", random_bytes(kBlock + 4, 20, 12), 0x06060606);
  std::printf("fastest path here: %s\n\n", tagrun::filter_path_name(tagrun::fastest_filter_path()));

  print_header();
  {
    std::vector<std::uint8_t> bytes = random_bytes(kSize, 0, 1);
    plant_run(bytes, kFirst);
    write_file(path, bytes);
  }
  bench_case({"random, run planted", path, kFirst});
  bench_case({"random, run absent", path, 123456789});
  {
    std::vector<std::uint8_t> bytes = random_bytes(kSize, 20, 2);
    plant_run(bytes, kFirst);
    write_file(path, bytes);
  }
  bench_case({"20% tags, run planted", path, kFirst});
  bench_case({"20% tags, first 0x06060606", path, 0x06060606});
  write_file(path, all_tagged(kSize, kFirst, true));
  bench_case({"all tagged (past cap)", path, kFirst});

  std::printf("\nthe tool as built (%s) and with the portable path forced, each against one read\n",
              tagrun::filter_path_name(tagrun::fastest_filter_path()));
  std::printf("%-28s %10s %10s %10s %10s %10s %10s\n", "file (256 MiB, cached)", "find/read",
              "rewr/read", "port find", "port rewr", "port/find", "port/rewr");
  {
    std::vector<std::uint8_t> bytes = random_bytes(kSize, 0, 1);
    plant_run(bytes, kFirst);
    write_file(path, bytes);
  }
  bench_portable_case({"random, run planted", path, kFirst});
  {
    std::vector<std::uint8_t> bytes = random_bytes(kSize, 20, 2);
    plant_run(bytes, kFirst);
    write_file(path, bytes);
  }
  bench_portable_case({"20% tags, run planted", path, kFirst});
  bench_portable_case({"20% tags, first 0x06060606", path, 0x06060606});

  // The fixed cost inside every figure above: starting the process.
  {
    write_file(path, {});
    std::vector<double> starts;
    for (int rep = 0; rep < kRepetitions; ++rep) {
      starts.push_back(run_tagrun({path, std::to_string(kFirst)}).seconds);
    }
    std::printf("\nprocess start and exit (tagrun on an empty file): %.1f ms\n",
                median(starts) * 1e3);
  }

  // Byte-at-a-time stdio against the tool, on 16 MiB.
  {
    std::vector<std::uint8_t> bytes = random_bytes(16 * kMiB, 0, 3);
    plant_run(bytes, kFirst);
    write_file(path, bytes);
  }
  std::vector<double> tool_times;
  for (int rep = 0; rep < kRepetitions; ++rep) {
    tool_times.push_back(run_tagrun({path, std::to_string(kFirst)}).seconds);
  }
  long lines = 0;
  const double stdio = stdio_find(path, kFirst, &lines);
  const double tool = median(tool_times);
  std::printf(
      "16 MiB random, find: byte-at-a-time stdio %.2f s (%ld lines), tagrun %.2f ms: "
      "%.0fx faster\n",
      stdio, lines, tool * 1e3, stdio / tool);

  // Report lines: every candidate of a 64 MiB file is reported (13.4M lines).
  write_file(path, all_tagged(64 * kMiB, kFirst, false));
  std::vector<double> rates;
  long peak = 0;
  const double expected_lines = static_cast<double>(64 * kMiB / 5);
  for (int rep = 0; rep < 3; ++rep) {
    const ChildRun run = run_tagrun({path, std::to_string(kFirst)});
    rates.push_back(expected_lines / run.seconds);
    peak = std::max(peak, run.peak_kib);
  }
  std::printf(
      "report lines: %.1f million lines/s to /dev/null (%.1f million lines, peak %.1f MiB)\n",
      median(rates) / 1e6, expected_lines / 1e6, static_cast<double>(peak) / 1024);

  // Sparse against plain: the same 256 MiB of random bytes with the run
  // planted, as four 64 MiB extents, the first 1 GiB into the file and one
  // every 4 GiB after it, the last 3 GiB before the end.
  {
    constexpr std::size_t kExtent = 64 * kMiB;
    constexpr std::int64_t kGiB = std::int64_t{1} << 30;
    const std::string sparse = concat({dir, "/tagrun_bench_", tag, "_sparse.bin"});
    const std::vector<std::int64_t> offsets{kGiB, 5 * kGiB, 9 * kGiB, 13 * kGiB};
    {
      // Freed before the runs: a forked child's peak memory counts it.
      std::vector<std::uint8_t> bytes = random_bytes(4 * kExtent, 0, 4);
      plant_run(bytes, kFirst);
      // Both written the same way: on tmpfs, how a file was written (the
      // size of its page cache folios) changes how fast it reads, by half.
      const auto extent = static_cast<std::int64_t>(kExtent);
      write_sparse(path, bytes, kExtent, {0, extent, 2 * extent, 3 * extent}, 4 * extent);
      write_sparse(sparse, bytes, kExtent, offsets, 16 * kGiB);
    }
    bench_sparse(sparse, path, kFirst, kExtent, offsets);
    ::unlink(sparse.c_str());
  }
  ::unlink(path.c_str());
  return 0;
}
