#include "platform/posix/x11_windows.h"

namespace ui::x11 {
namespace {
// X11 defines None as a macro.
constexpr BorderStyle kBorderNone = BorderStyle::None;
}  // namespace
}  // namespace ui::x11

// (X11 after our headers: its macros would break them)
#include <FL/x.H>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <vector>

namespace ui::x11 {
namespace {

// Catches the errors of requests about windows that may be gone, instead of
// the toolkit's handler reporting them.
class ErrorTrap {
 public:
  explicit ErrorTrap(Display* display) : display_(display) {
    XSync(display_, False);
    errors_ = 0;
    previous_ = XSetErrorHandler(&ErrorTrap::Handler);
  }
  ~ErrorTrap() {
    XSync(display_, False);
    XSetErrorHandler(previous_);
  }
  bool Failed() {
    XSync(display_, False);
    return errors_ != 0;
  }

 private:
  static int Handler(Display*, XErrorEvent*) {
    ++errors_;
    return 0;
  }
  static inline int errors_ = 0;
  Display* display_;
  XErrorHandler previous_;
};

Atom AtomOf(const char* name) {
  return XInternAtom(fl_display, name, False);
}

std::vector<unsigned long> CardinalProperty(Window window, Atom property, Atom type) {
  std::vector<unsigned long> values;
  Atom actualType;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(fl_display, window, property, 0, 1024, False, type, &actualType, &format,
                         &count, &after, &data) == Success &&
      data) {
    if (format == 32) {
      auto* longs = reinterpret_cast<unsigned long*>(data);
      values.assign(longs, longs + count);
    }
    XFree(data);
  }
  return values;
}

constexpr long kNormalState = 1;
constexpr long kIconicState = 3;

void SetWmState(Window window, long state) {
  long data[2] = {state, None};
  Atom wmState = AtomOf("WM_STATE");
  XChangeProperty(fl_display, window, wmState, wmState, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(data), 2);
}

long WmState(Window window) {
  Atom wmState = AtomOf("WM_STATE");
  std::vector<unsigned long> state = CardinalProperty(window, wmState, wmState);
  return state.empty() ? 0 : static_cast<long>(state[0]);
}

void SendActivate(Window window) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = AtomOf("_NET_ACTIVE_WINDOW");
  event.xclient.format = 32;
  event.xclient.data.l[0] = 2;  // from a pager: the manager obeys
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(fl_display, RootWindow(fl_display, fl_screen), False,
             SubstructureRedirectMask | SubstructureNotifyMask, &event);
}

}  // namespace

// A window manager owns the selection WM_Sn of its screen.
bool WindowManagerRunning() {
  std::string name = "WM_S" + std::to_string(fl_screen);
  return XGetSelectionOwner(fl_display, AtomOf(name.c_str())) != None;
}

XWindow FindWindow(const std::string& className) {
  ErrorTrap trap(fl_display);
  const Window root = RootWindow(fl_display, fl_screen);
  std::vector<Window> candidates;
  for (const char* list : {"_NET_CLIENT_LIST_STACKING", "_NET_CLIENT_LIST"}) {
    Atom atom = XInternAtom(fl_display, list, True);
    if (atom == None) continue;
    for (unsigned long w : CardinalProperty(root, atom, XA_WINDOW)) candidates.push_back(w);
    if (!candidates.empty()) {
      std::reverse(candidates.begin(), candidates.end());  // topmost first
      break;
    }
  }
  // Our own windows and those of programs the manager does not list.
  Window rootReturn, parentReturn;
  Window* children = nullptr;
  unsigned count = 0;
  if (XQueryTree(fl_display, root, &rootReturn, &parentReturn, &children, &count)) {
    for (unsigned i = count; i-- > 0;) {
      candidates.push_back(children[i]);
      // A window manager's frame holds the program's window.
      Window* inner = nullptr;
      unsigned innerCount = 0;
      if (XQueryTree(fl_display, children[i], &rootReturn, &parentReturn, &inner, &innerCount)) {
        for (unsigned k = innerCount; k-- > 0;) candidates.push_back(inner[k]);
        if (inner) XFree(inner);
      }
    }
    if (children) XFree(children);
  }
  for (Window w : candidates) {
    XClassHint hint{};
    if (!XGetClassHint(fl_display, w, &hint)) continue;
    bool match = (hint.res_class && className == hint.res_class) ||
                 (hint.res_name && className == hint.res_name);
    if (hint.res_class) XFree(hint.res_class);
    if (hint.res_name) XFree(hint.res_name);
    if (!match) continue;
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(fl_display, w, &attributes)) continue;
    if (attributes.map_state != IsUnmapped || WmState(w) == kIconicState) return w;
  }
  return 0;
}

bool IsIconic(XWindow window) {
  ErrorTrap trap(fl_display);
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(fl_display, window, &attributes) || trap.Failed()) return false;
  if (WmState(window) == kIconicState) return true;
  Atom hidden = AtomOf("_NET_WM_STATE_HIDDEN");
  for (unsigned long state : CardinalProperty(window, AtomOf("_NET_WM_STATE"), XA_ATOM))
    if (state == hidden) return true;
  return !WindowManagerRunning() && attributes.map_state == IsUnmapped;
}

bool Restore(XWindow window) {
  ErrorTrap trap(fl_display);
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(fl_display, window, &attributes) || trap.Failed()) return false;
  if (WindowManagerRunning()) {
    SendActivate(window);
    XMapRaised(fl_display, window);
  } else {
    SetWmState(window, kNormalState);
    XMapRaised(fl_display, window);
    XSetInputFocus(fl_display, window, RevertToParent, CurrentTime);
  }
  return !trap.Failed();
}

bool SetForeground(XWindow window) {
  ErrorTrap trap(fl_display);
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(fl_display, window, &attributes) || trap.Failed()) return false;
  XRaiseWindow(fl_display, window);
  if (WindowManagerRunning()) {
    SendActivate(window);
  } else if (attributes.map_state == IsViewable) {
    XSetInputFocus(fl_display, window, RevertToParent, CurrentTime);
  }
  trap.Failed();
  return true;
}

void IconifyUnmanaged(XWindow window) {
  SetWmState(window, kIconicState);
  XUnmapWindow(fl_display, window);
}

void Decorate(XWindow window, BorderStyle style, bool borderIcons, bool stayOnTop) {
  ErrorTrap trap(fl_display);
  // Motif hints: functions move (+ close with a system menu); decorations
  // border and title (+ menu), none at all without a border.
  long hints[5] = {1 | 2, 4 | (borderIcons ? 32 : 0),
                   style == kBorderNone ? 0 : (2 | 8 | (borderIcons ? 16 : 0)), 0, 0};
  Atom motif = AtomOf("_MOTIF_WM_HINTS");
  XChangeProperty(fl_display, window, motif, motif, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(hints), 5);
  Atom kind = AtomOf(style == BorderStyle::ToolWindow ? "_NET_WM_WINDOW_TYPE_UTILITY"
                                                      : "_NET_WM_WINDOW_TYPE_DIALOG");
  if (style == BorderStyle::Sizeable) kind = AtomOf("_NET_WM_WINDOW_TYPE_NORMAL");
  XChangeProperty(fl_display, window, AtomOf("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&kind), 1);
  if (stayOnTop) {
    Atom above = AtomOf("_NET_WM_STATE_ABOVE");
    XChangeProperty(fl_display, window, AtomOf("_NET_WM_STATE"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&above), 1);
    if (WindowManagerRunning()) {
      XEvent event{};
      event.xclient.type = ClientMessage;
      event.xclient.window = window;
      event.xclient.message_type = AtomOf("_NET_WM_STATE");
      event.xclient.format = 32;
      event.xclient.data.l[0] = 1;  // add
      event.xclient.data.l[1] = static_cast<long>(above);
      XSendEvent(fl_display, RootWindow(fl_display, fl_screen), False,
                 SubstructureRedirectMask | SubstructureNotifyMask, &event);
    }
  }
  trap.Failed();
}

std::optional<bool> IsOnScreen(XWindow window) {
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(fl_display, window, &attributes)) return std::nullopt;
  return attributes.map_state == IsViewable;
}

void Focus(XWindow window) {
  ErrorTrap trap(fl_display);
  XSetInputFocus(fl_display, window, RevertToParent, CurrentTime);
  trap.Failed();
}

void Raise(XWindow window) {
  ErrorTrap trap(fl_display);
  XRaiseWindow(fl_display, window);
  trap.Failed();
}

void Sync() {
  XSync(fl_display, False);
}

}  // namespace ui::x11
