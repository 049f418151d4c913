// The candidate filter: find_candidates, the one test of the file's bytes
// for the values a scan looks for, on paths that give the same candidates: a plain byte loop, the
// reference, and three vector paths. The portable path is written once in the compiler's generic
// vectors and runs on every machine (SSE2 on x86-64, NEON on AArch64, the vector facility or scalar
// code on s390x); x86-64 CPUs with AVX2 or AVX-512BW get a path of their own. The path is chosen
// once, at the first call, in an order fixed by measurement; the binary itself assumes nothing
// beyond the baseline of its architecture.
//
// The vector paths test 16 to 128 tag positions at once. The values looked
// for, first to first + count - 1 (count at most 256), share at most two top
// bytes, so the tag byte and the byte four places after it reject almost
// every position of any file; the few that pass get the whole test on the
// same vectors, so a file dense in tag bytes or in run values costs about
// the same as one where they are rare. Value bytes are read one by one,
// least significant first, so the machine's byte order changes nothing.
#ifndef TAGRUN_CANDIDATE_FILTER_H_
#define TAGRUN_CANDIDATE_FILTER_H_

#include <cstddef>
#include <cstdint>
#include <span>

namespace tagrun {

enum class FilterPath { kPlain, kPortable, kAvx2, kAvx512 };

// Whether this CPU (and its operating system) can run path.
bool filter_path_supported(FilterPath path);

// The fastest path this CPU supports, the one find_candidates runs on. A
// build may fix it with TAGRUN_FORCED_FILTER_PATH (kPortable, ...) for
// measurement; a forced path the CPU cannot run is ignored.
FilterPath fastest_filter_path();

const char* filter_path_name(FilterPath path);

// Tests the tag positions |from| to |end| - 1 of |bytes|, which must hold
// at least |end| + 4 bytes (the value bytes of the last position), for a
// candidate: a tag whose value v has run_distance(|first|, v) < |count|
// (1 <= |count| <= 256). Writes the candidates' positions into |out| in
// ascending order until |out| is full, and returns the number written;
// sets *|next| to the position to resume from (|end| when every position
// was tested). Runs on |path|, which must be supported; by default on the
// fastest, as every scan of the file does.
std::size_t find_candidates(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t end,
                            std::int32_t first, std::uint32_t count, std::span<std::uint32_t> out,
                            std::size_t* next, FilterPath path = fastest_filter_path());

}  // namespace tagrun

#endif  // TAGRUN_CANDIDATE_FILTER_H_
