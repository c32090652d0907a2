#include "app/state.h"

#include <iterator>

namespace {

constexpr std::string_view kNames[] = {
    "Environment detection", "Showing window", "Querying OTA",  "Cleaning before download",
    "Constructing queue",    "Downloading",    "Preparing execution", "Executing app",
    "Waiting",               "Error",          "Closing window",
};

}  // namespace

std::string_view stateName(InstallerState state) {
  auto const index = static_cast<uint32_t>(state);
  if (index < std::size(kNames)) return kNames[index];
  // The system's own text for a value outside the table, at signs included.
  return "@@@ unrecognized state @@@";
}
