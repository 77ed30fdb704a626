// Owned handles and temporary files: what is not committed is gone, and
// nothing is written through a link someone planted.
#include "platform/lfile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::WriteFile;

class TemporaryFileTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return home_.Path(name); }
  testing_support::TempHome home_;
};

TEST_F(TemporaryFileTest, DeletedUnlessMovedAndMovedWhole) {
  std::string left;
  {
    auto temp = kernel::TemporaryFile::Create(Path(""), "UPDT");
    ASSERT_TRUE(temp);
    left = temp->Path();
    EXPECT_EQ(fs::path(left).filename().string().substr(0, 3), "UPD");
    EXPECT_TRUE(fs::exists(left));
  }
  EXPECT_FALSE(fs::exists(left)) << "a temporary that was never moved is deleted";

  WriteFile(Path("target"), "old");
  auto temp = kernel::TemporaryFile::Create(Path(""), "UPDT");
  ASSERT_TRUE(temp);
  ASSERT_EQ(kernel::_lwrite(temp->Handle(), "new", 3), 3u);
  const std::string path = temp->Path();
  ASSERT_TRUE(temp->MoveTo(Path("target")));
  temp.reset();
  EXPECT_EQ(ReadFile(Path("target")), "new");
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(TemporaryFileTest, NothingIsWrittenThroughAPlantedLink) {
#ifdef _WIN32
  GTEST_SKIP() << "making a symbolic link takes a privilege on Windows";
#endif
  WriteFile(Path("victim"), "precious");
  fs::create_symlink(Path("victim"), Path("planted"));
  EXPECT_EQ(kernel::CreateNewFile(Path("planted")), kernel::HFILE_ERROR);
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_FILE_EXISTS);
  EXPECT_EQ(kernel::GetFileAttributes(Path("planted")), kernel::FILE_ATTRIBUTE_REPARSE_POINT);

  // A partial file beside a target is made anew, even over a link that
  // stands where it goes; the link's target is untouched.
  fs::create_symlink(Path("victim"), Path("a.dll") + kernel::TemporaryFile::kPartialSuffix);
  auto beside = kernel::TemporaryFile::Beside(Path("a.dll"));
  ASSERT_TRUE(beside);
  ASSERT_EQ(kernel::_lwrite(beside->Handle(), "entry", 5), 5u);
  ASSERT_TRUE(beside->MoveTo(Path("a.dll")));
  EXPECT_EQ(ReadFile(Path("a.dll")), "entry");
  EXPECT_EQ(ReadFile(Path("victim")), "precious");
}

TEST_F(TemporaryFileTest, StaleTemporariesGoButOnesInUseStay) {
  auto held = kernel::TemporaryFile::Create(Path(""), "UPDT");
  ASSERT_TRUE(held);
  WriteFile(Path("UPD1234.tmp"), "left by a killed run");
  WriteFile(Path("UPDATES.tmp"), "not a temporary");

  kernel::DeleteStaleTemporaryFiles(Path(""), "UPDT");
  EXPECT_FALSE(fs::exists(Path("UPD1234.tmp")));
  EXPECT_TRUE(fs::exists(held->Path())) << "held by a run that still writes it";
  EXPECT_TRUE(fs::exists(Path("UPDATES.tmp")));
}

}  // namespace
