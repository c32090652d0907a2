#include "app/state_work.h"

#include <string>
#include <utility>

#include "base/log.h"
#include "base/step.h"
#include "env/identity.h"
#include "exec/process.h"
#include "http/http.h"
#include "install/download.h"
#include "install/prepare.h"
#include "ota/ota.h"
#include "ui/splash.h"

namespace {

PassEnd continues() { return {}; }
PassEnd ends(int exitCode) { return {true, exitCode, false}; }

// The work of the four states that fail synchronously: on success the run moves on to
// next; on failure (the module has written its line) to Error, at once.
PassEnd afterStep(Run& run, Step step, InstallerState next) {
  if (step == Step::Failed) {
    run.setState(InstallerState::Error);
    return {false, 0, true};
  }
  run.setState(next);
  return continues();
}

// The run lock is taken as soon as the edition and channel are known: before the window
// and before anything on the disk, so that a second launcher of them leaves no trace.
void detectAndLock(Run& run) {
  run.env = detectEnvironment(run.args.front());
  std::string const edition(appSlugName(run.env.edition, false));
  std::string const channel(envChannelName(run.env.channel, false));
  // A run never goes on unlocked: two would delete what the other is writing. A lock that
  // cannot be set up ends the run here too, before the window and before anything changes.
  switch (run.lock.acquire(run.appsRoot, edition, channel)) {
    case RunLock::Outcome::Held: run.setState(InstallerState::ShowingWindow); return;
    case RunLock::Outcome::Busy:
      Log::err("An installation of this edition is already running: edition=" + edition + " channel=" + channel);
      break;
    case RunLock::Outcome::Unavailable:
      Log::err("Run lock unavailable: lock=" + run.lock.name() + " error=" + std::to_string(run.lock.error()) + " (" +
               run.lock.errorText() + ")");
      break;
  }
  run.setState(InstallerState::Error);
}

void showWindow(Run& run) {
  Splash::setTitle("Installation de Quenza, veuillez patienter...");
  Splash::setImage(&Splash::progressImage);
  // A window that cannot be made is no failure: the run goes on without one.
  run.windowShown = Splash::create(640, 320);
  run.setState(InstallerState::QueryingOta);
}

void queryOta(Run& run) {
  // A failed start-up needs no check here: the request below then completes at once
  // with status 0 and its handler reports the failure.
  HTTP::startup();
  HTTP::Request request = OTA::buildVerifyRequest(run.env);
  Log::out("Verify OTA...");
  // Waiting first, so that a reply delivered inside send has the last word.
  run.setState(InstallerState::Waiting);
  HTTP::send(std::move(request), [&run](HTTP::Reply const& reply) {
    bool const usable = OTA::onVerifyReply(reply, run.manifest) == Step::Done;
    run.setState(usable ? InstallerState::CleaningBeforeDownload : InstallerState::Error);
  });
}

PassEnd download(Run& run) {
  if (run.downloads.queue.empty()) {
    return afterStep(run, Download::finish(run.downloads, run.manifest, run.env, run.install.installDirNew),
                     InstallerState::PreparingExecution);
  }
  // Waiting first: a request that cannot start is answered inside send, and the state
  // its reply leads to must stand.
  run.setState(InstallerState::Waiting);
  HTTP::Request request = Download::nextRequest(run.downloads);
  HTTP::send(std::move(request), [&run](HTTP::Reply const& reply) {
    bool const stored = Download::onReply(reply, run.downloads) == Step::Done;
    run.setState(stored ? InstallerState::Downloading : InstallerState::Error);
  });
  return continues();
}

// The launcher's own path goes over unchanged; quoting it for a command line is the
// process runner's business. A start that fails writes no line of its own.
void startApplication(Run& run) {
  std::string const executable = Prepare::executablePath(run.env, run.install.installDirNew);
  std::string const installer = run.args.empty() ? std::string() : run.args.front();
  bool const started = Process::start(executable, {"--installer=" + installer});
  run.setState(started ? InstallerState::ClosingWindow : InstallerState::Error);
}

// The three values of the title are asked of the probes again, as the window shows what
// the machine says now; they are the ones detected at the start.
std::string errorTitle() {
  std::string title = "Erreur d'installation de Quenza (";
  title += osTypeName(currentOsType(), true);
  title += ' ';
  title += cpuArchName(detectCpuArch(), true);
  title += ' ';
  title += osVersionString();
  title += ')';
  return title;
}

// Without a window the failure's line is all the user gets, and the run ends; with one,
// the error artwork stays until the user closes it.
PassEnd showError(Run& run) {
  if (!run.windowShown) {
    HTTP::shutdown();
    return ends(1);
  }
  Splash::setTitle(errorTitle());
  Splash::setImage(&Splash::errorImage());
  run.setState(InstallerState::Waiting);
  return continues();
}

}  // namespace

PassEnd performStateWork(Run& run) {
  switch (run.state()) {
    case InstallerState::EnvironmentDetection: detectAndLock(run); return continues();
    case InstallerState::ShowingWindow: showWindow(run); return continues();
    case InstallerState::QueryingOta: queryOta(run); return continues();
    case InstallerState::CleaningBeforeDownload:
      return afterStep(run, Layout::cleanBeforeDownload(run.appsRoot, run.env, run.install),
                       InstallerState::ConstructingQueue);
    case InstallerState::ConstructingQueue:
      return afterStep(run, Download::buildQueue(run.downloads, run.manifest, run.env, run.install.installDirNew),
                       InstallerState::Downloading);
    case InstallerState::Downloading: return download(run);
    case InstallerState::PreparingExecution:
      return afterStep(run, Prepare::tree(run.env, run.install.installDirNew), InstallerState::ExecutingApp);
    case InstallerState::ExecutingApp: startApplication(run); return continues();
    case InstallerState::Waiting: return continues();
    case InstallerState::Error: return showError(run);
    case InstallerState::ClosingWindow:
      HTTP::shutdown();
      Splash::destroy();
      return ends(0);
  }
  return continues();
}
