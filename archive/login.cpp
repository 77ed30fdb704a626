#include "archive/login.h"

namespace {

ui::Control Make(const char* name, ui::ControlKind kind, int left, int top, int width, int height,
                 const char* caption, int tabOrder = -1) {
  ui::Control c;
  c.name = name;
  c.kind = kind;
  c.left = left;
  c.top = top;
  c.width = width;
  c.height = height;
  c.caption = caption;
  c.tabOrder = tabOrder;
  return c;
}

ui::Control& AddButton(ui::Form& form, const char* name, int left, const char* caption,
                       int tabOrder, int modalResult) {
  ui::Control c = Make(name, ui::ControlKind::Button, left, 152, 75, 25, caption, tabOrder);
  c.modalResult = modalResult;
  return form.Add(std::move(c));
}

ui::Control& AddPasswordEdit(ui::Form& form) {
  ui::Control c = Make("Edit2", ui::ControlKind::Edit, 104, 112, 193, 21, "", 1);
  c.password = true;
  return form.Add(std::move(c));
}

ui::Control& AddBanner(ui::Form& form) {
  ui::Control c = Make("Image1", ui::ControlKind::Image, 0, 0, 320, 60, "");
  c.resource = "LOGINBANNER";
  return form.Add(std::move(c));
}

}  // namespace

TQelLoginForm::TQelLoginForm()
    : ui::Form("TQelLoginForm"),
      Image1(AddBanner(*this)),
      Label1(Add(Make("Label1", ui::ControlKind::Label, 16, 80, 0, 0, "&User name: "))),
      Label2(Add(Make("Label2", ui::ControlKind::Label, 16, 112, 0, 0, "&Password:"))),
      Edit1(Add(Make("Edit1", ui::ControlKind::Edit, 104, 80, 193, 21, "", 0))),
      Edit2(AddPasswordEdit(*this)),
      Button1(AddButton(*this, "Button1", 144, "OK", 2, ui::IDOK)),
      Button2(AddButton(*this, "Button2", 224, "Cancel", 3, ui::IDCANCEL)) {
  // A fixed dialog with only the system menu, client area 320 x 189.
  borderStyle = ui::BorderStyle::Dialog;
  position = ui::FormPosition::ScreenCenter;
  borderIcons = true;
  width = 320;
  height = 189;
}

bool PromptCredentials(const std::string& caption, std::string& user, std::string& password) {
  TQelLoginForm form;
  form.caption = caption;
  if (form.ShowModal() != ui::IDOK) return false;
  user = form.Edit1.caption;
  password = form.Edit2.caption;
  return true;
}
