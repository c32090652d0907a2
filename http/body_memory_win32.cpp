#include "http/body_memory.h"

namespace HTTP {

// Large pages on Windows need a privilege an ordinary user lacks (SeLockMemoryPrivilege)
// and memory locked for the whole run: not worth it for a body held for moments.
void adviseLargeBody(void* /*data*/, size_t /*bytes*/) {}

}  // namespace HTTP
