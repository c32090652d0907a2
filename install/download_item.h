#pragma once
// One payload to fetch, and the run-wide download state built from the manifest.
#include <deque>
#include <string>
#include <vector>

struct DownloadItem {
  std::string remoteUrl;     // absolute URL of the payload
  std::string localPath;     // absolute path where the payload is written
  std::string expectedHash;  // digest text from the manifest
};

struct DownloadState {
  std::deque<DownloadItem> queue;
  DownloadItem current;  // the item whose transfer is in flight
  std::vector<DownloadItem> done;    // stored
  std::vector<DownloadItem> failed;  // received but not stored; counted for "DL ended:"
};
