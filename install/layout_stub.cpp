#include "app/not_built.h"
#include "app/state_work.h"

std::string computeAppsRoot() { return ".QuenzaQtApps"; }
void workCleaningBeforeDownload(Run&) { stateNotBuiltYet("install directory cleanup"); }
