#pragma once
// Everything one run of the launcher owns, held by appMain for the whole run and handed
// to the work of each state: the current state, the environment values, the manifest,
// the install locations, the downloads, the window flag and the run lock. Nothing of it
// is process-wide, so every test makes a run of its own.
#include <string>
#include <vector>

#include "app/state.h"
#include "env/environment.h"
#include "install/download_item.h"
#include "install/layout.h"
#include "install/run_lock.h"
#include "ota/manifest.h"

class Run {
 public:
  // The run starts in `initial` without writing anything: the first state is never set
  // through setState (tests start a run wherever they need it).
  explicit Run(std::vector<std::string> const& arguments,
               InstallerState initial = InstallerState::EnvironmentDetection)
      : args(arguments), state_(initial) {}

  InstallerState state() const { return state_; }

  // The only way the state changes: stores the next state and writes "Changing state: "
  // followed by its display name when it differs from the current one; does nothing at
  // all when it is the same.
  void setState(InstallerState next);

  std::vector<std::string> const& args;  // element 0 is the launcher's own path
  std::string appsRoot;                  // per-user applications directory
  EnvironmentValues env;                 // found by EnvironmentDetection
  OTA::Manifest manifest;                // filled by the verify reply
  Layout::InstallLocations install;      // set by CleaningBeforeDownload
  DownloadState downloads;
  bool windowShown = false;
  RunLock lock;  // this edition and channel's, from environment detection to the end

 private:
  InstallerState state_;
};
