#pragma once
// Making a staged installation runnable: the platform's preparation of the tree in the
// staging directory, and where the application's executable then lies.
#include <string>
#include <vector>

#include "base/step.h"
#include "env/environment.h"

namespace Prepare {

// The shorter names under which a versioned shared library is also loaded, longest
// first, each formed by cutting the path at its last "." after the ".so":
// "libname.so.1.2.3" gives "libname.so.1.2", "libname.so.1", "libname.so". Nothing for
// a path whose last ".so" is missing or followed by anything but "." or the end
// ("libname.so", "libname.sox.1").
std::vector<std::string> sharedLibraryLinkPaths(std::string const& path);

// Prepares the staged tree for the platform the run detected:
// - bundle platform: unpacks "quenza-launcher.zip" with ditto and lifts the quarantine
//   of "quenza-launcher.app" with xattr;
// - Linux: recreates the version links of the shared libraries below "lib", makes the
//   application executable with chmod, then writes the host-name file;
// - any other platform: writes the host-name file.
// Each tool's output is logged ("Ditto output: ", "XAttr output: ", "chmod output: ")
// also when it fails. Failed after "Ditto failed: ", "XAttr failed: ", "chmod failed: "
// (with " started=0|1 exitCode=N"), "FS couldn't list SO files: " (a lib directory that
// is there but cannot be read) or "FS couldn't symlink SO file: " at the first step
// that fails; a host-name file that cannot be written is no failure.
Step tree(EnvironmentValues const& env, std::string const& installDirNew);

// The application's executable in the staged tree: the platform's file name directly in
// it, or inside the unpacked bundle on the bundle platform.
std::string executablePath(EnvironmentValues const& env, std::string const& installDirNew);

}  // namespace Prepare
