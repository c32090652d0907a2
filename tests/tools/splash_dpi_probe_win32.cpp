// Shows the splash window with the progress artwork, then tells it, the way Windows
// does when the window is dragged onto a monitor at 150 %, that its scale changed:
// first the question for its size at the new DPI, then the change with a rectangle of
// that size. Wine never sends these itself. The window stays up until the user closes it.
// Exit code: 0 after the user's close, 2 when no window could be made, 3 when nobody
// closed it within two minutes, 4 when the window did not answer the size question.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "ui/splash.h"

namespace {

UINT const kGetDpiScaledSize = 0x02E4;  // WM_GETDPISCALEDSIZE
WORD const kNewDpi = 144;

}  // namespace

int main() {
  Splash::setTitle("Installation de Quenza, veuillez patienter...");
  Splash::setImage(&Splash::progressImage);
  if (!Splash::create(640, 320)) {
    std::puts("No window");
    return 2;
  }
  HWND const window = FindWindowW(L"QuenzaInstallerSplash", nullptr);
  RECT outer;
  GetWindowRect(window, &outer);
  SIZE size = {outer.right - outer.left, outer.bottom - outer.top};
  if (!SendMessageW(window, kGetDpiScaledSize, kNewDpi, reinterpret_cast<LPARAM>(&size))) {
    Splash::destroy();
    return 4;
  }
  RECT suggested = {outer.left, outer.top, outer.left + size.cx, outer.top + size.cy};
  SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(kNewDpi, kNewDpi), reinterpret_cast<LPARAM>(&suggested));
  // Under Wine the new size waits in the process's queue of X requests until the next
  // look at the message queue sends it: the line below promises the window at its new
  // size, so the queue is looked at first.
  Splash::pumpMessages();
  std::puts("Window shown at 144 DPI");
  std::fflush(stdout);

  auto const deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (std::chrono::steady_clock::now() < deadline) {
    Splash::pumpMessages();
    if (Splash::closedByUser()) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Splash::destroy();
  return 3;
}
