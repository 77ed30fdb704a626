// The proxy dialog of the PROXY switch: host, port, user ID and password,
// with host and port checked, and the system's proxy offered when nothing
// was stored before.
#pragma once

#include <string>

#include "platform/ui.h"

namespace launcher {

class TFormProxy : public ui::Form {
 public:
  TFormProxy();

  ui::Control& edtProxyHost;
  ui::Control& edtProxyPort;
  ui::Control& edtProxyID;
  ui::Control& edtProxyPwd;
  ui::Control& btnOk;
  ui::Control& btnCancel;

  void FormShow();
  void btnOkClick();
  void btnCancelClick();
};

// The proxy of the system's Internet settings as host and port texts; on a
// machine whose settings hold none, the usual proxy environment variables
// (https_proxy, then http_proxy, either case). Both empty when there is none.
struct SystemProxy {
  std::string host, port;
};
SystemProxy ReadSystemProxy();

}  // namespace launcher
