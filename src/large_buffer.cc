#include "large_buffer.h"

#include <sys/mman.h>

namespace tagrun {

LargeBuffer::LargeBuffer(std::size_t bytes) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  const std::size_t size = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  if (size == 0) {
    return;
  }
  memory_.reset(static_cast<std::byte*>(std::aligned_alloc(kHugePage, size)));
  if (memory_ == nullptr) {
    return;  // left empty: the owner reports it
  }
#ifdef MADV_HUGEPAGE
  ::madvise(memory_.get(), size, MADV_HUGEPAGE);  // only advice: ignoring failure is fine
#endif
}

}  // namespace tagrun
