#pragma once
// Making a staged installation runnable and starting it (the work of PreparingExecution
// and ExecutingApp is declared in app/state_work.h). This header holds the pure parts.
#include <string>
#include <vector>

namespace Launch {

// The shorter names under which a versioned shared library is also loaded, longest
// first, each formed by cutting the path at its last "." after the ".so":
// "libname.so.1.2.3" gives "libname.so.1.2", "libname.so.1", "libname.so". Nothing for
// a path whose last ".so" is missing or followed by anything but "." or the end
// ("libname.so", "libname.sox.1").
std::vector<std::string> sharedLibraryLinkPaths(std::string const& path);

}  // namespace Launch
