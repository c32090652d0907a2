#include "app/not_built.h"
#include "app/state_work.h"

void workPreparingExecution(Run&) { stateNotBuiltYet("application preparation"); }
void workExecutingApp(Run&) { stateNotBuiltYet("application start"); }
