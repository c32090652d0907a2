#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The whole run of the launcher: the state machine driven by one single-threaded loop.
// Returns the process exit code: 0 when the application was started, 1 when a failure
// happened while no window was shown, -1 when the user closed the window.
int appMain(std::vector<std::string> const& args);

// Passes the main loop has begun since the process started. Nothing in the launcher
// reads it; the benchmark launcher reports it at exit to relate throughput to passes.
uint64_t loopPassCount();
