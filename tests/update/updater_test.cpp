#include "update/updater.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <thread>

#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/ui.h"
#include "resources/messages.h"
#include "support/test_support.h"
#include "update/updlog.h"

using testing_support::ReadFile;
using testing_support::TempHome;
using testing_support::WriteFile;

namespace {

struct Report {
  std::string text;
  int status, error;
};

// A component whose run only reports its header, and that records reports.
class RecordingUpdater : public TUpdater {
 public:
  std::vector<Report> reports;
  RecordingUpdater() : TUpdater(nullptr) {
    OnStatus = [this](TUpdater*, const std::string& s, int status, int error) {
      reports.push_back({s, status, error});
    };
  }
};

TEST(Updater, NewComponentHasItsInitialValues) {
  TUpdater u(nullptr);
  EXPECT_EQ(u.Version(), "2.1.3.0");
  EXPECT_EQ(u.Port, 21);
  EXPECT_TRUE(u.UseWinTempDir);
  EXPECT_EQ(u.TempDirectory, ".");
  EXPECT_EQ(u.Agent, "TUpdater");
  EXPECT_EQ(u.Signature, "Updater");
  EXPECT_EQ(u.FileList.Count(), 0);
  EXPECT_EQ(u.LogFileName(), "UPDATER.LOG");
  EXPECT_EQ(u.UpdateUpdate, wuuPromptOnce);
  EXPECT_EQ(u.VersionCheck, vcUpdateOnly);
  EXPECT_EQ(u.Authenticate, waNever);
  EXPECT_EQ(u.UpdateType, httpUpdate);
  EXPECT_FALSE(u.PostUpdateInfo.Enabled);
  EXPECT_EQ(u.LastURLEntry.RegRoot, lurLOCALUSER);
}

TEST(Updater, StoredFormOverridesAndOmitsDefaults) {
  TUpdater u(nullptr);
  LoadComponent(u, R"(object Updater2: TUpdater
  UpdateUpdate = wuuSilent
  UseWinTempDir = False
  VersionCheck = vcAlways
  Version = '9.9.9.9'
  LastURLEntry.Key = 'Software\Kestrel'
  PostUpdateInfo.Enabled = False
end)");
  EXPECT_EQ(u.UpdateUpdate, wuuSilent);
  EXPECT_FALSE(u.UseWinTempDir);
  EXPECT_EQ(u.VersionCheck, vcAlways);
  EXPECT_EQ(u.Version(), "2.1.3.0");
  EXPECT_EQ(u.LastURLEntry.Key, "Software\\Kestrel");

  // A stored form lists only what differs from the declared defaults, in
  // declaration order; strings and characters without a default always.
  std::string stored = StoreComponent(u);
  EXPECT_EQ(stored,
            "object Updater2: TUpdater\n"
            "  Agent = 'TUpdater'\n"
            "  DateFormat = 'dd/mm/yyyy'\n"
            "  DateSeparator = '/'\n"
            "  LogFileName = 'UPDATER.LOG'\n"
            "  LastURLEntry.Key = 'Software\\Kestrel'\n"
            "  PostUpdateInfo.Enabled = False\n"
            "  Signature = 'Updater'\n"
            "  TempDirectory = '.'\n"
            "  TimeFormat = 'hh:nn'\n"
            "  TimeSeparator = ':'\n"
            "  UpdateUpdate = wuuSilent\n"
            "  UseWinTempDir = False\n"
            "  VersionCheck = vcAlways\n"
            "  Version = '2.1.3.0'\n"
            "end\n");
}

TEST(Updater, UtilityReferenceClearedWhenUtilityIsFreed) {
  TUpdaterUtility owner(nullptr);  // any component can own both
  auto* updater = new TUpdater(&owner);
  auto* utility = new TUpdaterUtility(&owner);
  utility->Name = "UpdaterUtility1";
  LoadComponent(*updater, "object U: TUpdater\n  Utility = UpdaterUtility1\nend");
  EXPECT_EQ(updater->Utility(), utility);
  delete utility;
  EXPECT_EQ(updater->Utility(), nullptr);
}

TEST(Updater, ThreadedRunEndsOnTheUserInterfaceThread) {
  TempHome home;
  ui::ResetMessageLoop();
  ui::SetMainThread();
  RecordingUpdater u;
  std::vector<std::string> order;
  std::thread::id doneThread;
  u.OnThreadUpdateDone = [&](TUpdater*) {
    order.push_back("done");
    doneThread = std::this_thread::get_id();
  };
  u.OnStatus = [&](TUpdater*, const std::string& s, int, int) {
    order.push_back(s);
    if (s == "Threaded update execution done") ui::PostQuitMessage(0);
  };
  u.RunUpdateInThread();
  EXPECT_TRUE(u.Threaded());
  EXPECT_EQ(ui::RunMessageLoop(), 0);
  EXPECT_FALSE(u.Threaded());
  EXPECT_EQ(doneThread, std::this_thread::get_id());
  ASSERT_GE(order.size(), 3u);
  EXPECT_EQ(order.front(), "Start update : Threaded update ---------------------------");
  EXPECT_EQ(order[order.size() - 2], "done");
  EXPECT_EQ(order.back(), "Threaded update execution done");
}

TEST(Updater, RunHeaderOpensEveryRun) {
  TempHome home;
  RecordingUpdater u;
  u.RunUpdate();  // no URL: the run goes on to report the missing control file
  ASSERT_GE(u.reports.size(), 6u);
  EXPECT_EQ(u.reports[0].text, "Start update : Non threaded update ---------------------------");
  EXPECT_EQ(u.reports[1].text.rfind("OS version : ", 0), 0u);
  EXPECT_EQ(u.reports[2].text, "IE version : (not found)");
  EXPECT_EQ(u.reports[3].text, "Compiler : D7");
  EXPECT_EQ(u.reports[4].text, "Installed IDEs : ");
  EXPECT_EQ(u.reports[5].text, "Start Updater process with version : 2.1.3.0");
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(u.reports[i].status + u.reports[i].error, 0);
}

TEST(StatusLog, LineFormatAndCodes) {
  TempHome home;
  RecordingUpdater u;
  u.Logging = true;
  u.SetLogFileName(home.Path("logs/run.log"));
  std::filesystem::create_directories(home.Path("logs"));
  u.ReportStatus(msg::kHttpStatus, "404", 6, 404);
  u.ReportStatus(msg::kDownload, "http://h/a b?x=1", 3, 0);
  u.ReportStatus(12345, "ignored", 1, 2);  // no template: empty message
  std::string log = ReadFile(home.Path("logs/run.log"));
  std::regex line(
      R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d : \[916\] Http status : 404 \(Status:6\) \(Error:404\)\r\n)"
      R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d : \[915\] Download : http://h/a b\?x=1 \(Status:3\) \(Error:0\)\r\n)"
      R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d : \[12345\]  \(Status:1\) \(Error:2\)\r\n)");
  EXPECT_TRUE(std::regex_match(log, line)) << log;
  ASSERT_EQ(u.reports.size(), 3u);
  EXPECT_EQ(u.reports[0].text, "Http status : 404");
  EXPECT_EQ(u.reports[0].status, 6);
  EXPECT_EQ(u.reports[0].error, 404);
  EXPECT_EQ(u.reports[2].text, "");
}

TEST(StatusLog, WithoutLoggingOrHandlerNothingHappens) {
  TempHome home;
  TUpdater u(nullptr);
  u.ReportStatus(msg::kDownload, "x", 3, 0);
  EXPECT_FALSE(std::filesystem::exists(home.Path("home/Documents/UPDATER.LOG")));
}

TEST(StatusLog, FileNameResolution) {
  TempHome home;
  RecordingUpdater first;
  first.Logging = true;
  // A bare name goes to the documents folder.
  first.ReportStatus(msg::kControlFileFound, "", 3, 0);
  EXPECT_NE(ReadFile(home.Path("home/Documents/UPDATER.LOG")).find("[926]"), std::string::npos);

  // A second component's name redirects the lines of both.
  RecordingUpdater second;
  second.SetLogFileName("sub\\other.log");
  std::filesystem::create_directories(home.Path("sub"));
  first.ReportStatus(msg::kControlFileNotFound, "", 2, 0);
  EXPECT_NE(ReadFile(home.Path("sub/other.log")).find("[925]"), std::string::npos);

#ifndef _WIN32  // a Windows user always has a documents folder
  // Without a documents folder a bare name resolves against the current one.
  kernel::SetEnvironmentVariable("HOME", std::nullopt);
  kernel::SetEnvironmentVariable("XDG_CONFIG_HOME", std::nullopt);
  second.SetLogFileName("bare.log");
  first.ReportStatus(msg::kNoNewVersion, "", 3, 0);
  EXPECT_NE(ReadFile(home.Path("bare.log")).find("[930]"), std::string::npos);
#endif
}

// The log is a record of the run, never a reason for it to fail.
TEST(StatusLog, ALogThatCannotBeWrittenNeverEndsTheRun) {
  TempHome home;
  RecordingUpdater u;
  u.Logging = true;
  // The documents folder of a new account is made when the first line needs it.
  std::filesystem::remove_all(home.Path("home/Documents"));
  u.ReportStatus(msg::kControlFileFound, "", 3, 0);
  EXPECT_NE(ReadFile(home.Path("home/Documents/UPDATER.LOG")).find("[926]"), std::string::npos);

  // A documents folder that cannot be made leaves the current folder.
#ifdef _WIN32
  registry::Key::Create(
      registry::Hive::CurrentUser,
      "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders")
      ->Set("Personal", home.Path("home/file/Documents"));
#else
  WriteFile(home.Path("config/user-dirs.dirs"), "XDG_DOCUMENTS_DIR=\"$HOME/file/Documents\"\n");
#endif
  WriteFile(home.Path("home/file"), "a file where a folder would have to be");
  u.ReportStatus(msg::kNoNewVersion, "", 3, 0);
  EXPECT_NE(ReadFile(home.Path("UPDATER.LOG")).find("[930]"), std::string::npos);

  // A log that cannot be written at all is said once; the reports go on.
  u.SetLogFileName(home.Path("no/such/folder/x.log"));
  testing::internal::CaptureStderr();
  u.ReportStatus(msg::kDownload, "x", 3, 0);
  WriteLogLine("Unable to delete file y");
  u.ReportStatus(msg::kHttpStatus, "404", 6, 404);
  const std::string said = testing::internal::GetCapturedStderr();
  ASSERT_EQ(u.reports.size(), 4u);
  EXPECT_EQ(u.reports[3].error, 404);
  EXPECT_NE(said.find("x.log"), std::string::npos) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
}

}  // namespace
