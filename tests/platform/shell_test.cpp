#include "platform/shell.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/kernel.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
using shell::GetSpecialFolder;
using shell::SpecialFolder;
using testing_support::ReadFile;
using testing_support::TempHome;
using testing_support::WriteFile;

class ShellTest : public ::testing::Test {
 protected:
  ShellTest() {
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "PATH"})
      saved_.emplace_back(name, kernel::GetEnvironmentVariable(name));
  }
  ~ShellTest() override {
    for (const auto& [name, value] : saved_) kernel::SetEnvironmentVariable(name, value);
  }

  void UserDirs(const std::string& content) {
    WriteFile(home.Path("config/user-dirs.dirs"), content);
  }
#ifndef _WIN32
  void Script(const std::string& path, const std::string& body) {
    WriteFile(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
  }
#endif
  // Waits for a file that a started program writes (it renames it into
  // place, so the content is complete once the name appears).
  std::string Awaited(const std::string& path) {
    for (auto end = std::chrono::steady_clock::now() + 30s;
         std::chrono::steady_clock::now() < end && !std::filesystem::exists(path);)
      std::this_thread::sleep_for(5ms);
    std::string text = ReadFile(path);
    std::erase(text, '\r');  // a batch file writes Windows line ends
    return text;
  }
#ifndef _WIN32
  // Children of this process that were not reaped.
  static int Zombies() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      std::ifstream in(entry.path() / "stat");
      std::string line;
      if (!std::getline(in, line) || line.rfind(')') == std::string::npos) continue;
      std::istringstream rest(line.substr(line.rfind(')') + 1));
      std::string state;
      int ppid = 0;
      rest >> state >> ppid;
      count += ppid == getpid() && state == "Z";
    }
    return count;
  }
#endif

  TempHome home;
  std::string homeDir = home.Path("home");

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(ShellTest, DocumentsFolderFromTheXdgUserDirectories) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows names the documents folder itself, not the XDG user directories";
#else
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::Personal), homeDir + "/Documents");

  UserDirs(
      "# written by xdg-user-dirs-update\n"
      "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
      "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente/\"\n"
      "XDG_MUSIC_DIR=\"$HOME/Musik\"\n");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::Personal), homeDir + "/Dokumente");

  UserDirs("XDG_DOCUMENTS_DIR=\"/srv/shared docs\"\n");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::Personal), "/srv/shared docs");

  UserDirs("  XDG_DOCUMENTS_DIR=\"$HOME/My \\\"Papers\\\"\"\n");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::Personal), homeDir + "/My \"Papers\"");

  UserDirs("XDG_DOCUMENTS_DIR=\"$HOME\"\n");  // documents kept in the home folder itself
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::Personal), homeDir);

  UserDirs("XDG_DOCUMENTS_DIR=\"Documents\"\n");  // relative: not allowed, ignored
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::Personal), homeDir + "/Documents");

  // Without XDG_CONFIG_HOME the file is looked for under ~/.config.
  unsetenv("XDG_CONFIG_HOME");
  std::filesystem::create_directories(homeDir + "/.config");
  WriteFile(homeDir + "/.config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::Personal), homeDir + "/Docs");
#endif
}

TEST_F(ShellTest, FoldersWithoutAHome) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows folders do not depend on HOME";
#else
  unsetenv("HOME");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::Personal), "");
  UserDirs("XDG_DOCUMENTS_DIR=\"$HOME/Docs\"\n");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::Personal), "");
  UserDirs("XDG_DOCUMENTS_DIR=\"/data/docs\"\n");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::Personal), "/data/docs");

  EXPECT_EQ(GetSpecialFolder(SpecialFolder::LocalAppData), home.Path("data"));
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::LocalAppData), "");
#endif
}

TEST_F(ShellTest, LocalApplicationDataAndSystemFolders) {
#ifdef _WIN32
  // The shell's own folders, whole paths without a trailing separator; the
  // system folder lies in the Windows folder.
  for (auto folder : {SpecialFolder::Personal, SpecialFolder::LocalAppData, SpecialFolder::Windows,
                      SpecialFolder::System}) {
    const std::string path = GetSpecialFolder(folder);
    EXPECT_TRUE(path.size() > 3 && path[1] == ':' && path.back() != '\\') << path;
  }
  EXPECT_TRUE(GetSpecialFolder(SpecialFolder::System)
                  .starts_with(GetSpecialFolder(SpecialFolder::Windows) + "\\"));
#else
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::LocalAppData), home.Path("data"));
  setenv("XDG_DATA_HOME", "relative/data", 1);  // ignored, as the XDG rules say
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::LocalAppData), homeDir + "/.local/share");
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::LocalAppData), homeDir + "/.local/share");
  EXPECT_FALSE(std::filesystem::exists(homeDir + "/.local"));  // nothing is created

  EXPECT_EQ(GetSpecialFolder(SpecialFolder::Windows), "/etc");
  EXPECT_EQ(GetSpecialFolder(SpecialFolder::System), "/usr/lib");
#endif
}

TEST_F(ShellTest, ProgramsStartWithTheirParametersInTheGivenFolder) {
  std::filesystem::create_directories(home.path() / "app" / "run");
#ifdef _WIN32
  // A batch file: the shell hands it to the command interpreter.
  const std::string program = home.Path("app/tool.cmd");
  WriteFile(program,
            "@echo off\r\ncd > out.tmp\r\nfor %%a in (%*) do echo [%%~a]>> out.tmp\r\n"
            "move /y out.tmp out.txt > nul\r\n");
#else
  const std::string program = home.Path("app/tool.sh");
  Script(program,
         "{ pwd; for a in \"$@\"; do echo \"[$a]\"; done; } > out.tmp && mv out.tmp out.txt\n");
#endif
  ASSERT_TRUE(shell::ShellExecuteOpen(program, "\"a b\" c", home.Path("app") + "\\run"));
  EXPECT_EQ(Awaited(home.Path("app/run/out.txt")),
            std::filesystem::canonical(home.path() / "app" / "run").string() + "\n[a b]\n[c]\n");

  // A relative name that is not in the current folder is found in the given one.
  ASSERT_TRUE(shell::ShellExecuteOpen(std::filesystem::path(program).filename().string(), "again",
                                      home.Path("app")));
  EXPECT_EQ(Awaited(home.Path("app/out.txt")),
            std::filesystem::canonical(home.path() / "app").string() + "\n[again]\n");

#ifndef _WIN32
  // Nobody waits for them, yet none is left behind as a zombie.
  for (auto end = std::chrono::steady_clock::now() + 30s;
       Zombies() > 0 && std::chrono::steady_clock::now() < end;)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(Zombies(), 0);
#endif
}

TEST_F(ShellTest, DocumentsAndUrlsGoToTheDesktopOpener) {
#ifdef _WIN32
  GTEST_SKIP() << "the Windows shell opens documents itself, not xdg-open";
#else
  // A stand-in for xdg-open that records what it was asked to open.
  std::filesystem::create_directory(home.path() / "stub");
  Script(home.Path("stub/xdg-open"), "echo \"$1\" > \"" + home.Path("opened.tmp") + "\" && mv \"" +
                                         home.Path("opened.tmp") + "\" \"" +
                                         home.Path("opened.txt") + "\"\n");
  setenv("PATH", (home.Path("stub") + ":/usr/bin:/bin").c_str(), 1);

  WriteFile(home.Path("readme.txt"), "text");
  ASSERT_TRUE(shell::ShellExecuteOpen("readme.txt"));
  EXPECT_EQ(Awaited(home.Path("opened.txt")),
            std::filesystem::canonical(home.path()).string() + "/readme.txt\n");
  std::filesystem::remove(home.Path("opened.txt"));

  ASSERT_TRUE(shell::ShellExecuteOpen("https://example.invalid/page?a=1&b=2"));
  EXPECT_EQ(Awaited(home.Path("opened.txt")), "https://example.invalid/page?a=1&b=2\n");
  std::filesystem::remove(home.Path("opened.txt"));

  // A document marked executable, as on a file system without permissions.
  WriteFile(home.Path("notes.doc"), "not a program");
  chmod(home.Path("notes.doc").c_str(), 0777);
  ASSERT_TRUE(shell::ShellExecuteOpen(home.Path("notes.doc")));
  EXPECT_EQ(Awaited(home.Path("opened.txt")), home.Path("notes.doc") + "\n");
#endif
}

TEST_F(ShellTest, NothingToStartGivesFalse) {
  EXPECT_FALSE(shell::ShellExecuteOpen(home.Path("missing.exe")));
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(shell::ShellExecuteOpen(""));
  EXPECT_FALSE(shell::ShellExecuteOpen("no-such-program-kestrel"));

#ifndef _WIN32  // the Windows shell opens every document
  // A document with no opener installed.
  setenv("PATH", home.Path("empty").c_str(), 1);
  WriteFile(home.Path("readme.txt"), "text");
  EXPECT_FALSE(shell::ShellExecuteOpen(home.Path("readme.txt")));
  EXPECT_FALSE(shell::ShellExecuteOpen("http://example.invalid/"));
#endif
}

}  // namespace
