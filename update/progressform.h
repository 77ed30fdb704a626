// The window an update run shows while its files download: one line naming
// the file and a progress bar. The transfer's progress reports drive both.
#pragma once

#include "platform/ui.h"

class TProgressForm : public ui::Form {
 public:
  TProgressForm();
  ui::Control& Label() { return *label_; }
  ui::Control& Bar() { return *bar_; }

 private:
  ui::Control* label_;
  ui::Control* bar_;
};
