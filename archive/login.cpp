#include "archive/login.h"

namespace {

ui::Control& AddButton(ui::Form& form, const char* name, int left, const char* caption,
                       int tabOrder, int modalResult) {
  ui::Control c =
      ui::MakeControl(ui::ControlKind::Button, name, left, 152, 75, 25, caption, tabOrder);
  c.modalResult = modalResult;
  return form.Add(std::move(c));
}

ui::Control& AddPasswordEdit(ui::Form& form) {
  ui::Control c = ui::MakeControl(ui::ControlKind::Edit, "Edit2", 104, 112, 193, 21, "", 1);
  c.password = true;
  return form.Add(std::move(c));
}

ui::Control& AddBanner(ui::Form& form) {
  ui::Control c = ui::MakeControl(ui::ControlKind::Image, "Image1", 0, 0, 320, 60, "");
  c.resource = "LOGINBANNER";
  return form.Add(std::move(c));
}

}  // namespace

TQelLoginForm::TQelLoginForm()
    : ui::Form("TQelLoginForm"),
      Image1(AddBanner(*this)),
      Label1(Add(ui::MakeControl(ui::ControlKind::Label, "Label1", 16, 80, 0, 0, "&User name: "))),
      Label2(Add(ui::MakeControl(ui::ControlKind::Label, "Label2", 16, 112, 0, 0, "&Password:"))),
      Edit1(Add(ui::MakeControl(ui::ControlKind::Edit, "Edit1", 104, 80, 193, 21, "", 0))),
      Edit2(AddPasswordEdit(*this)),
      Button1(AddButton(*this, "Button1", 144, "OK", 2, ui::IDOK)),
      Button2(AddButton(*this, "Button2", 224, "Cancel", 3, ui::IDCANCEL)) {
  // A fixed dialog with only the system menu, client area 320 x 189.
  borderStyle = ui::BorderStyle::Dialog;
  position = ui::FormPosition::ScreenCenter;
  borderIcons = true;
  clientWidth = 320;
  clientHeight = 189;
  // Enter presses OK wherever the focus is, Escape presses Cancel.
  Button1.defaultButton = true;
  Button2.cancel = true;
}

bool PromptCredentials(const std::string& caption, std::string& user, std::string& password) {
  TQelLoginForm form;
  form.caption = caption;
  if (form.ShowModal() != ui::IDOK) return false;
  user = form.Edit1.caption;
  password = form.Edit2.caption;
  return true;
}
