#include "launcher/mainform.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "launcher/proxyform.h"
#include "launcher/selfupdate.h"
#include "platform/base64.h"
#include "platform/inet.h"
#include "platform/kernel.h"
#include "platform/lfile.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "update/paths.h"

namespace launcher {

std::function<bool()> InternetConnected = [] {
  return inet::InternetGetConnectedState(nullptr, 0);
};
std::function<bool()> InternetDial = [] {
  return inet::InternetAutodial(inet::INTERNET_AUTODIAL_FORCE_ONLINE, 0);
};

namespace {

using ui::ControlKind;
using ui::MakeControl;

constexpr unsigned kErrorBox = ui::MB_OK | ui::MB_ICONERROR;

std::string Printf(const char* format, const std::string& text, long long number) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format, text.c_str(), number);
  return buffer;
}

std::string KBytes(std::int64_t bytes) {
  return std::to_string(bytes / 1024) + " KBytes";
}

ui::Form& Prepared(ui::Form& form) {
  form.caption = "Data Download";
  form.clientWidth = 370;
  form.clientHeight = 233;
  form.borderStyle = ui::BorderStyle::Single;
  form.borderIcons = false;
  form.position = ui::FormPosition::ScreenCenter;
  return form;
}

ui::Control& AddLabel(ui::Form& form, const char* name, int left, int top, int width,
                      const std::string& caption = {}) {
  return form.Add(MakeControl(ControlKind::Label, name, left, top, width, 13, caption));
}

// A right-aligned label that grows to the left from its right edge: its box
// reaches from the middle of the window to that edge and its text is drawn
// against the edge.
ui::Control& AddRightLabel(ui::Form& form, const char* name, int rightEdge, int top) {
  ui::Control& c = AddLabel(form, name, 160, top, rightEdge - 160);
  c.rightAligned = true;
  return c;
}

}  // namespace

std::string PendingMarker(const std::string& packageName) {
  return CabFolder() + packageName + ".pending";
}

TFormKestrelStart::TFormKestrelStart()
    : ui::Form("TFormKestrelStart"),
      Image1([this]() -> ui::Control& {
        ui::Control banner = MakeControl(ControlKind::Image, "Image1", 16, 16, 340, 60);
        banner.resource = "BANNER";
        return Prepared(*this).Add(std::move(banner));
      }()),
      lblFileNameCaption(AddLabel(*this, "lblFileNameCaption", 18, 88, 119)),
      lblFileCount([this]() -> ui::Control& {
        ui::Control& c = AddLabel(*this, "lblFileCount", 168, 88, 185);
        c.rightAligned = true;
        return c;
      }()),
      lblTotalFileSize(
          AddLabel(*this, "lblTotalFileSize", 18, 106, 119, ChineseMessages().TotalFileSize)),
      lblTotalSize(AddRightLabel(*this, "lblTotalSize", 353, 106)),
      lblCurrentFileSize(
          AddLabel(*this, "lblCurrentFileSize", 18, 124, 127, ChineseMessages().CurrentFileSize)),
      lblFileSize(AddRightLabel(*this, "lblFileSize", 353, 124)),
      lblCurrentFile(
          AddLabel(*this, "lblCurrentFile", 18, 142, 127, ChineseMessages().CurrentFileName)),
      lblFileName(AddRightLabel(*this, "lblFileName", 353, 142)),
      Panel1(Add(MakeControl(ControlKind::Panel, "Panel1", 18, 161, 335, 5))),
      lblStatus(AddLabel(*this, "lblStatus", 18, 179, 135, ChineseMessages().CurrentUpdateStatus)),
      lblPer(AddRightLabel(*this, "lblPer", 352, 179)),
      Components(nullptr, "TFormKestrelStart"),
      Updater2(new TUpdater(&Components)),
      LevelProgressBar1(new TLevelProgressBar(&Components)) {
  Updater2->Name = "Updater2";
  LevelProgressBar1->Name = "LevelProgressBar1";
  using namespace std::placeholders;
  const HandlerMap handlers{
      {"Updater2FileProgress",
       [this] {
         Updater2->OnFileProgress =
             std::bind(&TFormKestrelStart::Updater2FileProgress, this, _1, _2, _3, _4);
       }},
      {"Updater2FileDownloaded",
       [this] {
         Updater2->OnFileDownloaded =
             std::bind(&TFormKestrelStart::Updater2FileDownloaded, this, _1, _2);
       }},
      {"Updater2Status",
       [this] {
         Updater2->OnStatus = std::bind(&TFormKestrelStart::Updater2Status, this, _1, _2, _3, _4);
       }},
      {"Updater2ThreadUpdateDone",
       [this] {
         Updater2->OnThreadUpdateDone =
             std::bind(&TFormKestrelStart::Updater2ThreadUpdateDone, this, _1);
       }},
  };
  LoadStoredDefinition(Components, "TFORMKESTRELSTART", handlers);
  UsePatcher(*Updater2, Components);
  // Placed on the window only once all its stored settings are in: a
  // position read earlier would paint a bar that is only half set up.
  LevelProgressBar1->SetParent(this);
  onShow = [this] { FormShow(); };
  FormCreate();
}

TFormKestrelStart::~TFormKestrelStart() {
  // The bar paints onto this window; it must let go before the window goes.
  LevelProgressBar1->SetParent(nullptr);
}

void TFormKestrelStart::FormCreate() {
  const std::string folder = ProgramFolder();
  kernel::SetCurrentDirectory(folder);
  const std::string leftover =
      AddBackslash(folder + "Temp") + ExtractFileName(kernel::GetModuleFileName()) + "_New";
  if (kernel::FileExists(leftover)) kernel::DeleteFile(leftover);
  ServerIndex = 0;
  WriteInteger("URLProxyIDPWD", 0);
  ForceUnpack = false;
  // Chosen before the command line is read: a failing proxy dialog speaks
  // the language of the window.
  Messages = &MessageSetFor(kernel::GetOEMCP());
  MsgCannotConnect = Messages->MsgCannotConnect;
  FileCountCaption = Messages->FileCountCaption;
  ReceivedFilesCaption = Messages->ReceivedFilesCaption;
  if (Messages == &EnglishMessages()) {
    lblTotalFileSize.caption = Messages->TotalFileSize;
    lblCurrentFileSize.caption = Messages->CurrentFileSize;
    lblCurrentFile.caption = Messages->CurrentFileName;
    lblStatus.caption = Messages->CurrentUpdateStatus;
  }
  ReadCommandLine();

  const std::string temp = AddBackslash(folder + "Temp");
  if (!IsDirectory(temp) && !kernel::CreateDirectory(temp)) {
    // Without its Temp folder the update cannot run: say why and end,
    // rather than leave a window that never does anything.
    ui::MessageBox(this, kernel::FormatMessage(kernel::GetLastError()) + " (" + temp + ")", "Error",
                   kErrorBox);
    UpdateFailed = true;
    ui::PostQuitMessage(kExitFailure);
    return;
  }
  Updater2->TempDirectory = temp;
  UseUpdateKey(*Updater2);
  SetUpdateTempDir(temp);
  DownloadedNames.clear();

  DownLoadFrame = std::make_unique<TDownLoadFrame>();
  ReadyToUpdate = true;
  UpdateFailed = false;
  ui::SetApplicationTitle(caption);
  LastProgressFile.clear();
  BaseURL = GetServerBaseURL(ServerIndex);
  ControlFileName = "Kestrel.txt";

  if (InternetCheck()) {
    RunSelfUpdate();
  } else {
    ui::MessageBox(this, Messages->MsgNoInternet, "Error", kErrorBox);
    UpdateFailed = true;
    ui::PostQuitMessage(kExitFailure);
  }
}

void TFormKestrelStart::ReadCommandLine() {
  // The platform's command line begins with the program's path, which on
  // this system is full of "/": only what follows it can hold switches.
  const auto args = kernel::SplitCommandLine(kernel::GetCommandLine());
  std::string tail;
  for (std::size_t i = 1; i < args.size(); ++i) tail += (i > 1 ? " " : "") + args[i];
  const auto pieces = SplitString(tail, "/", true);
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    const std::string piece = UpperAscii(pieces[i]);
    if (piece == "F") {
      ForceUnpack = true;
    } else if (piece == "PROXY" && ShowProxyDialog()) {
      Updater2->Proxy = ProxyHost + ":" + std::to_string(ProxyPort);
      Updater2->ProxyUserID = ProxyID;
      Updater2->ProxyPassword = ProxyPassword;
      WriteInteger("URLProxyIDPWD", 1);
      WriteInteger("EnabledProxy", 1);
      WriteString("ProxyHost", ProxyHost);
      WriteInteger("ProxyPort", static_cast<std::uint32_t>(ProxyPort));
      WriteString("ProxyID", ProxyID);
      WriteString("ProxyPwd", Base64Encode(ProxyPassword));
    }
  }
}

bool TFormKestrelStart::ShowProxyDialog() {
  try {
    TFormProxy dialog;
    dialog.edtProxyHost.caption = ReadString("ProxyHost", "");
    const std::uint32_t port = ReadInteger("ProxyPort", 0);
    dialog.edtProxyPort.caption = port == 0 ? "" : std::to_string(port);
    dialog.edtProxyID.caption = ReadString("ProxyID", "");
    const std::string stored = ReadString("ProxyPwd", "");
    dialog.edtProxyPwd.caption = stored.empty() ? "" : Base64Decode(stored);
    if (dialog.ShowModal() != ui::IDOK) return false;
    ProxyHost = dialog.edtProxyHost.caption;
    ProxyID = dialog.edtProxyID.caption;
    ProxyPassword = dialog.edtProxyPwd.caption;
    ProxyPort = ParseDecimal(dialog.edtProxyPort.caption).value_or(0);
    return true;
  } catch (const std::exception& e) {
    ui::MessageBox(this, Messages->MsgSetProxyFailed + ",Msg=" + e.what(), "Error", kErrorBox);
    return false;
  }
}

bool TFormKestrelStart::InternetCheck() {
  if (InternetConnected()) return true;
  switch (ui::MessageBox(this, Messages->MsgDialPrompt, "Error",
                         ui::MB_YESNOCANCEL | ui::MB_ICONINFORMATION)) {
    case ui::IDYES:
      return InternetDial();
    case ui::IDNO:
      return false;
    default:
      return true;  // Cancel or Escape: go on as if connected
  }
}

void TFormKestrelStart::RunSelfUpdate() {
  auto* frame = new TfrmKestrelSelfUpdate(&Components);
  frame->onQuit = [this] { UpdateFailed = true; };
  try {
    frame->SelfUpdate(*Updater2);
  } catch (...) {
    delete frame;
    throw;
  }
  delete frame;
}

void TFormKestrelStart::FormShow() {
  if (!ReadyToUpdate || UpdateFailed) return;
  TotalBytes = 0;
  ReceivedCount = 0;
  DownloadedNames.clear();
  StartAttempt();
}

void TFormKestrelStart::StartAttempt() {
  Updater2->URL = BaseURL + ControlFileName + TickQuery("KestrelTick");
  Updater2->RunUpdateInThread();
}

void TFormKestrelStart::Updater2Status(TUpdater*, const std::string& StatusStr, int, int ErrCode) {
  if (ErrCode == 0) return;
  const bool firstError = !UpdateFailed;
  UpdateFailed = true;
  if (ServerIndex == 1) {
    // A failing run may report several errors; the user hears of it once.
    if (!firstError) return;
    ui::MessageBox(this, MsgCannotConnect + "(" + BaseURL + ControlFileName + "), " + StatusStr,
                   "Error", kErrorBox);
    ui::PostQuitMessage(kExitFailure);
  } else {
    Updater2->CloseConnection();
  }
}

void TFormKestrelStart::Updater2ThreadUpdateDone(TUpdater*) {
  if (!UpdateFailed) {
    UnpackPackages();
    ui::PostQuitMessage(StartClient() ? 0 : kExitFailure);
  } else if (ServerIndex == 1) {
    ui::PostQuitMessage(kExitFailure);
  } else {
    ui::PostMessage(Handle(), WM_NEXTSERVER);
  }
}

void TFormKestrelStart::HandleMessage(unsigned message, std::intptr_t, std::intptr_t) {
  if (message == WM_NEXTSERVER) NextServerAttempt();
}

void TFormKestrelStart::NextServerAttempt() {
  try {
    if (!NextServer(ServerIndex)) {
      UpdateFailed = true;
      ui::PostQuitMessage(kExitFailure);
      return;
    }
    BaseURL = GetServerBaseURL(1);
    ControlFileName = "Kestrel.txt";
    TotalBytes = 0;
    ReceivedCount = 0;
    for (ui::Control* label :
         {&lblFileName, &lblFileSize, &lblFileNameCaption, &lblFileCount, &lblTotalSize})
      label->caption.clear();
    Refresh();
    UpdateFailed = false;
    StartAttempt();
  } catch (const std::exception& e) {
    ui::MessageBox(this, MsgCannotConnect + "(" + e.what() + ")", "Error", kErrorBox);
    UpdateFailed = true;
    Updater2->CloseConnection();
    ui::PostQuitMessage(kExitFailure);
  }
}

void TFormKestrelStart::Refresh() {
  Invalidate();
}

void TFormKestrelStart::Updater2FileProgress(TUpdater*, const std::string& FileName, int Pos,
                                             int Size) {
  if (IsTextFile(FileName)) return;
  if (FileName != LastProgressFile) {
    LastProgressFile = FileName;
    lblFileName.caption = ExtractFileName(FileName);
    lblFileSize.caption = KBytes(Size);
    lblFileNameCaption.caption = Printf("%s %5lld", FileCountCaption, Updater2->FileList.Count());
    ++ReceivedCount;
    lblFileCount.caption = Printf("%s %5lld", ReceivedFilesCaption, ReceivedCount);
    TotalBytes += Size;
    lblTotalSize.caption = KBytes(TotalBytes);
    LevelProgressBar1->SetPosition(0);
    LevelProgressBar1->SetMax(Size);
  }
  // A server that announces no length gives no percentage; the bar and
  // the percentage wait for the next file.
  if (Size > 0) {
    LevelProgressBar1->SetPosition(Pos);
    lblPer.caption = std::to_string(static_cast<std::int64_t>(Pos) * 100 / Size) + "%";
  }
  Refresh();
}

void TFormKestrelStart::Updater2FileDownloaded(TUpdater*, const std::string& FileName) {
  const std::string name = ExtractFileName(FileName);
  for (int i = 0; i < Updater2->FileList.Count(); ++i) {
    TFileDescription& entry = Updater2->FileList.Items(i);
    if (ExtractFileName(entry.LocalVersion) != name) continue;
    SetPackageTime(name, entry.NewDate, entry.NewTime);
    DownloadedNames += "#" + name + "#";
  }
  for (const TPackage& package : PackageTable) {
    if (!SameText(package.name, name)) continue;
    // The marker must exist before anything can stop this start.
    const kernel::FileHandle marker(kernel::_lcreat(PendingMarker(package.name), 0));
  }
}

void TFormKestrelStart::SetPackageTime(const std::string& name, const std::string& date,
                                       const std::string& time) {
  const std::string path = CabFolder() + name;
  if (!kernel::FileExists(path)) return;
  try {
    const kernel::FileHandle file(kernel::_lopen(path, kernel::OF_READWRITE));
    if (!file) throw std::runtime_error(kernel::FormatMessage(kernel::GetLastError()));
    // Read as the update check reads it, so that the next start finds the
    // package exactly as new as the server's.
    const auto when = Updater2->ControlDateTime(date, time);
    if (!when) throw std::runtime_error("'" + date + " " + time + "' is not a valid date and time");
    const auto stamp = DateTimeToFileTime(*when);
    if (stamp) kernel::SetFileTime(file.Get(), &*stamp, &*stamp, &*stamp);
  } catch (const std::exception& e) {
    char text[2048];
    std::snprintf(text, sizeof text, "%s(FileName=%s,ServerDate=%s,ServerTime=%s),ErrMsg=%s",
                  Messages->MsgSetTimeFailed.c_str(), name.c_str(), date.c_str(), time.c_str(),
                  e.what());
    ui::MessageBox(this, text, "Error", kErrorBox);
  }
}

void TFormKestrelStart::UnpackPackages() {
  LevelProgressBar1->SetPosition(0);
  LevelProgressBar1->SetMax(100);
  lblPer.caption.clear();
  lblFileSize.caption.clear();
  lblFileName.caption.clear();
  const int step = LevelProgressBar1->Max() / 10;
  DownloadedNames = UpperAscii(DownloadedNames);
  const std::string folder = ProgramFolder();
  for (std::size_t i = 0; i < PackageTable.size(); ++i) {
    const TPackage& package = PackageTable[i];
    const std::string marker = PendingMarker(package.name);
    const bool due = ForceUnpack ||
                     DownloadedNames.find(UpperAscii(package.name)) != std::string::npos ||
                     kernel::FileExists(marker);
    const std::string cabinet = CabFolder() + package.name;
    if (due && kernel::FileExists(cabinet) && DownLoadFrame->UnpackPackage(cabinet, package.folder))
      kernel::DeleteFile(marker);
    const int value = std::min(static_cast<int>(i + 1) * step, LevelProgressBar1->Max());
    lblPer.caption = std::to_string(value) + "%";
    LevelProgressBar1->SetPosition(value);
    Refresh();
    ui::ProcessMessages();
  }
}

bool TFormKestrelStart::StartClient() {
  const std::string folder = ProgramFolder();
  std::string path = folder + "Func";
  for (const TPackage& package : PackageTable)
    if (*package.folder) path += kernel::PATH_LIST_SEPARATOR + folder + package.folder;
  // An empty entry would put the current folder on a POSIX search path.
  const std::string inherited = kernel::GetEnvironmentVariable("PATH").value_or("");
  if (!inherited.empty()) path += kernel::PATH_LIST_SEPARATOR + inherited;
  kernel::SetEnvironmentVariable("PATH", path);
  const std::string client = folder + "Kestrel.exe";
  if (!kernel::FileExists(client)) {
    ui::MessageBox(this, "Kestrel.exe" + Messages->MsgFileMissing, "Error", kErrorBox);
    return false;
  }
  if (shell::ShellExecuteOpen(client, LaunchToken)) return true;
  ui::MessageBox(this, "Created process Kestrel.exe failed. It will be terminated!", "Error",
                 kErrorBox);
  return false;
}

}  // namespace launcher
