#include "update/updater.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "platform/kernel.h"
#include "platform/profile.h"
#include "platform/shell.h"
#include "platform/ui.h"
#include "resources/messages.h"
#include "update/paths.h"
#include "update/updlog.h"

// ---- Sub-objects ------------------------------------------------------------------

void TLastURLEntry::DefineProperties(PropertyList& p) {
  p.Bool("Save", Save, false);
  p.String("Key", Key);
  p.String("Section", Section);
  p.Enum("RegRoot", RegRoot, {"lurLOCALUSER", "lurLOCALMACHINE"}, lurLOCALUSER);
}

void TPostUpdateInfo::DefineProperties(PropertyList& p) {
  p.String("Server", Server);
  p.String("Action", Action);
  p.String("Data", Data);
  p.Bool("Enabled", Enabled, std::nullopt);
}

void TUpdaterUtility::DefineProperties(PropertyList& p) {
  p.Bool("ShowWindow", ShowWindow, false);
  p.Bool("ShowAnimation", ShowAnimation, false);
  p.String("StatusMessage", StatusMessage);
  p.String("StatusCaption", StatusCaption);
}

void TFileDescription::DefineProperties(PropertyList& p) {
  p.String("URL", URL);
  p.String("NewVersion", NewVersion);
  p.Integer("NewSize", NewSize, 0);
  p.Integer("NewCheckSum", NewCheckSum, -1);
  p.String("NewCustomVer", NewCustomVer);
  p.String("NewDate", NewDate);
  p.String("NewTime", NewTime);
  p.String("LocalVersion", LocalVersion);
  p.String("Sha256", Sha256);
  p.String("Description", Description);
  p.String("TargetDir", TargetDir);
  p.Bool("Compressed", Compressed, false);
  p.Integer("FileSize", FileSize, 0);
  p.Bool("Mandatory", Mandatory, false);
  p.Bool("Preselect", Preselect, true);
  p.Bool("Hidden", Hidden, false);
  p.Bool("Selected", Selected, false);
}

TFileDescription& TFileList::Add() {
  items_.push_back(std::make_unique<TFileDescription>());
  return *items_.back();
}

bool TFileList::HasPatches() const {
  return std::any_of(items_.begin(), items_.end(),
                     [](const auto& item) { return !item->PatchURL.empty(); });
}

void TFileList::Delete(int index) {
  items_.erase(items_.begin() + index);
}

void TFileList::Clear() {
  items_.clear();
  CurrentIndex = -1;
}

// ---- TUpdater ------------------------------------------------------------------------

TUpdater::TUpdater(TComponent* owner) : TComponent(owner) {
  SetLogFileName("UPDATER.LOG");
}

TUpdater::~TUpdater() {
  *alive_ = false;
}

void TUpdater::DefineProperties(PropertyList& p) {
  p.StringAccessor(
      "Agent", [this] { return Agent; }, [this](const std::string& v) { Agent = v; });
  p.Bool("ApplyPatch", ApplyPatch, false);
  p.Enum("Authenticate", Authenticate, {"waAlways", "waAuto", "waNever"}, waNever);
  p.String("DateFormat", DateFormat);
  p.Char("DateSeparator", DateSeparator);
  p.Bool("ExtractCAB", ExtractCAB, false);
  p.Bool("ExistingConnection", ExistingConnection, false);
  p.Bool("ForceUpdate", ForceUpdate, false);
  p.String("FTPDirectory", FTPDirectory);
  p.Bool("FTPPassive", FTPPassive, false);
  p.String("Host", Host);
  p.Bool("HTTPKeepAliveAuthentication", HTTPKeepAliveAuthentication, false);
  p.Bool("KeepIntermediateFiles", KeepIntermediateFiles, false);
  p.String("LanguageID", LanguageID);
  p.Bool("Logging", Logging, false);
  p.StringAccessor(
      "LogFileName", [this] { return logFileName_; },
      [this](const std::string& v) { SetLogFileName(v); });
  p.Object("LastURLEntry", LastURLEntry);
  p.String("Password", Password);
  p.Integer("Port", Port, 21);
  p.Object("PostUpdateInfo", PostUpdateInfo);
  p.String("Proxy", Proxy);
  p.String("ProxyUserID", ProxyUserID);
  p.String("ProxyPassword", ProxyPassword);
  p.String("PublicKey", PublicKey);
  p.Bool("ShowDownloadProgress", ShowDownloadProgress, false);
  p.String("Signature", Signature);
  p.Bool("SignatureCheck", SignatureCheck, false);
  p.String("TempDirectory", TempDirectory);
  p.String("TimeFormat", TimeFormat);
  p.Integer("TimeOut", TimeOut, 0);
  p.Integer("ReceiveTimeOut", ReceiveTimeOut, 0);
  p.Char("TimeSeparator", TimeSeparator);
  p.Enum("UpdateType", UpdateType, {"ftpUpdate", "httpUpdate", "fileUpdate"}, httpUpdate);
  p.Enum("UpdateConnect", UpdateConnect,
         {"wucNoConnect", "wucConnectPrompt", "wucConnectSilent", "wucConnectPromptHangup",
          "wucConnectSilentHangup", "wucNone"},
         wucNoConnect);
  p.Enum("UpdateUpdate", UpdateUpdate, {"wuuPromptOnce", "wuuPromptAll", "wuuSilent"},
         wuuPromptOnce);
  p.String("URL", URL);
  p.String("UserID", UserID);
  p.Bool("UseCRC32", UseCRC32, false);
  p.Bool("UseWinTempDir", UseWinTempDir, true);
  // A reference to another component of the same owner, stored by name.
  p.Custom(
      "Utility",
      [this](const StoredValue& v) {
        if (v.kind != StoredValue::Kind::Identifier)
          throw EReadError("property Utility expects a component name");
        auto* found =
            Owner() ? dynamic_cast<TUpdaterUtility*>(Owner()->FindComponent(v.text)) : nullptr;
        if (!found) throw EReadError("no TUpdaterUtility named " + v.text);
        SetUtility(found);
      },
      [this]() -> std::optional<StoredValue> {
        if (!utility_) return std::nullopt;
        return StoredValue{StoredValue::Kind::Identifier, utility_->Name, 0, {}};
      });
  p.Enum("VersionCheck", VersionCheck, {"vcUpdateOnly", "vcAlways"}, vcUpdateOnly);
  for (const char* event :
       {"OnFileProgress",     "OnFileDownloaded",     "OnFileVersionCheck", "OnProcessPostResult",
        "OnBeforePost",       "OnProgress",           "OnProgressCancel",   "OnStatus",
        "OnThreadUpdateDone", "OnAppRestart",         "OnAppDoClose",       "OnBeforeFileDownload",
        "OnCustomValidate",   "OnCustomProcess",      "OnGetFileList",      "OnConvertPrefix",
        "OnSetAppParams",     "OnDownloadedWhatsNew", "OnDownloadedEULA",   "OnFileNameFromURL",
        "OnSuccess"})
    p.Event(event);
  p.StringAccessor(
      "Version", [this] { return Version(); }, [](const std::string&) {});
}

void TUpdater::SetLogFileName(const std::string& name) {
  logFileName_ = name;
  ::SetLogFileName(name);
}

void TUpdater::SetUtility(TUpdaterUtility* utility) {
  if (utility_ == utility) return;
  if (utility_) RemoveFreeNotification(utility_);
  utility_ = utility;
  if (utility_) FreeNotification(utility_);
}

void TUpdater::Notification(TComponent* component, Operation operation) {
  if (operation == Operation::opRemove && component == utility_) utility_ = nullptr;
}

std::string TUpdater::Version() const {
  return VersionToString({(2 << 16) | 1, (3 << 16) | 0});
}

// ---- Runs ------------------------------------------------------------------------------

void TUpdater::RunUpdate() {
  ExecuteUpdate(true);
}

void TUpdater::RunUpdateInThread() {
  threaded_ = true;
  // The worker only hands the run, then its end handler, to the
  // user-interface thread and ends; it never touches the component itself.
  // An error of either is raised on that thread again, from its message
  // loop, which is where the same error of an unthreaded run surfaces; the
  // run's end handler does not follow it.
  std::shared_ptr<bool> alive = alive_;
  std::thread([this, alive] {
    auto onInterfaceThread = [this, &alive](const std::function<void()>& step) {
      std::exception_ptr error;
      ui::Synchronize([&] {
        if (!*alive) return;
        try {
          step();
        } catch (...) {
          threaded_ = false;
          error = std::current_exception();
        }
      });
      if (error) ui::PostCall([error] { std::rethrow_exception(error); });
      return !error;
    };
    if (onInterfaceThread([this] { RunUpdate(); })) onInterfaceThread([this] { ThreadDone(); });
  }).detach();
}

void TUpdater::ThreadDone() {
  if (OnThreadUpdateDone) OnThreadUpdateDone(this);
  threaded_ = false;
  ReportStatus(msg::kThreadedUpdateDone, "", 0, 0);
  if (RestartPending()) {
    ReportStatus(msg::kRestartAfterThreadedUpdate, "", 0, 0);
    RestartApplication();
  }
}

bool TUpdater::RestartPending() const {
  return restartWanted_ && appComponentInstalled_ && !cancelled_;
}

void TUpdater::RestartApplication() {
  ReportStatus(msg::kRestartInDirectory, kernel::GetCurrentDirectory(), 0, 0);
  bool Cancel = false;
  QueryCancel(Cancel);
  if (Cancel) return;
  bool Allow = true;
  if (OnAppRestart)
    OnAppRestart(this, Allow);
  else if (!header_.SilentRestart)
    Allow = ui::MessageBox(nullptr, "Shutdown application to update executable files ?", "Confirm",
                           ui::MB_YESNO | ui::MB_ICONQUESTION) == ui::IDYES;
  if (!Allow) return;

  WriteRestarter();
  profile::WritePrivateProfileString("CONFIG", std::string("LOGFILENAME"), GetLogFileName(),
                                     AddBackslash(GetPersonalFolder()) + "UPDATER.INI");
  const std::string commandLine = RestarterCommandLine();
  ReportStatus(msg::kSpawn, commandLine, 0, 0);
  // Whether the restarter started is not known here: the components stay
  // where the run left them until a later run fetches them again.
  shell::ShellExecuteOpen(GetTempDir() + "upsetup.exe", commandLine);
  if (OnAppDoClose)
    OnAppDoClose(this);
  else
    ui::PostQuitMessage(0);
}

std::string TUpdater::RestarterCommandLine() const {
  auto quoted = [](const std::string& text) {
    return text.find(' ') == std::string::npos ? text : "\"" + text + "\"";
  };
  return std::to_string(kernel::GetCurrentProcessId()) + (Logging ? " L " : " X ") +
         quoted(AddBackslash(kernel::GetCurrentDirectory()) + header_.AppName) + " " +
         quoted(header_.AppParams) + " \"" + (UseWinTempDir ? GetTempDir() : TempDirectory) +
         "\" " + header_.AppComps;
}

void TUpdater::WriteRestarter() {
  auto restarter = kernel::FindResource("RCDATA", "UPD");
  if (!restarter) throw std::runtime_error("Resource UPD not found");
  const std::string compressed = GetTempDir() + "upsetup.ex_";
  const std::string program = GetTempDir() + "upsetup.exe";
  // An older restarter must not pass for this one when the expansion fails.
  kernel::DeleteFile(program);
  WriteNewFile(compressed, *restarter);
  if (!ExpandLZFile(compressed) || !kernel::FileExists(program))
    throw std::runtime_error("Cannot expand " + compressed);
  // The expansion writes a plain file; the restarter is a program.
  std::error_code ec;
  std::filesystem::permissions(kernel::ResolveLetterCase(program),
                               std::filesystem::perms::owner_exec |
                                   std::filesystem::perms::group_exec |
                                   std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add, ec);
}

// ExecuteUpdate, the run itself, is in execute.cpp.

void TUpdater::ReportRunHeader() {
  ReportStatus(msg::kStartUpdate, threaded_ ? "Threaded update" : "Non threaded update", 0, 0);
  ReportStatus(msg::kOSVersion, GetOSVersion(), 0, 0);
  ReportStatus(msg::kIEVersion, GetIEVersion(), 0, 0);
  ReportStatus(msg::kCompiler, GetCompilerToken(), 0, 0);
  ReportStatus(msg::kInstalledIDEs, GetInstalledIDEs(), 0, 0);
  ReportStatus(msg::kStartUpdater, Version(), 0, 0);
}

// ---- Status reports ------------------------------------------------------------------------

void TUpdater::ReportStatus(int ID, const std::string& Arg, int StatusCode, int ErrCode) {
  std::string message = kernel::LoadString(ID);
  if (auto at = message.find("%s"); at != std::string::npos) message.replace(at, 2, Arg);
  if (Logging)
    WriteLogLine(LogTimeStamp() + " : [" + std::to_string(ID) + "] " + message + " (Status:" +
                 std::to_string(StatusCode) + ") (Error:" + std::to_string(ErrCode) + ")");
  if (OnStatus) OnStatus(this, message, StatusCode, ErrCode);
}
