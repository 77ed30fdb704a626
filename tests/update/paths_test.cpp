#include "update/paths.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/kernel.h"
#include "platform/ui.h"
#include "support/servers.h"
#include "support/test_support.h"
#include "update/updater.h"

using testing_support::ReadFile;
using testing_support::TempHome;
using testing_support::WriteFile;

namespace {

TVersionPair V(int a, int b, int c, int d) {
  return {(a << 16) | b, (c << 16) | d};
}

const std::string kSep(1, kernel::PATH_SEPARATOR);

TEST(Paths, TempDirPrefersTheOverrideWithOneSeparator) {
  TempHome home;
  SetUpdateTempDir("");
  EXPECT_EQ(GetTempDir(), kernel::GetTempPath());
  SetUpdateTempDir("/opt/k/Temp");
  EXPECT_EQ(GetTempDir(), "/opt/k/Temp" + kSep);
  SetUpdateTempDir("/opt/k/Temp" + kSep);
  EXPECT_EQ(GetTempDir(), "/opt/k/Temp" + kSep);
  SetUpdateTempDir("");
}

TEST(Paths, SeparatorHelpers) {
  EXPECT_EQ(AddBackslash(""), "");
  EXPECT_EQ(AddBackslash("a"), "a" + kSep);
  EXPECT_EQ(AddBackslash("a\\"), "a\\");
  EXPECT_EQ(PathForPrefix("C:\\Windows"), "C:\\Windows");
  EXPECT_EQ(PathForPrefix("C:\\"), "C:\\.");
  EXPECT_EQ(PathForPrefix("\\\\srv\\share\\"), "\\\\srv\\share\\.");
  EXPECT_EQ(PathForPrefix("/opt/k"), "/opt/k" + kSep + ".");
  EXPECT_EQ(PathForPrefix(""), ".");
  EXPECT_EQ(PosNoCase("kestrel", "Start KESTREL.exe"), 7);
  EXPECT_EQ(PosNoCase("x", "abc"), 0);
  EXPECT_EQ(ExpandNewlines("a\\nb\\\\nc\\"), "a\rb\\\rc\\");
  EXPECT_EQ(ExtractFilePath("a\\b/c.txt"), "a\\b/");
  EXPECT_EQ(ExtractFileName("a\\b/c.txt"), "c.txt");
}

TEST(Paths, ParseVersion) {
  EXPECT_EQ(ParseVersion("1.2"), V(1, 2, 0, 0));
  EXPECT_EQ(ParseVersion("1.2.3"), V(1, 2, 3, 0));
  EXPECT_EQ(ParseVersion("1,2,3,4"), V(1, 2, 3, 4));
  EXPECT_EQ(ParseVersion("7"), V(7, 0, 0, 0));
  EXPECT_EQ(ParseVersion("1.2.3.4.5"), (TVersionPair{(1 << 16) | 2, -1}));
  EXPECT_EQ(ParseVersion("1.2.3.x"), (TVersionPair{(1 << 16) | 2, -1}));
  EXPECT_TRUE(ParseVersion("abc").IsNone());
  EXPECT_TRUE(ParseVersion("").IsNone());
  // A comma wins over full stops; a part is shifted into its word, not cut,
  // so a minor part above 16 bits carries into the major one.
  EXPECT_EQ(ParseVersion("1.5,2"), V(0, 2, 0, 0));
  EXPECT_EQ(ParseVersion("65537.1"), V(1, 1, 0, 0));
  EXPECT_EQ(ParseVersion("2.70000"), (TVersionPair{0x00031170, 0}));
  EXPECT_EQ(ParseVersion("2.x.3"), V(2, 0, 3, 0));
}

TEST(Paths, VersionToString) {
  EXPECT_EQ(VersionToString(V(2, 1, 3, 0)), "2.1.3.0");
  EXPECT_EQ(VersionToString({}), "65535.65535.65535.65535");
}

TEST(Paths, FileSizeAndVersion) {
  TempHome home;
  WriteFile("five", "12345");
  EXPECT_EQ(GetFileSizeOf("five"), 5);
  EXPECT_EQ(GetFileSizeOf("missing"), -1);
  EXPECT_EQ(GetFileSizeOf(home.Path("")), -1);
  EXPECT_TRUE(GetFileVersion("five").IsNone());
  EXPECT_TRUE(GetFileVersion("missing").IsNone());
  // Our own programs carry a version note (the tests are built as 1.2.3.4).
  EXPECT_EQ(GetFileVersion(kernel::GetModuleFileName()), V(1, 2, 3, 4));
}

TEST(Paths, SpecialFolders) {
  TempHome home;
  EXPECT_EQ(GetPersonalFolder(), home.Path("home/Documents"));
  EXPECT_EQ(GetLocalAppDataDir(), home.Path("data"));
  EXPECT_EQ(GetProgramFilesDir(), "");
#ifndef _WIN32  // Windows always knows a user's folders
  kernel::SetEnvironmentVariable("HOME", std::nullopt);
  kernel::SetEnvironmentVariable("XDG_DATA_HOME", std::nullopt);
  kernel::SetEnvironmentVariable("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_EQ(GetPersonalFolder(), "");
  try {
    GetLocalAppDataDir();
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Could not find Local Application Data folder location.");
  }
#endif
}

TEST(ConvertPrefix, ExpandsTokensInAnyCase) {
  TempHome home;
  SetUpdateTempDir(home.Path("t"));
  TUpdater u(nullptr);
  const std::string app = PathForPrefix(ExtractFilePath(kernel::GetModuleFileName()));
  // A text with a token is a path of this machine, with its separators.
  EXPECT_EQ(u.ConvertPrefix("{app}\\a.dll"), kernel::NativePath(app + "\\a.dll"));
  EXPECT_EQ(u.ConvertPrefix("{APP}\\a.dll"), kernel::NativePath(app + "\\a.dll"));
  EXPECT_EQ(u.ConvertPrefix("{XYZ}\\a.dll"), kernel::NativePath(".\\a.dll"));
  EXPECT_EQ(u.ConvertPrefix("{TMP}x"), PathForPrefix(home.Path("t")) + "x");
  EXPECT_EQ(u.ConvertPrefix("{DOC}\\{LAD}"),
            kernel::NativePath(PathForPrefix(home.Path("home/Documents")) + "\\" +
                               PathForPrefix(home.Path("data"))));
  EXPECT_EQ(u.ConvertPrefix("plain\\path"), "plain\\path");
  EXPECT_EQ(u.ConvertPrefix("open{APP"), "open{APP");
  // A "{" inside an open pair belongs to the token.
  EXPECT_EQ(u.ConvertPrefix("{a{b}c"), ".c");
  SetUpdateTempDir("");
}

TEST(ConvertPrefix, HandlerRewritesFirstAndExpansionsNest) {
  TempHome home;
  TUpdater u(nullptr);
  u.OnConvertPrefix = [](TUpdater*, std::string& path) { path = "{TMP}" + path; };
  SetUpdateTempDir("{DOC}");
  // "{TMP}" is "{DOC}" with a separator, so "{TMP}x" is the documents
  // folder, a separator and ".x".
  EXPECT_EQ(u.ConvertPrefix("x"), PathForPrefix(home.Path("home/Documents")) + kSep + ".x");
  // A folder that names its own token does not expand for ever.
  SetUpdateTempDir("/loop/{TMP}");
  EXPECT_NO_THROW(u.ConvertPrefix("{TMP}"));
  SetUpdateTempDir("");
}

TEST(ConvertPrefix, UnknownLocalAppDataFailsTheCall) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows always knows a user's folders";
#endif
  TempHome home;
  kernel::SetEnvironmentVariable("HOME", std::nullopt);
  kernel::SetEnvironmentVariable("XDG_DATA_HOME", std::nullopt);
  TUpdater u(nullptr);
  EXPECT_THROW(u.ConvertPrefix("{LAD}\\x"), std::runtime_error);
}

class RunProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = ui::SetBackend(std::unique_ptr<ui::Backend>(scripted_ = new ui::ScriptedBackend));
  }
  void TearDown() override { ui::SetBackend(std::move(previous_)); }
  ui::ScriptedBackend* scripted_;
  std::unique_ptr<ui::Backend> previous_;
};

TEST_F(RunProgramTest, ExitCodesAreOffsetInTheLastError) {
  TempHome home;
  TUpdater u(nullptr);
  std::vector<std::string> reports;
  u.OnStatus = [&](TUpdater*, const std::string& s, int status, int error) {
    reports.push_back(s + "|" + std::to_string(status) + "|" + std::to_string(error));
  };
  const std::string fails = testing_support::InstallStandIn(home.Path("fails"), "exit 3");
  EXPECT_FALSE(u.RunProgram(fails, false, false, "", ""));
  EXPECT_EQ(kernel::GetLastError(), 8195u);
  EXPECT_EQ(reports, std::vector<std::string>{"Exec: " + fails + "|18|0"});

  const std::string writes = testing_support::InstallStandIn(home.Path("writes"), "write out.txt");
  EXPECT_TRUE(u.RunProgram(writes + " ran", true, true, "Patching", "Please wait"));
  EXPECT_EQ(ReadFile("out.txt"), "ran\n");
  EXPECT_EQ(scripted_->shownForms, std::vector<std::string>{"TForm"});

  EXPECT_FALSE(u.RunProgram(home.Path("no-such-program"), false, false, "", ""));
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_FILE_NOT_FOUND);
}

TEST(ExpandLZFile, ExpandsBesideAndDeletesTheSource) {
  TempHome home;
  std::string content(50000, 'k');
  for (size_t i = 0; i < content.size(); i += 7) content[i] = static_cast<char>(i);
  WriteFile("upsetup.exe", content);
  // The compress tool here appends "_" and stores no character; a published
  // file replaces the last character and stores it in the header.
  ASSERT_EQ(testing_support::RunShell("mscompress upsetup.exe"), 0);
  std::string packed = ReadFile("upsetup.exe_");
  ASSERT_EQ(packed.substr(0, 4), "SZDD");
  packed[9] = 'e';
  WriteFile("upsetup.ex_", packed);
  std::filesystem::remove("upsetup.exe");
  EXPECT_TRUE(ExpandLZFile(home.Path("upsetup.ex_")));
  EXPECT_FALSE(std::filesystem::exists("upsetup.ex_"));
  EXPECT_EQ(ReadFile("upsetup.exe"), content);

  // A file that cannot be expanded, or not whole, is still deleted.
  WriteFile("broken.ex_", "SZDD\x88\xf0'3A");
  EXPECT_FALSE(ExpandLZFile(home.Path("broken.ex_")));
  EXPECT_FALSE(std::filesystem::exists("broken.ex_"));
  WriteFile("cut.ex_", packed.substr(0, packed.size() / 2));
  EXPECT_FALSE(ExpandLZFile(home.Path("cut.ex_")));
  EXPECT_FALSE(std::filesystem::exists("cut.exe"));
}

}  // namespace

namespace {

TEST(ExpandLZFile, PlainFileWithoutCompressedNameSurvives) {
  TempHome home;
  WriteFile("plain.dll", "not compressed");
  ExpandLZFile(home.Path("plain.dll"));
  EXPECT_EQ(ReadFile("plain.dll"), "not compressed");
}

}  // namespace
