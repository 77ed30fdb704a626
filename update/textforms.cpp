#include "update/textforms.h"

#include <memory>

#include "platform/richtext.h"

TTextForm::TTextForm(const std::string& className, const std::string& caption,
                     const std::string& text, bool rtf)
    : ui::Form(className) {
  this->caption = caption;
  width = 400;
  height = 400;
  borderStyle = ui::BorderStyle::Dialog;
  position = ui::FormPosition::ScreenCenter;
  borderIcons = true;  // the system menu only

  ui::Control memo = ui::MakeControl(ui::ControlKind::Memo, "Text", 10, 10, ClientWidth() - 20,
                                     ClientHeight() - 60);
  if (rtf) {
    auto document = std::make_shared<richtext::Document>(richtext::ParseRTF(text));
    memo.caption = document->PlainText();
    memo.richText = std::move(document);
  } else {
    memo.caption = text;
  }
  Add(std::move(memo));
}

int TTextForm::ButtonRowTop() {
  const ui::Control& memo = TextControl();
  return memo.top + memo.height + 10;
}

namespace {

ui::Control Button(const std::string& name, const std::string& caption, int left, int top,
                   int modalResult, int tabOrder) {
  ui::Control button = ui::MakeControl(ui::ControlKind::Button, name, left, top, kButtonWidth,
                                       kButtonHeight, caption, tabOrder);
  button.modalResult = modalResult;
  return button;
}

ui::Control RadioButton(const std::string& name, const std::string& caption, int left, int top,
                        int tabOrder) {
  return ui::MakeControl(ui::ControlKind::RadioButton, name, left, top, kRadioButtonWidth,
                         kRadioButtonHeight, caption, tabOrder);
}

}  // namespace

TFormWhatsNew::TFormWhatsNew(const std::string& text, bool rtf, const std::string& caption,
                             const std::string& okLabel, const std::string& cancelLabel)
    : TTextForm("TFormWhatsNew", caption, text, rtf) {
  const ui::Control& memo = TextControl();
  const int right = memo.left + memo.width;
  const int top = ButtonRowTop();
  Add(Button("OkButton", okLabel, right - 2 * kButtonWidth - 10, top, ui::IDOK, 0));
  Add(Button("CancelButton", cancelLabel, right - kButtonWidth, top, ui::IDCANCEL, 1));
}

TFormEULA::TFormEULA(const std::string& text, bool rtf, const std::string& caption,
                     const std::string& okLabel, const std::string& acceptLabel,
                     const std::string& notAcceptLabel)
    : TTextForm("TFormEULA", caption, text, rtf) {
  const ui::Control& memo = TextControl();
  const int top = ButtonRowTop();
  Add(Button("OkButton", okLabel, memo.left + memo.width - kButtonWidth, top, ui::IDOK, 0));
  const ui::Control& accept = Add(RadioButton("Accept", acceptLabel, 10, top, 1));
  ui::Control& notAccept = Add(RadioButton("NotAccept", notAcceptLabel, accept.width + 20, top, 2));
  // Refusing is the answer until the user says otherwise.
  notAccept.checked = true;
}

bool AnswerTextForm(ui::Form& form, bool accept) {
  if (auto* news = dynamic_cast<TFormWhatsNew*>(&form)) {
    ui::Click(form, accept ? news->OkButton() : news->CancelButton());
    return true;
  }
  if (auto* eula = dynamic_cast<TFormEULA*>(&form)) {
    ui::Click(form, accept ? eula->AcceptButton() : eula->NotAcceptButton());
    ui::Click(form, eula->OkButton());
    return true;
  }
  return false;
}
