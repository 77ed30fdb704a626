// ExtractCabinet against real cabinets made by gcab and hand-made hostile
// ones.
#include "archive/cabinet.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "support/cab_support.h"
#include "support/test_support.h"

using cab_support::DataCabinet;
using cab_support::Exists;
using cab_support::MakeCabinet;
using cab_support::Mtime;
using cab_support::Pattern;
using testing_support::ReadFile;
using testing_support::TempHome;
using testing_support::WriteFile;

namespace {

namespace fs = std::filesystem;

// A package as a publisher would build it: files in sub-folders, one of them
// large enough for several data blocks, one empty, one marked read-only.
class ExtractCabinetTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    fs::create_directories("src/sub/dir");
    WriteFile("src/a.txt", "alpha\n");
    WriteFile("src/sub/dir/b.dll", Pattern(100000, 1));
    WriteFile("src/empty.dat", "");
    WriteFile("src/sub/locked.ini", "[x]\n");
    chmod("src/sub/locked.ini", 0444);
    cab_support::SetMtime("src/a.txt", cab_support::LocalTime(2001, 2, 3, 4, 5, 6));
    cab_support::SetMtime("src/sub/dir/b.dll", cab_support::LocalTime(2019, 12, 31, 23, 59, 58));
    MakeCabinet("pkg.cab", "src", {"a.txt", "sub/dir/b.dll", "empty.dat", "sub/locked.ini"},
                GetParam());
  }
  TempHome home_;
};

TEST_P(ExtractCabinetTest, CreatesSubFoldersAndStampsStoredTimes) {
  const std::string target = home_.Path("App") + "/";
  ASSERT_EQ(ExtractCabinet("pkg.cab", target), 0);
  EXPECT_EQ(ReadFile(target + "a.txt"), "alpha\n");
  EXPECT_TRUE(ReadFile(target + "sub/dir/b.dll") == Pattern(100000, 1));
  EXPECT_TRUE(Exists(target + "empty.dat"));
  EXPECT_EQ(ReadFile(target + "empty.dat"), "");
  EXPECT_EQ(Mtime(target + "a.txt"), cab_support::LocalTime(2001, 2, 3, 4, 5, 6));
  EXPECT_EQ(Mtime(target + "sub/dir/b.dll"), cab_support::LocalTime(2019, 12, 31, 23, 59, 58));
  // The read-only attribute stored for locked.ini is not applied.
  struct stat st {};
  ASSERT_EQ(stat((target + "sub/locked.ini").c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IWUSR);
}

TEST_P(ExtractCabinetTest, EmptyTargetFolderMeansTheCurrentFolder) {
  fs::create_directories("work");
  fs::current_path("work");
  ASSERT_EQ(ExtractCabinet("../pkg.cab", ""), 0);
  EXPECT_EQ(ReadFile("a.txt"), "alpha\n");
  EXPECT_TRUE(ReadFile("sub/dir/b.dll") == Pattern(100000, 1));
}

TEST_P(ExtractCabinetTest, TargetFolderIsUsedWithoutAddingASeparator) {
  ASSERT_EQ(ExtractCabinet(home_.Path("pkg.cab"), home_.Path("App")), 0);
  EXPECT_EQ(ReadFile(home_.Path("Appa.txt")), "alpha\n");
  EXPECT_TRUE(ReadFile(home_.Path("Appsub/dir/b.dll")) == Pattern(100000, 1));
}

TEST_P(ExtractCabinetTest, BackslashesInTheCabinetPathAndTargetFolder) {
  fs::create_directories("cabs");
  fs::rename("pkg.cab", "cabs/pkg.cab");
  ASSERT_EQ(ExtractCabinet("cabs\\pkg.cab", "out\\"), 0);
  EXPECT_TRUE(ReadFile("out/sub/dir/b.dll") == Pattern(100000, 1));
}

TEST_P(ExtractCabinetTest, ExistingWritableFileIsReplacedWithoutQuestion) {
  fs::create_directories("out/sub/dir");
  WriteFile("out/sub/dir/b.dll", "old and longer than nothing");
  ASSERT_EQ(ExtractCabinet("pkg.cab", "out/"), 0);
  EXPECT_TRUE(ReadFile("out/sub/dir/b.dll") == Pattern(100000, 1));
}

TEST_P(ExtractCabinetTest, ExistingReadOnlyFileFailsAndEarlierFilesStay) {
  fs::create_directories("out/sub/dir");
  WriteFile("out/empty.dat", "keep me");
  chmod("out/empty.dat", 0444);
  ASSERT_EQ(ExtractCabinet("pkg.cab", "out/"), -1);
  EXPECT_EQ(ReadFile("out/a.txt"), "alpha\n");
  EXPECT_TRUE(ReadFile("out/sub/dir/b.dll") == Pattern(100000, 1));
  EXPECT_EQ(ReadFile("out/empty.dat"), "keep me");
  EXPECT_FALSE(Exists("out/sub/locked.ini"));  // after the failed entry
}

INSTANTIATE_TEST_SUITE_P(StoredAndMszip, ExtractCabinetTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Mszip") : std::string("Stored");
                         });

TEST(ExtractCabinet, BothDateAndTimeZeroGiveTheCurrentTime) {
  TempHome home;
  fs::create_directories("src");
  WriteFile("src/now.txt", "n");
  WriteFile("src/then.txt", "t");
  cab_support::SetMtime("src/then.txt", cab_support::LocalTime(1999, 9, 9, 9, 9, 8));
  MakeCabinet("pkg.cab", "src", {"now.txt", "then.txt"}, true);
  cab_support::ZeroEntryDateTime("pkg.cab", "now.txt");
  const std::time_t before = std::time(nullptr);
  ASSERT_EQ(ExtractCabinet("pkg.cab", "out/"), 0);
  const std::time_t after = std::time(nullptr);
  EXPECT_GE(Mtime("out/now.txt"), before);
  EXPECT_LE(Mtime("out/now.txt"), after);
  EXPECT_EQ(Mtime("out/then.txt"), cab_support::LocalTime(1999, 9, 9, 9, 9, 8));
}

TEST(ExtractCabinet, NotACabinetOrMissingCreatesNothing) {
  TempHome home;
  WriteFile("plain.cab", std::string(4096, 'x'));
  EXPECT_EQ(ExtractCabinet("plain.cab", "out/"), -1);
  EXPECT_EQ(ExtractCabinet("missing.cab", "out/"), -1);
  fs::create_directories("folder.cab");
  EXPECT_EQ(ExtractCabinet("folder.cab", "out/"), -1);
  EXPECT_FALSE(Exists("out"));
}

TEST(ExtractCabinet, LzxData) {
  TempHome home;
  ASSERT_EQ(ExtractCabinet(DataCabinet("lzx-stored-blocks.cab"), "out/"), 0);
  std::string expected(40000, '\0');
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<char>(i % 251);
  EXPECT_EQ(ReadFile("out/lzx/pattern.bin"), expected);
}

// Entry names come from outside: none may land outside the target folder,
// and refusing one fails the extraction as a failed entry does.
TEST(ExtractCabinet, EntriesThatWouldLeaveTheTargetFolderAreRefused) {
  TempHome home;
  for (const char* name : {"traversal-dotdot.cab", "traversal-forward.cab",
                           "traversal-absolute.cab", "traversal-drive.cab", "traversal-dots.cab"}) {
    SCOPED_TRACE(name);
    const std::string root = home.Path(name);
    const std::string target = root + "/a/b/c/";
    EXPECT_EQ(ExtractCabinet(DataCabinet(name), target), -1);
    EXPECT_EQ(ReadFile(target + "good.txt"), "inside the target folder\n");
    int files = 0;
    for (auto& entry : fs::recursive_directory_iterator(root))
      if (entry.is_regular_file()) ++files;
    EXPECT_EQ(files, 1);
    EXPECT_FALSE(Exists("/kestrel-cab-test-evil.txt"));
  }
  // The same with the current folder as target.
  fs::create_directories("cwd/a/b");
  fs::current_path("cwd/a/b");
  EXPECT_EQ(ExtractCabinet(DataCabinet("traversal-dotdot.cab"), ""), -1);
  EXPECT_EQ(ReadFile("good.txt"), "inside the target folder\n");
  EXPECT_FALSE(Exists(home.Path("cwd/evil.txt")));
  EXPECT_FALSE(Exists(home.Path("cwd/a/evil.txt")));
}

TEST(ExtractCabinet, BrokenCabinetsFail) {
  TempHome home;
  for (const char* name :
       {"bad-signature.cab", "truncated-header.cab", "truncated-entries.cab", "truncated-data.cab",
        "bad-checksum.cab", "bad-folder-index.cab", "file-beyond-folder.cab",
        "many-entries-claimed.cab", "many-folders-claimed.cab", "no-data-blocks.cab",
        "oversized-block.cab", "mszip-garbage.cab"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ExtractCabinet(DataCabinet(name), std::string("out/") + name + "/"), -1);
  }
}

TEST(ExtractCabinet, EntryNameRules) {
  for (const char* ok :
       {"a.dll", "sub\\dir\\a.dll", "sub/a.dll", ".hidden", "a..b", "x\\.\\y", "..a", "C", "1:x"})
    EXPECT_TRUE(archive::EntryNameIsSafe(ok)) << ok;
  for (const char* bad : {"", "..", "..\\x", "a\\..\\..\\x", "a/../x", "\\x", "/x",
                          "\\\\server\\share\\x", "C:x", "c:\\x", "a\\...\\x", "a\\.. \\x"})
    EXPECT_FALSE(archive::EntryNameIsSafe(bad)) << bad;
}

}  // namespace
