// Top-level windows on the X display the toolkit opened: found across
// processes by their class, asked about their state, decorated, restored
// and brought forward through the window manager, or directly where none
// runs.
#pragma once

#include <optional>
#include <string>

#include "platform/ui.h"

namespace ui::x11 {

// An X window id.
using XWindow = unsigned long;

bool WindowManagerRunning();

// The topmost top-level window whose WM_CLASS names the class that is
// shown or iconic (a withdrawn window is no window to find); 0 when none.
XWindow FindWindow(const std::string& className);
bool IsIconic(XWindow window);
bool Restore(XWindow window);
bool SetForeground(XWindow window);
// Without a manager, nobody makes a window iconic: it leaves the screen and
// says it is iconic, as a manager would.
void IconifyUnmanaged(XWindow window);

// Asks for the frame, kind and stacking of a form's window.
void Decorate(XWindow window, BorderStyle style, bool borderIcons, bool stayOnTop);
// Whether it is on the screen; nothing when the window is gone.
std::optional<bool> IsOnScreen(XWindow window);
// Where no manager activates new windows or stacks them.
void Focus(XWindow window);
void Raise(XWindow window);
// Waits until the display has handled every request.
void Sync();

}  // namespace ui::x11
