#pragma once
// The installer's states and the one way of changing the current state.
#include <cstdint>
#include <string_view>

enum class InstallerState : uint32_t {
  EnvironmentDetection = 0,
  ShowingWindow = 1,
  QueryingOta = 2,
  CleaningBeforeDownload = 3,
  ConstructingQueue = 4,
  Downloading = 5,
  PreparingExecution = 6,
  ExecutingApp = 7,
  Waiting = 8,
  Error = 9,
  ClosingWindow = 10,
};

// Display name of a state; "@@@ unrecognized state @@@" for any other value.
std::string_view stateName(InstallerState state);

// Stores the next state and writes "Changing state: <display name>" when it differs
// from the current one; does nothing at all when it is the same.
void setState(InstallerState next);

// The current state of the run (EnvironmentDetection at process start).
InstallerState currentState();

// Test seam: puts the state machine at a state without writing anything.
void resetStateForTesting(InstallerState state);
