#include "update/progressform.h"

namespace {

// The system's thin window border, in pixels, on each side.
constexpr int kBorderWidth = 1;
// The standard height of a progress bar.
constexpr int kBarHeight = 16;

}  // namespace

TProgressForm::TProgressForm() : ui::Form("TProgressForm") {
  caption = "Downloading...";
  width = 300;
  height = 110;
  position = ui::FormPosition::ScreenCenter;
  borderStyle = ui::BorderStyle::Dialog;
  borderIcons = false;

  ui::Control label;
  label.name = "Label";
  label.kind = ui::ControlKind::Label;
  label.left = 10;
  label.top = 10;
  label_ = &Add(label);

  ui::Control bar;
  bar.name = "ProgressBar";
  bar.kind = ui::ControlKind::ProgressBar;
  bar.left = 10;
  bar.top = 40;
  bar.width = width - 2 * kBorderWidth - 20;
  bar.height = kBarHeight;
  bar_ = &Add(bar);
}
