// kupdate verify checks what the publishers' signing tool signed.
#include <gtest/gtest.h>

#include "platform/signature.h"
#include "support/servers.h"
#include "support/test_support.h"

namespace {

using testing_support::RunKupdate;
using testing_support::RunShell;
using testing_support::WriteFile;

TEST(KupdateVerify, PrintsTheTrustedCommentOfAValidSignatureAndRefusesAChangedFile) {
  if (!signature::Available()) GTEST_SKIP() << "no signature checks on this system";
  testing_support::TempHome home;
  const std::string file = home.Path("Kestrel.txt"), pub = home.Path("k.pub");
  WriteFile(file, "[file1]\n");
  ASSERT_EQ(RunShell("minisign -G -W -p " + pub + " -s " + home.Path("k.key") + " >/dev/null && " +
                     "minisign -S -s " + home.Path("k.key") + " -m " + file +
                     " -t 'timestamp:1733650000' </dev/null >/dev/null"),
            0);

  auto run = RunKupdate("verify " + file + " " + pub);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "timestamp:1733650000\n");

  WriteFile(file, "[file1]\nfilename=Evil.exe\n");
  run = RunKupdate("verify " + file + " " + pub);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("the signature does not match the file"), std::string::npos) << run.err;

  EXPECT_EQ(RunKupdate("verify " + file + " " + file).status, 2) << "no key";
}

}  // namespace
