// The credentials prompt: a small modal dialog that asks for a user name
// and a password when an HTTP update server wants a login.
#pragma once

#include <string>

#include "platform/ui.h"

// The dialog. Its controls are built by the constructor with the positions,
// captions, tab order and modal results of the design; it runs with any ui
// backend (the scripted one drives it in tests).
class TQelLoginForm : public ui::Form {
 public:
  TQelLoginForm();

  // The form's object name (its class name is "TQelLoginForm").
  static constexpr const char* kName = "QelLoginForm";
  // The design's font; the backend that draws the form uses it.
  static constexpr const char* kFontName = "MS Sans Serif";
  static constexpr int kFontHeight = -11;  // 8 point

  ui::Control& Image1;
  ui::Control& Label1;   // "&User name: ", the accelerator focuses Edit1
  ui::Control& Label2;   // "&Password:", the accelerator focuses Edit2
  ui::Control& Edit1;    // user name
  ui::Control& Edit2;    // password, shown as "*"
  ui::Control& Button1;  // OK, the default button
  ui::Control& Button2;  // Cancel, also Esc and the close box
};

// Shows the dialog with that caption, both fields empty. On OK stores the
// two fields in user and password and returns true; otherwise leaves both
// unchanged and returns false.
bool PromptCredentials(const std::string& caption, std::string& user, std::string& password);
