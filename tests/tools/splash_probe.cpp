// Shows the splash window with the progress artwork, as the launcher does before its
// first request, and keeps it up until the user closes it, so that tests can look at it.
// Exit code: 0 after the user's close, 2 when no window could be made, 3 when nobody
// closed it within two minutes.
#include <chrono>
#include <cstdio>
#include <thread>

#include "ui/splash.h"

int main() {
  Splash::setTitle("Installation de Quenza, veuillez patienter...");
  Splash::setImage(&Splash::progressImage);
  if (!Splash::create(640, 320)) {
    std::puts("No window");
    return 2;
  }
  std::puts("Window shown");
  std::fflush(stdout);
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (std::chrono::steady_clock::now() < deadline) {
    Splash::pumpMessages();
    if (Splash::closedByUser()) {
      std::puts("Closed by user");
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Splash::destroy();
  return 3;
}
