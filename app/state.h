#pragma once
// The installer's states, with their fixed values and display names. The current state
// belongs to the run (app/run.h), which alone changes it.
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
