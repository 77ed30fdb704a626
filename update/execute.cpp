// The update run: from its header block to its last event. It opens the
// connection, fetches and tests the control file, carries out the
// instructions before the update, lets the user accept the texts, selects
// the file entries, downloads and installs each one, runs the closing steps,
// closes the connection, raises OnSuccess and hands over to the restart.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "archive/cabinet.h"
#include "platform/kernel.h"
#include "platform/lfile.h"
#include "platform/shell.h"
#include "platform/signature.h"
#include "platform/ui.h"
#include "resources/messages.h"
#include "update/progressform.h"
#include "update/updater.h"
#include "update/updlog.h"

namespace {

// Captions of the standard information and confirmation boxes.
constexpr const char* kInformation = "Information";
constexpr const char* kConfirm = "Confirm";

std::string UpperExtension(const std::string& name) {
  const std::string file = ExtractFileName(name);
  const auto dot = file.rfind('.');
  std::string extension = dot == std::string::npos ? std::string() : file.substr(dot);
  for (char& c : extension) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return extension;
}

// True when the file starts with the signature of the system's LZ
// compression ("SZDD" and its four magic bytes).
bool IsLZFile(const std::string& path) {
  std::ifstream in(kernel::ResolveLetterCase(path), std::ios::binary);
  char head[8] = {};
  if (!in.read(head, sizeof head)) return false;
  static const char kSignature[8] = {'S', 'Z', 'D', 'D', '\x88', '\xF0', '\x27', '\x33'};
  return std::equal(head, head + 8, kSignature);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The local file's SHA-256, empty when it cannot be read.
std::string LocalSha256(const std::string& path) {
  return signature::Sha256HexOfFile(kernel::ResolveLetterCase(path));
}

// Where a signed run fetches the file of the entry at a position (from 1).
std::string StagingFolder(int position) {
  return AddBackslash(GetTempDir() + "Signed" + std::to_string(position));
}

}  // namespace

// ---- The run ----------------------------------------------------------------------------------

void TUpdater::ExecuteUpdate(bool SetCurrentDir) {
  cancelled_ = false;
  if (SetCurrentDir) kernel::SetCurrentDirectory(ExtractFilePath(kernel::GetModuleFileName()));
  appComponentInstalled_ = false;
  ftpDirectorySet_ = false;
  localControlFile_.clear();
  partialOwner_.clear();
  // Every way out that does not say otherwise is a failure.
  updateResult_ = urFailed;
  ReportRunHeader();
  // What a killed run left in the temporary folders goes before this run
  // adds its own.
  kernel::DeleteStaleTemporaryFiles(GetTempDir(), "UPDT");
  if (!UseWinTempDir) kernel::DeleteStaleTemporaryFiles(TempDirectory, "UPDT");

  if (OpenConnection() != 0) return;
  // An error that escapes the run (a local file that cannot be written, the
  // registry, an unknown local application data folder) still closes what
  // the run opened and deletes the fetched control file.
  bool closed = false;
  auto close = [this, &closed] {
    if (closed) return;
    closed = true;
    CloseConnection();
  };
  try {
    if (UpdateType == ftpUpdate && ConnectHost() == -1) ReportInternetError();
    if (!connectionHandle_ && UpdateType != fileUpdate) return close();
    if (FetchControlFile() != 0) return close();
    if (!ForceUpdate && CheckNewVersion() == 7) {
      SweepPartials(false);
      restartWanted_ = false;
      updateResult_ = urNothingNew;
      return close();
    }
    if (ProcessActions() != 0) {
      updateResult_ = urDeclined;
      return close();
    }

    int accepted = 0;
    if (auto stream = FetchWhatsNewStream()) accepted = ShowWhatsNew(*stream);
    // The licence text is fetched even after a refused what's-new text.
    if (auto stream = FetchEULAStream())
      if (accepted == 0) accepted = ShowEULA(*stream);
    if (accepted != 0) {
      restartWanted_ = false;
      updateResult_ = urDeclined;
      return close();
    }

    updateResult_ = urNothingNew;
    if (ReadFileList() <= 0) {
      SweepPartials(false);
      restartWanted_ = false;
      return close();
    }
    const int selected = SelectFiles();
    SweepPartials(true);
    if (selected == 0) {
      auto progress = ShowDownloadProgress ? std::make_unique<TProgressForm>() : nullptr;
      progressWindow_ = progress.get();
      struct Release {
        TUpdater* self;
        ~Release() { self->progressWindow_ = nullptr; }
      } release{this};
      InstallFiles();
      if (progress) progress->Hide();
      progressWindow_ = nullptr;
      if (FinishUpdate() != 0 && updateResult_ == urInstalled)
        updateResult_ = cancelled_ ? urDeclined : urFailed;
    }
    close();
    if (selected == 0 && !cancelled_ && OnSuccess) OnSuccess(this);
    if (RestartPending() && !threaded_) RestartApplication();
  } catch (...) {
    updateResult_ = urFailed;
    close();
    throw;
  }
}

// ---- Instructions before the update --------------------------------------------------------

int TUpdater::ProcessActions() {
  int result = 0;
  const std::string msg = ReadControlMessage("action", "msg");
  if (!msg.empty()) {
    ReportStatus(msg::kFoundMessage, "", 3, 0);
    ui::MessageBox(nullptr, msg, kInformation, ui::MB_OK | ui::MB_ICONINFORMATION);
  }
  const std::string page = ReadControlPath("action", "htmldlg");
  if (!page.empty()) {
    ReportStatus(msg::kFoundHtmlDialog, "", 7, 0);
    ShowHTMLPage(page);
  }
  const std::string before = ReadControlPath("action", "runbefore");
  if (!before.empty()) StartCommand(before);
  if (OnCustomProcess)
    OnCustomProcess(this, ReadControlText("custom", "processmsg"),
                    ReadControlText("custom", "processparam"));
  const std::string show = ReadControlPath("action", "showURL");
  if (!show.empty()) {
    ReportStatus(msg::kFoundShowURL, "", 3, 0);
    // A command line is readable by every local user, so the proxy
    // credentials are never put into the URL handed to the browser.
    if (!shell::ShellExecuteOpen("iexplore.exe", "-new " + show)) shell::ShellExecuteOpen(show);
  }
  const std::string query = ReadControlMessage("action", "query");
  if (!query.empty()) {
    ReportStatus(msg::kFoundQuery, "", 3, 0);
    if (ui::MessageBox(nullptr, query, kInformation, ui::MB_YESNO | ui::MB_ICONINFORMATION) !=
        ui::IDYES) {
      restartWanted_ = false;
      result = -1;
    }
  }
  if (cancelled_) result = -1;
  return result;
}

void TUpdater::StartCommand(const std::string& CommandLine) {
  // The desktop's opener takes the whole text as one name; without it the
  // text is a command line with its arguments.
  if (HasNewShell())
    shell::ShellExecuteOpen(CommandLine);
  else
    kernel::CreateProcess(CommandLine, kernel::ShowWindow::Normal);
}

bool TUpdater::ForceDirectory(const std::string& Folder) {
  return archive::ForceDirectories(Folder);
}

// ---- Installation ------------------------------------------------------------------------------

int TUpdater::InstallFiles() {
  int result = 0;
  TUpdaterUpdate mode = UpdateUpdate;
  const int count = FileList.Count();
  for (int i = 0; i < count; ++i) FileList.Items(i).Failure = "the update ended before it";
  updateResult_ = urInstalled;
  // By index: an event handler may free entries at any report. A refusal
  // counts unless something has failed outright.
  auto note = [this](int index, const std::string& why) {
    if (index < FileList.Count()) FileList.Items(index).Failure = why;
  };
  auto decline = [&](int index) {
    note(index, "declined");
    if (updateResult_ == urInstalled) updateResult_ = urDeclined;
  };
  auto fail = [&](int index, const std::string& why) {
    note(index, why);
    updateResult_ = urFailed;
  };
  const bool signedRun = !PublicKey.empty();
  bool patcherDone = false;  // the last patcher run ended with success
  // Steps after the download: an application component stays where it was
  // downloaded; any other file is moved, expanded, unpacked or patched.
  auto install = [&](int index, const TFileDescription& entry, const std::string& name,
                     const std::string& folder) {
    // An entry without a file name is no application component, whatever
    // the components text holds.
    if (!name.empty() && PosNoCase(name, header_.AppComps) > 0) {
      appComponentInstalled_ = true;
      ReportStatus(msg::kFoundAppComponent, name, 0, 0);
    } else {
      const std::string extension = UpperExtension(name);
      const std::string downloaded = AddBackslash(folder) + name;
      std::string where = downloaded;  // where the file is now

      auto notMoved = [&](const std::string& to) {
        fail(index, "downloaded to " + where + ", but not moved to " + to + ": " +
                        kernel::FormatMessage(kernel::GetLastError()));
      };
      const bool unpacked = extension == ".CAB" && ExtractCAB && entry.Compressed;
      if (extension != ".CAB" && extension != ".PAT" && UseWinTempDir && !entry.TargetDir.empty()) {
        // One rename over the older file: it is replaced, never deleted
        // first, so a failed move leaves it whole.
        if (kernel::MoveFile(downloaded, entry.TargetDir + name))
          where = entry.TargetDir + name;
        else
          notMoved(entry.TargetDir + name);
      } else if (extension == ".CAB" && !unpacked && UseWinTempDir && !entry.TargetDir.empty()) {
        fail(index, "downloaded to " + where + ", but a cabinet is only put into " +
                        entry.TargetDir + " by unpacking it (compressed=1)");
      }

      if (extension != ".CAB" && ExtractCAB && entry.Compressed) {
        // Only a file in the LZ format is expanded; any other file marked
        // compressed stays where it was installed.
        if (!IsLZFile(where))
          fail(index, "marked compressed, but not in the compressed format: left as " + where);
        else if (!kernel::MoveFile(where, name))
          notMoved(name);
        else if (!ExpandLZFile(name))
          fail(index, "its compressed data did not expand whole");
      }

      if (unpacked) {
        if (ExtractCabinet(downloaded, entry.TargetDir) == -1) {
          const std::uint32_t error = kernel::GetLastError();
          fail(index,
               "not unpacked: " + archive::WhyNotExtracted(downloaded, entry.TargetDir, error));
          ReportStatus(msg::kCabinetError, downloaded, 8, 0);
        } else if (!KeepIntermediateFiles) {
          kernel::DeleteFile(downloaded);
        }
      }

      if (extension == ".PAT" && ApplyPatch && !entry.LocalVersion.empty()) {
        // Started from where WritePatcher puts it, which is the temporary
        // folder unless UseWinTempDir is cleared, not the current folder.
        const std::string patcher = PatcherPath();
        if (Utility() && !kernel::FileExists(patcher)) WritePatcher();
        bool showWindow = true, showAnimation = false;
        std::string caption, message;
        if (TUpdaterUtility* utility = Utility()) {
          showWindow = utility->ShowWindow;
          showAnimation = utility->ShowAnimation;
          caption = utility->StatusCaption;
          message = utility->StatusMessage;
        }
        // The patch by its full path: it lies in the download folder, which
        // need not be the current one. No shell runs the patcher, so it
        // appends its output to the file named after ">>" itself, the one
        // this run logs to.
        std::string command = kernel::QuoteArgument(patcher) + (Logging ? " -v " : " ") +
                              kernel::QuoteArgument(downloaded) + " " +
                              kernel::QuoteArgument(kernel::NativePath(entry.LocalVersion));
        if (Logging) command += " >> " + kernel::QuoteArgument(LogFilePath());
        patcherDone = RunProgram(command, showWindow, showAnimation, caption, message);
        if (!KeepIntermediateFiles) kernel::DeleteFile(downloaded);
      }
    }
  };
  // A patch stands for the entry's file only when the local file is the
  // release it was made from; any other local file takes the whole file.
  auto patchFits = [&](const TFileDescription& entry) {
    return ApplyPatch && !entry.PatchURL.empty() && !entry.Compressed &&
           kernel::FileExists(entry.PatchLocalVersion) &&
           LocalSha256(entry.PatchLocalVersion) == Lower(entry.PatchBase);
  };
  // Applies a fetched patch; false when the local file did not become the
  // entry's file, which then is fetched whole. An application component's
  // patch is left to the restarter.
  auto installPatch = [&](int index, const TFileDescription& entry, const std::string& name,
                          const std::string& folder) {
    TFileDescription patch = entry;
    patch.LocalVersion = entry.PatchLocalVersion;
    patcherDone = false;
    install(index, patch, name, folder);
    if (PosNoCase(name, header_.AppComps) > 0) return true;
    const bool done = entry.Sha256.empty()
                          ? patcherDone
                          : LocalSha256(entry.PatchLocalVersion) == Lower(entry.Sha256);
    if (done) note(index, "");
    return done;
  };
  auto fetch = [&](const std::string& url, const std::string& into, const std::string& sha256) {
    expectedSha256_ = Lower(sha256);
    if (progressWindow_) progressWindow_->Show();
    holdDownloaded_ = signedRun;
    const bool fetched = FetchFile(
        connectionHandle_, url + "?FileTick=" + std::to_string(kernel::GetTickCount()), into);
    holdDownloaded_ = false;
    expectedSha256_.clear();
    if (progressWindow_) progressWindow_->Hide();
    return fetched;
  };
  // A signed update is fetched whole, each file into a folder of its own,
  // before any of it is installed: a file that is not the one signed then
  // changes nothing.
  struct Staged {
    int index;
    TFileDescription entry;
    std::string url, name, folder, stagedIn;
    bool patch;  // name is the entry's patch
  };
  std::vector<Staged> staged;
  for (int p = 1; p <= count; ++p) {
    // A handler may have freed entries since the count was taken.
    if (p > FileList.Count()) break;
    if (mode == wuuPromptAll) {
      const std::string question =
          kernel::LoadString(msg::kDownloadUpdateFile) + FileNameFromURL(FileList.Items(p - 1).URL);
      if (ui::MessageBox(nullptr, question, kConfirm, ui::MB_YESNO | ui::MB_ICONQUESTION) !=
          ui::IDYES) {
        decline(p - 1);
        continue;
      }
    } else if (mode == wuuPromptOnce) {
      if (ui::MessageBox(nullptr, kernel::LoadString(msg::kAskDownload), kConfirm,
                         ui::MB_YESNO | ui::MB_ICONQUESTION) != ui::IDYES) {
        for (int i = p - 1; i < FileList.Count(); ++i) decline(i);
        break;
      }
    }

    std::string url = FileList.Items(p - 1).URL;
    // The local name never carries the query of its URL.
    std::string name = FileNameFromURL(url);
    name = name.substr(0, name.find('?'));
    FileList.CurrentIndex = p - 1;
    if (OnBeforeFileDownload) {
      const std::string description = FileList.Items(p - 1).Description;
      OnBeforeFileDownload(this, p, description, url);
      if (p > FileList.Count()) break;
    }
    const TFileDescription entry = FileList.Items(p - 1);
    // A signed update names each file by its hash; an entry without one is
    // no part of what was signed.
    if (signedRun) {
      const std::string sha256 = Lower(entry.Sha256);
      if (sha256.size() != 64 ||
          sha256.find_first_not_of("0123456789abcdef") != std::string::npos) {
        result = -1;
        ReportStatus(msg::kCannotDownload, url, 2, 0);
        restartWanted_ = false;
        fail(p - 1, "not downloaded: a signed update names its files with sha256=");
        break;
      }
    }

    if (!entry.TargetDir.empty() && !IsDirectory(entry.TargetDir)) ForceDirectory(entry.TargetDir);
    const std::string folder = UseWinTempDir ? GetTempDir() : entry.TargetDir;
    const std::string fetchInto = signedRun ? StagingFolder(p) : folder;
    if (signedRun) ForceDirectory(fetchInto);

    // The patch when it fits, checked by its own hash; when it cannot be
    // fetched or applied, the whole file as if there were none.
    if (patchFits(entry)) {
      std::string patchName = FileNameFromURL(entry.PatchURL);
      patchName = patchName.substr(0, patchName.find('?'));
      if (fetch(entry.PatchURL, fetchInto, entry.PatchSha256)) {
        bool done = true;
        if (signedRun)
          staged.push_back({p - 1, entry, url, patchName, folder, fetchInto, true});
        else
          done = installPatch(p - 1, entry, patchName, folder);
        if (done) {
          if (mode == wuuPromptOnce) mode = wuuSilent;
          continue;
        }
      } else if (cancelled_) {
        kernel::RemoveDirectory(fetchInto);
        result = -1;
        ReportStatus(msg::kCannotDownload, entry.PatchURL, 2, 0);
        restartWanted_ = false;
        decline(p - 1);
        break;
      }
    }
    const bool fetched = fetch(url, fetchInto, signedRun ? entry.Sha256 : std::string());
    if (signedRun && !fetched) kernel::RemoveDirectory(fetchInto);
    if (!fetched) {
      result = -1;
      ReportStatus(msg::kCannotDownload, url, 2, 0);
      restartWanted_ = false;
      if (cancelled_)
        decline(p - 1);
      else
        fail(p - 1, "not downloaded: " + fetchError_);
      break;
    }
    note(p - 1, "");
    if (signedRun)
      staged.push_back({p - 1, entry, url, name, folder, fetchInto, false});
    else
      install(p - 1, entry, name, folder);
    if (mode == wuuPromptOnce) mode = wuuSilent;
  }
  for (const Staged& file : staged) {
    const std::string from = file.stagedIn + file.name;
    const std::string to = AddBackslash(file.folder) + file.name;
    if (result != 0) {
      note(file.index,
           "not installed: the update ended before all its files were fetched and checked");
    } else if (!kernel::MoveFile(from, to)) {
      fail(file.index, "fetched to " + from + ", but not moved to " + to + ": " +
                           kernel::FormatMessage(kernel::GetLastError()));
    } else {
      FileList.CurrentIndex = file.index;
      ReportFileDownloaded(to);
      if (!file.patch) {
        install(file.index, file.entry, file.name, file.folder);
      } else if (!installPatch(file.index, file.entry, file.name, file.folder)) {
        // The whole file after all, checked as every file of the update was.
        std::string name = FileNameFromURL(file.url);
        name = name.substr(0, name.find('?'));
        const std::string whole = AddBackslash(file.folder) + name;
        if (!fetch(file.url, file.stagedIn, file.entry.Sha256)) {
          fail(file.index, "its patch did not apply, and it was not downloaded: " + fetchError_);
        } else if (!kernel::MoveFile(file.stagedIn + name, whole)) {
          fail(file.index, "fetched to " + file.stagedIn + name + ", but not moved to " + whole +
                               ": " + kernel::FormatMessage(kernel::GetLastError()));
        } else {
          ReportFileDownloaded(whole);
          install(file.index, file.entry, name, file.folder);
        }
        kernel::DeleteFile(file.stagedIn + name);
      }
    }
    kernel::DeleteFile(from);
    kernel::RemoveDirectory(file.stagedIn);
  }
  return result;
}

std::string TUpdater::PatcherPath() const {
  return UseWinTempDir ? GetTempDir() + "patcher.exe"
                       : AddBackslash(kernel::GetCurrentDirectory()) + "patcher.exe";
}

void TUpdater::WritePatcher() {
  auto patcher = kernel::FindResource("RCDATA", "UTIL");
  if (!patcher) return;
  const std::string path = PatcherPath();
  WriteNewFile(path, *patcher);
  // The resource's bytes make a plain file; the patcher is a program.
  kernel::MakeProgramRunnable(path);
}

// ---- Closing steps
// ---------------------------------------------------------------------------------

int TUpdater::FinishUpdate() {
  if (cancelled_) return -1;
  if (!RunPostUpdate()) return -1;
  if (RecordsUsed()) WriteLastUpdate(header_.UpdateDate);
  const std::string redirect = ReadControlText("action", "updateURL");
  if (!redirect.empty()) {
    ReportStatus(msg::kFoundRedirection, "", 3, 0);
    WriteLastURL(redirect);
  }
  if (Utility() && ApplyPatch) WritePatcher();
  const std::string after = ReadControlPath("action", "runafter");
  if (!after.empty()) StartCommand(after);
  ReportStatus(msg::kFinishedControlFile, "", 3, 0);
  return 0;
}
