// The start program's entry: it runs only under its own name and gives way
// to a start program or client that is already running; otherwise it
// creates its main window and runs the message loop until a quit request.
#include <exception>
#include <string>

#include "launcher/mainform.h"
#include "launcher/settings.h"
#include "platform/kernel.h"
#include "platform/text.h"
#include "platform/ui.h"
#include "update/paths.h"

namespace {

// Restores a minimised window or brings it to the front; true when the
// other window was there to give way to.
bool GiveWayTo(const char* className) {
  const ui::TopLevelWindow window = ui::FindWindow(className);
  if (window == 0) return false;
  if (ui::IsIconic(window)) {
    ui::ShowWindow(window, ui::SW_RESTORE);
  } else if (!ui::SetForegroundWindow(window)) {
    ui::MessageBox(nullptr, std::string(className) + " Window Handle Error!!", "Tavrin", ui::MB_OK);
  }
  return true;
}

}  // namespace

int main() {
  ui::SetMainThread();
  ui::UseDisplayIfAvailable();
  if (UpperAscii(ExtractFileName(kernel::GetModuleFileName())) != "KESTRELSTART.EXE") {
    ui::MessageBox(nullptr, "FileName Error, Please update filename to KestrelStart.exe!!", "Orvel",
                   ui::MB_OK);
    return launcher::kExitFailure;
  }
  if (GiveWayTo("TFormKestrelStart") || GiveWayTo("TFormKestrel")) return 0;

  ui::SetApplicationTitle("Kestrel Start Loading");
  int exitCode = 0;
  try {
    launcher::TFormKestrelStart form;
    form.Show();
    exitCode = ui::RunMessageLoop();
  } catch (const std::exception& e) {
    ui::MessageBox(nullptr, e.what(), "Error", ui::MB_OK | ui::MB_ICONERROR);
    exitCode = launcher::kExitFailure;
  }
  return exitCode;
}
