#include "app/app_main.h"

#include <chrono>

#include "base/log.h"
#include "app/run.h"
#include "app/state.h"
#include "app/state_work.h"
#include "base/heartbeat.h"
#include "app/pass_timer.h"
#include "env/environment.h"
#include "http/http.h"
#include "ui/splash.h"

namespace {

uint64_t loopPasses = 0;

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

}  // namespace

bool skipsSleep(InstallerState worked, InstallerState now, bool replyDuringWork) {
  bool const failsSynchronously =
      worked == InstallerState::CleaningBeforeDownload || worked == InstallerState::ConstructingQueue ||
      worked == InstallerState::Downloading || worked == InstallerState::PreparingExecution;
  return failsSynchronously && now == InstallerState::Error && !replyDuringWork;
}

uint64_t loopPassCount() { return loopPasses; }

// The run lock is taken as soon as the edition and channel are known: before the window
// and before anything on the disk, so that a second launcher of them leaves no trace.
void workEnvironmentDetection(Run& run) {
  detectEnvironment(run.args.front());
  EnvironmentValues const& env = environment();
  std::string const edition(appSlugName(env.edition, false));
  std::string const channel(envChannelName(env.channel, false));
  // A lock that cannot be set up at all (an unusable profile) does not stop the run: the
  // clean-up then fails with its own line.
  if (run.lock.acquire(run.appsRoot, edition, channel) == RunLock::Outcome::Busy) {
    Log::err("An installation of this edition is already running: edition=" + edition + " channel=" + channel);
    setState(InstallerState::Error);
  }
}

void workShowingWindow(Run& run) {
  Splash::setTitle("Installation de Quenza, veuillez patienter...");
  Splash::setImage(&Splash::progressImage);
  run.windowShown = Splash::create(640, 320);
  setState(InstallerState::QueryingOta);
}

int appMain(std::vector<std::string> const& args) {
  Run run(args);
  run.appsRoot = computeAppsRoot();
  // Held for the whole run so that each pass really sleeps 5 ms, and given back on every
  // way out of the loop.
  PassTimer::Timer passTimer;
  // Long file work inside a pass drains the window's messages too, so the window never
  // looks hung; a close seen there is acted on at the loop's own check below.
  Heartbeat::Scope keepWindowAlive([&run] {
    if (run.windowShown) Splash::pumpMessages();
  });

  for (;;) {
    ++loopPasses;
    HTTP::pump();
    if (run.windowShown) Splash::pumpMessages();
    if (Splash::closedByUser()) {
      Log::out("Closing from user action");
      return -1;
    }

    InstallerState const state = currentState();
    uint64_t const repliesBefore = HTTP::repliesDelivered();
    switch (state) {
      case InstallerState::EnvironmentDetection: workEnvironmentDetection(run); break;
      case InstallerState::ShowingWindow: workShowingWindow(run); break;
      case InstallerState::QueryingOta: workQueryingOta(run); break;
      case InstallerState::CleaningBeforeDownload: workCleaningBeforeDownload(run); break;
      case InstallerState::ConstructingQueue: workConstructingQueue(run); break;
      case InstallerState::Downloading: workDownloading(run); break;
      case InstallerState::PreparingExecution: workPreparingExecution(run); break;
      case InstallerState::ExecutingApp: workExecutingApp(run); break;
      case InstallerState::Waiting: break;
      case InstallerState::Error:
        if (!run.windowShown) {
          HTTP::shutdown();
          return 1;
        }
        Splash::setTitle(errorTitle());
        Splash::setImage(&Splash::errorImage());
        setState(InstallerState::Waiting);
        break;
      case InstallerState::ClosingWindow:
        HTTP::shutdown();
        Splash::destroy();
        return 0;
      default: break;
    }

    if (skipsSleep(state, currentState(), HTTP::repliesDelivered() != repliesBefore)) continue;
    passTimer.sleepFor(std::chrono::milliseconds(5));
  }
}
