#include "support/screen_support.h"

// Our headers first: X11's macros would break them.
#include "widgets/canvas.h"
// (X11 after them)
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

namespace testing_support {
namespace {

// A connection for one helper call; each caller may be on its own thread.
struct Connection {
  Connection() : display(XOpenDisplay(std::getenv("DISPLAY"))) {
    if (!display) throw std::runtime_error("cannot open the display");
  }
  ~Connection() { XCloseDisplay(display); }
  Display* display;
};

int IgnoreErrors(Display*, XErrorEvent*) {
  return 0;
}

bool ClassMatches(Display* d, Window w, const std::string& className) {
  XClassHint hint{};
  if (!XGetClassHint(d, w, &hint)) return false;
  bool match = (hint.res_class && className == hint.res_class) ||
               (hint.res_name && className == hint.res_name);
  if (hint.res_class) XFree(hint.res_class);
  if (hint.res_name) XFree(hint.res_name);
  return match;
}

}  // namespace

namespace {

// The topmost shown top-level window for which the test holds; 0 when none.
unsigned long FindShownTopLevel(const std::function<bool(Display*, Window)>& test) {
  Connection c;
  XErrorHandler previous = XSetErrorHandler(IgnoreErrors);
  Window root = DefaultRootWindow(c.display), rootReturn, parent, *children = nullptr;
  unsigned count = 0;
  unsigned long found = 0;
  if (XQueryTree(c.display, root, &rootReturn, &parent, &children, &count)) {
    for (unsigned i = count; i-- > 0 && !found;) {
      XWindowAttributes attributes;
      if (!XGetWindowAttributes(c.display, children[i], &attributes) ||
          attributes.map_state != IsViewable)
        continue;
      if (test(c.display, children[i])) found = children[i];
    }
    if (children) XFree(children);
  }
  XSync(c.display, False);
  XSetErrorHandler(previous);
  return found;
}

}  // namespace

unsigned long FindTopLevel(const std::string& className) {
  return FindShownTopLevel([&](Display* d, Window w) { return ClassMatches(d, w, className); });
}

unsigned long FindTopLevelTitled(const std::string& title) {
  return FindShownTopLevel([&](Display*, Window w) { return WindowTitle(w) == title; });
}

unsigned long FocusedWindow() {
  Connection c;
  Window focus = 0;
  int revert;
  XGetInputFocus(c.display, &focus, &revert);
  return focus;
}

unsigned long TopmostWindow() {
  Connection c;
  Window root = DefaultRootWindow(c.display), rootReturn, parent, *children = nullptr;
  unsigned count = 0;
  unsigned long top = 0;
  if (XQueryTree(c.display, root, &rootReturn, &parent, &children, &count)) {
    // Children come bottom first.
    for (unsigned i = count; i-- > 0 && !top;) {
      XWindowAttributes attributes;
      if (XGetWindowAttributes(c.display, children[i], &attributes) &&
          attributes.map_state == IsViewable && !attributes.override_redirect)
        top = children[i];
    }
    if (children) XFree(children);
  }
  return top;
}

std::string WindowTitle(unsigned long window) {
  Connection c;
  std::string title;
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  for (const char* name : {"_NET_WM_NAME", "WM_NAME"}) {
    if (XGetWindowProperty(c.display, window, XInternAtom(c.display, name, False), 0, 4096, False,
                           AnyPropertyType, &type, &format, &count, &after, &data) == Success &&
        data) {
      title.assign(reinterpret_cast<char*>(data), count);
      XFree(data);
      if (!title.empty()) break;
    }
  }
  return title;
}

ui::Pixels CaptureWindow(unsigned long window) {
  Connection c;
  ui::Pixels picture;
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(c.display, window, &attributes)) return picture;
  XImage* image =
      XGetImage(c.display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
  if (!image) return picture;
  picture.width = attributes.width;
  picture.height = attributes.height;
  picture.rgb.resize(static_cast<std::size_t>(picture.width) * picture.height);
  for (int y = 0; y < picture.height; ++y)
    for (int x = 0; x < picture.width; ++x) {
      unsigned long p = XGetPixel(image, x, y);
      // The virtual display is 24-bit true colour, red in the high byte.
      picture.rgb[static_cast<std::size_t>(y) * picture.width + x] =
          static_cast<std::uint32_t>(p & 0xFFFFFF);
    }
  XDestroyImage(image);
  return picture;
}

std::string SaveScreenshot(const ui::Pixels& picture, const std::string& name) {
  std::filesystem::create_directories(KESTREL_ARTEFACTS_DIR);
  TCanvas canvas(picture.width, picture.height);
  for (int y = 0; y < picture.height; ++y)
    for (int x = 0; x < picture.width; ++x) {
      std::uint32_t v = PixelAt(picture, x, y);
      canvas.SetPixel(x, y, RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF));
    }
  const std::string path = std::string(KESTREL_ARTEFACTS_DIR) + "/" + name + ".png";
  canvas.SavePng(path);
  return path;
}

namespace {

void Key(Display* d, KeySym sym) {
  KeyCode code = XKeysymToKeycode(d, sym);
  if (!code) return;
  // A key whose first level is another symbol needs Shift.
  const bool shift = XkbKeycodeToKeysym(d, code, 0, 0) != sym;
  KeyCode shiftCode = XKeysymToKeycode(d, XK_Shift_L);
  if (shift) XTestFakeKeyEvent(d, shiftCode, True, CurrentTime);
  XTestFakeKeyEvent(d, code, True, CurrentTime);
  XTestFakeKeyEvent(d, code, False, CurrentTime);
  if (shift) XTestFakeKeyEvent(d, shiftCode, False, CurrentTime);
}

}  // namespace

void PressKey(const std::string& keyName) {
  Connection c;
  Key(c.display, XStringToKeysym(keyName.c_str()));
  XSync(c.display, False);
}

void TypeText(const std::string& text) {
  Connection c;
  for (char ch : text) Key(c.display, static_cast<KeySym>(static_cast<unsigned char>(ch)));
  XSync(c.display, False);
}

void ClickAt(unsigned long window, int x, int y) {
  Connection c;
  Window child;
  int rootX = 0, rootY = 0;
  XTranslateCoordinates(c.display, window, DefaultRootWindow(c.display), x, y, &rootX, &rootY,
                        &child);
  XTestFakeMotionEvent(c.display, -1, rootX, rootY, CurrentTime);
  XTestFakeButtonEvent(c.display, 1, True, CurrentTime);
  XTestFakeButtonEvent(c.display, 1, False, CurrentTime);
  XSync(c.display, False);
}

}  // namespace testing_support
