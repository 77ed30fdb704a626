// The restarter program as built, run the way the component starts it: in
// the updated program's folder, with the components in a temporary folder.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "platform/profile.h"
#include "support/cab_support.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::InstallStandIn;
using testing_support::ReadFile;
using testing_support::TempHome;
using testing_support::WriteFile;

const std::string kRestarter = std::string(KESTREL_BIN_DIR) + "/upsetup.exe";

// The names a folder holds, as it spells them.
std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

// An SZDD file made of literals only, which every expander reads.
std::string Szdd(const std::string& data, char lastChar) {
  std::string out = std::string("SZDD\x88\xF0\x27\x33", 8) + 'A' + lastChar;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((data.size() >> (8 * i)) & 0xFF);
  for (size_t at = 0; at < data.size(); at += 8) {
    out += '\xFF';
    out += data.substr(at, 8);
  }
  return out;
}

class RestarterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(app_);
    fs::create_directories(temp_);
    // The program writes its parameters into the folder it was started in.
    InstallStandIn(app_ + "app.exe", "write started.txt old");
    profile::WritePrivateProfileString("CONFIG", std::string("LOGFILENAME"), log_, settings_);
  }

  // A process id that belonged to a process that has ended.
  int EndedProcessId() {
    auto process =
        kernel::CreateProcess(kernel::QuoteArgument(InstallStandIn(home_.Path("ended"), "exit 0")));
    EXPECT_TRUE(process);
    kernel::WaitForProcess(*process);
    return process->Id();
  }

  // Runs the restarter to its end from the program folder.
  void Run(const std::vector<std::string>& args) {
    std::string command = kernel::QuoteArgument(kRestarter);
    for (const std::string& arg : args) command += " " + kernel::QuoteArgument(arg);
    auto process = kernel::CreateProcess(command, kernel::ShowWindow::Normal, app_);
    ASSERT_TRUE(process) << command;
    ASSERT_TRUE(kernel::WaitForProcess(*process, std::chrono::seconds(60)));
  }

  // The restarted program runs on its own; wait for its mark.
  std::string Started() {
    const std::string mark = app_ + "started.txt";
    for (int i = 0; i < 400 && !fs::exists(mark); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return fs::exists(mark) ? ReadFile(mark) : "";
  }

  std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    if (!fs::exists(log_)) return lines;
    std::string text = ReadFile(log_);
    size_t at = 0;
    while (at < text.size()) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(at, end - at);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
      at = end + 1;
    }
    return lines;
  }
  // The texts after the time stamp and the identifier.
  std::vector<std::string> LogTexts() {
    std::vector<std::string> texts;
    const std::regex line(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d : \[000\] (.*))");
    for (const std::string& l : LogLines()) {
      std::smatch m;
      EXPECT_TRUE(std::regex_match(l, m, line)) << l;
      texts.push_back(m.size() > 1 ? m[1].str() : l);
    }
    return texts;
  }

  void ExpectTheRestarterWaits(const std::string& prefix);

  TempHome home_;
  std::string app_ = home_.Path("app/");
  std::string temp_ = home_.Path("app/Temp/");
  std::string log_ = home_.Path("logs.txt");
  std::string settings_ = home_.Path("home/Documents/UPDATER.INI");
};

TEST_F(RestarterTest, ReplacesTheProgramAndRestartsItWithoutParameters) {
  InstallStandIn(temp_ + "app.exe_NEW", "write started.txt new");
  Run({std::to_string(EndedProcessId()), "X", app_ + "app.exe", " ", temp_, "app.exe_NEW"});

  EXPECT_EQ(Started(), "new\n");
  EXPECT_EQ(ReadFile(app_ + "app.exe"), ReadFile(temp_ + "app.exe_NEW"));
  EXPECT_TRUE(fs::exists(temp_ + "app.exe_NEW")) << "the replacement stays where it was";
  EXPECT_FALSE(fs::exists(settings_)) << "the settings file is consumed";
  EXPECT_EQ(LogTexts(), std::vector<std::string>{"UPD has EXE restarted"});
}

// The line exactly as the component writes it, with the temporary folder in
// the Windows form that ends in a backslash: blanks separate arguments and
// quotes group them, nothing escapes a quote.
TEST_F(RestarterTest, TakesTheComponentsLineAsItIsWritten) {
  InstallStandIn(temp_ + "app.exe_NEW", "write started.txt new");
  const std::string windowsTemp = temp_.substr(0, temp_.size() - 1) + "\\";
  const std::string line = kernel::QuoteArgument(kRestarter) + " " +
                           std::to_string(EndedProcessId()) + " X " + app_ + "app.exe \" \" \"" +
                           windowsTemp + "\" app.exe_NEW";
  auto process = kernel::CreateProcess(line, kernel::ShowWindow::Normal, app_);
  ASSERT_TRUE(process);
  ASSERT_TRUE(kernel::WaitForProcess(*process, std::chrono::seconds(60)));

  EXPECT_EQ(Started(), "new\n");
  EXPECT_EQ(ReadFile(app_ + "app.exe"), ReadFile(temp_ + "app.exe_NEW"));
}

TEST_F(RestarterTest, LogsEveryStepAndPassesTheParameters) {
  InstallStandIn(temp_ + "app.exe_new", "write started.txt new");
  // The temporary folder without its trailing separator.
  Run({std::to_string(EndedProcessId()), "L", app_ + "app.exe", "-a -b",
       temp_.substr(0, temp_.size() - 1), "app.exe_new"});

  EXPECT_EQ(Started(), "new -a -b\n");
  const auto texts = LogTexts();
  ASSERT_EQ(texts.size(), 6u);
  EXPECT_EQ(texts[0], "UPD v2.0.4.0 started");
  EXPECT_EQ(texts[1], "UPD current directory: " + app_.substr(0, app_.size() - 1));
  EXPECT_TRUE(std::regex_match(
      texts[2], std::regex(R"(UPD waited from \d\d/\d\d/\d{4} \d\d:\d\d:\d\d:\d{3} to )"
                           R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d:\d{3} for application close)")))
      << texts[2];
  EXPECT_EQ(texts[3], "Upd copying file : " + temp_ + "app.exe_NEW to " + app_ + "app.exe");
  EXPECT_EQ(texts[4], "UPD restart " + app_ + "app.exe -a -b");
  EXPECT_EQ(texts[5], "UPD has EXE restarted");
}

// The names of the command line and of a list are Windows names: where the
// exact name is missing, one that differs only in letter case is meant.
TEST_F(RestarterTest, FindsNamesInAnyLetterCase) {
  // Installed anew rather than renamed: under Wine a rename that changes
  // only the letter case leaves the name as it was.
  fs::remove(app_ + "app.exe");
  InstallStandIn(app_ + "App.exe", "write started.txt old");
  fs::create_directories(app_ + "Sub");
  InstallStandIn(temp_ + "app.exe_NEW", "write started.txt new");
  WriteFile(temp_ + "Lib.so_NEW", "new library");
  WriteFile(temp_ + "more.inf",
            "[FILES]\r\nCOUNT=1\r\nFILE1=LIB.SO_new\r\nTARGET1={APP}\\sub\\\r\n");
  Run({std::to_string(EndedProcessId()), "X", app_ + "app.exe", " ", temp_, "APP.EXE_new",
       "MORE.INF"});

  EXPECT_EQ(Started(), "new\n");
  EXPECT_EQ(ReadFile(app_ + "App.exe"), ReadFile(temp_ + "app.exe_NEW"));
  EXPECT_EQ(Names(app_), (std::set<std::string>{"App.exe", "Sub", "Temp", "started.txt"}));
  EXPECT_EQ(ReadFile(app_ + "Sub/LIB.SO"), "new library");
  EXPECT_EQ(Names(app_ + "Sub"), std::set<std::string>{"LIB.SO"});
}

TEST_F(RestarterTest, NullProgramInstallsButStartsNothing) {
  WriteFile(temp_ + "lib.so_NEW", "new library");
  Run({std::to_string(EndedProcessId()), "L", "null", " ", temp_, "lib.so_NEW"});

  EXPECT_EQ(ReadFile(app_ + "lib.so"), "new library");
  EXPECT_FALSE(fs::exists(app_ + "started.txt"));
  for (const std::string& text : LogTexts()) EXPECT_EQ(text.find("restart"), std::string::npos);
}

TEST_F(RestarterTest, InvalidProcessIdEndsAtOnce) {
  WriteFile(temp_ + "lib.so_NEW", "new library");
  Run({"12x", "L", app_ + "app.exe", " ", temp_, "lib.so_NEW"});

  EXPECT_FALSE(fs::exists(app_ + "lib.so"));
  EXPECT_TRUE(fs::exists(settings_));
  EXPECT_FALSE(fs::exists(log_));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(fs::exists(app_ + "started.txt"));
}

// The process id converts as the system's integers do, in hexadecimal
// after "$" too, and an empty entry of a list is taken as a compressed file
// of no name, as every other entry is taken.
TEST_F(RestarterTest, HexadecimalProcessIdAndAnEmptyListEntry) {
  char id[16];
  std::snprintf(id, sizeof id, "$%X", static_cast<unsigned>(EndedProcessId()));
  WriteFile(temp_ + "lib.so_NEW", "new library");
  WriteFile(temp_ + "gap.inf", "[FILES]\r\nCOUNT=2\r\nFILE2=lib.so_NEW\r\n");
  Run({id, "L", "null", " ", temp_, "gap.inf"});

  EXPECT_EQ(ReadFile(app_ + "lib.so"), "new library");
  const auto texts = LogTexts();
  ASSERT_GE(texts.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(texts.begin() + 3, texts.begin() + 6),
            (std::vector<std::string>{"Upd inf file: " + temp_ + "gap.inf",
                                      "upd inf 1 :  ", "Upd lzexpand  "}));
}

// Stands in for the updated program, which runs until the test lets it go;
// the restarter started for it (through the command prefix, if any) must
// not touch the components before then.
void RestarterTest::ExpectTheRestarterWaits(const std::string& prefix) {
  auto program =
      kernel::CreateProcess(kernel::QuoteArgument(InstallStandIn(home_.Path("updated"), "wait go")),
                            kernel::ShowWindow::Normal, app_);
  ASSERT_TRUE(program);
  WriteFile(temp_ + "lib.so_NEW", "new library");
  std::string command = prefix + kernel::QuoteArgument(kRestarter) + " " +
                        std::to_string(program->Id()) + " X null \" \" " +
                        kernel::QuoteArgument(temp_) + " lib.so_NEW";
  auto restarter = kernel::CreateProcess(command, kernel::ShowWindow::Normal, app_);
  ASSERT_TRUE(restarter);

  // A restarter that does not wait is done well within this time.
  EXPECT_FALSE(kernel::WaitForProcess(*restarter, std::chrono::milliseconds(2500)));
  EXPECT_FALSE(fs::exists(app_ + "lib.so"));

  WriteFile(app_ + "go", "");
  ASSERT_TRUE(kernel::WaitForProcess(*program, std::chrono::seconds(30)));
  ASSERT_TRUE(kernel::WaitForProcess(*restarter, std::chrono::seconds(60)));
  EXPECT_EQ(ReadFile(app_ + "lib.so"), "new library");
}

TEST_F(RestarterTest, WaitsForTheUpdatedProgramToEnd) {
  ExpectTheRestarterWaits("");
}

// Older kernels, or a filter on system calls, give no process descriptor:
// the restarter must still wait rather than take the program for gone.
TEST_F(RestarterTest, WaitsAlsoWithoutAProcessDescriptor) {
#ifdef _WIN32
  GTEST_SKIP() << "process descriptors and the system-call tracer are Linux's; Windows waits on "
                  "a process handle";
#endif
  // The leak checker cannot work in a traced process.
  const auto asan = kernel::GetEnvironmentVariable("ASAN_OPTIONS");
  kernel::SetEnvironmentVariable("ASAN_OPTIONS", "detect_leaks=0");
  ExpectTheRestarterWaits(
      "strace -qq -o /dev/null -e trace=pidfd_open "
      "-e inject=pidfd_open:error=ENOSYS ");
  kernel::SetEnvironmentVariable("ASAN_OPTIONS", asan);
}

TEST_F(RestarterTest, ListPlacesACabinetInASubFolderOfTheProgram) {
  fs::create_directories(home_.Path("src/"));
  WriteFile(home_.Path("src/one.txt"), "first");
  WriteFile(home_.Path("src/two.txt"), "second");
  cab_support::MakeCabinet(temp_ + "pack.cab", home_.Path("src"), {"one.txt", "two.txt"}, true);
  WriteFile(temp_ + "more.inf",
            "[FILES]\r\nCOUNT=2\r\nFILE1=pack.cab\r\nTARGET1={APP}\\sub\\\r\n"
            "FILE2=lib.so_NEW\r\nTARGET2={app}\\sub\\\r\n");
  WriteFile(temp_ + "lib.so_NEW", "new library");
  fs::create_directories(app_ + "sub");
  Run({std::to_string(EndedProcessId()), "L", "null", " ", temp_, "more.inf"});

  EXPECT_EQ(ReadFile(app_ + "sub/one.txt"), "first");
  EXPECT_EQ(ReadFile(app_ + "sub/two.txt"), "second");
  EXPECT_EQ(ReadFile(app_ + "sub/lib.so"), "new library");
  EXPECT_FALSE(fs::exists(temp_ + "pack.cab")) << "an unpacked cabinet is deleted";
  const auto texts = LogTexts();
  ASSERT_GE(texts.size(), 6u);
  EXPECT_EQ(texts[3], "Upd inf file: " + temp_ + "more.inf");
  EXPECT_EQ(texts[4], "upd inf 1 : pack.cab {APP}\\sub\\");
  EXPECT_EQ(texts[5].rfind("Upd cab extract pack.cab " + app_, 0), 0u) << texts[5];
}

// Links planted in the program folder: a file link is replaced by the
// entry, a folder link on an entry's way fails the cabinet.
TEST_F(RestarterTest, CabinetWritesNothingThroughLinks) {
#ifdef _WIN32
  GTEST_SKIP() << "no link can be planted: the Windows build's C++ library makes none, and "
                  "Wine's link call reports success but makes none";
#endif
  fs::create_directories(home_.Path("src/sub/"));
  fs::create_directories(home_.Path("elsewhere/"));
  WriteFile(home_.Path("src/two.txt"), "second");
  WriteFile(home_.Path("src/sub/one.txt"), "first");
  WriteFile(home_.Path("elsewhere/victim"), "victim");
  cab_support::MakeCabinet(temp_ + "pack.cab", home_.Path("src"), {"two.txt", "sub/one.txt"}, true);
  fs::create_symlink(home_.Path("elsewhere/victim"), app_ + "two.txt");
  fs::create_symlink(home_.Path("elsewhere"), app_ + "sub");
  Run({std::to_string(EndedProcessId()), "L", "null", " ", temp_, "pack.cab"});

  EXPECT_EQ(ReadFile(home_.Path("elsewhere/victim")), "victim");
  EXPECT_FALSE(fs::exists(home_.Path("elsewhere/one.txt")));
  EXPECT_FALSE(fs::is_symlink(app_ + "two.txt"));
  EXPECT_EQ(ReadFile(app_ + "two.txt"), "second");
  EXPECT_TRUE(fs::exists(temp_ + "pack.cab")) << "a failed cabinet stays";
  const auto texts = LogTexts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Upd cabextract failed"), texts.end());
}

TEST_F(RestarterTest, FailuresAreLoggedAndTheRestStillHappens) {
  WriteFile(temp_ + "bad.cab", "MSCF but not a cabinet");
  WriteFile(temp_ + "plain.dat", "not compressed");
  WriteFile(temp_ + "lib.so_NEW", "new library");
  // A list that names itself ends instead of recursing without end, and a
  // count far above its entries does not keep the restarter busy.
  WriteFile(temp_ + "loop.inf", "[FILES]\nCOUNT=2000000000\nFILE1=loop.inf\n");
  Run({std::to_string(EndedProcessId()), "L", app_ + "app.exe", " ", temp_, "bad.cab", "plain.dat",
       "loop.inf", "lib.so_NEW"});

  EXPECT_EQ(Started(), "old\n");
  EXPECT_EQ(ReadFile(temp_ + "bad.cab"), "MSCF but not a cabinet") << "a failed cabinet stays";
  EXPECT_EQ(ReadFile(temp_ + "plain.dat"), "not compressed");
  EXPECT_EQ(ReadFile(app_ + "lib.so"), "new library");
  const auto texts = LogTexts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Upd cabextract failed"), texts.end());
}

TEST_F(RestarterTest, ExpandsCompressedFilesAndRunsPrograms) {
  // LZ components are found relative to the current folder.
  WriteFile(app_ + "data.bi_", Szdd(std::string(100, 'x') + "end", 'n'));
  fs::create_directories(app_ + "lib");
  InstallStandIn(temp_ + "setup.exe", "sleep 200\nwrite ran.txt ran");
  Run({std::to_string(EndedProcessId()), "L", "null", " ", temp_, "data.bi_", "setup.exe"});

  EXPECT_EQ(ReadFile(app_ + "data.bin"), std::string(100, 'x') + "end");
  EXPECT_EQ(ReadFile(app_ + "ran.txt"), "ran\n") << "the program was waited for";
  EXPECT_FALSE(fs::exists(temp_ + "setup.exe"));
  const auto texts = LogTexts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Upd lzexpand dest. filename data.bin"),
            texts.end());
}

}  // namespace
