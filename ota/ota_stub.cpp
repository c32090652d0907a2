#include "app/not_built.h"
#include "app/state_work.h"

void workQueryingOta(Run&) { stateNotBuiltYet("OTA verify exchange"); }
