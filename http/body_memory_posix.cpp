#include "http/body_memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace HTTP {

void adviseLargeBody(void* data, size_t bytes) {
#ifdef MADV_HUGEPAGE
  if (bytes < kLargeBodyBytes) return;
  // Huge pages cover aligned 2 MiB ranges; the advice is given for those inside the block
  // (the allocator's block starts at a page, not at 2 MiB). A refusal (huge pages off, an
  // older kernel) leaves the ordinary pages.
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  uintptr_t const begin = (reinterpret_cast<uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
  uintptr_t const end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kHugePage - 1);
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  // macOS offers no such advice for ordinary allocations.
  (void)data;
  (void)bytes;
#endif
}

}  // namespace HTTP
