// Looking at and typing into the windows on the test's virtual display,
// through an X connection of the test's own (so it works while the
// user-interface thread is busy): window lookup by class, screenshots of a
// window's client area, and keyboard and mouse input through
// the XTEST extension, which the server treats as real input.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/ui.h"
#include "support/pixel_probes.h"

namespace testing_support {

// The top-level window whose WM_CLASS names that class; 0 when none.
unsigned long FindTopLevel(const std::string& className);
// The shown top-level window with that title; 0 when none.
unsigned long FindTopLevelTitled(const std::string& title);
// The window's title (UTF-8).
std::string WindowTitle(unsigned long window);
// The window with the keyboard focus, and the topmost shown top-level window.
unsigned long FocusedWindow();
unsigned long TopmostWindow();
// What the window's client area shows now.
ui::Pixels CaptureWindow(unsigned long window);
// Writes a picture as <build>/artefacts/screenshots/<name>.png and returns
// the path.
std::string SaveScreenshot(const ui::Pixels& picture, const std::string& name);

// Keys by their X name ("Escape", "Return", "Tab"), and plain text.
void PressKey(const std::string& keyName);
void TypeText(const std::string& text);
// A left click at a point of the window's client area.
void ClickAt(unsigned long window, int x, int y);

}  // namespace testing_support
