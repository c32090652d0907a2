#pragma once
#include <string>
#include <vector>

// The whole run of the launcher: the state machine driven by one single-threaded loop.
// Returns the process exit code: 0 when the application was started, 1 when a failure
// happened while no window was shown, -1 when the user closed the window.
int appMain(std::vector<std::string> const& args);
