// The splash window on X11. libX11 is loaded when the first window is made, not linked:
// the launcher must start on machines without it, where it runs without a window just
// as when no display can be opened. The X headers give the types and constants only.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dlfcn.h>

#include <vector>

#include "resources/resources.h"
#include "ui/splash.h"
#include "ui/splash_logic.h"

namespace Splash {

namespace {

// The entry points of libX11 that the splash uses, looked up by name.
struct XLib {
  decltype(&::XOpenDisplay) openDisplay = nullptr;
  decltype(&::XDefaultScreen) defaultScreen = nullptr;
  decltype(&::XRootWindow) rootWindow = nullptr;
  decltype(&::XDisplayWidth) displayWidth = nullptr;
  decltype(&::XDisplayHeight) displayHeight = nullptr;
  decltype(&::XDefaultVisual) defaultVisual = nullptr;
  decltype(&::XDefaultDepth) defaultDepth = nullptr;
  decltype(&::XDefaultGC) defaultGC = nullptr;
  decltype(&::XWhitePixel) whitePixel = nullptr;
  decltype(&::XCreateWindow) createWindow = nullptr;
  decltype(&::XDestroyWindow) destroyWindow = nullptr;
  decltype(&::XMapWindow) mapWindow = nullptr;
  decltype(&::XInternAtom) internAtom = nullptr;
  decltype(&::XSetWMProtocols) setWMProtocols = nullptr;
  decltype(&::XChangeProperty) changeProperty = nullptr;
  decltype(&::XAllocSizeHints) allocSizeHints = nullptr;
  decltype(&::XSetWMNormalHints) setWMNormalHints = nullptr;
  decltype(&::XAllocClassHint) allocClassHint = nullptr;
  decltype(&::XSetClassHint) setClassHint = nullptr;
  decltype(&::XFree) free = nullptr;
  decltype(&::XPending) pending = nullptr;
  decltype(&::XNextEvent) nextEvent = nullptr;
  decltype(&::XCreateImage) createImage = nullptr;
  decltype(&::XInitImage) initImage = nullptr;
  decltype(&::XPutImage) putImage = nullptr;
  decltype(&::XFlush) flush = nullptr;
  decltype(&::XSync) sync = nullptr;
  decltype(&::XSetErrorHandler) setErrorHandler = nullptr;
};

template <typename F>
bool bind(void* library, F& slot, char const* name) {
  slot = reinterpret_cast<F>(dlsym(library, name));
  return slot != nullptr;
}

// The library, or nullptr when it cannot be loaded or lacks an entry point. Tried once.
XLib const* xlib() {
  static XLib lib;
  static bool const loaded = [] {
    void* const h = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!h) return false;
    bool ok = bind(h, lib.openDisplay, "XOpenDisplay") && bind(h, lib.defaultScreen, "XDefaultScreen") &&
              bind(h, lib.rootWindow, "XRootWindow") && bind(h, lib.displayWidth, "XDisplayWidth") &&
              bind(h, lib.displayHeight, "XDisplayHeight") && bind(h, lib.defaultVisual, "XDefaultVisual") &&
              bind(h, lib.defaultDepth, "XDefaultDepth") && bind(h, lib.defaultGC, "XDefaultGC") &&
              bind(h, lib.whitePixel, "XWhitePixel") && bind(h, lib.createWindow, "XCreateWindow") &&
              bind(h, lib.destroyWindow, "XDestroyWindow") && bind(h, lib.mapWindow, "XMapWindow") &&
              bind(h, lib.internAtom, "XInternAtom") && bind(h, lib.setWMProtocols, "XSetWMProtocols") &&
              bind(h, lib.changeProperty, "XChangeProperty") && bind(h, lib.allocSizeHints, "XAllocSizeHints") &&
              bind(h, lib.setWMNormalHints, "XSetWMNormalHints") &&
              bind(h, lib.allocClassHint, "XAllocClassHint") && bind(h, lib.setClassHint, "XSetClassHint") &&
              bind(h, lib.free, "XFree") && bind(h, lib.pending, "XPending") &&
              bind(h, lib.nextEvent, "XNextEvent") && bind(h, lib.createImage, "XCreateImage") &&
              bind(h, lib.initImage, "XInitImage") && bind(h, lib.putImage, "XPutImage") &&
              bind(h, lib.flush, "XFlush") && bind(h, lib.sync, "XSync") &&
              bind(h, lib.setErrorHandler, "XSetErrorHandler");
    if (!ok) dlclose(h);
    return ok;
  }();
  return loaded ? &lib : nullptr;
}

struct Atoms {
  Atom wmProtocols = None;
  Atom wmDeleteWindow = None;
  Atom netWmName = None;
  Atom netWmIcon = None;
  Atom utf8String = None;
};

// The display connection, opened once and kept for the process, the one window and what
// it shows: Xlib hands events over one connection, and only this file reads them.
Display* g_display = nullptr;
int g_screen = 0;
Window g_window = None;
Atoms g_atoms;
detail::State g_state;
// Set by the error handler: Xlib reports errors after the fact, and its default handler
// would end the process over a request that merely failed.
bool g_requestFailed = false;

int recordError(Display*, XErrorEvent*) {
  g_requestFailed = true;
  return 0;
}

// The display, opened on first use and kept for the life of the process.
Display* display(XLib const& x) {
  if (g_display) return g_display;
  g_display = x.openDisplay(nullptr);
  if (!g_display) return nullptr;
  x.setErrorHandler(recordError);
  g_screen = x.defaultScreen(g_display);
  g_atoms.wmProtocols = x.internAtom(g_display, "WM_PROTOCOLS", False);
  g_atoms.wmDeleteWindow = x.internAtom(g_display, "WM_DELETE_WINDOW", False);
  g_atoms.netWmName = x.internAtom(g_display, "_NET_WM_NAME", False);
  g_atoms.netWmIcon = x.internAtom(g_display, "_NET_WM_ICON", False);
  g_atoms.utf8String = x.internAtom(g_display, "UTF8_STRING", False);
  return g_display;
}

void setProperty(XLib const& x, Atom property, Atom type, std::string const& bytes) {
  x.changeProperty(g_display, g_window, property, type, 8, PropModeReplace,
                   reinterpret_cast<unsigned char const*>(bytes.data()), static_cast<int>(bytes.size()));
}

void applyTitle(XLib const& x) {
  std::string const shown = detail::shownTitle(g_state.title);
  setProperty(x, g_atoms.netWmName, g_atoms.utf8String, shown);
  // WM_NAME is Latin-1 text for older readers; a title beyond Latin-1 goes as UTF-8.
  std::string latin1;
  if (detail::latin1Title(shown, latin1)) {
    setProperty(x, XA_WM_NAME, XA_STRING, latin1);
  } else {
    setProperty(x, XA_WM_NAME, g_atoms.utf8String, shown);
  }
}

void applyIcon(XLib const& x) {
  Resources::Range const tile = Resources::find(Resources::LogoTile);
  std::vector<uint32_t> const argb = detail::iconArgb(tile.first, tile.end, 256, 256);
  if (argb.empty()) return;
  // Format-32 properties travel as arrays of long, whatever the width of long.
  std::vector<long> const cardinals(argb.begin(), argb.end());
  x.changeProperty(g_display, g_window, g_atoms.netWmIcon, XA_CARDINAL, 32, PropModeReplace,
                   reinterpret_cast<unsigned char const*>(cardinals.data()), static_cast<int>(cardinals.size()));
}

// Whether the pixel buffer's 0x00RRGGBB values are the screen's pixel values as they are.
bool visualTakesPixels(XLib const& x) {
  Visual const* const v = x.defaultVisual(g_display, g_screen);
  int const depth = x.defaultDepth(g_display, g_screen);
  return v && (depth == 24 || depth == 32) && v->red_mask == 0xFF0000 && v->green_mask == 0x00FF00 &&
         v->blue_mask == 0x0000FF;
}

void paint(XLib const& x) {
  if (!g_window || !detail::pictureReady(g_state) || !visualTakesPixels(x)) return;
  detail::State& s = g_state;
  XImage* const image =
      x.createImage(g_display, x.defaultVisual(g_display, g_screen), x.defaultDepth(g_display, g_screen), ZPixmap, 0,
                    reinterpret_cast<char*>(s.pixels.data()), s.width, s.height, 32, static_cast<int>(s.width * 4));
  if (!image) return;
  // The buffer holds 32-bit values in this machine's byte order; Xlib swaps if the
  // server's differs.
  uint32_t const probe = 1;
  image->byte_order = *reinterpret_cast<uint8_t const*>(&probe) == 1 ? LSBFirst : MSBFirst;
  if (image->bits_per_pixel == 32 && x.initImage(image)) {
    x.putImage(g_display, g_window, x.defaultGC(g_display, g_screen), image, 0, 0, 0, 0, s.width, s.height);
  }
  image->data = nullptr;  // the pixel buffer stays ours
  XDestroyImage(image);
  x.flush(g_display);
}

// Converts the current image and draws it at once, when there is a window and the image
// is usable; otherwise the previous picture stays.
void showCurrentImage() {
  if (!g_window) return;
  if (!detail::applyImage(g_state, *g_state.current)) return;
  paint(*xlib());  // loaded, since a window exists
}

void handle(XLib const& x, XEvent const& event) {
  if (!g_window || event.xany.window != g_window) return;
  if (event.type == Expose && event.xexpose.count == 0) {
    paint(x);
  } else if (event.type == ClientMessage && event.xclient.message_type == g_atoms.wmProtocols &&
             event.xclient.format == 32 && static_cast<Atom>(event.xclient.data.l[0]) == g_atoms.wmDeleteWindow) {
    // The window manager's close button: the main loop learns of it through
    // closedByUser only.
    g_state.closedByUser = true;
    x.destroyWindow(g_display, g_window);
    g_window = None;
    x.flush(g_display);
  }
}

}  // namespace

void setTitle(std::string const& title) {
  detail::storeTitle(g_state, title);
  if (!g_window) return;
  XLib const& x = *xlib();  // loaded, since a window exists
  applyTitle(x);
  x.flush(g_display);
}

void setImage(Image const* image) {
  g_state.current = image;
  showCurrentImage();
}

bool create(uint32_t width, uint32_t height) {
  destroy();  // one splash window per process: a second create replaces the first
  detail::State& s = g_state;
  s.width = width;
  s.height = height;
  XLib const* const x = xlib();
  if (!x || !display(*x)) return false;

  // Without a window manager the client area is the whole window, so the client size is
  // the one centred; a window manager adds its frame around it.
  detail::Point const at =
      detail::centredOrigin(x->displayWidth(g_display, g_screen), x->displayHeight(g_display, g_screen),
                            static_cast<int32_t>(width), static_cast<int32_t>(height));
  XSetWindowAttributes attributes = {};
  attributes.background_pixel = x->whitePixel(g_display, g_screen);
  attributes.event_mask = ExposureMask | StructureNotifyMask;
  g_requestFailed = false;
  g_window = x->createWindow(g_display, x->rootWindow(g_display, g_screen), at.x, at.y, width, height, 0,
                             CopyFromParent, InputOutput, nullptr, CWBackPixel | CWEventMask, &attributes);
  if (!g_window) return false;

  Atom protocols[] = {g_atoms.wmDeleteWindow};
  x->setWMProtocols(g_display, g_window, protocols, 1);
  // Equal minimum and maximum sizes: window managers then offer no resizing or maximising.
  if (XSizeHints* const hints = x->allocSizeHints()) {
    hints->flags = PPosition | PSize | PMinSize | PMaxSize;
    hints->x = at.x;
    hints->y = at.y;
    hints->width = hints->min_width = hints->max_width = static_cast<int>(width);
    hints->height = hints->min_height = hints->max_height = static_cast<int>(height);
    x->setWMNormalHints(g_display, g_window, hints);
    x->free(hints);
  }
  if (XClassHint* const classHint = x->allocClassHint()) {
    char name[] = "quenza-installer";
    char className[] = "QuenzaInstallerSplash";
    classHint->res_name = name;
    classHint->res_class = className;
    x->setClassHint(g_display, g_window, classHint);
    x->free(classHint);
  }
  applyIcon(*x);
  applyTitle(*x);
  x->mapWindow(g_display, g_window);
  // A round trip, so that a window the server refused is reported here and not later.
  x->sync(g_display, False);
  if (g_requestFailed) {
    destroy();
    return false;
  }
  showCurrentImage();
  return true;
}

bool closedByUser() { return g_state.closedByUser; }

void pumpMessages() {
  if (!g_display) return;
  XLib const& x = *xlib();  // loaded, since the display is open
  while (x.pending(g_display) > 0) {
    XEvent event;
    x.nextEvent(g_display, &event);
    handle(x, event);
  }
}

void destroy() {
  if (g_window) {
    XLib const* const x = xlib();  // loaded, since a window exists
    x->destroyWindow(g_display, g_window);
    g_window = None;
    x->flush(g_display);
  }
  g_state.pixels.clear();
}

}  // namespace Splash
