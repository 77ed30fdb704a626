// The windows in which the update component shows a what's-new text, which
// the user may accept or cancel, and a licence agreement, which the user must
// accept. Both are dialog-bordered, 400 by 400, centred on the screen, and
// show the text read-only in a memo: formatted when it is RTF, as it is
// otherwise.
#pragma once

#include <string>

#include "platform/ui.h"

// The window metrics the layout is computed from: a dialog frame and a
// caption bar around the client area, as the system draws them.
inline constexpr int kDialogFrameWidth = 3;
inline constexpr int kCaptionHeight = 19;
// Size of a button or radio button that is not given one.
inline constexpr int kButtonWidth = 75;
inline constexpr int kButtonHeight = 25;
inline constexpr int kRadioButtonWidth = 113;
inline constexpr int kRadioButtonHeight = 17;

// Shared frame of both windows: the form itself and its text control
// ("Text"), loaded from the fetched bytes.
class TTextForm : public ui::Form {
 public:
  int ClientWidth() const { return width - 2 * kDialogFrameWidth; }
  int ClientHeight() const { return height - 2 * kDialogFrameWidth - kCaptionHeight; }
  ui::Control& TextControl() { return *Find("Text"); }
  // Top of the row of buttons below the text control.
  int ButtonRowTop();

 protected:
  TTextForm(const std::string& className, const std::string& caption, const std::string& text,
            bool rtf);
};

class TFormWhatsNew : public TTextForm {
 public:
  TFormWhatsNew(const std::string& text, bool rtf, const std::string& caption,
                const std::string& okLabel, const std::string& cancelLabel);
  ui::Control& OkButton() { return *Find("OkButton"); }
  ui::Control& CancelButton() { return *Find("CancelButton"); }
};

class TFormEULA : public TTextForm {
 public:
  TFormEULA(const std::string& text, bool rtf, const std::string& caption,
            const std::string& okLabel, const std::string& acceptLabel,
            const std::string& notAcceptLabel);
  ui::Control& OkButton() { return *Find("OkButton"); }
  ui::Control& AcceptButton() { return *Find("Accept"); }
  ui::Control& NotAcceptButton() { return *Find("NotAccept"); }
  bool Accepted() { return AcceptButton().checked; }
};

// Answers a what's-new or licence window the way a user would: accepting
// selects "accept" and presses OK; refusing presses Cancel, or OK with
// "notaccept" selected. For front ends that answer every window for the
// user. False when the form is neither window.
bool AnswerTextForm(ui::Form& form, bool accept);
