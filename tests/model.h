// A small model of a run, written straight from the rules and kept slow on
// purpose: a byte-by-byte scan of an in-memory copy of the file, one scan
// per value of the run. The tool's fast paths are tested against it.
#ifndef TAGRUN_TESTS_MODEL_H_
#define TAGRUN_TESTS_MODEL_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tagrun::testing {

struct ModelRun {
  std::string output;               // standard output
  std::vector<std::uint8_t> bytes;  // the file afterwards
};

// new_first 0 is find mode, anything else rewrite mode.
ModelRun model_run(std::vector<std::uint8_t> bytes, std::int32_t first, std::int32_t new_first);

}  // namespace tagrun::testing

#endif  // TAGRUN_TESTS_MODEL_H_
