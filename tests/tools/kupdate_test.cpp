// The command-line front end, run as a real process.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

using testing_support::TempHome;
using testing_support::WriteFile;

namespace {

testing_support::ProcessOutput Kupdate(const std::string& args) {
  return testing_support::RunKupdate(args);
}

TEST(KupdateChecksum, PrintsControlFileValues) {
  TempHome home;
  WriteFile("abc", "abc");
  WriteFile("digits", "123456789");
  WriteFile("empty", "");
  auto run = Kupdate("checksum abc digits empty");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "abc\tsize=3\tcrc32=$6C8D9D41\tbytesum=$00000125\tversion=\n"
            "digits\tsize=9\tcrc32=$1ED0F3D0\tbytesum=$000001DC\tversion=\n"
            "empty\tsize=0\tcrc32=$00000000\tbytesum=$FFFFFFFF\tversion=\n");
}

TEST(KupdateChecksum, ShowsTheVersionOfOurOwnPrograms) {
  TempHome home;
  std::string self = std::string(KESTREL_BIN_DIR) + "/kupdate";
  auto run = Kupdate("checksum " + self);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("\tversion=1.0.0.0\n"), std::string::npos) << run.out;
}

TEST(KupdateChecksum, MissingFileFailsButOthersArePrinted) {
  TempHome home;
  WriteFile("abc", "abc");
  auto run = Kupdate("checksum missing abc");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "abc\tsize=3\tcrc32=$6C8D9D41\tbytesum=$00000125\tversion=\n");
  EXPECT_NE(run.err.find("missing"), std::string::npos);
}

TEST(Kupdate, UsageErrors) {
  TempHome home;
  EXPECT_EQ(Kupdate("").status, 2);
  EXPECT_EQ(Kupdate("checksum").status, 2);
  EXPECT_EQ(Kupdate("frobnicate x").status, 2);
}

}  // namespace
