// Memory for the run's large buffers: the read buffer and the candidate
// list.
#ifndef TAGRUN_LARGE_BUFFER_H_
#define TAGRUN_LARGE_BUFFER_H_

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace tagrun {

// Memory of a fixed size (contents unset) in whole 2 MiB units, 2 MiB aligned, that
// the system is asked to back with huge pages. A run's first touch of its
// buffers costs one page fault per 4 KiB otherwise, and on a virtual machine
// a fault can cost more than scanning the page; with huge pages it is one
// per 2 MiB. Pages never touched cost nothing either way.
//
// Allocation never ends the process: when the memory cannot be had, the
// buffer is left empty(), and its owner says so before the run starts.
class LargeBuffer {
 public:
  LargeBuffer() = default;
  explicit LargeBuffer(std::size_t bytes);

  [[nodiscard]] std::byte* data() const { return memory_.get(); }
  [[nodiscard]] bool empty() const { return memory_ == nullptr; }

 private:
  struct Free {
    void operator()(std::byte* memory) const { std::free(memory); }
  };
  std::unique_ptr<std::byte, Free> memory_;
};

}  // namespace tagrun

#endif  // TAGRUN_LARGE_BUFFER_H_
