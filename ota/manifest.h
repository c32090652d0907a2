#pragma once
// The decoded verify reply: where the content server is, the application payload and
// the dependency files, each with its digest text. Filled once by the verify reply
// handler, read by the download and start states.
#include <cstdint>
#include <string>
#include <vector>

namespace OTA {

struct ManifestEntry {
  uint64_t index = 0;  // position in the reply's "entries" array, counted from 1
  std::string uri;
  std::string hash;
  std::string path;  // relative to the install directory
  int64_t size = 0;
};

struct ManifestApp {
  std::string uri;
  std::string hash;
  int64_t size = 0;
};

struct ManifestDeps {
  std::string hash;
  std::vector<ManifestEntry> entries;
};

struct Manifest {
  std::string code;
  std::string tag;
  std::string cdn;  // base of every download URL: cdn + "/" + uri
  ManifestApp app;
  ManifestDeps deps;
};

}  // namespace OTA
