// A whole restart: a program that carries TUpdater updates itself from a
// loopback server, ends, and the restarter it wrote replaces it, unpacks a
// cabinet and starts the new build.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
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

TEST(RestartEndToEnd, UpdatedProgramIsReplacedAndStartedAgain) {
  testing_support::TempHome home;
  const std::string app = home.Path("app/");
  const std::string www = home.Path("www/");
  const std::string mark = home.Path("mark.txt");
  const std::string log = home.Path("updates.log");
  fs::create_directories(app);
  fs::create_directories(www + "files/");
  fs::create_directories(home.Path("cabsrc/"));

  const std::string built = std::string(KESTREL_BIN_DIR) + "/restart_app";
  fs::copy_file(built, app + "app.exe");
  // The new build: the same program with bytes of its own at the end.
  const std::string newBuild = ReadFile(built) + std::string("\0NEW BUILD", 10);
  WriteFile(www + "files/app.exe_NEW", newBuild);
  WriteFile(home.Path("cabsrc/one.txt"), "first");
  cab_support::MakeCabinet(www + "files/pack.cab", home.Path("cabsrc/"), {"one.txt"}, true);

  testing_support::HttpServer http(www, home.Path("http.log"));
  WriteFile(www + "upd.txt",
            "[update]\nunconditional=1\n"
            "[application]\nappupdate=1\nsilentrestart=1\nappname=app.exe\n"
            "appparam=mark " +
                mark +
                " again\nappcomps=app.exe_NEW pack.cab\n"
                "[files]\ncount=2\n"
                "[file1]\nurl=" +
                http.Url("files/app.exe_NEW") +
                "\ndescr=program\ntargetdir={APP}\\\n"
                "[file2]\nurl=" +
                http.Url("files/pack.cab") + "\ndescr=cabinet\ntargetdir={APP}\\\n");

  auto program = kernel::CreateProcess(kernel::QuoteArgument(app + "app.exe") + " update " +
                                       http.Url("upd.txt") + " " + log);
  ASSERT_TRUE(program);
  ASSERT_TRUE(kernel::WaitForProcess(*program, std::chrono::seconds(90)));
  EXPECT_EQ(kernel::GetExitCodeProcess(*program), 0u) << "the program ended for its restart";

  // The restarter runs on after the program; the new build's mark is the
  // last thing it causes.
  for (int i = 0; i < 1800 && !fs::exists(mark); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(fs::exists(mark)) << ReadFile(log);
  EXPECT_EQ(ReadFile(mark), "ran again\n");
  EXPECT_EQ(ReadFile(app + "app.exe"), newBuild);
  EXPECT_EQ(ReadFile(app + "one.txt"), "first");
  EXPECT_FALSE(fs::exists(home.Path("home/Documents/UPDATER.INI")));

  const std::string text = ReadFile(log);
  for (const std::string& expected :
       {std::string("[958] Spawn "), std::string("[000] UPD v2.0.4.0 started"),
        "[000] Upd copying file : " + kernel::GetTempPath() + "app.exe_NEW to " + app + "app.exe",
        "[000] Upd cab extract pack.cab " + app, std::string("[000] UPD has EXE restarted")})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
}

}  // namespace
