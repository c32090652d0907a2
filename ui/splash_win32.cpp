#include <windows.h>

#include "fs/path.h"
#include "ui/splash.h"
#include "ui/splash_logic.h"

namespace Splash {

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

wchar_t const kClassName[] = L"QuenzaInstallerSplash";
// Caption, system menu and minimise box: no sizing border and no maximise box, so the
// client area keeps the size of the picture.
DWORD const kStyle = 0x00CA0000;
int const kIconGroup = 101;

HWND g_window = nullptr;
bool g_classRegistered = false;

HICON loadIcon(HINSTANCE module, int widthMetric, int heightMetric) {
  return static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(kIconGroup), IMAGE_ICON,
                                       GetSystemMetrics(widthMetric), GetSystemMetrics(heightMetric), 0));
}

// Converts the current image and paints it before returning, when there is a window and
// the image is usable; otherwise the previous picture stays.
void showCurrentImage() {
  if (!g_window) return;
  if (!detail::applyImage(*detail::state().current)) return;
  InvalidateRect(g_window, nullptr, FALSE);
  UpdateWindow(g_window);
}

void paint(HWND window) {
  PAINTSTRUCT ps;
  HDC const dc = BeginPaint(window, &ps);
  detail::ModuleState const& s = detail::state();
  if (dc && detail::pictureReady()) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = 40;
    info.bmiHeader.biWidth = static_cast<LONG>(s.width);
    info.bmiHeader.biHeight = -static_cast<LONG>(s.height);  // rows run top to bottom
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    int const w = static_cast<int>(s.width);
    int const h = static_cast<int>(s.height);
    StretchDIBits(dc, 0, 0, w, h, 0, 0, w, h, s.pixels.data(), &info, DIB_RGB_COLORS, 0x00CC0020);
  }
  EndPaint(window, &ps);
}

}  // namespace

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT:
      paint(window);
      return 0;
    case WM_CLOSE:
      // The main loop learns of the close through closedByUser only: no quit message.
      detail::state().closedByUser = true;
      DestroyWindow(window);
      g_window = nullptr;
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

void setTitle(std::string const& title) {
  detail::storeTitle(title);
  if (g_window) SetWindowTextW(g_window, FS::toWide(detail::state().title).c_str());
}

void setImage(Image const* image) {
  detail::state().current = image;
  showCurrentImage();
}

bool create(uint32_t width, uint32_t height) {
  // One splash window per process: a second create replaces the first.
  destroy();
  detail::ModuleState& s = detail::state();
  s.width = width;
  s.height = height;
  HINSTANCE const module = GetModuleHandleW(nullptr);

  if (!g_classRegistered) {
    WNDCLASSW wc = {};
    wc.style = 0;
    wc.lpfnWndProc = windowProc;
    wc.hInstance = module;
    wc.hIcon = loadIcon(module, SM_CXICON, SM_CYICON);
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    wc.lpszClassName = kClassName;
    if (!RegisterClassW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    g_classRegistered = true;
  }

  std::wstring const title = FS::toWide(s.title);
  RECT outer = {0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
  if (!AdjustWindowRectEx(&outer, kStyle, FALSE, 0)) return false;
  int const outerWidth = outer.right - outer.left;
  int const outerHeight = outer.bottom - outer.top;
  detail::Point const at = detail::centredOrigin(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                                                 outerWidth, outerHeight);

  g_window = CreateWindowExW(0, kClassName, title.c_str(), kStyle, at.x, at.y, outerWidth, outerHeight, nullptr,
                             nullptr, module, nullptr);
  if (!g_window) return false;

  HICON const bigIcon = loadIcon(module, SM_CXICON, SM_CYICON);
  HICON const smallIcon = loadIcon(module, SM_CXSMICON, SM_CYSMICON);
  SendMessageW(g_window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon));
  SendMessageW(g_window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));

  ShowWindow(g_window, SW_SHOWNORMAL);
  UpdateWindow(g_window);
  SetWindowTextW(g_window, title.c_str());
  showCurrentImage();
  return true;
}

void pumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void destroy() {
  if (g_window) {
    DestroyWindow(g_window);
    g_window = nullptr;
  }
  detail::state().pixels.clear();
}

}  // namespace Splash
