// Prefix expansion, the machine probes of the log header, and RunProgram.

#include <cctype>
#include <memory>

#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/shell.h"
#include "platform/ui.h"
#include "resources/messages.h"
#include "update/updater.h"

namespace {

// The window shown while RunProgram waits: the file-copy animation with a
// line of text under it.
class TRunWaitForm : public ui::Form {
 public:
  TRunWaitForm(const std::string& caption, const std::string& text) : ui::Form("TForm") {
    this->caption = caption;
    width = 300;
    height = 170;
    position = ui::FormPosition::ScreenCenter;
    borderStyle = ui::BorderStyle::Dialog;
    borderIcons = false;
    // 272 by 60 is the size of the system's file-copy clip.
    ui::Control& animation =
        Add(ui::MakeControl(ui::ControlKind::Animation, "Animation", 10, 10, 272, 60));
    animation.resource = "FILECOPY";
    Add(ui::MakeControl(ui::ControlKind::Label, "Text", 10, animation.top + animation.height + 8, 0,
                        0, text));
  }
};

}  // namespace

std::string TUpdater::ConvertPrefix(std::string Path) {
  if (OnConvertPrefix) OnConvertPrefix(this, Path);
  return ExpandPrefixes(Path,
                        [this](const std::string& token) { return ExpandPrefixToken(token); });
}

std::string TUpdater::ExpandPrefixToken(const std::string& Token) {
  std::string folder;
  if (Token == "WIN")
    folder = shell::GetSpecialFolder(shell::SpecialFolder::Windows);
  else if (Token == "SYS")
    folder = shell::GetSpecialFolder(shell::SpecialFolder::System);
  else if (Token == "APP")
    folder = ExtractFilePath(kernel::GetModuleFileName());
  else if (Token == "TMP")
    folder = GetTempDir();
  else if (Token == "DOC")
    folder = GetPersonalFolder();
  else if (Token == "PF")
    folder = GetProgramFilesDir();
  else if (Token == "LAD")
    folder = GetLocalAppDataDir();
  return PathForPrefix(folder);
}

std::string TUpdater::GetOSVersion() {
  const kernel::OSVersion os = kernel::GetVersion();
  const std::string version = std::to_string(os.major) + "." + std::to_string(os.minor);
  return HasNewShell() ? version + "(Vista)" : version;
}

std::string TUpdater::GetCompilerToken() {
  return "D7";
}

std::string TUpdater::GetIEVersion() {
  auto key = registry::Key::Open(registry::Hive::LocalMachine,
                                 "\\Software\\Microsoft\\Internet Explorer\\Version Vector");
  if (!key) return "(not found)";
  return key->QueryString("IE").value_or("");
}

std::string TUpdater::GetInstalledIDEs() {
  // One key per development environment release; only the log shows them.
  std::string found;
  for (const char* token : {"D5", "D6", "D7", "D2005", "D2006", "D2007", "D2009", "C5", "C6"})
    if (registry::Key::Open(registry::Hive::LocalMachine,
                            std::string("\\Software\\DevTools\\") + token))
      found += token;
  return found;
}

bool TUpdater::RunProgram(const std::string& CommandLine, bool ShowProgram, bool ShowWaitWindow,
                          const std::string& Caption, const std::string& Text) {
  ReportStatus(msg::kExec, "Exec: " + CommandLine, 18, 0);
  std::unique_ptr<TRunWaitForm> wait;
  if (ShowWaitWindow) {
    wait = std::make_unique<TRunWaitForm>(Caption, Text);
    wait->Show();
    wait->Invalidate();
  }
  bool result = false;
  auto process = kernel::CreateProcess(
      CommandLine, ShowProgram ? kernel::ShowWindow::Normal : kernel::ShowWindow::Hidden);
  if (process) {
    kernel::WaitForProcess(*process);
    std::uint32_t code = kernel::GetExitCodeProcess(*process).value_or(1);
    result = code == 0;
    // Exit codes are told apart from system errors by an offset.
    if (!result) kernel::SetLastError(code + 8192);
  }
  std::uint32_t error = kernel::GetLastError();
  wait.reset();
  kernel::SetLastError(error);
  return result;
}
