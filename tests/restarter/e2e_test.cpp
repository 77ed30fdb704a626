// A whole restart: a program that carries TUpdater updates itself from a
// loopback server, ends, and the restarter it wrote replaces it, unpacks a
// cabinet and starts the new build.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "platform/kernel.h"
#include "support/cab_support.h"
#include "support/servers.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::WriteFile;

class RestartEndToEnd : public ::testing::Test {
 protected:
  RestartEndToEnd() {
    for (const std::string& dir : {app_, www_ + "files/", home_.Path("cabsrc/")})
      fs::create_directories(dir);
    fs::copy_file(built_, app_ + "app.exe");
    WriteFile(www_ + "files/app.exe_NEW", newBuild_);
    WriteFile(home_.Path("cabsrc/one.txt"), "first");
    cab_support::MakeCabinet(www_ + "files/pack.cab", home_.Path("cabsrc/"), {"one.txt"}, true);
    http_.emplace(www_, home_.Path("http.log"));
    WriteFile(www_ + "upd.txt",
              "[update]\nunconditional=1\n"
              "[application]\nappupdate=1\nsilentrestart=1\nappname=app.exe\n"
              "appparam=mark " +
                  mark_ +
                  " again\nappcomps=app.exe_NEW pack.cab\n"
                  "[files]\ncount=2\n"
                  "[file1]\nurl=" +
                  http_->Url("files/app.exe_NEW") +
                  "\ndescr=program\ntargetdir={APP}\\\n"
                  "[file2]\nurl=" +
                  http_->Url("files/pack.cab") + "\ndescr=cabinet\ntargetdir={APP}\\\n");
  }

  // Runs the program's update (as the user the prefix names, if any) and
  // waits until the restarted program, or a program planted by someone
  // else, has left its mark.
  void UpdateAndRestart(const std::string& asUser = "") {
    auto program = kernel::CreateProcess(asUser + kernel::QuoteArgument(app_ + "app.exe") +
                                         " update " + http_->Url("upd.txt") + " " + log_);
    ASSERT_TRUE(program);
    ASSERT_TRUE(kernel::WaitForProcess(*program, std::chrono::seconds(90)));
    EXPECT_EQ(kernel::GetExitCodeProcess(*program), 0u) << "the program ended for its restart";
    // The restarter runs on after the program; the new build's mark is the
    // last thing it causes.
    for (int i = 0; i < 1800 && !fs::exists(mark_) && !fs::exists(plantedMark_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  testing_support::TempHome home_;
  const std::string app_ = home_.Path("app/");
  const std::string www_ = home_.Path("www/");
  const std::string mark_ = home_.Path("mark.txt");
  const std::string plantedMark_ = home_.Path("planted.txt");
  const std::string log_ = home_.Path("updates.log");
#ifdef _WIN32
  const std::string built_ = std::string(KESTREL_BIN_DIR) + "/restart_app.exe";
#else
  const std::string built_ = std::string(KESTREL_BIN_DIR) + "/restart_app";
#endif
  // The new build: the same program with bytes of its own at the end.
  const std::string newBuild_ = ReadFile(built_) + std::string("\0NEW BUILD", 10);
  std::optional<testing_support::HttpServer> http_;
};

TEST_F(RestartEndToEnd, UpdatedProgramIsReplacedAndStartedAgain) {
  UpdateAndRestart();
  ASSERT_TRUE(fs::exists(mark_)) << ReadFile(log_);
  EXPECT_EQ(ReadFile(mark_), "ran again\n");
  EXPECT_EQ(ReadFile(app_ + "app.exe"), newBuild_);
  EXPECT_EQ(ReadFile(app_ + "one.txt"), "first");
  EXPECT_FALSE(fs::exists(home_.Path("home/Documents/UPDATER.INI")));

  const std::string text = ReadFile(log_);
  const std::string app = fs::path(app_).make_preferred().string();  // as the system names it
  for (const std::string& expected :
       {std::string("[958] Spawn "), std::string("[000] UPD v2.0.4.0 started"),
        "[000] Upd copying file : " + kernel::GetTempPath() + "app.exe_NEW to " + app + "app.exe",
        "[000] Upd cab extract pack.cab " + app, std::string("[000] UPD has EXE restarted")})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
}

// The updating user is an ordinary one, and another local user has planted
// in the shared temporary folder a program under the restarter's name, a
// link to a file of the updating user's under the name the restarter is
// written to, and a folder holding the same under the name of the updating
// user's temporary folder.
TEST_F(RestartEndToEnd, WhatAnotherUserPlantedInTheSharedTemporaryFolderIsNeverUsed) {
#ifdef _WIN32
  GTEST_SKIP() << "other users, owners and sticky folders are POSIX ones";
#else
  if (::geteuid() != 0) GTEST_SKIP() << "acting as other users takes root";
  constexpr unsigned kUpdatingUser = testing_support::kOtherUser + 1;
  const std::string shared = home_.Path("tmp/");  // $TMPDIR, made as open as /tmp
  const std::string victim = home_.Path("precious.txt");
  const std::string hostile = shared + "kestrel-" + std::to_string(kUpdatingUser) + "/";
  WriteFile(victim, "precious");
  const std::string id = std::to_string(kUpdatingUser);
  ASSERT_EQ(std::system(("chown -R " + id + ":" + id + " " + home_.path().string()).c_str()), 0);
  fs::permissions(home_.path(), fs::perms::owner_all | fs::perms::others_exec);
  // Like /tmp, it belongs to neither user: its owner could replace anything in it.
  ASSERT_EQ(::chown(shared.c_str(), 0, 0), 0);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  const std::string plant = home_.Path("plant.sh");
  WriteFile(plant, "for d in " + shared + " " + hostile +
                       "; do\n"
                       "  mkdir -p -m 777 $d\n"
                       "  printf '#!/bin/sh\\necho planted >> " +
                       plantedMark_ +
                       "\\n' > $d/upsetup.exe\n"
                       "  chmod 755 $d/upsetup.exe\n"
                       "  ln -s " +
                       victim +
                       " $d/upsetup.ex_\n"
                       "done\n");
  fs::permissions(plant, fs::perms::all);
  ASSERT_EQ(
      std::system((testing_support::AsUser(testing_support::kOtherUser) + "sh " + plant).c_str()),
      0);

  UpdateAndRestart(testing_support::AsUser(kUpdatingUser));
  EXPECT_FALSE(fs::exists(plantedMark_)) << ReadFile(plantedMark_);
  EXPECT_TRUE(ReadFile(victim) == "precious") << "the file the link led to was written";
  std::set<std::string> planted;
  for (const auto& entry : fs::directory_iterator(hostile))
    planted.insert(entry.path().filename().string());
  EXPECT_EQ(planted, (std::set<std::string>{"upsetup.ex_", "upsetup.exe"}));
  // And the restart itself went through.
  ASSERT_TRUE(fs::exists(mark_)) << ReadFile(log_);
  EXPECT_EQ(ReadFile(app_ + "app.exe"), newBuild_);
#endif
}

}  // namespace
