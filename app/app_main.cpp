#include "app/app_main.h"

#include <chrono>

#include "app/pass_timer.h"
#include "app/run.h"
#include "app/state_work.h"
#include "base/heartbeat.h"
#include "base/log.h"
#include "http/http.h"
#include "install/layout.h"
#include "ui/splash.h"

namespace {

// Process-wide only for the benchmark launcher, which reports it after appMain has
// returned and the run is gone; nothing in the launcher reads it.
uint64_t loopPasses = 0;

}  // namespace

uint64_t loopPassCount() { return loopPasses; }

int appMain(std::vector<std::string> const& args) {
  Run run(args);
  run.appsRoot = Layout::computeAppsRoot();
  // Held for the whole run so that each pass really sleeps 5 ms, and given back on every
  // way out of the loop.
  PassTimer::Timer passTimer;
  // Long file work inside a pass drains the window's messages too, so the window never
  // looks hung; a close seen there is acted on at the loop's own check below.
  Heartbeat::Scope keepWindowAlive(
      [&run] {
        if (run.windowShown) Splash::pumpMessages();
      },
      std::chrono::milliseconds(100), [] { return Splash::closedByUser(); });

  for (;;) {
    ++loopPasses;
    // Completion handlers run inside the pump, so a state they set is acted on by the
    // work of this same pass.
    HTTP::pump();
    if (run.windowShown) Splash::pumpMessages();
    if (Splash::closedByUser()) {
      // Transfers in flight are abandoned; nothing else is torn down on this way out.
      Log::out("Closing from user action");
      return -1;
    }
    PassEnd const end = performStateWork(run);
    if (end.endsRun) return end.exitCode;
    if (end.skipsSleep) continue;
    passTimer.sleepFor(std::chrono::milliseconds(5));
  }
}
