#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/state.h"

// The whole run of the launcher: the state machine driven by one single-threaded loop.
// Returns the process exit code: 0 when the application was started, 1 when a failure
// happened while no window was shown, -1 when the user closed the window.
int appMain(std::vector<std::string> const& args);

// Whether the pass that performed the work of state `worked`, leaving the run in state
// `now`, skips its 5 ms sleep: only when the work of CleaningBeforeDownload,
// ConstructingQueue, Downloading or PreparingExecution set Error itself. An Error that a
// completion handler set (replyDuringWork), even one run inside HTTP::send during that
// work because the transfer could not start, is followed by the sleep like any pass.
bool skipsSleep(InstallerState worked, InstallerState now, bool replyDuringWork);

// Passes the main loop has begun since the process started. Nothing in the launcher
// reads it; the benchmark launcher reports it at exit to relate throughput to passes.
uint64_t loopPassCount();
