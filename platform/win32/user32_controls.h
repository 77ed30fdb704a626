// The native child windows that stand for a form's controls: which system
// class each kind of control becomes, and how a child is brought in line
// with its control. The backend (ui_user32.cpp) owns the children and
// forwards their input; this holds no window logic.
#pragma once

#include "platform/win32/sdk.h"
// clang-format off
#include "platform/ui.h"
#include "platform/win32/user32_animation.h"
// clang-format on

#include <memory>
#include <string>
#include <type_traits>

namespace ui::user32 {

// One control's child window and what it was last made to show, so that
// only what changed is sent to it (every change repaints, and a text set
// again would move an edit's caret).
struct Slot {
  ControlKind kind = ControlKind::Label;
  unsigned variant = 0;  // see VariantOf
  HWND window = nullptr;
  std::string text;
  RECT bounds{-1, -1, -1, -1};
  HFONT font = nullptr;
  int visible = -1, enabled = -1, checked = -1, isDefault = -1;
  int min = 0, max = -1, position = -1;
  std::string resource;  // the picture shown
  bool pictureSet = false;
  // Custom controls: the owner's pixels and the bitmap made of them, which
  // lives as long as the child that shows it.
  std::shared_ptr<const Pixels> pixels;
  std::shared_ptr<std::remove_pointer_t<HBITMAP>> drawn;
  // Animations: the player and the width of the frames it plays. It must
  // stop before the child goes.
  std::shared_ptr<AnimationPlayer> player;
  int frameWidth = 0;
  // Rich-text memos: the document shown and the font it was filled with.
  std::shared_ptr<const richtext::Document> richText;
  HFONT richFont = nullptr;
  // A sized-to-text label's text and font when it was last measured: the
  // loop brings every window in line many times a second.
  std::string measuredText;
  HFONT measuredFont = nullptr;
  SIZE measured{0, 0};
};

// What, besides its kind, fixes the child a control needs (a style the
// system cannot change on a live window): a new child when it changes.
unsigned VariantOf(const Control& control);

// The child window of a control of that kind; its id is how its parent's
// notifications name it.
HWND MakeControlWindow(HWND parent, const Control& control, int id);

// Brings the child in line with the control. The client size places the
// status bar, which sits at the bottom when it has no width of its own.
void Apply(const Control& control, Slot& slot, HFONT font, SIZE client);

// Paints a button with a glyph (owner-drawn: the system's buttons show a
// picture or a text, not both).
void DrawGlyphButton(const Control& control, const DRAWITEMSTRUCT& item);

// The text a child shows now.
std::string WindowText(HWND window);

}  // namespace ui::user32
