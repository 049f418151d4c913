// Helpers shared by the tests: temporary folders and files, tagged value
// bytes, and running the built executable.
#ifndef TAGRUN_TESTS_TEST_UTIL_H_
#define TAGRUN_TESTS_TEST_UTIL_H_

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tagrun.h"

namespace tagrun::testing {

using Bytes = std::vector<std::uint8_t>;

// A folder made fresh under root and removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const std::string& root = "/tmp");
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

void write_file(const std::string& path, const Bytes& bytes);

// A range of a file's bytes that is written, in a file that is otherwise
// holes.
struct Extent {
  std::size_t offset;
  std::size_t length;
};

// Makes path a file of bytes.size() bytes of which only the extents are
// written: the rest is left as holes, which read as zeros, so bytes must be
// zero outside the extents. Holes are made in whole pages on most file
// systems: extents at multiples of 4096 leave real holes between them.
void write_sparse_file(const std::string& path, const Bytes& bytes,
                       const std::vector<Extent>& extents);

Bytes read_file(const std::string& path);

// The five bytes of a tagged value.
Bytes tagged(std::int32_t value);
// Concatenation of byte strings.
Bytes concat(std::initializer_list<Bytes> parts);
// Bytes of a text, as they stand.
Bytes text_bytes(std::string_view text);

// |size| random bytes made of pieces for the run of |first|: noise, bare
// tag bytes, and tagged values of the run and of its neighbours, some cut
// short so that the next piece overlaps them.
Bytes random_file(std::mt19937_64& random, std::int32_t first, std::size_t size);

// The limits a small fixture is run at: the default, and limits small
// enough to split every tagged value across blocks and to overflow the
// candidate list.
std::span<const ScanLimits> fixture_limits();

// A value text and what it converts to.
struct ValueText {
  const char* name;
  std::string text;
  std::int32_t value;
  // Whether the tests of the whole tool run it too, in both value places.
  bool end_to_end;
};

// The value texts every test of their conversion uses.
std::vector<ValueText> value_texts();

struct CommandResult {
  std::string out;
  std::string err;
  int exit_status = -1;  // -1 when killed by a signal
  int signal = 0;        // the signal that ended it, 0 when it exited
};

// Special values of stdout_path below.
inline constexpr const char* kClosedStdout = "-";
inline constexpr const char* kClosedPipe = "|";  // a pipe whose reader is gone

// Runs argv (argv[0] a path) with standard input from /dev/null, every
// signal at its default action and none blocked, collecting standard output
// and standard error. stdout_path, when not empty, is
// opened as standard output instead of a pipe, or is one of the special
// values above.
CommandResult run_command(const std::vector<std::string>& argv,
                          const std::string& stdout_path = "");

// Whether this is a cross build whose programs run under an emulator
// (qemu-user): the tool then runs as the emulator's guest.
bool running_under_emulator();

// The built tagrun, preceded by the words of $TAGRUN_TEST_WRAPPER when set
// (for instance "valgrind -q --error-exitcode=1") and by the cross build's
// emulator, then args. Under an emulator the wrapper is left out, with a
// note on standard error: it would check the emulator, not the tool.
std::vector<std::string> tagrun_command(const std::vector<std::string>& args);

// Runs the built tagrun with args, as tagrun_command makes it.
CommandResult run_tagrun(const std::vector<std::string>& args, const std::string& stdout_path = "");

// A run of the tool in this process, on a temporary copy of file.
struct InProcessRun {
  std::string out;
  std::string err;
  int exit_status = -1;
  Bytes bytes;  // the file afterwards
};

// Runs the tool's command line with the path of a copy of file followed by
// values, under limits.
InProcessRun run_in_process(const Bytes& file, const std::vector<std::string>& values,
                            const ScanLimits& limits = ScanLimits{});

// The same on a sparse copy made by write_sparse_file in a folder under dir.
InProcessRun run_in_process_sparse(const Bytes& file, const std::vector<Extent>& extents,
                                   const std::string& dir, const std::vector<std::string>& values,
                                   const ScanLimits& limits = ScanLimits{});

}  // namespace tagrun::testing

#endif  // TAGRUN_TESTS_TEST_UTIL_H_
