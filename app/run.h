#pragma once
// Everything one run of the launcher owns, held by appMain for the whole run and handed
// to the work of each state.
#include <string>
#include <vector>

#include "install/download_item.h"
#include "install/run_lock.h"
#include "ota/manifest.h"

struct Run {
  explicit Run(std::vector<std::string> const& arguments) : args(arguments) {}

  std::vector<std::string> const& args;  // element 0 is the launcher's own path
  std::string appsRoot;                  // per-user applications directory
  OTA::Manifest manifest;
  std::string installDir;
  std::string installDirNew;  // staging location: everything the run writes goes here
  DownloadState downloads;
  bool windowShown = false;
  RunLock lock;  // this edition and channel's, from environment detection to the end
};
