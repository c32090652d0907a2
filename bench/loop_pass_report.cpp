// Linked into the benchmark launcher only. Reports how many passes the main loop made,
// once the program has ended (a static object is destroyed after the entry point has
// returned), so that everything the run itself writes stays exactly as in the product.
#include <cinttypes>
#include <cstdio>

#include "app/app_main.h"

namespace {

struct LoopPassReport {
  ~LoopPassReport() {
    std::fprintf(stderr, "bench: loop passes=%" PRIu64 "\n", loopPassCount());
    std::fflush(stderr);
  }
};

LoopPassReport const report;

}  // namespace
