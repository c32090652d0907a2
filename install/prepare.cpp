#include "install/prepare.h"

#include <cstdint>

#include "base/log.h"
#include "exec/process.h"
#include "fs/fs.h"
#include "fs/path.h"

namespace {

constexpr char kHostnameFile[] = "quenza_hostname.cfg";
constexpr char kMacZip[] = "quenza-launcher.zip";
constexpr char kMacBundle[] = "quenza-launcher.app";
constexpr char kMacExecutableDir[] = "quenza-launcher.app/Contents/MacOS/";

bool succeeded(Process::Result const& result) { return result.started && result.exitCode == 0; }

// Runs one preparation tool, logs what it printed (also when it fails) and, on failure,
// the failure line with both outcome fields. True when the tool ran and exited with 0.
bool runTool(std::string const& program, std::vector<std::string> const& arguments, std::string const& outputPrefix,
             std::string const& failurePrefix) {
  Process::Result const result = Process::run(program, arguments);
  // Written also when the tool printed nothing ("chmod output: " with its blank).
  Log::out(outputPrefix + result.output);
  if (succeeded(result)) return true;
  // The prefix ends in a blank before " started=" ("chmod failed:  started=1"): the
  // system's own text, not a typo to fix.
  Log::err(failurePrefix + " started=" + (result.started ? "1" : "0") +
           " exitCode=" + std::to_string(result.exitCode));
  return false;
}

// Best effort: the run goes on to start the application whether or not this is written.
void writeHostnameFile(EnvironmentValues const& env, std::string const& installDirNew) {
  std::string_view const host = channelHost(env.channel);
  std::vector<uint8_t> const bytes(host.begin(), host.end());
  (void)FS::writeFile(FS::join(installDirNew, kHostnameFile), bytes);
}

// The link name's current occupant, if any, as listed in its directory.
bool findEntry(std::string const& path, FS::Entry& found) {
  std::string const name = FS::baseName(path);
  std::vector<FS::Entry> entries;
  FS::list(entries, FS::parentPath(path), false, [&name](FS::Entry const& entry) { return entry.name == name; });
  if (entries.empty()) return false;
  found = entries.front();
  return true;
}

// Points linkPath at target (a bare name in the same directory). A link already there
// is replaced, since this run owns the links of its staged tree. Anything else already
// there (the packaged tree may carry a real copy of the library under the shorter name)
// is left alone: it already answers to that name, and destroying a shipped file could
// only lose data. False only when no usable name could be had.
bool recreateLink(std::string const& target, std::string const& linkPath) {
  if (FS::createSymlink(target, linkPath)) return true;
  FS::Entry occupant;
  if (!findEntry(linkPath, occupant)) return false;
  if (occupant.type != FS::EntryType::Link) return true;
  if (!FS::removeAll(linkPath)) return false;
  return FS::createSymlink(target, linkPath);
}

// Recreates the version links of every shared library below lib/ that packaging
// flattened. False (with the failure line written) at the first link that cannot be
// made.
bool recreateLibraryLinks(std::string const& installDirNew) {
  std::vector<FS::Entry> libraries;
  std::string const libDir = FS::join(installDirNew, "lib");
  FS::Status const listed = FS::list(libraries, libDir, true, [](FS::Entry const& entry) {
    return entry.type == FS::EntryType::File && entry.name.find(".so") != std::string::npos;
  });
  // A missing lib directory means an application without shared libraries of its own;
  // one that cannot be read to its end would leave an application that cannot load them.
  if (!listed && !listed.notFound()) {
    Log::err("FS couldn't list SO files: " + libDir);
    return false;
  }

  for (FS::Entry const& library : libraries) {
    // A blank before the colon: the system's own text, not a typo to fix.
    Log::out("SO file found : path=" + library.path);
    for (std::string const& linkPath : Prepare::sharedLibraryLinkPaths(library.path)) {
      Log::out("FS recreating relative symlink: " + linkPath);
      if (!recreateLink(library.name, linkPath)) {
        // Name and link path run together with nothing between: the system's own text.
        Log::err("FS couldn't symlink SO file: " + library.name + linkPath);
        return false;
      }
    }
  }
  return true;
}

// No host-name file on this platform: the bundle carries its own configuration.
Step prepareMac(std::string const& dir) {
  if (!runTool("ditto", {"-xk", FS::join(dir, kMacZip), dir}, "Ditto output: ", "Ditto failed: ")) {
    return Step::Failed;
  }
  if (!runTool("xattr", {"-dr", "com.apple.quarantine", FS::join(dir, kMacBundle)}, "XAttr output: ",
               "XAttr failed: ")) {
    return Step::Failed;
  }
  return Step::Done;
}

Step prepareLinux(EnvironmentValues const& env, std::string const& dir) {
  if (!recreateLibraryLinks(dir)) return Step::Failed;
  if (!runTool("chmod", {"a+x", FS::join(dir, env.appFilename)}, "chmod output: ", "chmod failed: ")) {
    return Step::Failed;
  }
  writeHostnameFile(env, dir);
  return Step::Done;
}

}  // namespace

namespace Prepare {

std::vector<std::string> sharedLibraryLinkPaths(std::string const& path) {
  std::vector<std::string> links;
  size_t const found = path.rfind(".so");
  if (found == std::string::npos) return links;
  size_t const stemEnd = found + 3;
  if (stemEnd != path.size() && path[stemEnd] != '.') return links;

  std::string link = path;
  while (link.size() > stemEnd) {
    size_t const dot = link.rfind('.');
    if (dot == std::string::npos || dot < stemEnd) break;
    link.resize(dot);
    links.push_back(link);
  }
  return links;
}

Step tree(EnvironmentValues const& env, std::string const& installDirNew) {
  switch (env.platform) {
    case APPLE_OSX: return prepareMac(installDirNew);
    case GNU_LINUX: return prepareLinux(env, installDirNew);
    default:
      writeHostnameFile(env, installDirNew);
      return Step::Done;
  }
}

std::string executablePath(EnvironmentValues const& env, std::string const& installDirNew) {
  if (env.platform == APPLE_OSX) return FS::join(installDirNew, kMacExecutableDir + env.appFilename);
  return FS::join(installDirNew, env.appFilename);
}

}  // namespace Prepare
