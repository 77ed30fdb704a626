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

  label_ = &Add(ui::MakeControl(ui::ControlKind::Label, "Label", 10, 10));
  bar_ = &Add(ui::MakeControl(ui::ControlKind::ProgressBar, "ProgressBar", 10, 40,
                              width - 2 * kBorderWidth - 20, kBarHeight));
}
