// TUpdater: the update component. It holds every setting of an update run,
// owns the objects that describe the file entries of an update, and raises
// the events through which its owner follows and steers the run.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/component.h"
#include "platform/inet.h"
#include "platform/kernel.h"
#include "update/paths.h"

namespace ui {
class Form;
}

using TStrings = std::vector<std::string>;
// What FetchStreamFile returns: the fetched file's bytes, read from the start.
using TMemoryStream = std::stringstream;

// A date and time as days since 30 December 1899, the time of day as the
// fraction: the form the last-update records and the date test share.
using TDateTime = double;
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0,
                         int second = 0);
// Local date and time of a file time.
TDateTime FileTimeToDateTime(kernel::FileTime time);
// The file time of a local date and time; nothing when no file time is.
std::optional<kernel::FileTime> DateTimeToFileTime(TDateTime value);

// A registry key of the last-update records that cannot be opened or
// created; it ends the run.
class ERegistryException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

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
// How the last run ended: nothing new (or nothing selected), every selected
// file installed, declined by the user (a question, a text, a download
// prompt or a cancel), or failed (the control file, a file, an error).
enum TUpdateResult { urNone, urNothingNew, urInstalled, urDeclined, urFailed };

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
  // The file's SHA-256 as 64 hexadecimal digits ("sha256="); a signed
  // update installs no file without it.
  std::string Sha256;
  // The patch that turns the previous release of the file into this one
  // ([patchN]); its URL is empty when the control file gives none. A run
  // fetches it instead of the whole file only when the local file hashes
  // to PatchBase.
  std::string PatchURL;
  std::string PatchLocalVersion;
  int PatchSize = 0;
  std::string PatchSha256;
  std::string PatchBase;
  std::string Description;
  std::string TargetDir;
  bool Compressed = false;
  int FileSize = 0;
  bool Mandatory = false;
  bool Preselect = true;
  bool Hidden = false;
  bool Selected = false;
  // Why the last run did not install the entry, in plain words; empty once
  // it was installed. Not stored: owners read it after the run, because the
  // reports cannot tell (a failed download reports error code 0).
  std::string Failure;
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
  // True when an entry offers a patch ([patchN]).
  bool HasPatches() const;
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
  // A signing key (the Base64 line of its public key file): when set, the
  // control file counts only with a valid signature by it, fetched from the
  // control file's location with ".minisig" added.
  std::string PublicKey;
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
  // Where WritePatcher puts the patcher, and where a run starts it from.
  std::string PatcherPath() const;

  // True when the run replaced application components that only a restart
  // can put in place.
  bool RestartPending() const;

  // ---- Transfer (transfer.cpp) ----
  // Opens the Internet library for a run: 0, or 2 when it cannot be opened.
  virtual int OpenConnection();
  // Connects the FTP host of an ftpUpdate run: 0, or -1.
  virtual int ConnectHost();
  // Closes what the run opened and deletes the local control file; 0.
  virtual int CloseConnection();
  // Fetches one file into TargetFolder (which ends with a separator, or for
  // fileUpdate may name the target file): into a temporary file first, then
  // moved into place over any older file.
  bool FetchFile(inet::HINTERNET Connection, const std::string& URL,
                 const std::string& TargetFolder);
  // Fetch into the temporary folder, load, delete; nothing when the fetch
  // failed. The caller owns the result.
  std::unique_ptr<TStrings> FetchTextFile(const std::string& URL);
  std::unique_ptr<TMemoryStream> FetchStreamFile(const std::string& URL);
  bool CopyLocalFile(const std::string& Source, const std::string& Target);
  void ReportInternetError();
  virtual void ReportFileProgress(const std::string& FileName, int Pos, int Size);
  virtual void QueryCancel(bool& Cancel);
  virtual void ReportFileDownloaded(const std::string& FileName);
  std::string FileNameFromURL(const std::string& URL);
  static std::string HostFromURL(const std::string& URL);
  static std::string AddProxyCredentials(const std::string& URL, const std::string& User,
                                         const std::string& Password);
  // The connection handle every FetchFile of a run uses (for http the root
  // handle itself).
  inet::HINTERNET ConnectionHandle() const { return connectionHandle_; }
  bool ConnectionOpen() const { return connectionOpen_; }
  bool Cancelled() const { return cancelled_; }
  // Why the last FetchFile failed, in plain words; empty when it succeeded.
  const std::string& FetchError() const { return fetchError_; }

  // ---- Posting update information (post.cpp) ----
  // One form-encoded POST of PostUpdateInfo.Data to PostUpdateInfo.Server on
  // port 80; the answer lands in PostUpdateInfo.PostResult.
  void PostUpdateData();
  // The post of the finishing step: when PostUpdateInfo.Enabled, asks
  // OnBeforePost, posts, and lets OnProcessPostResult judge the answer.
  // False when that handler refused it: the finishing step then ends.
  bool RunPostUpdate();

  // ---- Last-update records (records.cpp) ----
  std::string ReadLastURL();
  void WriteLastURL(const std::string& Location);
  TDateTime ReadLastUpdate();
  void WriteLastUpdate(TDateTime Date);
  // The signing time ("timestamp:" of the trusted comment) of the control
  // file last accepted from that location, kept with the last-update
  // records; nothing without records or before the first.
  std::optional<std::uint64_t> ReadLastSigning(const std::string& Location);
  void WriteLastSigning(const std::string& Location, std::uint64_t Timestamp);
  // Set once ReadLastUpdate has taken its answer from the registry.
  bool RecordsUsed() const { return recordsUsed_; }

  // ---- What's-new and licence texts (texts.cpp) ----
  // The texts the control file points to (section "whatsnew"/"eula" +
  // LanguageID); nothing when it names none or the fetch failed. The caller
  // owns the result.
  virtual std::unique_ptr<TStrings> FetchWhatsNewText();
  virtual std::unique_ptr<TMemoryStream> FetchWhatsNewStream();
  virtual std::unique_ptr<TStrings> FetchEULAText();
  virtual std::unique_ptr<TMemoryStream> FetchEULAStream();
  // 0 when the text was accepted, -1 when it was refused. A plain what's-new
  // text goes to OnDownloadedWhatsNew when assigned, an RTF licence to
  // OnDownloadedEULA; everything else is shown in the component's window.
  virtual int ShowWhatsNew(TMemoryStream& Stream);
  virtual int ShowEULA(TMemoryStream& Stream);
  // True when the stream starts with "{\rtf" in any letter case; the stream
  // is left at its start.
  static bool IsRTFStream(TMemoryStream& Stream);

  // ---- Control file, new-version test and file selection (control.cpp) ----
  // The location of the control file: the recorded last location when there
  // is one, else URL; prefixes expanded.
  virtual std::string GetControlFileURL();
  // 0 when the control file was fetched and accepted, 4 when it was not
  // fetched, 5 when its signature was rejected.
  virtual int FetchControlFile();
  // Why the fetched control file's signature is refused, or empty.
  std::string ControlSignatureProblem(const std::string& location);
  // 6 to 12; only 7 means that nothing is new.
  virtual int CheckNewVersion();
  // True when a new version is available; a version comparison rewrites
  // both texts into their VersionToString forms.
  virtual bool CompareFile(std::string& NewVersion, std::string& LocalVersion, int NewSize,
                           int NewCheckSum);
  // Reads the [files] entries into FileList; returns "count".
  virtual int ReadFileList();
  // Drops the entries that are not newer than their local files: 0 when
  // some remain, -1 when none does.
  virtual int SelectFiles();
  // A control-file date and time read with DateFormat, DateSeparator,
  // TimeFormat and TimeSeparator; 1 January 1980 when the date does not
  // convert, no time added when the time does not.
  TDateTime ParseControlDate(const std::string& Date, const std::string& Time) const;
  // The same reading without a fallback: nothing when the date, or a time
  // that is given, does not convert.
  std::optional<TDateTime> ControlDateTime(const std::string& Date, const std::string& Time) const;
  // Single keys of the fetched control file, read anew each time, by value
  // kind: text, integer, flag (set only when exactly 1), present (not empty),
  // path (prefixes expanded) and message ("\n" becomes a line break).
  std::string ReadControlText(const std::string& Section, const std::string& Key,
                              const std::string& Default = {}) const;
  int ReadControlInteger(const std::string& Section, const std::string& Key, int Default) const;
  bool ReadControlFlag(const std::string& Section, const std::string& Key, int Default = 0) const;
  bool ReadControlPresent(const std::string& Section, const std::string& Key) const;
  std::string ReadControlPath(const std::string& Section, const std::string& Key);
  std::string ReadControlMessage(const std::string& Section, const std::string& Key) const;
  const std::string& LocalControlFile() const { return localControlFile_; }

  // What reading the control file told the run: its [application] section
  // and the results of the new-version test.
  struct TUpdateHeader {
    std::string AppName;
    std::string AppParams;
    std::string AppComps;
    bool SilentRestart = false;
    std::string Description;
    TDateTime UpdateDate = 0;
    TDateTime LastUpdateDate = 0;
    std::string NewVersion;
    std::string LocalVersion;
  };
  const TUpdateHeader& UpdateHeader() const { return header_; }
  bool RestartWanted() const { return restartWanted_; }
  // The end of the last run; the entries of FileList say which files failed.
  TUpdateResult UpdateResult() const { return updateResult_; }
  bool AppComponentInstalled() const { return appComponentInstalled_; }

  // ---- The run (execute.cpp) ----
  // The instructions before an update: 0, or -1 when the run must stop.
  virtual int ProcessActions();
  // Downloads and installs the selected entries: 0, or -1 when a download
  // failed.
  virtual int InstallFiles();
  // The closing steps: 0, or -1 when they stopped early.
  int FinishUpdate();
  // Starts a program without waiting for it.
  void StartCommand(const std::string& CommandLine);
  // True when the folder exists or was made, with its missing parents.
  static bool ForceDirectory(const std::string& Folder);
  // Writes the patcher of the program's resource "UTIL" where the install
  // steps start it; nothing when the program carries none.
  virtual void WritePatcher();
  // Writes the restarter of the program's resource "UPD" to the temporary
  // folder as upsetup.exe; throws when the program carries none or it
  // cannot be written and expanded whole.
  virtual void WriteRestarter();
  // The restarter's command line for the current state of the run.
  std::string RestarterCommandLine() const;

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
  TUpdateResult updateResult_ = urNone;

  // ---- Working state of the transfer ----
  inet::HINTERNET rootHandle_ = nullptr;
  inet::HINTERNET connectionHandle_ = nullptr;  // the FTP connection, or the root
  bool connectionOpen_ = false;
  bool ftpDirectorySet_ = false;
  // The downloaded control file, deleted by CloseConnection.
  std::string localControlFile_;
  // The progress window (a label and a progress bar) while one is shown.
  ui::Form* progressWindow_ = nullptr;
  // Local path of the file the last FetchFile put in place (empty when none).
  std::string lastLocalFile_;
  std::string fetchError_;
  // What the file being fetched must hash to (lower-case hexadecimal), or
  // empty; a file that does not is never put in place.
  std::string expectedSha256_;
  // Why the fetched file does not hash to expectedSha256_, or empty.
  std::string HashProblem(const std::string& path) const;
  // Set while a signed run fetches its files ahead of installing them: the
  // owner hears of each once it is in its place.
  bool holdDownloaded_ = false;
  // The control file whose files a run fetches (empty outside a run): the
  // partial downloads it left are forgotten once it no longer lists them.
  std::string partialOwner_;
  // Forgets the partial downloads of this run's control file that are of
  // no file in FileList (of none when listed is false).
  void SweepPartials(bool listed);

  // ---- Working state of the last-update records ----
  bool recordsUsed_ = false;
  // The [update] "localversion" file of the control file, whose time stands
  // for the last update when the records hold none.
  std::string updateLocalFile_;

  // ---- Working state of the control file and the run ----
  TUpdateHeader header_;

 private:
  void ThreadDone();

  std::string logFileName_;
  TUpdaterUtility* utility_ = nullptr;
  bool threaded_ = false;
  // Cleared on destruction; work handed over by the worker checks it on the
  // user-interface thread before touching the component.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  // Closes the Internet handles a component still holds when it is
  // destroyed in the middle of a run (declared after them, so it goes first).
  struct HandleCloser {
    TUpdater* self;
    ~HandleCloser();
  };
  HandleCloser handleCloser_{this};
};
