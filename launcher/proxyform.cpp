#include "launcher/proxyform.h"

#include "launcher/settings.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "update/paths.h"

namespace launcher {
namespace {

using ui::ControlKind;
using ui::MakeControl;

ui::Control& AddEdit(ui::Form& form, const char* name, int top, int tabOrder) {
  return form.Add(MakeControl(ControlKind::Edit, name, 80, top, 170, 21, "", tabOrder));
}

ui::Control& AddButton(ui::Form& form, const char* name, int left, const char* caption,
                       int tabOrder, const char* glyph) {
  ui::Control c = MakeControl(ControlKind::Button, name, left, 128, 75, 25, caption, tabOrder);
  c.glyph = glyph;
  return form.Add(std::move(c));
}

ui::Control& AddLabels(ui::Form& form) {
  form.Add(MakeControl(ControlKind::Label, "Label1", 16, 18, 0, 13, "Proxy Host"));
  form.Add(MakeControl(ControlKind::Label, "Label2", 16, 42, 0, 13, "Proxy Port"));
  form.Add(MakeControl(ControlKind::Label, "Label3", 16, 66, 0, 13, "Proxy ID"));
  return form.Add(MakeControl(ControlKind::Label, "Label4", 16, 90, 0, 13, "Proxy PWD"));
}

ui::Form& Prepared(TFormProxy& form) {
  form.caption = "Kestrel - Proxy Setting";
  form.clientWidth = 267;
  form.clientHeight = 166;
  form.borderStyle = ui::BorderStyle::Single;
  form.borderIcons = false;
  form.position = ui::FormPosition::ScreenCenter;
  AddLabels(form);
  return form;
}

// "host:port" pieces of a value as the dialog splits it.
SystemProxy SplitHostPort(const std::string& value) {
  const auto pieces = SplitString(value, ":", true);
  SystemProxy proxy;
  if (!pieces.empty()) proxy.host = pieces[0];
  if (pieces.size() > 1) proxy.port = pieces[1];
  return proxy;
}

// The secure entry of a per-protocol list "http=a:80;https=b:443".
std::string SecureEntry(const std::string& value) {
  for (const std::string& line : SplitString(value, ";", false)) {
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    if (SameText(line.substr(0, equals), "https")) return line.substr(equals + 1);
  }
  return {};
}

// A proxy variable's URL ("http://user@proxy.local:8080/") as "host:port".
std::string HostPortOfURL(std::string url) {
  if (auto scheme = url.find("://"); scheme != std::string::npos) url.erase(0, scheme + 3);
  if (auto at = url.rfind('@'); at != std::string::npos) url.erase(0, at + 1);
  if (auto slash = url.find('/'); slash != std::string::npos) url.erase(slash);
  return url;
}

}  // namespace

SystemProxy ReadSystemProxy() {
  std::string value;
  if (auto key = registry::Key::Open(registry::Hive::CurrentUser,
                                     "\\Software\\Microsoft\\Windows\\CurrentVersion\\"
                                     "Internet Settings")) {
    if (auto text = key->QueryString("ProxyServer")) value = *text;
  }
  if (!value.empty()) {
    if (value.find("https") != std::string::npos) value = SecureEntry(value);
    return SplitHostPort(value);
  }
  for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY"}) {
    auto env = kernel::GetEnvironmentVariable(name);
    if (env && !env->empty()) return SplitHostPort(HostPortOfURL(*env));
  }
  return {};
}

TFormProxy::TFormProxy()
    : ui::Form("TFormProxy"),
      edtProxyHost(AddEdit(Prepared(*this), "edtProxyHost", 16, 0)),
      edtProxyPort(AddEdit(*this, "edtProxyPort", 40, 1)),
      edtProxyID(AddEdit(*this, "edtProxyID", 64, 2)),
      edtProxyPwd(AddEdit(*this, "edtProxyPwd", 88, 3)),
      btnOk(AddButton(*this, "btnOk", 64, "OK", 4, "GLYPHOK")),
      btnCancel(AddButton(*this, "btnCancel", 144, "Cancel", 5, "GLYPHCANCEL")) {
  edtProxyPwd.password = true;
  btnCancel.cancel = true;
  btnOk.onClick = [this] { btnOkClick(); };
  btnCancel.onClick = [this] { btnCancelClick(); };
  // Enter walks the fields in tab order and ends on the OK button.
  const std::pair<ui::Control*, ui::Control*> chain[] = {{&edtProxyHost, &edtProxyPort},
                                                         {&edtProxyPort, &edtProxyID},
                                                         {&edtProxyID, &edtProxyPwd},
                                                         {&edtProxyPwd, &btnOk}};
  for (auto [from, to] : chain)
    from->onKeyDown = [this, to = to](int key) {
      if (key == ui::VK_RETURN) SetFocus(to);
    };
  onShow = [this] { FormShow(); };
}

void TFormProxy::FormShow() {
  if (edtProxyHost.caption.empty()) {
    const SystemProxy proxy = ReadSystemProxy();
    if (!proxy.host.empty() || !proxy.port.empty()) {
      edtProxyHost.caption = proxy.host;
      edtProxyPort.caption = proxy.port;
      Invalidate();
    }
  }
  SetFocus(&edtProxyHost);
}

void TFormProxy::btnOkClick() {
  auto refuse = [this](const char* text, ui::Control& field) {
    ui::MessageBox(this, text, "Error", ui::MB_OK | ui::MB_ICONERROR);
    SetFocus(&field);
  };
  if (edtProxyHost.caption.empty()) return refuse("Proxy Server is empty!", edtProxyHost);
  if (edtProxyPort.caption.empty()) return refuse("Proxy Port is empty!", edtProxyPort);
  const auto port = ParseDecimal(edtProxyPort.caption);
  if (!port || *port <= 0) return refuse("Proxy Port error!", edtProxyPort);
  modalResult = ui::IDOK;
}

void TFormProxy::btnCancelClick() {
  modalResult = ui::IDCANCEL;
}

}  // namespace launcher
