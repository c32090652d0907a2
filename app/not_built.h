#pragma once
// Temporary: the work of a state whose subsystem is not built yet ends the run through
// Error with a line saying so, so that every run still ends by a path of the exit table.
#include <string>

#include "base/log.h"
#include "app/state.h"

inline void stateNotBuiltYet(std::string const& what) {
  Log::err("Not built yet: " + what);
  setState(InstallerState::Error);
}
