// The component's side of a restart: the question, the settings file, the
// restarter it writes and the command line it gives it.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/profile.h"
#include "platform/ui.h"
#include "support/test_support.h"
#include "update/paths.h"
#include "update/updater.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempHome;

class RestartingUpdater : public TUpdater {
 public:
  RestartingUpdater() : TUpdater(nullptr) {
    OnStatus = [this](TUpdater*, const std::string& s, int, int) { reports.push_back(s); };
    OnAppDoClose = [this](TUpdater*) { reports.push_back("OnAppDoClose"); };
  }
  void SetApplication(const std::string& name, const std::string& params, const std::string& comps,
                      bool silent) {
    header_.AppName = name;
    header_.AppParams = params;
    header_.AppComps = comps;
    header_.SilentRestart = silent;
  }
  using TUpdater::RestartApplication;
  std::vector<std::string> reports;
};

class RestartTest : public ::testing::Test {
 protected:
  RestartTest() {
    auto backend = std::make_unique<ui::ScriptedBackend>();
    backend_ = backend.get();
    previous_ = ui::SetBackend(std::move(backend));
    SetUpdateTempDir(home_.Path("tmp/"));
    u_.UseWinTempDir = true;
  }
  ~RestartTest() override {
    SetUpdateTempDir("");
    ui::SetBackend(std::move(previous_));
  }

  bool RestarterWritten() { return fs::exists(home_.Path("tmp/upsetup.exe")); }

  TempHome home_;
  ui::ScriptedBackend* backend_ = nullptr;
  std::unique_ptr<ui::Backend> previous_;
  RestartingUpdater u_;
  const std::string settings_ = home_.Path("home/Documents/UPDATER.INI");
};

TEST_F(RestartTest, CommandLineQuotesOnlyWhatHoldsABlank) {
  const std::string pid = std::to_string(kernel::GetCurrentProcessId());
  const std::string dir = AddBackslash(kernel::GetCurrentDirectory());
  u_.SetApplication("app.exe", " ", "app.exe_NEW lib.so_NEW", false);
  EXPECT_EQ(u_.RestarterCommandLine(), pid + " X " + dir + "app.exe \" \" \"" + home_.Path("tmp/") +
                                           "\" app.exe_NEW lib.so_NEW");

  u_.Logging = true;
  u_.UseWinTempDir = false;
  u_.TempDirectory = "/opt/app/Temp/";
  u_.SetApplication("my app.exe", "-a -b", "app.exe_NEW", false);
  EXPECT_EQ(u_.RestarterCommandLine(),
            pid + " L \"" + dir + "my app.exe\" \"-a -b\" " + "\"/opt/app/Temp/\" app.exe_NEW");
  // The command line splits back into the restarter's arguments.
  const auto args = kernel::SplitCommandLine("upsetup.exe " + u_.RestarterCommandLine());
  EXPECT_EQ(args, (std::vector<std::string>{"upsetup.exe", pid, "L", dir + "my app.exe", "-a -b",
                                            "/opt/app/Temp/", "app.exe_NEW"}));
}

TEST_F(RestartTest, RefusedQuestionLeavesEverythingAsItWas) {
  u_.SetApplication("app.exe", " ", "app.exe_NEW", false);
  backend_->answers = {ui::IDNO};
  u_.RestartApplication();
  ASSERT_EQ(backend_->boxes.size(), 1u);
  EXPECT_EQ(backend_->boxes[0].text, "Shutdown application to update executable files ?");
  EXPECT_EQ(u_.reports.size(), 1u);
  EXPECT_FALSE(RestarterWritten());
  EXPECT_FALSE(fs::exists(settings_));
}

TEST_F(RestartTest, HandlerAloneDecidesEvenWhenSilent) {
  u_.SetApplication("app.exe", " ", "app.exe_NEW", true);
  int asked = 0;
  u_.OnAppRestart = [&](TUpdater*, bool& Allow) {
    ++asked;
    Allow = false;
  };
  u_.RestartApplication();
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(backend_->boxes.empty());
  EXPECT_FALSE(RestarterWritten());
}

TEST_F(RestartTest, CancelStopsAfterTheCancelReport) {
  u_.SetApplication("app.exe", " ", "app.exe_NEW", true);
  u_.OnProgressCancel = [](TUpdater*, bool& Cancel) { Cancel = true; };
  u_.RestartApplication();
  ASSERT_EQ(u_.reports.size(), 2u);
  EXPECT_EQ(u_.reports[0], "Restart app in directory : " + kernel::GetCurrentDirectory());
  EXPECT_EQ(u_.reports[1], "Updater process cancelled");
  EXPECT_FALSE(RestarterWritten());
}

TEST_F(RestartTest, SilentRestartWritesTheRestarterAndClosesTheProgram) {
  // The restarter started here waits for this test to end; it then finds
  // no components and no program to start.
  u_.SetApplication("app.exe", " ", "", true);
  u_.SetLogFileName(home_.Path("updates.log"));
  // A new account without a documents folder still hands the restarter
  // its log.
  fs::remove_all(home_.Path("home/Documents"));
  u_.RestartApplication();

  EXPECT_TRUE(backend_->boxes.empty());
  ASSERT_EQ(u_.reports.size(), 3u);
  EXPECT_EQ(u_.reports[1], "Spawn " + u_.RestarterCommandLine());
  EXPECT_EQ(u_.reports[2], "OnAppDoClose");
  EXPECT_EQ(profile::GetPrivateProfileString("CONFIG", "LOGFILENAME", "", settings_),
            home_.Path("updates.log"));
  // The resource expands to the restarter as embedded, ready to run.
  EXPECT_EQ(ReadFile(home_.Path("tmp/upsetup.exe")), ReadFile(KESTREL_UPD_PROGRAM));
  EXPECT_NE(fs::status(home_.Path("tmp/upsetup.exe")).permissions() & fs::perms::owner_exec,
            fs::perms::none);
  EXPECT_FALSE(fs::exists(home_.Path("tmp/upsetup.ex_")));
}

TEST_F(RestartTest, RestarterThatDoesNotExpandWholeStopsTheRestart) {
  // An older restarter of ours is in the folder; the one carried now is cut short.
  testing_support::WriteFile(home_.Path("tmp/upsetup.exe"), "#!/bin/sh\nexit 0\n");
  const auto carried = kernel::FindResource("RCDATA", "UPD");
  ASSERT_TRUE(carried);
  kernel::RegisterResource("RCDATA", "UPD", carried->data(), carried->size() / 2);
  u_.SetApplication("app.exe", " ", "app.exe_NEW", true);
  EXPECT_THROW(u_.RestartApplication(), std::runtime_error);
  kernel::RegisterResource("RCDATA", "UPD", carried->data(), carried->size());
  // Nothing was started and the program stays open.
  EXPECT_EQ(u_.reports.size(), 1u);
  EXPECT_FALSE(RestarterWritten());
}

TEST_F(RestartTest, WithoutACloseHandlerTheMessageLoopEnds) {
  u_.SetApplication("app.exe", " ", "", true);
  u_.OnAppDoClose = nullptr;
  u_.RestartApplication();
  EXPECT_TRUE(ui::Terminated());
  ui::ResetMessageLoop();
}

}  // namespace
