// TUpdater: the update component. It holds every setting of an update run,
// owns the objects that describe the file entries of an update, and raises
// the events through which its owner follows and steers the run.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/component.h"
#include "update/paths.h"

using TStrings = std::vector<std::string>;

enum TUpdaterAuthentication { waAlways, waAuto, waNever };
enum TUpdaterConnect {
  wucNoConnect,
  wucConnectPrompt,
  wucConnectSilent,
  wucConnectPromptHangup,
  wucConnectSilentHangup,
  wucNone
};
enum TUpdaterUpdate { wuuPromptOnce, wuuPromptAll, wuuSilent };
enum TUpdaterType { ftpUpdate, httpUpdate, fileUpdate };
enum TUpdaterVersionCheck { vcUpdateOnly, vcAlways };
enum TLastURLReg { lurLOCALUSER, lurLOCALMACHINE };

// Where the last used control-file URL is recorded.
class TLastURLEntry : public TPersistent {
 public:
  bool Save = false;
  std::string Key;
  std::string Section;
  TLastURLReg RegRoot = lurLOCALUSER;
  void DefineProperties(PropertyList& p) override;
};

// What to post to a web server after an update.
class TPostUpdateInfo : public TPersistent {
 public:
  std::string Server;
  std::string Action;
  std::string Data;
  bool Enabled = false;
  std::string PostResult;  // not stored
  void DefineProperties(PropertyList& p) override;
};

// Companion component with the window settings of the patcher run.
class TUpdaterUtility : public TComponent {
 public:
  using TComponent::TComponent;
  std::string ClassName() const override { return "TUpdaterUtility"; }
  bool ShowWindow = false;
  bool ShowAnimation = false;
  std::string StatusMessage;
  std::string StatusCaption;
  void DefineProperties(PropertyList& p) override;
};

// One file entry of an update control file.
class TFileDescription : public TPersistent {
 public:
  std::string URL;
  std::string NewVersion;
  int NewSize = 0;
  int NewCheckSum = -1;
  std::string NewCustomVer;
  std::string NewDate;
  std::string NewTime;
  std::string LocalVersion;
  std::string Description;
  std::string TargetDir;
  bool Compressed = false;
  int FileSize = 0;
  bool Mandatory = false;
  bool Preselect = true;
  bool Hidden = false;
  bool Selected = false;
  void DefineProperties(PropertyList& p) override;
};

// The file entries of an update; freeing an entry closes the gap.
class TFileList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TFileDescription& Items(int index) { return *items_.at(index); }
  TFileDescription& Add();
  void Delete(int index);
  void Clear();
  // The entry being installed, -1 when none.
  int CurrentIndex = -1;

 private:
  std::vector<std::unique_ptr<TFileDescription>> items_;
};

class TUpdater : public TComponent {
 public:
  explicit TUpdater(TComponent* owner);
  ~TUpdater() override;
  std::string ClassName() const override { return "TUpdater"; }
  void DefineProperties(PropertyList& p) override;

  // ---- Published properties, in declaration order ----
  std::string Agent = "TUpdater";
  bool ApplyPatch = false;
  TUpdaterAuthentication Authenticate = waNever;
  std::string DateFormat = "dd/mm/yyyy";
  char DateSeparator = '/';
  bool ExtractCAB = false;
  bool ExistingConnection = false;
  bool ForceUpdate = false;
  std::string FTPDirectory;
  bool FTPPassive = false;
  std::string Host;
  bool HTTPKeepAliveAuthentication = false;
  bool KeepIntermediateFiles = false;
  std::string LanguageID;
  bool Logging = false;
  const std::string& LogFileName() const { return logFileName_; }
  void SetLogFileName(const std::string& name);
  TLastURLEntry LastURLEntry;
  std::string Password;
  int Port = 21;
  TPostUpdateInfo PostUpdateInfo;
  std::string Proxy;
  std::string ProxyUserID;
  std::string ProxyPassword;
  bool ShowDownloadProgress = false;
  std::string Signature = "Updater";
  bool SignatureCheck = false;
  std::string TempDirectory = ".";
  std::string TimeFormat = "hh:nn";
  int TimeOut = 0;
  int ReceiveTimeOut = 0;
  char TimeSeparator = ':';
  TUpdaterType UpdateType = httpUpdate;
  TUpdaterConnect UpdateConnect = wucNoConnect;
  TUpdaterUpdate UpdateUpdate = wuuPromptOnce;
  std::string URL;
  std::string UserID;
  bool UseCRC32 = false;
  bool UseWinTempDir = true;
  TUpdaterUtility* Utility() const { return utility_; }
  void SetUtility(TUpdaterUtility* utility);
  TUpdaterVersionCheck VersionCheck = vcUpdateOnly;

  // ---- Events ----
  std::function<void(TUpdater* Sender, const std::string& FileName, int Pos, int Size)>
      OnFileProgress;
  std::function<void(TUpdater* Sender, const std::string& FileName)> OnFileDownloaded;
  std::function<void(TUpdater* Sender, const std::string& NewVersion,
                     const std::string& LocalVersion, bool& IsNew)>
      OnFileVersionCheck;
  std::function<void(TUpdater* Sender, bool& AllowPostResult)> OnProcessPostResult;
  std::function<void(TUpdater* Sender, bool& AllowPost)> OnBeforePost;
  std::function<void(TUpdater* Sender, const std::string& Action)> OnProgress;
  std::function<void(TUpdater* Sender, bool& Cancel)> OnProgressCancel;
  std::function<void(TUpdater* Sender, const std::string& StatusStr, int StatusCode, int ErrCode)>
      OnStatus;
  std::function<void(TUpdater* Sender)> OnThreadUpdateDone;
  std::function<void(TUpdater* Sender, bool& Allow)> OnAppRestart;
  std::function<void(TUpdater* Sender)> OnAppDoClose;
  std::function<void(TUpdater* Sender, int FileIdx, const std::string& FileDescription,
                     std::string& URL)>
      OnBeforeFileDownload;
  std::function<void(TUpdater* Sender, const std::string& Msg, const std::string& Param,
                     bool& Allow)>
      OnCustomValidate;
  std::function<void(TUpdater* Sender, const std::string& Msg, const std::string& Param)>
      OnCustomProcess;
  std::function<void(TUpdater* Sender, TStrings& List)> OnGetFileList;
  std::function<void(TUpdater* Sender, std::string& Path)> OnConvertPrefix;
  std::function<void(TUpdater* Sender, std::string& AppParams)> OnSetAppParams;
  std::function<void(TUpdater* Sender, const TStrings& Text, int& Res)> OnDownloadedWhatsNew;
  std::function<void(TUpdater* Sender, const TStrings& Text, int& Res)> OnDownloadedEULA;
  std::function<void(TUpdater* Sender, const std::string& URL, std::string& FName)>
      OnFileNameFromURL;
  std::function<void(TUpdater* Sender)> OnSuccess;

  // Read-only; a stored value is ignored.
  std::string Version() const;

  TFileList FileList;

  // ---- Operations ----
  // Runs the whole update on the calling thread.
  void RunUpdate();
  // Starts a worker that hands RunUpdate to the user-interface thread; the
  // caller must go on processing messages. Returns at once.
  void RunUpdateInThread();
  bool Threaded() const { return threaded_; }

  virtual void ReportStatus(int ID, const std::string& Arg, int StatusCode, int ErrCode);

  std::string ConvertPrefix(std::string Path);
  virtual std::string ExpandPrefixToken(const std::string& Token);

  virtual std::string GetOSVersion();
  virtual std::string GetCompilerToken();
  virtual std::string GetIEVersion();
  virtual std::string GetInstalledIDEs();

  bool RunProgram(const std::string& CommandLine, bool ShowProgram, bool ShowWaitWindow,
                  const std::string& Caption, const std::string& Text);

  // True when the run replaced application components that only a restart
  // can put in place.
  bool RestartPending() const;

 protected:
  // The whole run; SetCurrentDir makes the running program's folder the
  // current folder first.
  virtual void ExecuteUpdate(bool SetCurrentDir);
  // Reports the header block that opens every run in the log.
  void ReportRunHeader();
  virtual void RestartApplication();
  void Notification(TComponent* component, Operation operation) override;

  // Working state of a run.
  bool cancelled_ = false;
  bool restartWanted_ = false;
  bool appComponentInstalled_ = false;

 private:
  void ThreadDone();

  std::string logFileName_;
  TUpdaterUtility* utility_ = nullptr;
  bool threaded_ = false;
  // Cleared on destruction; work handed over by the worker checks it on the
  // user-interface thread before touching the component.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
