// "kupdate run": whole update runs of the real program against a loopback
// HTTP server and a local folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "resources/messages.h"
#include "support/cab_support.h"
#include "support/servers.h"
#include "support/test_support.h"

using testing_support::ReadFile;
using testing_support::WriteFile;

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::vector<std::string> lines;  // stdout
  std::string err;
  // The identifiers of the printed reports, in order.
  std::vector<int> Ids() const {
    std::vector<int> ids;
    for (const auto& line : lines)
      if (line.size() > 2 && line[0] == '[') ids.push_back(std::stoi(line.substr(1)));
    return ids;
  }
  bool Printed(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
};

// Runs kupdate with standard input from /dev/null, so nobody can answer.
Outcome Kupdate(const std::string& args) {
  testing_support::ProcessOutput run = testing_support::RunKupdate(args);
  Outcome outcome{run.status, {}, run.err};
  std::istringstream in(run.out);
  for (std::string line; std::getline(in, line);) outcome.lines.push_back(line);
  return outcome;
}

class KupdateRunTest : public ::testing::Test {
 protected:
  KupdateRunTest() {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
      kernel::SetEnvironmentVariable(name, std::nullopt);
    for (const std::string& dir : {www_ + "files", app_, work_}) fs::create_directories(dir);
  }
  testing_support::HttpServer& Http() {
    if (!http_) http_.emplace(www_, home_.Path("http.log"));
    return *http_;
  }

  testing_support::TempHome home_;
  const std::string www_ = home_.Path("www/");
  const std::string app_ = home_.Path("app/");
  const std::string work_ = home_.Path("work/");
  std::optional<testing_support::HttpServer> http_;
};

TEST_F(KupdateRunTest, InstallsPlainCompressedAndCabinetFilesThenFindsNothingNew) {
  WriteFile(www_ + "files/readme.txt", "read me");
  WriteFile(work_ + "tool.exe", std::string(500, 'T') + "tail");
  ASSERT_EQ(testing_support::RunShell("cd " + work_ + " && mscompress tool.exe >/dev/null 2>&1"),
            0);
  fs::copy_file(work_ + "tool.exe_", www_ + "files/tool.exe_");
  WriteFile(work_ + "data.bin", "cabinet data");
  cab_support::MakeCabinet(www_ + "files/pack.cab", work_, {"data.bin"}, true);
  WriteFile(www_ + "upd.txt",
            "[update]\ndate=01/01/2020\nlocalversion={APP}\\docs\\readme.txt\n"
            "[files]\ncount=3\n"
            "[file1]\nurl=" +
                Http().Url("files/readme.txt") + "\ntargetdir={APP}\\docs\n" + "[file2]\nurl=" +
                Http().Url("files/tool.exe_") + "\ncompressed=1\ntargetdir={APP}\\\n" +
                "[file3]\nurl=" + Http().Url("files/pack.cab") +
                "\ncompressed=1\ntargetdir={APP}\\data\\\n");

  const std::string args = "run --yes --dir " + app_ + " " + Http().Url("upd.txt?KestrelTick=1");
  Outcome first = Kupdate(args);
  EXPECT_EQ(first.status, 0) << first.err;
  const auto ids = first.Ids();
  ASSERT_GE(ids.size(), 8u);
  EXPECT_EQ(std::vector<int>(ids.begin(), ids.begin() + 6),
            (std::vector<int>{msg::kStartUpdate, msg::kOSVersion, msg::kIEVersion, msg::kCompiler,
                              msg::kInstalledIDEs, msg::kStartUpdater}));
  EXPECT_EQ(
      std::vector<int>(ids.end() - 3, ids.end()),
      (std::vector<int>{msg::kFinishedControlFile, msg::kClosedInternet, msg::kClosedInternet}));
  EXPECT_TRUE(first.Printed("[948] Finished processing update control file (Status:3) (Error:0)"));
  EXPECT_EQ(ReadFile(app_ + "docs/readme.txt"), "read me");
  EXPECT_EQ(ReadFile(app_ + "tool.exe"), std::string(500, 'T') + "tail");
  EXPECT_FALSE(fs::exists(app_ + "tool.exe_"));
  EXPECT_EQ(ReadFile(app_ + "data/data.bin"), "cabinet data");
  EXPECT_NE(first.err.find("pack.cab"), std::string::npos);  // progress on stderr

  Outcome second = Kupdate(args);
  EXPECT_EQ(second.status, 1) << second.err;
  EXPECT_TRUE(second.Printed("[930] No new version found (Status:4) (Error:0)"));
}

TEST_F(KupdateRunTest, QuestionsAreAnsweredNoWithoutATerminal) {
  WriteFile(www_ + "files/a.txt", "a");
  WriteFile(www_ + "upd.txt",
            "[update]\nunconditional=1\n[action]\nquery=Update now?\n"
            "[files]\ncount=1\n[file1]\nurl=" +
                Http().Url("files/a.txt") + "\ntargetdir={APP}\\\n");
  Outcome no = Kupdate("run --dir " + app_ + " " + Http().Url("upd.txt"));
  EXPECT_EQ(no.status, 3);
  EXPECT_TRUE(no.Printed("[936] Found query instruction (Status:3) (Error:0)"));
  EXPECT_FALSE(fs::exists(app_ + "a.txt"));

  Outcome yes = Kupdate("run --yes --dir " + app_ + " " + Http().Url("upd.txt"));
  EXPECT_EQ(yes.status, 0) << yes.err;
  EXPECT_EQ(ReadFile(app_ + "a.txt"), "a");
}

TEST_F(KupdateRunTest, TextsAreAcceptedWithYes) {
  WriteFile(www_ + "files/a.txt", "a");
  WriteFile(www_ + "eula.txt", "Licence terms");
  WriteFile(www_ + "upd.txt", "[update]\nunconditional=1\n[eula]\nfile=" + Http().Url("eula.txt") +
                                  "\n[files]\ncount=1\n[file1]\nurl=" + Http().Url("files/a.txt") +
                                  "\ntargetdir={APP}\\\n");
  EXPECT_EQ(Kupdate("run --dir " + app_ + " " + Http().Url("upd.txt")).status, 3);
  EXPECT_FALSE(fs::exists(app_ + "a.txt"));
  EXPECT_EQ(Kupdate("run --yes --dir " + app_ + " " + Http().Url("upd.txt")).status, 0);
  EXPECT_TRUE(fs::exists(app_ + "a.txt"));
}

TEST_F(KupdateRunTest, ErrorsAndFolderRuns) {
  Outcome missing = Kupdate("run --yes --dir " + app_ + " " + Http().Url("absent.txt"));
  EXPECT_EQ(missing.status, 3);
  EXPECT_NE(missing.err.find("absent.txt"), std::string::npos) << missing.err;
  EXPECT_TRUE(missing.Printed("[916] Http status : 404 (Status:6) (Error:404)"));

  // A run from a folder, in the current folder.
  WriteFile(www_ + "files/b.txt", "b");
  WriteFile(www_ + "local.txt", "[update]\nunconditional=1\n[files]\ncount=1\n[file1]\nurl=" +
                                    www_ + "files/b.txt\ntargetdir={APP}\\\n");
  fs::current_path(app_);
  Outcome local = Kupdate("run --yes --set UpdateType=fileUpdate " + www_ + "local.txt");
  EXPECT_EQ(local.status, 0) << local.err;
  EXPECT_EQ(ReadFile(app_ + "b.txt"), "b");

  EXPECT_EQ(Kupdate("run --dir " + home_.Path("none") + " x").status, 2);
  EXPECT_EQ(Kupdate("run --set Bogus=1 x").status, 2);
  EXPECT_EQ(Kupdate("run").status, 2);
}

// The package entries of the demo's control file: plain cabinets, not
// marked compressed, for the Cab folder, selected by date, time and size.
TEST_F(KupdateRunTest, DefaultsInstallTheDemoPackagesIntoTheFolder) {
  WriteFile(work_ + "core.dll", "core");
  cab_support::MakeCabinet(www_ + "files/Addin.cab", work_, {"core.dll"}, true);
  WriteFile(work_ + "sys.bpl", "sys");
  cab_support::MakeCabinet(www_ + "files/Packed.cab", work_, {"sys.bpl"}, true);
  const auto size = std::to_string(fs::file_size(www_ + "files/Addin.cab"));
  WriteFile(www_ + "Kestrel.txt",
            "[update]\nunconditional=1\n[files]\ncount=2\n"
            "[file1]\nurl=" +
                Http().Url("files/Addin.cab") +
                "\ntargetdir={APP}\\Cab\nlocalversion={APP}\\Cab\\Addin.cab\n"
                "date=05/03/2009\ntime=14:30\nfilesize=" +
                size + "\n[file2]\nurl=" + Http().Url("files/Packed.cab") +
                "\ncompressed=1\ntargetdir={APP}\\System\n");
  Outcome run = Kupdate("run --yes --dir " + app_ + " " + Http().Url("Kestrel.txt"));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(app_ + "Cab/Addin.cab"), ReadFile(www_ + "files/Addin.cab"));
  EXPECT_EQ(ReadFile(app_ + "System/sys.bpl"), "sys");
  EXPECT_EQ(run.err.find("UPDT"), std::string::npos) << run.err;
}

// Exit status 3 names every file the update did not install, and why.
TEST_F(KupdateRunTest, AFileNotInstalledOrDeclinedExitsWithThree) {
  WriteFile(www_ + "files/a.txt", "a");
  WriteFile(work_ + "tool.exe", std::string(5000, 'T'));
  ASSERT_EQ(testing_support::RunShell("cd " + work_ + " && mscompress tool.exe >/dev/null 2>&1"),
            0);
  const std::string whole = ReadFile(work_ + "tool.exe_");
  WriteFile(www_ + "files/cut.exe_", whole.substr(0, whole.size() / 2));
  WriteFile(www_ + "files/plain.cab", "not a cabinet");
  WriteFile(work_ + "zeros.bin", std::string(4 << 20, '\0'));
  cab_support::MakeCabinet(www_ + "files/zeros.cab", work_, {"zeros.bin"}, true);
  fs::create_directories(app_ + "blocked/a.txt/inside");
  const std::string a = Http().Url("files/a.txt");
  auto said = [this](const std::string& file, const std::string& why) {
    return "kupdate: " + Http().Url("files/" + file) + ": " + why;
  };
  struct Case {
    const char* what;
    std::string options, entry, before, said;
  } cases[] = {
      {"download", "--yes", "url=" + Http().Url("files/absent.bin") + "\ntargetdir={APP}\\", "",
       said("absent.bin", "not downloaded: the server answered with HTTP status 404")},
      {"move", "--yes --set UseWinTempDir=true", "url=" + a + "\ntargetdir={APP}\\blocked", "",
       said("a.txt", "downloaded to ")},
      {"expansion", "--yes", "url=" + Http().Url("files/cut.exe_") + "\ncompressed=1", "",
       said("cut.exe_", "its compressed data did not expand whole")},
      {"cabinet", "--yes", "url=" + Http().Url("files/plain.cab") + "\ncompressed=1", "",
       said("plain.cab", "not unpacked: not a cabinet")},
      {"full disk", "--yes",
       "url=" + Http().Url("files/zeros.cab") + "\ncompressed=1\ntargetdir={APP}\\zeros",
       "ulimit -f 128; ", said("zeros.cab", "not unpacked: cannot extract it into ")},
      {"prompt No", "", "url=" + a + "\ntargetdir={APP}\\", "", said("a.txt", "declined")},
      {"query No", "", "url=" + a + "\ntargetdir={APP}\\\n[action]\nquery=Go?", "",
       "kupdate: the update was declined"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
#ifdef _WIN32
    if (!c.before.empty()) continue;  // a limit on the file size takes a POSIX shell
#endif
    WriteFile(www_ + "upd.txt",
              "[update]\nunconditional=1\n[files]\ncount=1\n[file1]\n" + c.entry + "\n");
    const auto run = testing_support::RunKupdate(
        "run " + c.options + " --dir " + app_ + " " + Http().Url("upd.txt"), c.before);
    EXPECT_EQ(run.status, 3) << run.out << run.err;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(app_ + "a.txt"));
  }
}

}  // namespace
