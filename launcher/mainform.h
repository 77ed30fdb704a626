// The start program's main window "Data Download": its creation handler
// (settings, command line, proxy, Temp folder, messages, Internet check,
// self-update), the client update run with its fallback to the secondary
// server and its progress display, and the unpacking and start of the
// client once the run has succeeded.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "launcher/downloadframe.h"
#include "launcher/settings.h"
#include "launcher/stored.h"
#include "platform/ui.h"
#include "update/updater.h"
#include "widgets/levelprogressbar.h"

namespace launcher {

// Posted to itself to start the attempt on the secondary server outside
// the update component's completion event.
inline constexpr unsigned WM_NEXTSERVER = ui::WM_USER + 2100;

// The client's launch token: its whole parameter string.
inline constexpr const char* LaunchToken = "QUENTAVORBLISK";

class TFormKestrelStart : public ui::Form {
 public:
  // Builds the window and runs its creation handler.
  TFormKestrelStart();
  ~TFormKestrelStart() override;

  // ---- State ----
  std::string DownloadedNames;
  std::string BaseURL;
  std::string ControlFileName;
  bool ForceUnpack = false;
  std::uint8_t ServerIndex = 0;
  const TMessageSet* Messages = &ChineseMessages();
  std::string ProxyHost, ProxyID, ProxyPassword;
  int ProxyPort = 0;
  std::string LastProgressFile;
  std::string FileCountCaption, ReceivedFilesCaption;
  bool ReadyToUpdate = false;
  bool UpdateFailed = false;
  std::int64_t TotalBytes = 0;
  int ReceivedCount = 0;
  std::unique_ptr<TDownLoadFrame> DownLoadFrame;

  // ---- Controls and components ----
  ui::Control& Image1;
  ui::Control& lblFileNameCaption;
  ui::Control& lblFileCount;
  ui::Control& lblTotalFileSize;
  ui::Control& lblTotalSize;
  ui::Control& lblCurrentFileSize;
  ui::Control& lblFileSize;
  ui::Control& lblCurrentFile;
  ui::Control& lblFileName;
  ui::Control& Panel1;
  ui::Control& lblStatus;
  ui::Control& lblPer;
  TOwnerComponent Components;
  TUpdater* Updater2;
  TLevelProgressBar* LevelProgressBar1;

  // ---- Handlers and operations ----
  void FormCreate();
  void FormShow();
  void HandleMessage(unsigned message, std::intptr_t wParam, std::intptr_t lParam) override;
  void Updater2Status(TUpdater* Sender, const std::string& StatusStr, int StatusCode, int ErrCode);
  void Updater2FileProgress(TUpdater* Sender, const std::string& FileName, int Pos, int Size);
  void Updater2FileDownloaded(TUpdater* Sender, const std::string& FileName);
  void Updater2ThreadUpdateDone(TUpdater* Sender);
  bool ShowProxyDialog();
  bool InternetCheck();
  void RunSelfUpdate();
  void SetPackageTime(const std::string& name, const std::string& date, const std::string& time);
  void UnpackPackages();
  // True when the client was started.
  bool StartClient();

 private:
  void ReadCommandLine();
  void NextServerAttempt();
  void StartAttempt();
  void Fail(const std::string& text);
  void Refresh();
};

// The connection query and the dialler the Internet check asks: the
// platform's by default; tests replace them to play an offline machine,
// which a test cannot make of the machine it runs on.
extern std::function<bool()> InternetConnected;
extern std::function<bool()> InternetDial;

// The marker of a package that was downloaded but is not yet unpacked, so a
// start that ends before unpacking (a failed attempt, a killed program)
// leaves the next start a reason to unpack it.
std::string PendingMarker(const std::string& packageName);

}  // namespace launcher
