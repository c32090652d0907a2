#pragma once
// The work of each installer state, dispatched by the main loop once per pass. The work
// itself lives in the modules, which report what happened (base/step.h) and never touch
// the state; this dispatcher alone decides the next state, through Run::setState, also
// for the completion handlers of the transfers it sends.
#include "app/run.h"

// What the loop does once the state's work of a pass is done.
struct PassEnd {
  bool endsRun = false;      // the run is over, and appMain returns exitCode
  int exitCode = 0;
  bool skipsSleep = false;   // the next pass starts at once, without the 5 ms sleep
};

// Performs the work of the run's current state (nothing for Waiting and for a value
// outside the table). The sleep is skipped only after a pass in which the work of
// CleaningBeforeDownload, ConstructingQueue, Downloading or PreparingExecution itself
// failed: a failure that a completion handler reported, even one run inside HTTP::send
// because the transfer could not start, and a failure of ExecutingApp or of the run lock
// are followed by the sleep like any pass.
PassEnd performStateWork(Run& run);
