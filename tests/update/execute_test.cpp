// Whole update runs against loopback servers and local folders: the order of
// events and reports, every early end of a run, the prompt modes and the
// install steps.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <optional>
#include <set>
#include <thread>

#include "platform/kernel.h"
#include "platform/signature.h"
#include "resources/messages.h"
#include "support/cab_support.h"
#include "support/servers.h"
#include "update/progressform.h"
#include "update/transfer_support.h"

using testing_support::ReadFile;
using testing_support::WriteFile;

namespace {

namespace fs = std::filesystem;

// A component whose {APP} is a folder of the test, that records every
// report and event in one sequence, and whose restart only records itself.
class RunUpdater : public transfer_testing::RecordingUpdater {
 public:
  using TUpdater::ExecuteUpdate;
  std::string app;
  std::vector<std::string> events;

  void ReportStatus(int ID, const std::string& Arg, int StatusCode, int ErrCode) override {
    if (ID != msg::kDownload) events.push_back(std::to_string(ID));
    RecordingUpdater::ReportStatus(ID, Arg, StatusCode, ErrCode);
  }
  std::string ExpandPrefixToken(const std::string& Token) override {
    return Token == "APP" ? PathForPrefix(app) : TUpdater::ExpandPrefixToken(Token);
  }
  void RestartApplication() override { events.push_back("restart"); }
  void Run() { ExecuteUpdate(false); }
};

// Message boxes take their place in the sequence of events.
class RecordingBackend : public ui::ScriptedBackend {
 public:
  std::vector<std::string>* events = nullptr;
  int MessageBox(ui::Form* owner, const std::string& text, const std::string& caption,
                 unsigned type) override {
    if (events) events->push_back("box");
    return ScriptedBackend::MessageBox(owner, text, caption, type);
  }
};

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 1000 && !fs::exists(path); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return fs::exists(path);
}

class ExecuteTest : public ::testing::Test {
 protected:
  ExecuteTest() {
    transfer_testing::ClearProxyEnvironment();
    for (const std::string& dir : {app_, www_ + "files/", bin_}) fs::create_directories(dir);
    fs::current_path(app_);
    auto backend = std::make_unique<RecordingBackend>();
    backend_ = backend.get();
    backend_->events = &u_.events;
    previous_ = ui::SetBackend(std::move(backend));
    u_.app = app_;
    u_.UpdateUpdate = wuuSilent;
    // The browser the "showURL" instruction asks for, found in the current
    // folder before any the system has (Windows registers its own).
    testing_support::InstallStandIn(app_ + "iexplore.exe", "write " + home_.Path("browser.txt"));
  }
  ~ExecuteTest() override { ui::SetBackend(std::move(previous_)); }
  // A program that leaves the file mark-NAME behind; a command without
  // arguments, as every shell can start.
  std::string Marker(const std::string& name) {
    return testing_support::InstallStandIn(bin_ + name + ".exe",
                                           "touch " + home_.Path("mark-" + name));
  }
  // Takes xdg-open, POSIX's desktop opener, off the search path; false where
  // the system's shell is always the opener (Windows). StartCommand hands the
  // opener a command's whole text as one name, arguments and all.
  bool WithoutDesktopOpener() {
    kernel::SetEnvironmentVariable("PATH", bin_);
    return !HasNewShell();
  }
  // The path ConvertPrefix makes of a text that begins with {APP}.
  std::string AppPath(const std::string& rest) const {
    return kernel::NativePath(PathForPrefix(app_) + rest);
  }

  testing_support::HttpServer& Http() {
    if (!http_) http_.emplace(www_, home_.Path("http.log"));
    return *http_;
  }
  void Serve(const std::string& name, const std::string& content) {
    fs::create_directories(fs::path(www_ + name).parent_path());
    WriteFile(www_ + name, content);
  }
  // Serves a control file with the given sections and points URL at it.
  void ServeControl(const std::string& text) {
    Serve("upd.txt", text);
    u_.URL = Http().Url("upd.txt") + "?Tick=1";
  }
  // Serves files/NAME and returns a [fileN] section for it.
  std::string Entry(int n, const std::string& name, const std::string& content,
                    const std::string& more = "targetdir={APP}\\\n") {
    Serve("files/" + name, content);
    return "[file" + std::to_string(n) + "]\nurl=" + Http().Url("files/" + name) +
           "\ndescr=" + name + "\n" + more;
  }
  // An LZ-compressed file served as files/NAME_; returns its name.
  std::string ServeCompressed(const std::string& name, const std::string& content) {
    const std::string work = home_.Path("pack/");
    fs::create_directories(work);
    WriteFile(work + name, content);
    EXPECT_EQ(
        testing_support::RunShell("cd " + work + " && mscompress " + name + " >/dev/null 2>&1"), 0);
    fs::copy_file(work + name + "_", www_ + "files/" + name + "_",
                  fs::copy_options::overwrite_existing);
    return name + "_";
  }
  // A compressed cabinet holding the given files, served as files/NAME.
  void ServeCabinet(const std::string& name,
                    const std::vector<std::pair<std::string, std::string>>& files) {
    const std::string work = home_.Path("cabsrc/");
    fs::create_directories(work);
    std::vector<std::string> names;
    for (const auto& [file, content] : files) {
      WriteFile(work + file, content);
      names.push_back(file);
    }
    cab_support::MakeCabinet(www_ + "files/" + name, work, names, true);
  }
  bool HasReport(int id) const { return u_.Find(id) != nullptr; }
  std::vector<std::string> Requests() {
    std::vector<std::string> targets;
    for (const auto& r : Http().Requests()) targets.push_back(r.target);
    return targets;
  }

  testing_support::TempHome home_;
  const std::string app_ = home_.Path("app/");
  const std::string www_ = home_.Path("www/");
  const std::string bin_ = home_.Path("bin/");
  const std::string temp_ = kernel::GetTempPath();
  RecordingBackend* backend_ = nullptr;
  std::unique_ptr<ui::Backend> previous_;
  std::optional<testing_support::HttpServer> http_;
  RunUpdater u_;
  bool succeeded_ = false;
};

// ---- The complete run
// -----------------------------------------------------------------------------

TEST_F(ExecuteTest, CompleteRunKeepsTheOrderOfEventsAndReports) {
  auto& ev = u_.events;
  // Every event, by name; the transfer's block events are left out, a
  // completed fetch shows as "fetch:" and the local name.
  u_.OnFileDownloaded = [&](TUpdater*, const std::string& f) {
    ev.push_back("fetch:" + ExtractFileName(f));
  };
  u_.OnSetAppParams = [&](TUpdater*, std::string&) { ev.push_back("OnSetAppParams"); };
  u_.OnCustomValidate = [&](TUpdater*, const std::string& m, const std::string& p, bool& allow) {
    ev.push_back("OnCustomValidate:" + m + p + (allow ? ":1" : ":0"));
  };
  u_.OnCustomProcess = [&](TUpdater*, const std::string& m, const std::string& p) {
    ev.push_back("OnCustomProcess:" + m + p);
  };
  u_.OnBeforeFileDownload = [&](TUpdater*, int idx, const std::string&, std::string&) {
    ev.push_back("OnBeforeFileDownload:" + std::to_string(idx));
  };
  u_.OnDownloadedWhatsNew = [&](TUpdater*, const TStrings& text, int& res) {
    ev.push_back("OnDownloadedWhatsNew:" + (text.empty() ? "" : text[0]));
    res = 1;
  };
  u_.OnDownloadedEULA = [&](TUpdater*, const TStrings&, int& res) {
    ev.push_back("OnDownloadedEULA");
    res = 1;
  };
  u_.OnFileVersionCheck = [&](TUpdater*, const std::string& custom, const std::string&, bool&) {
    ev.push_back("OnFileVersionCheck:" + custom);
  };
  u_.OnGetFileList = [&](TUpdater*, TStrings& list) {
    ev.push_back("OnGetFileList:" + std::to_string(list.size()));
  };
  u_.OnBeforePost = [&](TUpdater*, bool&) { ev.push_back("OnBeforePost"); };
  u_.OnProcessPostResult = [&](TUpdater*, bool&) { ev.push_back("OnProcessPostResult"); };
  u_.OnSuccess = [&](TUpdater*) { ev.push_back("OnSuccess"); };
  bool progressShown = false;
  u_.OnFileProgress = [&](TUpdater* sender, const std::string&, int, int) {
    auto* self = static_cast<RunUpdater*>(sender);
    if (self->progressWindow_ && self->progressWindow_->Visible()) progressShown = true;
  };

  u_.UpdateUpdate = wuuPromptOnce;
  u_.SignatureCheck = true;
  u_.ExtractCAB = true;
  u_.ApplyPatch = true;
  u_.ShowDownloadProgress = true;
  u_.PostUpdateInfo.Enabled = true;  // no server: both events, no request
  u_.LastURLEntry.Save = true;
  u_.LastURLEntry.Key = "Software\\KestrelTest";
  u_.LastURLEntry.Section = "Run";
  u_.WriteLastUpdate(EncodeDateTime(2020, 1, 1));

  // Where the run writes the patcher, and so starts it from.
  testing_support::InstallStandIn(temp_ + "patcher.exe", "write patched.txt");
  Serve("whatsnew.txt", "Faster downloads\r\n");
  Serve("eula.rtf", "{\\rtf1 Be nice.}");
  const std::string lz = ServeCompressed("lib.dll", std::string(400, 'L') + "end");
  ServeCabinet("pack.cab", {{"one.txt", "first in cabinet"}, {"two.txt", "second"}});
  const std::string kernelPath = kernel::GetModuleFileName();  // version 1.2.3.4

  std::string control =
      "[update]\nsignature=Updater\ndate=05/03/2008\nlocalversion=" + kernelPath +
      "\nnewversion=9.0\n"
      "[application]\nappupdate=1\nappname=app.exe\nappcomps=comp.dll\n"
      "[action]\nmsg=Hello\\nWorld\nhtmldlg=" +
      Http().Url("page.html") + "\nrunbefore=" + Marker("before") +
      "\nshowURL=" + Http().Url("news") + "\nquery=Go on?\nupdateURL=" + Http().Url("moved.txt") +
      "\nrunafter=" + Marker("after") +
      "\n"
      "[custom]\nvalidatemsg=v\nvalidateparam=p\nprocessmsg=m\nprocessparam=q\n"
      "[whatsnew]\nfile=" +
      Http().Url("whatsnew.txt") + "\n[eula]\nfile=" + Http().Url("eula.rtf") +
      "\n[files]\ncount=5\n" +
      Entry(1, "plain.txt", "plain text", "targetdir={APP}\\plain\ncustomversion=7\n");
  control +=
      "[file2]\nurl=" + Http().Url("files/" + lz) + "\ndescr=lz\ncompressed=1\ntargetdir={APP}\\\n";
  control += "[file3]\nurl=" + Http().Url("files/pack.cab") +
             "\ndescr=cab\ncompressed=1\ntargetdir={APP}\\cab\\\n";
  control += Entry(4, "comp.dll", "component");
  control += Entry(5, "fix.pat", "patch", "localversion={APP}\\plain\\plain.txt\n");
  ServeControl(control);

  u_.Run();

  const auto Id = [](int id) { return std::to_string(id); };
  const std::vector<std::string> expected = {
      // 1. The header block.
      Id(msg::kStartUpdate), Id(msg::kOSVersion), Id(msg::kIEVersion), Id(msg::kCompiler),
      Id(msg::kInstalledIDEs), Id(msg::kStartUpdater),
      // 2. The control file.
      "fetch:upd.txt", Id(msg::kControlFileFound), "OnSetAppParams",
      // 3. The new-version test: the date is not newer than the record,
      // the version is.
      Id(msg::kDateBasedUpdate), Id(msg::kNoNewVersion), Id(msg::kVersionBasedUpdate),
      Id(msg::kVersionCheck), Id(msg::kNewVersionFound), "OnCustomValidate:vp:1",
      // 4. The instructions.
      Id(msg::kFoundMessage), "box", Id(msg::kFoundHtmlDialog), "OnCustomProcess:mq",
      Id(msg::kFoundShowURL), Id(msg::kFoundQuery), "box",
      // 5. The texts.
      "OnBeforeFileDownload:0", Id(msg::kFoundWhatsNew), "fetch:whatsnew.txt",
      "OnDownloadedWhatsNew:Faster downloads", Id(msg::kFoundLicense), "fetch:eula.rtf",
      "OnDownloadedEULA",
      // 6. The selection.
      Id(msg::kFoundFileUpdate), Id(msg::kProcessingFile), "OnFileVersionCheck:7",
      Id(msg::kProcessingFile), Id(msg::kProcessingFile), Id(msg::kProcessingFile),
      Id(msg::kProcessingFile), "OnGetFileList:5",
      // 7. Each entry.
      "box", "OnBeforeFileDownload:1", "fetch:plain.txt", "OnBeforeFileDownload:2", "fetch:" + lz,
      "OnBeforeFileDownload:3", "fetch:pack.cab", "OnBeforeFileDownload:4", "fetch:comp.dll",
      Id(msg::kFoundAppComponent), "OnBeforeFileDownload:5", "fetch:fix.pat", Id(msg::kExec),
      // 8. The closing steps.
      "OnBeforePost", "OnProcessPostResult", Id(msg::kFoundRedirection),
      Id(msg::kFinishedControlFile),
      // 9. Close, success, 10. restart.
      Id(msg::kClosedInternet), Id(msg::kClosedInternet), "OnSuccess", "restart"};
  std::string seen;
  for (const auto& e : ev) seen += e + " ";
  EXPECT_EQ(ev, expected) << seen;

  // What the run did.
  EXPECT_EQ(ReadFile(app_ + "plain/plain.txt"), "plain text");
  EXPECT_EQ(ReadFile(app_ + "lib.dll"), std::string(400, 'L') + "end");
  EXPECT_FALSE(fs::exists(app_ + lz));
  EXPECT_EQ(ReadFile(app_ + "cab/one.txt"), "first in cabinet");
  EXPECT_EQ(ReadFile(app_ + "cab/two.txt"), "second");
  EXPECT_FALSE(fs::exists(temp_ + "pack.cab"));
  EXPECT_EQ(ReadFile(temp_ + "comp.dll"), "component");  // left for the restarter
  EXPECT_FALSE(fs::exists(app_ + "comp.dll"));
  // The patch by its full path, in the folder it was downloaded to.
  EXPECT_EQ(ReadFile(app_ + "patched.txt"),
            temp_ + "fix.pat " + AppPath("\\plain\\plain.txt") + "\n");
  EXPECT_FALSE(fs::exists(temp_ + "fix.pat"));
  EXPECT_TRUE(WaitForFile(home_.Path("mark-before")));
  EXPECT_TRUE(WaitForFile(home_.Path("mark-after")));
  EXPECT_TRUE(WaitForFile(home_.Path("browser.txt")));
  EXPECT_EQ(ReadFile(home_.Path("browser.txt")), "-new " + Http().Url("news") + "\n");
  EXPECT_FALSE(fs::exists(temp_ + "upd.txt"));  // deleted on close
  EXPECT_TRUE(progressShown);
  EXPECT_EQ(backend_->shownForms.size(), 5u);
  for (const auto& name : backend_->shownForms) EXPECT_EQ(name, "TProgressForm");
  ASSERT_EQ(backend_->boxes.size(), 3u);
  EXPECT_EQ(backend_->boxes[0].text, "Hello\rWorld");
  EXPECT_EQ(backend_->boxes[0].type, ui::MB_OK | ui::MB_ICONINFORMATION);
  EXPECT_EQ(backend_->boxes[1].type, ui::MB_YESNO | ui::MB_ICONINFORMATION);
  EXPECT_EQ(backend_->boxes[2].text, "Download update files ?");
  EXPECT_EQ(u_.FileList.Count(), 5);
  EXPECT_EQ(u_.FileList.CurrentIndex, 4);
  EXPECT_EQ(u_.ReadLastURL(), Http().Url("moved.txt"));
  // The records now hold the date of this update.
  EXPECT_EQ(u_.ReadLastUpdate(), EncodeDateTime(2008, 3, 5));
  for (const auto& r : u_.reports) EXPECT_EQ(r.error, 0) << r.id << " " << r.text;
}

// ---- Early ends: the failure table
// -----------------------------------------------------------------

class ExecuteFailureTest : public ExecuteTest {
 protected:
  ExecuteFailureTest() {
    u_.OnSuccess = [this](TUpdater*) { succeeded_ = true; };
  }
  // Ids after the header block.
  std::vector<int> Tail() const {
    auto ids = u_.Ids();
    ids.erase(ids.begin(), ids.begin() + 6);
    ids.erase(std::remove(ids.begin(), ids.end(), msg::kDownload), ids.end());
    return ids;
  }
  std::string Files(int count) {
    std::string text = "[files]\ncount=" + std::to_string(count) + "\n";
    for (int n = 1; n <= count; ++n)
      text += Entry(n, "f" + std::to_string(n) + ".txt", "file " + std::to_string(n));
    return text;
  }
};

TEST_F(ExecuteFailureTest, ControlFileMissing) {
  u_.URL = Http().Url("absent.txt");
  u_.Run();
  EXPECT_EQ(Tail(), (std::vector<int>{msg::kHttpStatus, msg::kControlFileNotFound,
                                      msg::kClosedInternet, msg::kClosedInternet}));
  EXPECT_EQ(u_.Find(msg::kControlFileNotFound)->status, 2);
  EXPECT_FALSE(succeeded_);
}

TEST_F(ExecuteFailureTest, BadSignatureEndsTheRunAfterTheApplicationSection) {
  ServeControl("[update]\nsignature=updater\n[application]\nappname=a.exe\n" + Files(1));
  u_.SignatureCheck = true;
  u_.Run();
  EXPECT_EQ(Tail(), (std::vector<int>{msg::kControlFileFound, msg::kInvalidSignature,
                                      msg::kClosedInternet, msg::kClosedInternet}));
  EXPECT_EQ(u_.Find(msg::kInvalidSignature)->status, 11);
  EXPECT_EQ(u_.Find(msg::kInvalidSignature)->error, 4);
  EXPECT_EQ(u_.UpdateHeader().AppName, "a.exe");
  EXPECT_FALSE(fs::exists(app_ + "f1.txt"));
}

// A signed update: the control file counts only with its signature, and
// each file only with the SHA-256 it names; a file that hashes otherwise is
// never put in place, and the older file stays.
TEST_F(ExecuteFailureTest, SignedUpdateInstallsOnlyFilesWithTheirHash) {
  if (!signature::Available()) GTEST_SKIP() << "no signature checks on this system";
  const std::string key = home_.Path("k.key"), pub = home_.Path("k.pub");
  ASSERT_EQ(testing_support::RunShell("minisign -G -W -p " + pub + " -s " + key + " >/dev/null"),
            0);
  u_.PublicKey = ReadFile(pub);
  auto serveSigned = [&](const std::string& files) {
    ServeControl("[update]\nunconditional=1\n" + files);
    ASSERT_EQ(testing_support::RunShell("minisign -S -s " + key + " -m " + www_ +
                                        "upd.txt </dev/null >/dev/null"),
              0);
  };
  const std::string wanted(64, 'a');  // not the hash of "file 1"
  WriteFile(app_ + "f1.txt", "old file 1");

  serveSigned("[files]\ncount=1\n" +
              Entry(1, "f1.txt", "file 1", "targetdir={APP}\\\nsha256=" + wanted + "\n"));
  u_.Run();
  EXPECT_EQ(u_.UpdateResult(), urFailed);
  EXPECT_EQ(ReadFile(app_ + "f1.txt"), "old file 1");
  EXPECT_NE(u_.FileList.Items(0).Failure.find("its SHA-256 is "), std::string::npos)
      << u_.FileList.Items(0).Failure;

  // The same file named by its own hash installs, in either letter case.
  WriteFile(home_.Path("probe.txt"), "file 1");
  std::string hex = signature::Sha256HexOfFile(home_.Path("probe.txt"));
  for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  serveSigned("[files]\ncount=1\n" +
              Entry(1, "f1.txt", "file 1", "targetdir={APP}\\\nsha256=" + hex + "\n"));
  u_.Run();
  EXPECT_EQ(u_.UpdateResult(), urInstalled);
  EXPECT_EQ(ReadFile(app_ + "f1.txt"), "file 1");

  // An entry without a hash is no part of a signed update.
  WriteFile(app_ + "f1.txt", "old file 1");
  serveSigned(Files(1));
  u_.Run();
  EXPECT_EQ(u_.UpdateResult(), urFailed);
  EXPECT_EQ(ReadFile(app_ + "f1.txt"), "old file 1");
}

TEST_F(ExecuteFailureTest, NothingNewClearsTheRestart) {
  WriteFile(app_ + "local.dat", "x");
  ServeControl(
      "[update]\ndate=01/01/2001\nlocalversion={APP}\\local.dat\n"
      "[application]\nappupdate=1\nappname=a.exe\n" +
      Files(1));
  u_.Run();
  EXPECT_EQ(Tail(),
            (std::vector<int>{msg::kControlFileFound, msg::kDateBasedUpdate, msg::kNoNewVersion,
                              msg::kClosedInternet, msg::kClosedInternet}));
  EXPECT_FALSE(u_.RestartWanted());
  EXPECT_FALSE(fs::exists(app_ + "f1.txt"));
  EXPECT_EQ(u_.UpdateResult(), urNothingNew);

  // ForceUpdate reads no [update] key and still selects.
  u_.reports.clear();
  u_.ForceUpdate = true;
  u_.Run();
  for (int id : {msg::kDateBasedUpdate, msg::kNewVersionFound, msg::kNoNewVersion,
                 msg::kChecksumBasedUpdate, msg::kSizeBasedUpdate, msg::kVersionBasedUpdate})
    EXPECT_FALSE(HasReport(id)) << id;
  EXPECT_EQ(ReadFile(app_ + "f1.txt"), "file 1");
  EXPECT_TRUE(succeeded_);
  EXPECT_EQ(u_.UpdateResult(), urInstalled);
}

TEST_F(ExecuteFailureTest, QueryAnsweredNoAfterTheEarlierInstructions) {
  // Every local user can read a command line, so none may hold a credential.
  u_.ProxyUserID = "agent";
  u_.ProxyPassword = "s3cret";
  ServeControl(
      "[update]\nunconditional=1\n[application]\nappupdate=1\nappname=a.exe\n"
      "[action]\nmsg=Hi\nhtmldlg=x.html\nrunbefore=" +
      Marker("before") + "\nshowURL=http://127.0.0.1:9/\nquery=Sure?\n" + Files(1));
  backend_->answers = {ui::IDOK, ui::IDNO};
  u_.Run();
  EXPECT_EQ(Tail(), (std::vector<int>{msg::kControlFileFound, msg::kFoundMessage,
                                      msg::kFoundHtmlDialog, msg::kFoundShowURL, msg::kFoundQuery,
                                      msg::kClosedInternet, msg::kClosedInternet}));
  EXPECT_FALSE(u_.RestartWanted());
  EXPECT_EQ(backend_->boxes.size(), 2u);
  EXPECT_TRUE(WaitForFile(home_.Path("mark-before")));
  EXPECT_TRUE(WaitForFile(home_.Path("browser.txt")));
  EXPECT_EQ(ReadFile(home_.Path("browser.txt")), "-new http://127.0.0.1:9/\n");
  EXPECT_FALSE(succeeded_);
}

TEST_F(ExecuteFailureTest, RefusedWhatsNewStillFetchesTheLicence) {
  Serve("new.txt", "News");
  Serve("eula.txt", "Terms");
  ServeControl("[update]\nunconditional=1\n[whatsnew]\nfile=" + Http().Url("new.txt") +
               "\n[eula]\nfile=" + Http().Url("eula.txt") + "\n" + Files(1));
  std::vector<std::string> shown;
  backend_->onModal = [&](ui::Form& form) {
    shown.push_back(form.ClassName());
    form.modalResult = ui::IDCANCEL;
  };
  u_.Run();
  EXPECT_EQ(Tail(), (std::vector<int>{msg::kControlFileFound, msg::kFoundWhatsNew,
                                      msg::kWhatsNewNotAccepted, msg::kFoundLicense,
                                      msg::kClosedInternet, msg::kClosedInternet}));
  EXPECT_EQ(u_.Find(msg::kWhatsNewNotAccepted)->status, 14);
  EXPECT_EQ(shown.size(), 1u);  // the licence is fetched but not shown
  EXPECT_FALSE(fs::exists(app_ + "f1.txt"));
  EXPECT_FALSE(succeeded_);
}

TEST_F(ExecuteFailureTest, RefusedLicenceEndsTheRunSilently) {
  Serve("eula.txt", "Terms");
  ServeControl("[update]\nunconditional=1\n[eula]\nfile=" + Http().Url("eula.txt") + "\n" +
               Files(1));
  backend_->onModal = [](ui::Form& form) { form.modalResult = ui::IDOK; };  // "not accept"
  u_.Run();
  EXPECT_EQ(Tail(), (std::vector<int>{msg::kControlFileFound, msg::kFoundLicense,
                                      msg::kClosedInternet, msg::kClosedInternet}));
  EXPECT_FALSE(fs::exists(app_ + "f1.txt"));
  EXPECT_FALSE(succeeded_);
}

TEST_F(ExecuteFailureTest, NoEntryOrNoneSelected) {
  ServeControl("[update]\nunconditional=1\n[application]\nappupdate=1\nappname=a.exe\n");
  u_.Run();
  EXPECT_EQ(Tail(),
            (std::vector<int>{msg::kControlFileFound, msg::kClosedInternet, msg::kClosedInternet}));
  EXPECT_FALSE(u_.RestartWanted());

  WriteFile(app_ + "same.txt", "abc");
  u_.reports.clear();
  ServeControl(
      "[update]\nunconditional=1\n[application]\nappupdate=1\nappname=a.exe\n"
      "[files]\ncount=1\n[file1]\nurl=x\nlocalversion={APP}\\same.txt\nnewsize=3\n");
  u_.Run();
  EXPECT_EQ(Tail(),
            (std::vector<int>{msg::kControlFileFound, msg::kFoundFileUpdate, msg::kProcessingFile,
                              msg::kNoNewVersion, msg::kClosedInternet, msg::kClosedInternet}));
  EXPECT_TRUE(u_.RestartWanted());  // as read: no component was installed
  EXPECT_FALSE(u_.RestartPending());
  EXPECT_FALSE(succeeded_);
}

TEST_F(ExecuteFailureTest, PromptOnceAnsweredNo) {
  ServeControl("[update]\nunconditional=1\n" + Files(2));
  u_.UpdateUpdate = wuuPromptOnce;
  backend_->answers = {ui::IDNO};
  u_.Run();
  EXPECT_EQ(Tail(),
            (std::vector<int>{msg::kControlFileFound, msg::kFoundFileUpdate, msg::kProcessingFile,
                              msg::kProcessingFile, msg::kFinishedControlFile, msg::kClosedInternet,
                              msg::kClosedInternet}));
  EXPECT_EQ(backend_->boxes.size(), 1u);
  EXPECT_FALSE(fs::exists(app_ + "f1.txt"));
  EXPECT_TRUE(succeeded_);
}

TEST_F(ExecuteFailureTest, FailedDownloadInTheMiddleOfThree) {
  std::string files = Files(3);
  fs::remove(www_ + "files/f2.txt");
  ServeControl(
      "[update]\nunconditional=1\n[application]\nappupdate=1\nappname=a.exe\n"
      "appcomps=f1.txt\n[action]\nrunafter=" +
      Marker("after") + "\n" + files);
  u_.Run();
  EXPECT_EQ(Tail(),
            (std::vector<int>{msg::kControlFileFound, msg::kFoundFileUpdate, msg::kProcessingFile,
                              msg::kProcessingFile, msg::kProcessingFile, msg::kFoundAppComponent,
                              msg::kHttpStatus, msg::kCannotDownload, msg::kFinishedControlFile,
                              msg::kClosedInternet, msg::kClosedInternet}));
  EXPECT_EQ(u_.Find(msg::kCannotDownload)->status, 2);
  EXPECT_EQ(u_.Find(msg::kCannotDownload)->text,
            "Cannot download update file : " + Http().Url("files/f2.txt"));
  EXPECT_TRUE(fs::exists(temp_ + "f1.txt"));
  EXPECT_FALSE(fs::exists(app_ + "f3.txt"));
  EXPECT_TRUE(WaitForFile(home_.Path("mark-after")));
  EXPECT_TRUE(succeeded_);
  // OnSuccess is raised all the same: only the outcome tells.
  EXPECT_EQ(u_.UpdateResult(), urFailed);
  ASSERT_EQ(u_.FileList.Count(), 3);
  EXPECT_EQ(u_.FileList.Items(0).Failure, "");
  EXPECT_EQ(u_.FileList.Items(1).Failure,
            "not downloaded: the server answered with HTTP status 404");
  EXPECT_EQ(u_.FileList.Items(2).Failure, "the update ended before it");
  // A component was installed, but the failure cleared the restart.
  EXPECT_TRUE(u_.AppComponentInstalled());
  EXPECT_FALSE(u_.RestartPending());
  EXPECT_EQ(std::count(u_.events.begin(), u_.events.end(), "restart"), 0);
}

TEST_F(ExecuteFailureTest, CabinetThatDoesNotUnpack) {
  Serve("files/bad.cab", ReadFile(cab_support::DataCabinet("truncated-data.cab")));
  ServeControl(
      "[update]\nunconditional=1\n[files]\ncount=2\n[file1]\nurl=" + Http().Url("files/bad.cab") +
      "\ncompressed=1\ntargetdir={APP}\\cab\\\n" + Entry(2, "after.txt", "after"));
  u_.ExtractCAB = true;
  u_.Run();
  const auto* bad = u_.Find(msg::kCabinetError);
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(bad->status, 8);
  EXPECT_EQ(bad->text, "Error decompressing CAB file : " + temp_ + "bad.cab");
  EXPECT_TRUE(fs::exists(temp_ + "bad.cab"));  // the cabinet stays
  EXPECT_EQ(ReadFile(app_ + "after.txt"), "after");
  EXPECT_TRUE(succeeded_);
}

TEST_F(ExecuteFailureTest, CancelDuringAFile) {
  ServeControl(
      "[update]\nunconditional=1\n[application]\nappupdate=1\nappname=a.exe\n"
      "appcomps=f1.txt\n" +
      Files(3));
  u_.OnBeforeFileDownload = [this](TUpdater*, int idx, const std::string&, std::string&) {
    // Only the second file is cancelled.
    if (idx == 2)
      u_.OnProgressCancel = [](TUpdater*, bool& cancel) { cancel = true; };
    else
      u_.OnProgressCancel = nullptr;
  };
  u_.Run();
  EXPECT_EQ(Tail(),
            (std::vector<int>{msg::kControlFileFound, msg::kFoundFileUpdate, msg::kProcessingFile,
                              msg::kProcessingFile, msg::kProcessingFile, msg::kFoundAppComponent,
                              msg::kUpdaterCancelled, msg::kCannotDownload, msg::kClosedInternet,
                              msg::kClosedInternet}));
  EXPECT_TRUE(u_.Cancelled());
  EXPECT_FALSE(fs::exists(app_ + "f2.txt"));
  EXPECT_FALSE(fs::exists(app_ + "f3.txt"));
  EXPECT_FALSE(succeeded_);
  EXPECT_EQ(u_.UpdateResult(), urDeclined);
  EXPECT_EQ(u_.FileList.Items(1).Failure, "declined");
  EXPECT_FALSE(u_.RestartPending());
  EXPECT_EQ(std::count(u_.events.begin(), u_.events.end(), "restart"), 0);

  // What came of the cancelled file is kept while the control file lists
  // it, and goes with the first run of a control file that does not.
  auto partials = [] {
    std::size_t count = 0;
    for (const std::string& name : Names(GetTempDir())) count += name.ends_with(".partial");
    return count;
  };
  EXPECT_EQ(partials(), 1u);
  u_.OnBeforeFileDownload = nullptr;
  u_.OnProgressCancel = nullptr;
  ServeControl("[update]\nunconditional=1\n" + Files(1));
  u_.Run();
  EXPECT_EQ(partials(), 0u);
}

TEST_F(ExecuteFailureTest, CancelDuringTheControlFile) {
  ServeControl("[update]\nunconditional=1\n" + Files(1));
  u_.OnProgressCancel = [](TUpdater*, bool& cancel) { cancel = true; };
  u_.Run();
  EXPECT_EQ(Tail(), (std::vector<int>{msg::kUpdaterCancelled, msg::kControlFileNotFound,
                                      msg::kClosedInternet, msg::kClosedInternet}));
  EXPECT_FALSE(succeeded_);
}

TEST_F(ExecuteFailureTest, AnErrorOutOfTheRunStillClosesIt) {
  ServeControl("[update]\nunconditional=1\n" + Files(1));
  u_.OnCustomProcess = [](TUpdater*, const std::string&, const std::string&) {
    throw std::runtime_error("the handler failed");
  };
  EXPECT_THROW(u_.Run(), std::runtime_error);
  EXPECT_EQ(Tail(),
            (std::vector<int>{msg::kControlFileFound, msg::kClosedInternet, msg::kClosedInternet}));
  EXPECT_FALSE(fs::exists(temp_ + "upd.txt"));
  EXPECT_FALSE(u_.ConnectionOpen());
}

// ---- Prompts and install steps
// ----------------------------------------------------------------------

TEST_F(ExecuteFailureTest, PromptModes) {
  ServeControl("[update]\nunconditional=1\n" + Files(3));
  u_.Run();  // silent
  EXPECT_TRUE(backend_->boxes.empty());
  for (int n = 1; n <= 3; ++n) EXPECT_TRUE(fs::exists(app_ + "f" + std::to_string(n) + ".txt"));

  for (int n = 1; n <= 3; ++n) fs::remove(app_ + "f" + std::to_string(n) + ".txt");
  u_.UpdateUpdate = wuuPromptAll;
  backend_->answers = {ui::IDYES, ui::IDNO, ui::IDYES};
  u_.Run();
  ASSERT_EQ(backend_->boxes.size(), 3u);
  EXPECT_EQ(backend_->boxes[1].text, "Download update file : f2.txt");
  EXPECT_EQ(backend_->boxes[1].type, ui::MB_YESNO | ui::MB_ICONQUESTION);
  EXPECT_TRUE(fs::exists(app_ + "f1.txt"));
  EXPECT_FALSE(fs::exists(app_ + "f2.txt"));
  EXPECT_TRUE(fs::exists(app_ + "f3.txt"));
  EXPECT_EQ(u_.UpdateResult(), urDeclined);
  EXPECT_EQ(u_.FileList.Items(1).Failure, "declined");
  EXPECT_EQ(u_.FileList.Items(2).Failure, "");
}

TEST_F(ExecuteFailureTest, DownloadNamesTicksAndFolders) {
  fs::create_directories(app_ + "dir");
  WriteFile(app_ + "dir/a.dll", "old");
  ServeControl("[update]\nunconditional=1\n[files]\ncount=1\n[file1]\nurl=" +
               Http().Url("files/dir/a.dll") + "\ntargetdir={APP}\\dir\n");
  Serve("files/dir/a.dll", "new");
  u_.Run();
  EXPECT_EQ(ReadFile(app_ + "dir/a.dll"), "new");  // moved over the old file
  EXPECT_FALSE(fs::exists(temp_ + "a.dll"));
  const auto requests = Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].rfind("/files/dir/a.dll?FileTick=", 0), 0u) << requests[1];

  // Without the temporary folder the file goes straight to its folder.
  u_.UseWinTempDir = false;
  u_.TempDirectory = home_.Path("tmp2/");
  fs::create_directories(u_.TempDirectory);
  Serve("files/dir/a.dll", "newer");
  std::vector<std::string> downloaded;
  u_.OnFileDownloaded = [&](TUpdater*, const std::string& f) { downloaded.push_back(f); };
  u_.Run();
  EXPECT_EQ(ReadFile(app_ + "dir/a.dll"), "newer");
  ASSERT_EQ(downloaded.size(), 2u);
  EXPECT_EQ(downloaded[1], AppPath("\\dir\\a.dll"));
}

// The names of the control file are Windows names: where the exact name is
// missing, a file or folder whose name differs only in letter case is meant.
TEST_F(ExecuteFailureTest, NamesOfTheControlFileMatchInAnyLetterCase) {
  fs::create_directories(app_ + "Dir");
  WriteFile(app_ + "Dir/Same.dll", "old");
  WriteFile(app_ + "Dir/B.DLL", "old");
  Serve("files/same.dll", "new");
  Serve("files/b.dll", "new");
  ServeControl(
      "[update]\nunconditional=1\n[files]\ncount=2\n[file1]\nurl=" + Http().Url("files/same.dll") +
      "\ntargetdir={APP}\\dir\nlocalversion={APP}\\dir\\same.dll\nnewsize=3\n"
      "[file2]\nurl=" +
      Http().Url("files/b.dll") + "\ntargetdir={APP}\\DIR\\\n");
  u_.UseWinTempDir = false;
  u_.TempDirectory = home_.Path("tmp2/");
  fs::create_directories(u_.TempDirectory);
  u_.Run();
  EXPECT_EQ(ReadFile(app_ + "Dir/Same.dll"), "old") << "of the same size: nothing new";
  EXPECT_EQ(ReadFile(app_ + "Dir/B.DLL"), "new");
  // Listed: Windows would find the old names in any letter case.
  EXPECT_FALSE(Names(app_).contains("DIR"));
  EXPECT_EQ(Names(app_ + "Dir"), (std::set<std::string>{"B.DLL", "Same.dll"}));
}

// A path that a prefix token begins is a path of this system, in the
// arguments of a command as well.
TEST_F(ExecuteFailureTest, PrefixedPathInACommandTakesNativeSeparators) {
  if (!WithoutDesktopOpener())
    GTEST_SKIP() << "Windows opens a command as one name, without arguments";
  testing_support::InstallStandIn(bin_ + "touch-it", "touch $1");
  ServeControl("[update]\nunconditional=1\n[action]\nrunbefore=" + bin_ +
               "touch-it {APP}\\before.flag\n" + Files(1));
  u_.Run();
  EXPECT_TRUE(WaitForFile(app_ + "before.flag"));
}

TEST_F(ExecuteFailureTest, ApplicationComponentIsLeftForTheRestarter) {
  ServeControl(
      "[update]\nunconditional=1\n[application]\nappupdate=1\nappname=app.exe\n"
      "appcomps=app.exe\n[files]\ncount=1\n" +
      Entry(1, "APP.EXE", "new program"));
  u_.ExtractCAB = true;
  u_.Run();
  ASSERT_TRUE(HasReport(msg::kFoundAppComponent));
  EXPECT_EQ(u_.Find(msg::kFoundAppComponent)->text, "Found application component : APP.EXE");
  EXPECT_EQ(ReadFile(temp_ + "APP.EXE"), "new program");
  EXPECT_FALSE(fs::exists(app_ + "APP.EXE"));
  EXPECT_TRUE(u_.RestartPending());
  EXPECT_EQ(u_.events.back(), "restart");
  EXPECT_TRUE(succeeded_);
}

TEST_F(ExecuteFailureTest, CabinetsAndCompressedFiles) {
  ServeCabinet("plain.cab", {{"in.txt", "inside"}});
  ServeCabinet("packed.cab", {{"in2.txt", "inside too"}});
  const std::string lz = ServeCompressed("tool.exe", std::string(300, 'T'));
  Serve("files/notlz.dl_", "this is not compressed at all");
  ServeControl(
      "[update]\nunconditional=1\n[files]\ncount=4\n"
      "[file1]\nurl=" +
      Http().Url("files/plain.cab") +
      "\ntargetdir={APP}\\c1\\\n"
      "[file2]\nurl=" +
      Http().Url("files/packed.cab") +
      "\ncompressed=1\ntargetdir={APP}\\c2\\\n"
      "[file3]\nurl=" +
      Http().Url("files/" + lz) +
      "\ncompressed=1\n"
      "[file4]\nurl=" +
      Http().Url("files/notlz.dl_") +
      "\ncompressed=1\n"
      "targetdir={APP}\\keep\\\n");
  u_.ExtractCAB = true;
  u_.KeepIntermediateFiles = true;
  u_.Run();
  // A cabinet not marked compressed stays where it was downloaded, unchanged.
  EXPECT_TRUE(fs::exists(temp_ + "plain.cab"));
  EXPECT_FALSE(fs::exists(app_ + "c1/in.txt"));
  EXPECT_EQ(ReadFile(app_ + "c2/in2.txt"), "inside too");
  EXPECT_TRUE(fs::exists(temp_ + "packed.cab"));  // kept on request
  // Without a target folder the LZ file is expanded into the current folder.
  EXPECT_EQ(ReadFile(app_ + "tool.exe"), std::string(300, 'T'));
  EXPECT_FALSE(fs::exists(temp_ + lz));
  // A file marked compressed that is not in the LZ format is not lost.
  EXPECT_EQ(ReadFile(app_ + "keep/notlz.dl_"), "this is not compressed at all");
  EXPECT_FALSE(HasReport(msg::kCabinetError));
  EXPECT_TRUE(succeeded_);
}

// ---- Every transport
// ---------------------------------------------------------------------------------

TEST_F(ExecuteFailureTest, FileRunEndToEnd) {
  u_.UpdateType = fileUpdate;
  WriteFile(www_ + "files/a.txt", "from a folder");
  WriteFile(www_ + "upd.txt", "[update]\nunconditional=1\n[files]\ncount=1\n[file1]\nurl=" + www_ +
                                  "files/a.txt\ntargetdir={APP}\\sub\\\n");
  u_.URL = www_ + "upd.txt";
  u_.Run();
  EXPECT_EQ(ReadFile(app_ + "sub/a.txt"), "from a folder");
  EXPECT_EQ(Tail(),
            (std::vector<int>{msg::kControlFileFound, msg::kFoundFileUpdate, msg::kProcessingFile,
                              msg::kFinishedControlFile}));  // nothing to close
  EXPECT_FALSE(fs::exists(temp_ + "upd.txt"));
  EXPECT_TRUE(succeeded_);
}

TEST_F(ExecuteFailureTest, FtpRunEndToEnd) {
  const std::string root = home_.Path("ftproot/");
  fs::create_directories(root + "pub");
  WriteFile(root + "pub/b.txt", "over ftp");
  WriteFile(root + "pub/upd.txt",
            "[update]\nunconditional=1\n[files]\ncount=1\n[file1]\nurl=ftp://any/b.txt\n"
            "targetdir={APP}\\\n");
  testing_support::FtpServer ftp(root, home_.Path("ftp.log"));
  u_.UpdateType = ftpUpdate;
  u_.Host = "127.0.0.1";
  u_.Port = ftp.port();
  u_.FTPDirectory = "pub";
  u_.URL = "ftp://127.0.0.1/pub/upd.txt";
  u_.Run();
  EXPECT_EQ(ReadFile(app_ + "b.txt"), "over ftp");
  EXPECT_EQ(Tail(), (std::vector<int>{
                        msg::kConnectToHost, msg::kChangeFtpDirectory, msg::kControlFileFound,
                        msg::kFoundFileUpdate, msg::kProcessingFile, msg::kFinishedControlFile,
                        msg::kClosedFtp, msg::kClosedInternet, msg::kClosedInternet}));
  EXPECT_TRUE(succeeded_);
}

TEST_F(ExecuteFailureTest, FtpHostThatDoesNotConnect) {
  u_.UpdateType = ftpUpdate;
  u_.Host = "127.0.0.1";
  u_.Port = 1;  // nothing listens there
  u_.URL = "upd.txt";
  u_.Run();
  // The run goes on after the report and ends for want of a connection.
  EXPECT_EQ(Tail(), (std::vector<int>{msg::kConnectToHost, msg::kSystemError, msg::kClosedInternet,
                                      msg::kClosedInternet}));
  EXPECT_EQ(u_.Find(msg::kSystemError)->status, 1);
  EXPECT_NE(u_.Find(msg::kSystemError)->error, 0);
  EXPECT_FALSE(succeeded_);
}

// ---- Helpers of the run
// ------------------------------------------------------------------------------

TEST_F(ExecuteTest, ForceDirectoryMakesParents) {
  EXPECT_TRUE(TUpdater::ForceDirectory(app_ + "x\\y/z\\"));
  EXPECT_TRUE(fs::is_directory(app_ + "x/y/z"));
  EXPECT_TRUE(TUpdater::ForceDirectory(app_ + "x"));
  EXPECT_TRUE(TUpdater::ForceDirectory("ab"));
  EXPECT_TRUE(fs::is_directory(app_ + "ab"));
  WriteFile(app_ + "file", "");
  EXPECT_FALSE(TUpdater::ForceDirectory(app_ + "file/sub"));
}

TEST_F(ExecuteTest, StartCommandPassesArgumentsWithoutTheDesktopOpener) {
  if (!WithoutDesktopOpener()) GTEST_SKIP() << "Windows always has its shell as the desktop opener";
  testing_support::InstallStandIn(bin_ + "prog.exe", "write " + home_.Path("args.txt"));
  u_.StartCommand(bin_ + "prog.exe /s");
  ASSERT_TRUE(WaitForFile(home_.Path("args.txt")));
  EXPECT_EQ(ReadFile(home_.Path("args.txt")), "/s\n");
}

TEST(ProgressForm, Layout) {
  TProgressForm form;
  EXPECT_EQ(form.caption, "Downloading...");
  EXPECT_EQ(form.width, 300);
  EXPECT_EQ(form.height, 110);
  EXPECT_EQ(form.position, ui::FormPosition::ScreenCenter);
  EXPECT_EQ(form.borderStyle, ui::BorderStyle::Dialog);
  EXPECT_FALSE(form.borderIcons);
  EXPECT_EQ(form.Label().left, 10);
  EXPECT_EQ(form.Label().top, 10);
  EXPECT_EQ(form.Bar().left, 10);
  EXPECT_EQ(form.Bar().top, 40);
  EXPECT_EQ(form.Bar().width, 300 - 2 - 20);
}

TEST_F(ExecuteTest, ProgressWindowFollowsTheDownload) {
  Serve("files/big.bin", std::string(20000, 'b'));
  ServeControl("[update]\nunconditional=1\n[files]\ncount=1\n[file1]\nurl=" +
               Http().Url("files/big.bin") + "\n");
  u_.ShowDownloadProgress = true;
  std::string label;
  int max = 0, position = 0;
  u_.OnFileDownloaded = [&](TUpdater* sender, const std::string& f) {
    auto* form = static_cast<RunUpdater*>(sender)->progressWindow_;
    if (!form || ExtractFileName(f) != "big.bin") return;
    auto& progress = static_cast<TProgressForm&>(*form);
    label = progress.Label().caption;
    max = progress.Bar().max;
    position = progress.Bar().position;
  };
  u_.Run();
  EXPECT_EQ(label, "Downloading: big.bin");
  EXPECT_EQ(max, 20000);
  EXPECT_EQ(position, 20000);
  EXPECT_EQ(u_.progressWindow_, nullptr);
}

}  // namespace
