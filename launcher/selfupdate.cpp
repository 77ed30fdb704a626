#include "launcher/selfupdate.h"

#include <map>

#include "launcher/settings.h"
#include "update/paths.h"

namespace launcher {

TFormUpdate* FormUpdate = nullptr;

namespace {

using ui::ControlKind;
using ui::MakeControl;

ui::Control& AddBanner(ui::Form& form) {
  form.caption = "Orvel Version Update";
  form.clientWidth = 385;
  form.clientHeight = 193;
  form.borderStyle = ui::BorderStyle::ToolWindow;
  form.borderIcons = false;
  form.stayOnTop = true;
  form.position = ui::FormPosition::ScreenCenter;
  form.fontName = "細明體";
  form.fontHeight = 12;
  ui::Control banner = MakeControl(ControlKind::Image, "Image1", 24, 32, 340, 60);
  banner.resource = "BANNER";
  return form.Add(std::move(banner));
}

ui::Control& AddProgressBar(ui::Form& form) {
  ui::Control bar = MakeControl(ControlKind::ProgressBar, "ProgressBar1", 24, 136, 340, 17);
  bar.min = 0;
  return form.Add(std::move(bar));
}

}  // namespace

TFormUpdate::TFormUpdate()
    : ui::Form("TFormUpdate"),
      Image1(AddBanner(*this)),
      Label1(Add(MakeControl(ControlKind::Label, "Label1", 24, 112, 0, 12, "DownLoad Progress:"))),
      ProgressBar1(AddProgressBar(*this)),
      StatusBar1(Add(MakeControl(ControlKind::StatusBar, "StatusBar1", 0, 193 - 21, 385, 21))) {
  // Closing the window destroys it; the frame's reference goes with it.
  onClose = [this] {
    ui::PostCall([handle = Handle()] {
      if (auto* form = ui::FromHandle(handle)) delete form;
    });
  };
}

TFormUpdate::~TFormUpdate() {
  if (FormUpdate == this) FormUpdate = nullptr;
}

TfrmKestrelSelfUpdate::TfrmKestrelSelfUpdate(TComponent* owner)
    : TOwnerComponent(owner, "TfrmKestrelSelfUpdate"), Updater1(new TUpdater(this)) {
  Updater1->Name = "Updater1";
  using namespace std::placeholders;
  const HandlerMap handlers{
      {"Updater1FileProgress",
       [this] {
         Updater1->OnFileProgress =
             std::bind(&TfrmKestrelSelfUpdate::Updater1FileProgress, this, _1, _2, _3, _4);
       }},
      {"Updater1Status",
       [this] {
         Updater1->OnStatus =
             std::bind(&TfrmKestrelSelfUpdate::Updater1Status, this, _1, _2, _3, _4);
       }},
      {"Updater1AppRestart",
       [this] {
         Updater1->OnAppRestart =
             std::bind(&TfrmKestrelSelfUpdate::Updater1AppRestart, this, _1, _2);
       }},
      {"Updater1AppDoClose",
       [this] {
         Updater1->OnAppDoClose = std::bind(&TfrmKestrelSelfUpdate::Updater1AppDoClose, this, _1);
       }},
      {"Updater1Success",
       [this] {
         Updater1->OnSuccess = std::bind(&TfrmKestrelSelfUpdate::Updater1Success, this, _1);
       }},
  };
  LoadStoredDefinition(*this, "TFRMKESTRELSELFUPDATE", handlers);
  UsePatcher(*Updater1, *this);
}

TfrmKestrelSelfUpdate::~TfrmKestrelSelfUpdate() {
  // A progress window still open goes with the frame.
  delete FormUpdate;
}

void TfrmKestrelSelfUpdate::Quit() {
  ui::PostQuitMessage(UpdateState == 2 ? 0 : kExitFailure);
  if (onQuit) onQuit();
}

void TfrmKestrelSelfUpdate::SelfUpdate(const TUpdater& source) {
  Updater1->TempDirectory = source.TempDirectory;
  Updater1->Proxy = source.Proxy;
  Updater1->ProxyUserID = source.ProxyUserID;
  Updater1->ProxyPassword = source.ProxyPassword;
  UseUpdateKey(*Updater1);
  for (int attempt = 0; attempt < 2; ++attempt) {
    UpdateState = 1;
    BaseURL = GetServerBaseURL(ServerIndex);
    ControlFileName = "KestrelStart.txt";
    Updater1->URL = BaseURL + ControlFileName + TickQuery("StartTick");
    Updater1->RunUpdate();
    ui::ProcessMessages();
    if (UpdateState == 1) break;
    if (UpdateState == 2) {
      Quit();
      return;
    }
    if (!NextServer(ServerIndex)) break;
  }
  if (UpdateState == 0) Quit();
}

void TfrmKestrelSelfUpdate::Updater1Status(TUpdater*, const std::string& StatusStr, int,
                                           int ErrCode) {
  if (ErrCode == 0) return;
  // A failing run may report several errors; the user hears of it once.
  const bool firstError = UpdateState != 0;
  UpdateState = 0;
  if (ServerIndex == 1 && firstError) {
    ui::MessageBox(nullptr, MsgCannotConnect + "(" + BaseURL + ControlFileName + "), " + StatusStr,
                   "Error", ui::MB_OK | ui::MB_ICONERROR);
    Quit();
  }
}

void TfrmKestrelSelfUpdate::Updater1AppRestart(TUpdater*, bool& Allow) {
  Allow = true;
}

void TfrmKestrelSelfUpdate::Updater1AppDoClose(TUpdater*) {
  UpdateState = 2;
}

void TfrmKestrelSelfUpdate::Updater1Success(TUpdater*) {
  if (FormUpdate) {
    TFormUpdate* form = FormUpdate;
    FormUpdate = nullptr;
    delete form;
  }
}

void TfrmKestrelSelfUpdate::Updater1FileProgress(TUpdater*, const std::string& FileName, int Pos,
                                                 int Size) {
  if (IsTextFile(FileName)) return;
  if (!FormUpdate) {
    FormUpdate = new TFormUpdate();
    FormUpdate->Show();
    FormUpdate->ProgressBar1.max = Size;
    FormUpdate->Invalidate();
    return;
  }
  FormUpdate->StatusBar1.caption = "File:" + FileName + " Downloading...";
  FormUpdate->ProgressBar1.position = Pos;
  FormUpdate->Invalidate();
}

}  // namespace launcher
