#pragma once
// The reads behind the Linux answer of InUse::usersOf, replaceable by tests: they play
// processes that use a tree, that cannot be read or that end meanwhile, without starting
// any. Only the Linux build and its tests include this header.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/replaceable_calls.h"

namespace InUse::posix {

struct SystemCalls {
  // Each sets its output and returns 0, or returns the errno of its failure.
  std::function<int(std::string const& directory, std::vector<std::string>& names)> listNames;
  std::function<int(std::string const& path, std::string& target)> readLink;
  std::function<int(std::string const& path, std::string& content)> readFile;
  std::function<int(std::string const& path, uint32_t& owner)> ownerOf;
  uint32_t self = 0;  // this process, which never counts
  uint32_t user = 0;  // whose processes are asked about
};

// The calls in use: the system's own unless a ScopedSystemCalls is alive.
SystemCalls const& systemCalls();

// Puts calls in place for its lifetime and the ones before it back when it ends.
using ScopedSystemCalls = Base::ReplaceableCalls<SystemCalls>::Scope;

}  // namespace InUse::posix
