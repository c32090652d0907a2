#pragma once
// Memory for large reply bodies. A payload is held whole before it is checked, so a body
// of 100 MiB is 25,600 pages the program touches for the first time as the bytes arrive;
// on a virtual machine each first touch is a trap costing microseconds, and together
// they took longer than decrypting the body. Where the system offers larger pages for a
// block (Linux's transparent huge pages), a large body asks for them: one trap then
// covers 2 MiB.
#include <cstddef>

namespace HTTP {

// The smallest block worth the advice: below it the body is a few dozen pages at most.
inline constexpr size_t kLargeBodyBytes = size_t{4} << 20;

// Advises the system that the block of bytes at data, just allocated and not yet
// written, is better backed by large pages. Only advice: it changes nothing the program
// sees, and where the system has no such pages, or the block is smaller than
// kLargeBodyBytes, nothing happens.
void adviseLargeBody(void* data, size_t bytes);

}  // namespace HTTP
