// "kupdate extract", run as a real process.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/kernel.h"
#include "support/cab_support.h"
#include "support/test_support.h"

using cab_support::DataCabinet;
using cab_support::Exists;
using testing_support::ReadFile;
using testing_support::TempHome;
using testing_support::WriteFile;

namespace {

namespace fs = std::filesystem;

int Kupdate(const std::string& args) {
  return testing_support::RunKupdate(args).status;
}

TEST(KupdateExtract, UnpacksIntoTheFolderWithoutTrailingSeparator) {
  TempHome home;
  fs::create_directories("src/sub");
  WriteFile("src/a.txt", "alpha");
  WriteFile("src/sub/b.txt", "beta");
  cab_support::MakeCabinet("pkg.cab", "src", {"a.txt", "sub/b.txt"}, true);
  EXPECT_EQ(Kupdate("extract pkg.cab out"), 0);
  EXPECT_EQ(ReadFile("out/a.txt"), "alpha");
  EXPECT_EQ(ReadFile("out/sub/b.txt"), "beta");
  EXPECT_EQ(ReadFile("kupdate-stderr.txt"), "");
  // Only a drive root is too short to be made; a short folder name is not.
  EXPECT_EQ(Kupdate("extract pkg.cab ab"), 0);
  EXPECT_EQ(ReadFile("ab/sub/b.txt"), "beta");
}

TEST(KupdateExtract, EntryLeavingTheFolderFailsAndWritesNothingOutside) {
  TempHome home;
  fs::create_directories("one/two");
  EXPECT_EQ(Kupdate("extract " + DataCabinet("traversal-dotdot.cab") + " one/two/target"), 1);
  // ..\..\evil.txt would land in one/.
  EXPECT_FALSE(Exists("one/evil.txt"));
  EXPECT_FALSE(Exists("one/two/evil.txt"));
  EXPECT_FALSE(Exists("evil.txt"));
  const std::string error = ReadFile("kupdate-stderr.txt");
  EXPECT_NE(error.find("traversal-dotdot.cab: refused the entry '..\\..\\evil.txt'"),
            std::string::npos)
      << error;
  EXPECT_EQ(error.find('\n'), error.size() - 1) << "one line: " << error;
}

TEST(KupdateExtract, NotACabinetAndUsage) {
  TempHome home;
  WriteFile("plain.cab", "not a cabinet at all");
  const auto Failure = [](const std::string& args) {
    const auto run = testing_support::RunKupdate(args);
    EXPECT_EQ(run.status, 1) << args;
    return run.err;
  };
  EXPECT_EQ(Failure("extract plain.cab out"),
            "kupdate: plain.cab: not a cabinet, or its headers are damaged\n");
  EXPECT_FALSE(Exists("out"));
  EXPECT_EQ(Failure("extract missing.cab out"), "kupdate: missing.cab: no such file\n");
  EXPECT_EQ(Failure("extract " + DataCabinet("bad-checksum.cab") + " damaged"),
            "kupdate: " + DataCabinet("bad-checksum.cab") + ": cannot extract it into damaged" +
                kernel::PATH_SEPARATOR + ": " + kernel::FormatMessage(kernel::ERROR_INVALID_DATA) +
                "\n");
  EXPECT_EQ(Kupdate("extract plain.cab"), 2);
  EXPECT_EQ(Kupdate("extract a b c"), 2);
}

}  // namespace
