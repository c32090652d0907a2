#pragma once
// What a step of the run's work, or a completion handler, reports back to the run: it
// did its part, or it failed after writing its one line to standard error. The run, not
// the step, decides which state follows; a step never changes the state itself.
#include <cstdint>

enum class [[nodiscard]] Step : uint32_t { Done = 0, Failed = 1 };
