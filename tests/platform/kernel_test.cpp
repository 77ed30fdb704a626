#include "platform/kernel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "support/test_support.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempHome;
using testing_support::WriteFile;
using Args = std::vector<std::string>;

// Puts environment variables back as they were when the test ends.
class SavedEnvironment {
 public:
  SavedEnvironment(std::initializer_list<const char*> names) {
    for (const char* name : names) saved_.emplace_back(name, kernel::GetEnvironmentVariable(name));
  }
  ~SavedEnvironment() {
    for (const auto& [name, value] : saved_) kernel::SetEnvironmentVariable(name, value);
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// ---- Command line -------------------------------------------------------------------

TEST(CommandLine, SplitsByTheWindowsRules) {
  struct Case {
    const char* line;
    Args args;
  } cases[] = {
      {"prog a b", {"prog", "a", "b"}},
      {"prog\ta  \t b   ", {"prog", "a", "b"}},
      {"prog \"a b\" c", {"prog", "a b", "c"}},
      {"prog \"\"", {"prog", ""}},
      {"prog a\"b c\"d e", {"prog", "ab cd", "e"}},
      // Backslashes are literal unless they precede a quote.
      {R"(prog a\\\b d"e f"g h)", {"prog", R"(a\\\b)", "de fg", "h"}},
      {R"(prog a\\\"b c d)", {"prog", R"(a\"b)", "c", "d"}},
      {R"(prog a\\\\"b c" d e)", {"prog", R"(a\\b c)", "d", "e"}},
      {R"(prog "c:\dir\\" x)", {"prog", R"(c:\dir\)", "x"}},
      // "" inside quotes is a literal quote that also ends the quoted part.
      {R"(prog a"b"" c d)", {"prog", "ab\"", "c", "d"}},
      {R"(prog """a b""")", {"prog", "\"a", "b\""}},
      // The program name ends at the next quote or blank, backslashes and all.
      {R"("C:\Program Files\x.exe" /F)", {R"(C:\Program Files\x.exe)", "/F"}},
      {R"("a\"b c)", {R"(a\)", "b", "c"}},
      {R"(a"b c"d e)", {"a\"b", "cd e"}},
      {" x", {"", "x"}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(kernel::SplitCommandLine(c.line), c.args) << c.line;
}

TEST(CommandLine, QuotedArgumentsSplitBackUnchanged) {
  Args samples = {"",      "plain",   "a b",      "tab\there", "quote\"in",          "\\\"",
                  "end\\", "end\\\\", "a\\b c\\", "\"\"",      "\\\\server\\share x"};
  std::mt19937 random(42);
  const std::string alphabet = "ab \t\"\\";
  for (int i = 0; i < 300; ++i) {
    std::string s;
    for (int n = random() % 8; n > 0; --n) s += alphabet[random() % alphabet.size()];
    samples.push_back(s);
  }
  for (const std::string& arg : samples) {
    Args got = kernel::SplitCommandLine("prog " + kernel::QuoteArgument(arg) + " next");
    EXPECT_EQ(got, (Args{"prog", arg, "next"})) << "[" << arg << "]";
  }
  EXPECT_EQ(kernel::QuoteArgument("simple"), "simple");
}

TEST(CommandLine, OwnCommandLineNamesThisProgram) {
  const std::string program = kernel::GetModuleFileName();
  EXPECT_EQ(std::filesystem::path(program).stem(), "platform_tests") << program;
  EXPECT_TRUE(std::filesystem::path(program).is_absolute()) << program;
  EXPECT_TRUE(std::filesystem::is_regular_file(program));

  const Args split = kernel::SplitCommandLine(kernel::GetCommandLine());
  ASSERT_FALSE(split.empty());
  EXPECT_EQ(Args(split.begin() + 1, split.end()), kernel::CommandLineArgs());
#ifndef _WIN32  // Windows keeps the program as the starter spelled it
  EXPECT_EQ(split[0], program);
#endif
}

// ---- Environment and folders ---------------------------------------------------------

TEST(Environment, CurrentDirectoryAcceptsBackslashes) {
  TempHome home;
  std::filesystem::create_directories(home.path() / "sub" / "deeper");
  ASSERT_TRUE(kernel::SetCurrentDirectory(home.Path("sub") + "\\deeper"));
  EXPECT_EQ(kernel::GetCurrentDirectory(),
            std::filesystem::canonical(home.path() / "sub" / "deeper").string());
  EXPECT_FALSE(kernel::SetCurrentDirectory(home.Path("missing")));
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_FILE_NOT_FOUND);
}

TEST(Environment, TempPathIsAFolderOfTheUsersOwn) {
#ifdef _WIN32
  // Windows gives every user a temporary folder of their own.
  const std::string temp = kernel::GetTempPath();
  EXPECT_TRUE(temp.ends_with("\\") && !temp.ends_with("\\\\")) << temp;
  EXPECT_TRUE(kernel::GetFileAttributes(temp) & kernel::FILE_ATTRIBUTE_DIRECTORY) << temp;
#else
  TempHome home;
  const std::string uid = std::to_string(::geteuid());
  const std::string own = home.Path("tmp/kestrel-" + uid);
  EXPECT_EQ(kernel::GetTempPath(), own + "/");
  EXPECT_EQ(std::filesystem::status(own).permissions(), std::filesystem::perms::owner_all);
  // Opened to others meanwhile: closed again.
  std::filesystem::permissions(own, std::filesystem::perms::all);
  setenv("TMPDIR", (home.Path("tmp") + "//").c_str(), 1);
  EXPECT_EQ(kernel::GetTempPath(), own + "/");
  EXPECT_EQ(std::filesystem::status(own).permissions(), std::filesystem::perms::owner_all);
  unsetenv("TMPDIR");
  EXPECT_TRUE(kernel::GetTempPath().starts_with("/tmp/kestrel-" + uid)) << kernel::GetTempPath();
#endif
}

TEST(Environment, TempPathPassesByWhatAnotherUserPlantedUnderItsName) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows keeps each user's temporary folder in the user's profile";
#else
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user takes root";
  namespace fs = std::filesystem;
  TempHome home;
  fs::permissions(home.path(), fs::perms::owner_all | fs::perms::others_exec);
  // A folder of ours that others may read, for a link to lead to.
  const std::string mine = home.Path("mine");
  fs::create_directory(mine);
  fs::permissions(mine, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  int round = 0;
  for (const std::string& plant : {std::string("mkdir -m 777"), "ln -s " + mine}) {
    // A shared temporary folder as /tmp is one.
    const std::string shared = home.Path("shared" + std::to_string(++round));
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    const std::string named = shared + "/kestrel-0";
    ASSERT_EQ(
        std::system(
            (testing_support::AsUser(testing_support::kOtherUser) + plant + " " + named).c_str()),
        0);
    setenv("TMPDIR", shared.c_str(), 1);
    const std::string temp = kernel::GetTempPath();
    EXPECT_NE(temp, named + "/") << plant;
    EXPECT_EQ(fs::path(temp).parent_path().parent_path(), fs::path(shared)) << temp;
    struct stat st {};
    ASSERT_EQ(::lstat(temp.c_str(), &st), 0) << temp;
    EXPECT_TRUE(S_ISDIR(st.st_mode) && st.st_uid == 0 && (st.st_mode & 0777) == 0700) << temp;
    EXPECT_EQ(kernel::GetTempPath(), temp) << "one folder for the whole process";
  }
  EXPECT_EQ(fs::status(mine).permissions(),
            fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
#endif
}

// ---- Locale and time --------------------------------------------------------------------

TEST(CodePage, LocalesMapAsWindowsMapsThem) {
  const std::pair<unsigned, const char*> cases[] = {
      {437, ",C,POSIX,C.UTF-8,en_US.UTF-8,en,hi_IN"},
      {850, "en_GB.UTF-8,de_DE.UTF-8,fr_CA,pt_BR.UTF-8,sv_SE"},
      {936, "zh_CN.UTF-8,zh_SG.GBK,zh"},
      {950, "zh_TW.UTF-8,zh_HK.UTF-8,zh_MO,zh-TW"},
      {932, "ja_JP.eucJP"},
      {949, "ko_KR.UTF-8"},
      {866, "ru_RU.UTF-8,uk_UA,be_BY,uz_UZ@cyrillic"},
      {852, "cs_CZ.UTF-8,pl_PL,hu_HU,sk_SK,sl_SI,hr_HR,ro_RO,sq_AL,sr_RS@latin"},
      {855, "sr_RS"},
      {857, "tr_TR.UTF-8,uz_UZ"},
      {737, "el_GR.UTF-8"},
      {862, "he_IL.UTF-8"},
      {720, "ar_EG.UTF-8"},
      {874, "th_TH.UTF-8"},
      {1258, "vi_VN"},
      {775, "lt_LT,lv_LV,et_EE.UTF-8"},
  };
  for (const auto& [page, locales] : cases) {
    std::stringstream list(locales);
    for (std::string locale; std::getline(list, locale, ',');)
      EXPECT_EQ(kernel::OEMCodePageForLocale(locale), page) << locale;
  }
  EXPECT_EQ(kernel::OEMCodePageForLocale(""), 437u);
}

TEST(CodePage, FollowsTheLocaleVariablesInOrder) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows takes the code page from the system locale, not the environment";
#else
  SavedEnvironment saved{"LC_ALL", "LC_CTYPE", "LANG"};
  setenv("LC_ALL", "ja_JP.UTF-8", 1);
  setenv("LC_CTYPE", "zh_CN.UTF-8", 1);
  setenv("LANG", "ru_RU.UTF-8", 1);
  EXPECT_EQ(kernel::GetOEMCP(), 932u);
  setenv("LC_ALL", "", 1);
  EXPECT_EQ(kernel::GetOEMCP(), 936u);
  unsetenv("LC_CTYPE");
  EXPECT_EQ(kernel::GetOEMCP(), 866u);
  unsetenv("LANG");
  unsetenv("LC_ALL");
  EXPECT_EQ(kernel::GetOEMCP(), 437u);
#endif
}

TEST(Time, TickCountIsMonotonicMillisecondsWrappingAt32Bits) {
#ifndef _WIN32  // the system's own count on Windows
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto expected = static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000 +
                                                   now.tv_nsec / 1000000);
  const std::uint32_t first = kernel::GetTickCount();
  EXPECT_LT(static_cast<std::uint32_t>(first - expected), 5000u);
#else
  const std::uint32_t first = kernel::GetTickCount();
#endif
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_GE(static_cast<std::uint32_t>(kernel::GetTickCount() - first), 30u);
}

// ---- Last error -------------------------------------------------------------------------

TEST(Time, LocalTimeOutsideTheFileClockIsNone) {
  EXPECT_TRUE(kernel::LocalTimeToFileTime({2009, 3, 5, 14, 30, 45, 0}));
  EXPECT_FALSE(kernel::LocalTimeToFileTime({1500, 1, 1, 0, 0, 0, 0}));
}

TEST(LastError, IsKeptPerThread) {
  // Read while the other thread still runs: on Windows, starting and
  // joining a thread may leave a last error of its own.
  std::atomic<int> step = 0;
  std::uint32_t seen = 1;
  std::thread other([&] {
    seen = kernel::GetLastError();
    kernel::SetLastError(kernel::ERROR_DISK_FULL);
    step = 1;
    while (step != 2) {
    }
  });
  kernel::SetLastError(kernel::ERROR_ACCESS_DENIED);
  while (step != 1) {
  }
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_ACCESS_DENIED);
  step = 2;
  other.join();
  EXPECT_EQ(seen, kernel::ERROR_SUCCESS);
}

TEST(LastError, ErrnoTranslationAndTexts) {
  EXPECT_EQ(kernel::ErrorFromErrno(ENOENT), kernel::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(kernel::ErrorFromErrno(EACCES), kernel::ERROR_ACCESS_DENIED);
  EXPECT_EQ(kernel::ErrorFromErrno(ENOSPC), kernel::ERROR_DISK_FULL);
  EXPECT_EQ(kernel::ErrorFromErrno(EEXIST), kernel::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(kernel::ErrorFromErrno(ENOTEMPTY), kernel::ERROR_DIR_NOT_EMPTY);
  // Without a Windows counterpart the errno value survives, and its text too.
  const std::uint32_t pipe = kernel::ErrorFromErrno(EPIPE);
  EXPECT_EQ(pipe, kernel::kErrnoErrorBase | EPIPE);
  EXPECT_EQ(kernel::FormatMessage(pipe), std::strerror(EPIPE));

#ifndef _WIN32  // the system's own texts on Windows
  EXPECT_EQ(kernel::FormatMessage(kernel::ERROR_FILE_NOT_FOUND),
            "The system cannot find the file specified.");
#endif
  for (std::uint32_t code : {0u, 2u, 3u, 5u, 80u, 112u, 183u, 267u}) {
    const std::string text = kernel::FormatMessage(code);
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_NE(text.back(), '\n') << code;
  }
  EXPECT_EQ(kernel::FormatMessage(8195), "");  // no text, as for an unknown number on Windows
  // Looking a text up, found or not, leaves the error the caller reports.
  kernel::SetLastError(kernel::ERROR_ACCESS_DENIED);
  kernel::FormatMessage(8195);
  kernel::FormatMessage(kernel::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_ACCESS_DENIED);
}

// ---- Files ---------------------------------------------------------------------------------

class FileTest : public ::testing::Test {
 protected:
  TempHome home;
  std::string Path(const std::string& name) { return home.Path(name); }
};

TEST_F(FileTest, TempFileNamesFollowTheWindowsPattern) {
  // Some systems that run Windows programs write the number in lower case.
  const std::regex pattern(std::regex_replace(kernel::NativePath(Path("tmp/")),
                                              std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                               R"(UPD[1-9A-F][0-9A-F]{0,3}\.tmp)",
                           std::regex::icase);
  std::set<std::string> names;
  for (const std::string& dir : {Path("tmp"), Path("tmp/"), Path("tmp\\")}) {
    for (int i = 0; i < 3; ++i) {
      auto name = kernel::GetTempFileName(dir, "UPDT");
      ASSERT_TRUE(name) << dir;
      EXPECT_TRUE(std::regex_match(*name, pattern)) << *name;
      EXPECT_EQ(kernel::GetFileSize(*name), 0u);
      names.insert(*name);
    }
  }
  EXPECT_EQ(names.size(), 9u);  // every call made a new file

  auto shortPrefix = kernel::GetTempFileName(Path("tmp"), "x");
  ASSERT_TRUE(shortPrefix);
  EXPECT_TRUE(std::regex_search(*shortPrefix,
                                std::regex(R"([/\\]x[0-9A-F]{1,4}\.tmp$)", std::regex::icase)));

  // An empty folder means the current one.
  auto here = kernel::GetTempFileName("", "UPD");
  ASSERT_TRUE(here);
  EXPECT_EQ(here->find_first_of("/\\"), std::string::npos) << *here;
  EXPECT_TRUE(std::filesystem::exists(home.path() / *here));
}

TEST_F(FileTest, TempFileNameFailsForAMissingFolder) {
  EXPECT_EQ(kernel::GetTempFileName(Path("missing"), "UPDT"), std::nullopt);
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_DIRECTORY);
}

TEST_F(FileTest, TempFileNameGivesUpWhenEveryNumberIsTaken) {
#ifdef _WIN32
  GTEST_SKIP() << "the system's own GetTempFileNameA counts on Windows";
#else
  // 65535 files: in memory when the machine has a memory file system, which
  // creates them many times faster than a disk.
  char shm[] = "/dev/shm/kestrel-full-XXXXXX";
  const bool inMemory = access("/dev/shm", W_OK) == 0 && mkdtemp(shm) != nullptr;
  const std::string dir = inMemory ? std::string(shm) : Path("full");
  std::filesystem::create_directory(dir);
  struct Cleanup {
    std::string dir;
    ~Cleanup() { std::filesystem::remove_all(dir); }
  } cleanup{dir};
  for (unsigned n = 1; n <= 0xFFFF; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "/ABC%X.tmp", n);
    close(open((dir + name).c_str(), O_WRONLY | O_CREAT, 0644));
  }
  EXPECT_EQ(kernel::GetTempFileName(dir, "ABCD"), std::nullopt);
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_FILE_EXISTS);
  // One free number is found wherever the count starts.
  std::filesystem::remove(dir + "/ABC7.tmp");
  EXPECT_EQ(kernel::GetTempFileName(dir, "ABC"), dir + "/ABC7.tmp");
#endif
}

TEST_F(FileTest, AttributesReadOnlyHiddenAndFolders) {
  const std::string file = Path("f.txt");
  WriteFile(file, "data");
#ifdef _WIN32
  // The system's own attributes: hidden is a flag like any other, and a
  // file may keep its archive mark.
  const std::uint32_t flags = kernel::FILE_ATTRIBUTE_READONLY | kernel::FILE_ATTRIBUTE_HIDDEN;
  EXPECT_EQ(kernel::GetFileAttributes(file) & flags, 0u);
  ASSERT_TRUE(kernel::SetFileAttributes(file, flags));
  EXPECT_EQ(kernel::GetFileAttributes(file) & ~kernel::FILE_ATTRIBUTE_ARCHIVE, flags);
  ASSERT_TRUE(kernel::SetFileAttributes(file, kernel::FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(kernel::GetFileAttributes(file) & flags, 0u);
  std::filesystem::create_directory(Path("dir"));
  EXPECT_TRUE(kernel::GetFileAttributes(Path("dir/")) & kernel::FILE_ATTRIBUTE_DIRECTORY);
#else
  EXPECT_EQ(kernel::GetFileAttributes(file), kernel::FILE_ATTRIBUTE_NORMAL);

  ASSERT_TRUE(kernel::SetFileAttributes(file, kernel::FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(kernel::GetFileAttributes(file), kernel::FILE_ATTRIBUTE_READONLY);
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);  // nobody may write it
  ASSERT_TRUE(kernel::SetFileAttributes(file, kernel::FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(kernel::GetFileAttributes(file), kernel::FILE_ATTRIBUTE_NORMAL);
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);

  WriteFile(Path(".hidden"), "");
  EXPECT_EQ(kernel::GetFileAttributes(Path(".hidden")), kernel::FILE_ATTRIBUTE_HIDDEN);
  // Hidden cannot be cleared on a Unix file system; the call still succeeds.
  EXPECT_TRUE(kernel::SetFileAttributes(Path(".hidden"), kernel::FILE_ATTRIBUTE_NORMAL));

  std::filesystem::create_directory(Path("dir"));
  EXPECT_EQ(kernel::GetFileAttributes(Path("dir\\")), kernel::FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(kernel::GetFileAttributes(Path(".")), kernel::FILE_ATTRIBUTE_DIRECTORY);
  // A read-only folder would refuse new files, unlike on Windows.
  EXPECT_TRUE(kernel::SetFileAttributes(Path("dir"), kernel::FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(kernel::GetFileAttributes(Path("dir")), kernel::FILE_ATTRIBUTE_DIRECTORY);
#endif

  EXPECT_EQ(kernel::GetFileAttributes(Path("nope")), kernel::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(kernel::GetFileAttributes(Path("nodir/nope")), kernel::INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(kernel::SetFileAttributes(Path("nope"), kernel::FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_FILE_NOT_FOUND);
}

TEST_F(FileTest, LastWriteTimeKeepsSubSecondPrecision) {
  const std::string file = Path("stamped.cab");
  WriteFile(file, "x");
  using namespace std::chrono;
  // In 100 ns, the steps of a Windows file time.
  const kernel::FileTime stamp = sys_days{2009y / 3 / 14} + 15h + 9min + 26s + 535897900ns;
  ASSERT_TRUE(kernel::SetFileLastWriteTime(file, stamp));
  EXPECT_EQ(kernel::GetFileLastWriteTime(file), stamp);

  // Before 1970 the nanoseconds still count forwards.
  const kernel::FileTime old = sys_days{1965y / 1 / 1} + 250ms;
  ASSERT_TRUE(kernel::SetFileLastWriteTime(file, old));
  EXPECT_EQ(kernel::GetFileLastWriteTime(file), old);

  // A read-only file can still be stamped, as on Windows.
  ASSERT_TRUE(kernel::SetFileAttributes(file, kernel::FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(kernel::SetFileLastWriteTime(file, stamp));

  EXPECT_FALSE(kernel::SetFileLastWriteTime(Path("nope"), stamp));
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(kernel::GetFileLastWriteTime(Path("nope")), std::nullopt);
}

TEST_F(FileTest, SizeExistenceAndDeletion) {
  WriteFile(Path("five"), "12345");
  EXPECT_EQ(kernel::GetFileSize(Path("five")), 5u);
  EXPECT_TRUE(kernel::FileExists(Path("five")));
  std::filesystem::create_directory(Path("dir"));
  EXPECT_FALSE(kernel::FileExists(Path("dir")));
  EXPECT_EQ(kernel::GetFileSize(Path("dir")), std::nullopt);

  EXPECT_TRUE(kernel::DeleteFile(Path("five")));
  EXPECT_FALSE(kernel::FileExists(Path("five")));
  EXPECT_EQ(kernel::GetFileSize(Path("five")), std::nullopt);
  EXPECT_FALSE(kernel::DeleteFile(Path("five")));
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(kernel::DeleteFile(Path("dir")));
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_ACCESS_DENIED);

  // Read-only files stay until their attribute is cleared, as on Windows.
  WriteFile(Path("ro"), "x");
  ASSERT_TRUE(kernel::SetFileAttributes(Path("ro"), kernel::FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(kernel::DeleteFile(Path("ro")));
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_ACCESS_DENIED);
  ASSERT_TRUE(kernel::SetFileAttributes(Path("ro"), kernel::FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(kernel::DeleteFile(Path("ro")));
}

TEST_F(FileTest, WindowsSeparatorsWorkEverywhere) {
  ASSERT_TRUE(kernel::CreateDirectory(Path("Core")));
  ASSERT_TRUE(kernel::CreateDirectory(Path("Core") + "\\Func"));
  const std::string file = Path("Core") + "\\Func\\a.dll";
  WriteFile(Path("Core/Func/a.dll"), "abc");
  EXPECT_TRUE(kernel::FileExists(file));
  EXPECT_EQ(kernel::GetFileSize(file), 3u);
#ifdef _WIN32
  EXPECT_EQ(kernel::NativePath("Core/Func\\a.dll"), "Core\\Func\\a.dll");
#else
  EXPECT_EQ(kernel::NativePath("Core\\Func\\a.dll"), "Core/Func/a.dll");
#endif
  EXPECT_TRUE(kernel::MoveFile(file, Path("Core") + "\\b.dll"));
  EXPECT_EQ(ReadFile(Path("Core/b.dll")), "abc");
  EXPECT_TRUE(kernel::DeleteFile(Path("Core") + "\\b.dll"));
  EXPECT_FALSE(kernel::FileExists(Path("Core/b.dll")));
}

// Where an exact name is missing, one that differs only in letter case is
// meant, on the way to a file too; an exact name always wins.
TEST_F(FileTest, NamesMatchInAnyLetterCaseWhereTheExactOneIsMissing) {
#ifdef _WIN32
  GTEST_SKIP() << "a Windows file system matches names in any letter case by itself";
#else
  ASSERT_TRUE(kernel::CreateDirectory(Path("Core")));
  WriteFile(Path("Core/Addin.cab"), "old");
  EXPECT_EQ(kernel::ResolveLetterCase(Path("CORE\\addin.CAB")), Path("Core/Addin.cab"));
  EXPECT_EQ(kernel::ResolveLetterCase(Path("core/new.cab")), Path("Core/new.cab"));
  WriteFile(Path("Core/addin.cab"), "new");
  EXPECT_EQ(kernel::GetFileSize(Path("core/addin.cab")), 3u);
  EXPECT_TRUE(kernel::MoveFile(Path("Core/addin.cab"), Path("core/ADDIN.CAB")));
  EXPECT_EQ(ReadFile(Path("Core/Addin.cab")), "new");
  EXPECT_FALSE(std::filesystem::exists(Path("Core/addin.cab")));
#endif
}

TEST_F(FileTest, CreateDirectoryErrors) {
  ASSERT_TRUE(kernel::CreateDirectory(Path("Temp")));
  EXPECT_FALSE(kernel::CreateDirectory(Path("Temp")));
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(kernel::CreateDirectory(Path("a/b")));
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_PATH_NOT_FOUND);
}

TEST_F(FileTest, MoveReplacesTheTarget) {
  WriteFile(Path("new"), "new content");
  WriteFile(Path("old"), "old");
  ASSERT_TRUE(kernel::SetFileAttributes(Path("old"), kernel::FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(kernel::MoveFile(Path("new"), Path("old")));
  EXPECT_EQ(ReadFile(Path("old")), "new content");
  EXPECT_FALSE(kernel::FileExists(Path("new")));

  EXPECT_FALSE(kernel::MoveFile(Path("new"), Path("other")));
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(kernel::MoveFile(Path("old"), Path("nodir/other")));
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(kernel::FileExists(Path("old")));
}

TEST_F(FileTest, MoveAcrossFileSystemsCopiesAndReplaces) {
#ifdef _WIN32
  GTEST_SKIP() << "no second volume to be had on every Windows machine";
#else
  // /dev/shm is a memory file system of its own on Linux.
  struct stat here, shm;
  if (stat(home.path().c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 ||
      here.st_dev == shm.st_dev || access("/dev/shm", W_OK) != 0)
    GTEST_SKIP() << "no second file system to move to";
  char pattern[] = "/dev/shm/kestrel-move-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string source = std::string(pattern) + "/src.bin";
  std::string content(200000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  WriteFile(source, content);
  using namespace std::chrono;
  const kernel::FileTime stamp = sys_days{2010y / 5 / 6} + 7h + 123456789ns;
  ASSERT_TRUE(kernel::SetFileLastWriteTime(source, stamp));
  WriteFile(Path("target.bin"), "old");

  EXPECT_TRUE(kernel::MoveFile(source, Path("target.bin")));
  EXPECT_EQ(ReadFile(Path("target.bin")), content);
  EXPECT_EQ(kernel::GetFileLastWriteTime(Path("target.bin")), stamp);
  EXPECT_FALSE(std::filesystem::exists(source));
  // No copy is left behind beside the target.
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(home.path()))
    entries += e.path().filename().string().starts_with("target.bin");
  EXPECT_EQ(entries, 1);
  std::filesystem::remove_all(pattern);
#endif
}

#ifdef _WIN32
// An open file cannot be replaced or deleted on Windows; the old one stays
// whole until its holder lets go.
TEST_F(FileTest, AFileHeldOpenIsNeitherReplacedNorDeleted) {
  WriteFile(Path("in-use.dll"), "old");
  WriteFile(Path("new.dll"), "new");
  {
    std::ifstream holder(Path("in-use.dll"));
    ASSERT_TRUE(holder);
    EXPECT_FALSE(kernel::MoveFile(Path("new.dll"), Path("in-use.dll")));
    EXPECT_NE(kernel::GetLastError(), kernel::ERROR_SUCCESS);
    EXPECT_FALSE(kernel::DeleteFile(Path("in-use.dll")));
    EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_SHARING_VIOLATION);
    EXPECT_EQ(ReadFile(Path("in-use.dll")), "old");
    EXPECT_EQ(ReadFile(Path("new.dll")), "new");
  }
  EXPECT_TRUE(kernel::MoveFile(Path("new.dll"), Path("in-use.dll")));
  EXPECT_EQ(ReadFile(Path("in-use.dll")), "new");
}

TEST_F(FileTest, DriveLettersAndBothSeparatorsNameTheSameFile) {
  const std::string native = kernel::NativePath(Path("Core/a.dll"));
  ASSERT_EQ(native[1], ':') << native;
  ASSERT_TRUE(kernel::CreateDirectory(Path("Core")));
  WriteFile(native, "abc");
  std::string forward = native;
  std::replace(forward.begin(), forward.end(), '\\', '/');
  EXPECT_EQ(kernel::GetFileSize(forward), 3u);
  EXPECT_TRUE(kernel::FileExists(forward.substr(0, 2) + "\\" + forward.substr(3)));
  EXPECT_TRUE(kernel::MoveFile(forward, Path("Core\\B.DLL")));
  EXPECT_EQ(ReadFile(Path("core/b.dll")), "abc");
}
#endif

// ---- Resources -------------------------------------------------------------------------

TEST(Resources, EmbeddedBlobsAreFoundWithoutRegardToCase) {
  const std::string expected = ReadFile(KESTREL_TEST_DATA "/resource-blob.bin");
  ASSERT_FALSE(expected.empty());
  for (auto [type, name] : {std::pair{"RCDATA", "TESTBLOB"}, std::pair{"rcdata", "TestBlob"}}) {
    auto blob = kernel::FindResource(type, name);
    ASSERT_TRUE(blob) << type << " " << name;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(blob->data()), blob->size()), expected);
  }
  EXPECT_EQ(kernel::FindResource("RCDATA", "MISSING"), std::nullopt);
  EXPECT_EQ(kernel::FindResource("UPD", "TESTBLOB"), std::nullopt);
}

TEST(Resources, StringTableTemplatesAreKeptExactly) {
  EXPECT_EQ(kernel::LoadString(915), "Download : %s");
  EXPECT_EQ(kernel::LoadString(909), "Download update file : ");
  EXPECT_EQ(kernel::LoadString(949), "Closed Internet connection");
  EXPECT_EQ(kernel::LoadString(18), "%s");
  EXPECT_EQ(kernel::LoadString(-1), "");
}

TEST(Resources, StringTableFormat) {
#ifdef _WIN32
  GTEST_SKIP() << "the table is the program's real string table, which a registered one would "
                  "hide from the rest of the run";
#endif
  auto original = kernel::FindResource("STRINGTABLE", "MESSAGES");
  ASSERT_TRUE(original);
  static const std::string table =
      "# 1 \"commented out\"\r\n"
      "   # 2 \"indented comment\"\n"
      "\n"
      "1 \"say \"hi\" there \"  \r\n"
      "  3\t\"indented\"\n"
      "4 no quotes\n"
      "5 \"only one quote\n"
      "6 \"\"\n"
      "77 \"seventy-seven\"";  // no final line break
  kernel::RegisterResource("STRINGTABLE", "messages",
                           reinterpret_cast<const unsigned char*>(table.data()), table.size());
  EXPECT_EQ(kernel::LoadString(1), "say \"hi\" there ");
  EXPECT_EQ(kernel::LoadString(2), "");
  EXPECT_EQ(kernel::LoadString(3), "indented");
  EXPECT_EQ(kernel::LoadString(4), "");
  EXPECT_EQ(kernel::LoadString(5), "");
  EXPECT_EQ(kernel::LoadString(6), "");
  EXPECT_EQ(kernel::LoadString(7), "");
  EXPECT_EQ(kernel::LoadString(77), "seventy-seven");
  kernel::RegisterResource("STRINGTABLE", "MESSAGES", original->data(), original->size());
  EXPECT_EQ(kernel::LoadString(915), "Download : %s");
}

}  // namespace
