#include "app/run.h"

#include "base/log.h"

void Run::setState(InstallerState next) {
  if (next == state_) return;
  state_ = next;
  std::string line = "Changing state: ";
  line += stateName(next);
  Log::out(line);
}
