#include "app/not_built.h"
#include "app/state_work.h"

void workConstructingQueue(Run&) { stateNotBuiltYet("download queue"); }
void workDownloading(Run&) { stateNotBuiltYet("downloads"); }
