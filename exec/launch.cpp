#include "exec/launch.h"

#include <cstdint>

#include "base/log.h"
#include "app/state.h"
#include "app/state_work.h"
#include "env/environment.h"
#include "exec/process.h"
#include "fs/fs.h"
#include "fs/path.h"

namespace Launch {

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

}  // namespace Launch

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
  Log::out(outputPrefix + result.output);
  if (succeeded(result)) return true;
  Log::err(failurePrefix + " started=" + (result.started ? "1" : "0") +
           " exitCode=" + std::to_string(result.exitCode));
  return false;
}

// Best effort: the run goes on to start the application whether or not this is written.
void writeHostnameFile(Run const& run) {
  std::string_view const host = channelHost(environment().channel);
  std::vector<uint8_t> const bytes(host.begin(), host.end());
  (void)FS::writeFile(FS::join(run.installDirNew, kHostnameFile), bytes);
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
bool recreateLibraryLinks(Run const& run) {
  std::vector<FS::Entry> libraries;
  // A missing lib directory means an application without shared libraries of its own.
  FS::list(libraries, FS::join(run.installDirNew, "lib"), true, [](FS::Entry const& entry) {
    return entry.type == FS::EntryType::File && entry.name.find(".so") != std::string::npos;
  });

  for (FS::Entry const& library : libraries) {
    Log::out("SO file found : path=" + library.path);
    for (std::string const& linkPath : Launch::sharedLibraryLinkPaths(library.path)) {
      Log::out("FS recreating relative symlink: " + linkPath);
      if (!recreateLink(library.name, linkPath)) {
        Log::err("FS couldn't symlink SO file: " + library.name + linkPath);
        return false;
      }
    }
  }
  return true;
}

void prepareMac(Run const& run) {
  std::string const& dir = run.installDirNew;
  if (!runTool("ditto", {"-xk", FS::join(dir, kMacZip), dir}, "Ditto output: ", "Ditto failed: ")) {
    setState(InstallerState::Error);
    return;
  }
  if (!runTool("xattr", {"-dr", "com.apple.quarantine", FS::join(dir, kMacBundle)}, "XAttr output: ",
               "XAttr failed: ")) {
    setState(InstallerState::Error);
    return;
  }
  setState(InstallerState::ExecutingApp);
}

void prepareLinux(Run const& run) {
  if (!recreateLibraryLinks(run)) {
    setState(InstallerState::Error);
    return;
  }
  std::string const app = FS::join(run.installDirNew, environment().appFilename);
  if (!runTool("chmod", {"a+x", app}, "chmod output: ", "chmod failed: ")) {
    setState(InstallerState::Error);
    return;
  }
  writeHostnameFile(run);
  setState(InstallerState::ExecutingApp);
}

}  // namespace

void workPreparingExecution(Run& run) {
  switch (environment().platform) {
    case APPLE_OSX: prepareMac(run); return;
    case GNU_LINUX: prepareLinux(run); return;
    default:
      writeHostnameFile(run);
      setState(InstallerState::ExecutingApp);
      return;
  }
}

void workExecutingApp(Run& run) {
  std::string const& name = environment().appFilename;
  std::string const executable = environment().platform == APPLE_OSX
                                     ? FS::join(run.installDirNew, kMacExecutableDir + name)
                                     : FS::join(run.installDirNew, name);
  // The launcher's own path goes over unchanged; quoting it for a command line is the
  // process runner's business.
  std::string const installer = run.args.empty() ? std::string() : run.args.front();
  if (Process::start(executable, {"--installer=" + installer})) {
    setState(InstallerState::ClosingWindow);
  } else {
    setState(InstallerState::Error);
  }
}
