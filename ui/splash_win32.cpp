#include <windows.h>

#include "fs/path.h"
#include "resources/resources.h"
#include "ui/splash.h"
#include "ui/splash_logic.h"

namespace Splash {

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

wchar_t const kClassName[] = L"QuenzaInstallerSplash";
// Caption, system menu and minimise box: no sizing border and no maximise box, so the
// client area keeps the size of the picture.
DWORD const kStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // 0x00CA0000
DWORD const kExStyle = 0;                                       // no extended style
UINT const kClassStyle = 0;
// The headers declare it only when building for Windows 10; this build also runs on 7.
UINT const kGetDpiScaledSize = 0x02E4;  // WM_GETDPISCALEDSIZE

// The one window of the process and what it shows. The window procedure has no other way
// to reach them than through this file.
HWND g_window = nullptr;
bool g_classRegistered = false;
detail::State g_state;

// The per-monitor DPI calls exist from Windows 10 1607 on: looked up at run time, so the
// launcher still starts on older systems, where the system DPI applies to every window.
struct DpiCalls {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  GetDpiForWindowFn getDpiForWindow = nullptr;
  AdjustWindowRectExForDpiFn adjustWindowRectExForDpi = nullptr;
};

template <typename Fn>
Fn lookUp(HMODULE module, char const* name) {
  FARPROC const proc = module ? GetProcAddress(module, name) : nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
}

DpiCalls const& dpiCalls() {
  static DpiCalls const calls = [] {
    HMODULE const user32 = GetModuleHandleW(L"user32.dll");
    DpiCalls found;
    found.getDpiForWindow = lookUp<DpiCalls::GetDpiForWindowFn>(user32, "GetDpiForWindow");
    found.adjustWindowRectExForDpi = lookUp<DpiCalls::AdjustWindowRectExForDpiFn>(user32, "AdjustWindowRectExForDpi");
    return found;
  }();
  return calls;
}

// The DPI of the monitor the window is on; without the per-monitor call, the DPI the
// window's device context reports (the system's).
uint32_t windowDpi(HWND window) {
  if (dpiCalls().getDpiForWindow) return detail::usableDpi(dpiCalls().getDpiForWindow(window));
  HDC const dc = GetDC(window);
  if (!dc) return detail::kDesignDpi;
  int const dpi = GetDeviceCaps(dc, LOGPIXELSX);
  ReleaseDC(window, dc);
  return detail::usableDpi(dpi > 0 ? static_cast<uint32_t>(dpi) : 0);
}

// Grows a client rectangle to the outer window at that DPI: the frame and caption scale
// with the monitor too. Without the per-monitor call, the system's own metrics.
bool outerRect(RECT& rect, uint32_t dpi) {
  if (dpiCalls().adjustWindowRectExForDpi) {
    return dpiCalls().adjustWindowRectExForDpi(&rect, kStyle, FALSE, kExStyle, dpi);
  }
  return AdjustWindowRectEx(&rect, kStyle, FALSE, kExStyle);
}

// The outer size that gives the picture its client size at that DPI.
bool scaledOuterSize(uint32_t dpi, SIZE& outer) {
  detail::State const& s = g_state;
  detail::Size const client = detail::scaledClientSize(s.width, s.height, dpi);
  RECT rect = {0, 0, static_cast<LONG>(client.width), static_cast<LONG>(client.height)};
  if (!outerRect(rect, dpi)) return false;
  outer.cx = rect.right - rect.left;
  outer.cy = rect.bottom - rect.top;
  return true;
}

// The icon group (101) at a size the system names by its metrics: the large icon
// (SM_CXICON, SM_CYICON: 11, 12) or the small one (SM_CXSMICON, SM_CYSMICON: 49, 50).
HICON loadIcon(HINSTANCE module, int widthMetric, int heightMetric) {
  return static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(Resources::Icon), IMAGE_ICON,
                                       GetSystemMetrics(widthMetric), GetSystemMetrics(heightMetric), LR_DEFAULTCOLOR));
}

// Converts the current image and paints it before returning, when there is a window and
// the image is usable; otherwise the previous picture stays.
void showCurrentImage() {
  if (!g_window) return;
  if (!detail::applyImage(g_state, *g_state.current)) return;
  InvalidateRect(g_window, nullptr, FALSE);
  UpdateWindow(g_window);
}

void paint(HWND window) {
  PAINTSTRUCT ps;
  HDC const dc = BeginPaint(window, &ps);
  detail::State const& s = g_state;
  if (dc && detail::pictureReady(g_state)) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);  // 40
    info.bmiHeader.biWidth = static_cast<LONG>(s.width);
    info.bmiHeader.biHeight = -static_cast<LONG>(s.height);  // rows run top to bottom
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;  // one 0x00RRGGBB value per pixel, as converted
    info.bmiHeader.biCompression = BI_RGB;
    int const w = static_cast<int>(s.width);
    int const h = static_cast<int>(s.height);
    detail::Size const shown = detail::scaledClientSize(s.width, s.height, s.dpi);
    if (shown != detail::Size{s.width, s.height}) {
      // Averaging rather than dropping pixels keeps the scaled text readable; the brush
      // origin must be set again after choosing this mode.
      SetStretchBltMode(dc, HALFTONE);
      SetBrushOrgEx(dc, 0, 0, nullptr);
    }
    StretchDIBits(dc, 0, 0, static_cast<int>(shown.width), static_cast<int>(shown.height), 0, 0, w, h,
                  s.pixels.data(), &info, DIB_RGB_COLORS, SRCCOPY);  // 0, 0x00CC0020
  }
  EndPaint(window, &ps);
}

}  // namespace

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT:  // 15
      paint(window);
      return 0;
    case kGetDpiScaledSize: {
      // Sent before a move to a monitor of another scale: the frame does not scale in
      // proportion, so the exact outer size keeps the client area at the picture's size.
      SIZE outer;
      if (!scaledOuterSize(detail::usableDpi(static_cast<uint32_t>(wParam)), outer)) return FALSE;
      *reinterpret_cast<SIZE*>(lParam) = outer;
      return TRUE;
    }
    case WM_DPICHANGED: {
      g_state.dpi = detail::usableDpi(LOWORD(wParam));
      RECT const* const suggested = reinterpret_cast<RECT const*>(lParam);
      SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                   suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    }
    case WM_CLOSE:  // 16
      // The main loop learns of the close through closedByUser only: no quit message.
      g_state.closedByUser = true;
      DestroyWindow(window);
      g_window = nullptr;
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

void setTitle(std::string const& title) {
  detail::storeTitle(g_state, title);
  if (g_window) SetWindowTextW(g_window, FS::toWide(g_state.title).c_str());
}

void setImage(Image const* image) {
  g_state.current = image;
  showCurrentImage();
}

bool create(uint32_t width, uint32_t height) {
  // One splash window per process: a second create replaces the first.
  destroy();
  detail::State& s = g_state;
  s.width = width;
  s.height = height;
  s.dpi = detail::kDesignDpi;
  HINSTANCE const module = GetModuleHandleW(nullptr);

  if (!g_classRegistered) {
    WNDCLASSW wc = {};
    wc.style = kClassStyle;
    wc.lpfnWndProc = windowProc;
    wc.hInstance = module;
    wc.hIcon = loadIcon(module, SM_CXICON, SM_CYICON);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);  // 32512
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));  // 6
    wc.lpszClassName = kClassName;
    if (!RegisterClassW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;  // 1410
    g_classRegistered = true;
  }

  std::wstring const title = FS::toWide(s.title);
  RECT outer = {0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
  if (!AdjustWindowRectEx(&outer, kStyle, FALSE, kExStyle)) return false;
  int const outerWidth = outer.right - outer.left;
  int const outerHeight = outer.bottom - outer.top;
  detail::Point const at = detail::centredOrigin(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                                                 outerWidth, outerHeight);

  g_window = CreateWindowExW(kExStyle, kClassName, title.c_str(), kStyle, at.x, at.y, outerWidth, outerHeight, nullptr,
                             nullptr, module, nullptr);
  if (!g_window) return false;

  // The window is made at the design's size first because its monitor, and so its
  // scale, is known only once it exists; it is not visible yet, so the change shows
  // nowhere. At 96 DPI nothing changes.
  s.dpi = windowDpi(g_window);
  if (s.dpi != detail::kDesignDpi) {
    SIZE scaled;
    if (scaledOuterSize(s.dpi, scaled)) {
      detail::Point const centred = detail::centredOrigin(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                                                          scaled.cx, scaled.cy);
      SetWindowPos(g_window, nullptr, centred.x, centred.y, scaled.cx, scaled.cy, SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }

  HICON const bigIcon = loadIcon(module, SM_CXICON, SM_CYICON);
  HICON const smallIcon = loadIcon(module, SM_CXSMICON, SM_CYSMICON);
  // WM_SETICON (0x80) with ICON_BIG (1), then with ICON_SMALL (0).
  SendMessageW(g_window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon));
  SendMessageW(g_window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));

  ShowWindow(g_window, SW_SHOWNORMAL);
  UpdateWindow(g_window);
  SetWindowTextW(g_window, title.c_str());
  showCurrentImage();
  return true;
}

bool closedByUser() { return g_state.closedByUser; }

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
  g_state.pixels.clear();
}

}  // namespace Splash
