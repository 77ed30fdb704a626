// The start program's update of itself from "KestrelStart.txt", run inside
// the main window's creation handler, and its small progress window.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "launcher/stored.h"
#include "platform/ui.h"
#include "update/updater.h"

namespace launcher {

class TFormUpdate : public ui::Form {
 public:
  TFormUpdate();
  ~TFormUpdate() override;
  ui::Control& Image1;
  ui::Control& Label1;
  ui::Control& ProgressBar1;
  ui::Control& StatusBar1;
};

// The one progress window while it exists (null otherwise).
extern TFormUpdate* FormUpdate;

class TfrmKestrelSelfUpdate : public TOwnerComponent {
 public:
  explicit TfrmKestrelSelfUpdate(TComponent* owner);
  ~TfrmKestrelSelfUpdate() override;

  TUpdater* Updater1;
  std::uint8_t UpdateState = 1;  // 1 running or done, 0 failed, 2 closing for a restart
  std::uint8_t ServerIndex = 0;
  std::string BaseURL;
  std::string ControlFileName;

  // Runs the self-update with the source's temporary folder and proxy.
  // Every path that ends the program calls onQuit (the main window marks
  // its update as failed there) after posting the quit request.
  void SelfUpdate(const TUpdater& source);
  std::function<void()> onQuit;

  void Updater1FileProgress(TUpdater* Sender, const std::string& FileName, int Pos, int Size);
  void Updater1Status(TUpdater* Sender, const std::string& StatusStr, int StatusCode, int ErrCode);
  void Updater1AppRestart(TUpdater* Sender, bool& Allow);
  void Updater1AppDoClose(TUpdater* Sender);
  void Updater1Success(TUpdater* Sender);

 private:
  void Quit();
};

}  // namespace launcher
