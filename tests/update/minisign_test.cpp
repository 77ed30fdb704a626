// Keys and signatures made by the publishers' own signing tool (the real
// minisign program) are checked here: what it signed passes, anything
// changed after signing, or signed with another key, does not.
#include "update/minisign.h"

#include <gtest/gtest.h>

#include "support/servers.h"
#include "support/test_support.h"

namespace {

using testing_support::ReadFile;
using testing_support::RunShell;
using testing_support::WriteFile;

class MinisignTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!signature::Available()) GTEST_SKIP() << "no signature checks on this system";
    WriteFile(Path("Kestrel.txt"), "[file1]\nfilename=Addin.cab\n");
    for (const char* name : {"one", "two"})
      ASSERT_EQ(RunShell("minisign -G -W -p " + Path(std::string(name) + ".pub") + " -s " +
                         Path(std::string(name) + ".key") + " >/dev/null"),
                0)
          << "is minisign installed?";
  }

  std::string Path(const std::string& name) const { return home_.Path(name); }

  minisign::PublicKey Key(const std::string& name) {
    std::string why;
    auto key = minisign::ParsePublicKey(ReadFile(Path(name + ".pub")), &why);
    EXPECT_TRUE(key) << why;
    return key.value_or(minisign::PublicKey{});
  }

  // Signs Kestrel.txt with the key; "-l" makes a signature of the whole
  // file rather than of its hash.
  void Sign(const std::string& name, const std::string& comment, const std::string& flags = "") {
    ASSERT_EQ(RunShell("minisign -S " + flags + " -s " + Path(name + ".key") + " -m " +
                       Path("Kestrel.txt") + " -t '" + comment + "' </dev/null >/dev/null"),
              0);
  }

  minisign::Verdict Check(const std::string& keyName) {
    return minisign::VerifyFile(Path("Kestrel.txt"), ReadFile(Path("Kestrel.txt.minisig")),
                                Key(keyName));
  }

  testing_support::TempHome home_;
};

TEST_F(MinisignTest, WhatTheToolSignedPassesWithItsTrustedCommentAndTime) {
  for (const char* flags : {"", "-l"}) {
    Sign("one", "timestamp:1733650000\tfile:Kestrel.txt", flags);
    const minisign::Verdict verdict = Check("one");
    EXPECT_TRUE(verdict.valid) << flags << ": " << verdict.reason;
    EXPECT_EQ(verdict.trustedComment, "timestamp:1733650000\tfile:Kestrel.txt");
    EXPECT_EQ(verdict.timestamp, 1733650000u);
  }
  Sign("one", "no time here");
  EXPECT_TRUE(Check("one").valid);
  EXPECT_FALSE(Check("one").timestamp);
}

TEST_F(MinisignTest, ChangedFileCommentOrKeyIsRefused) {
  Sign("one", "timestamp:1733650000");
  const std::string signature = ReadFile(Path("Kestrel.txt.minisig"));

  EXPECT_EQ(Check("two").reason, "signed with another key");

  WriteFile(Path("Kestrel.txt"), "[file1]\nfilename=Evil.exe\n");
  EXPECT_EQ(Check("one").reason, "the signature does not match the file");
  WriteFile(Path("Kestrel.txt"), "[file1]\nfilename=Addin.cab\n");
  EXPECT_TRUE(Check("one").valid);

  std::string replayed = signature;
  replayed.replace(replayed.find("1733650000"), 10, "1999999999");
  WriteFile(Path("Kestrel.txt.minisig"), replayed);
  EXPECT_EQ(Check("one").reason, "the trusted comment is not the one signed");

  for (const std::string& broken : {std::string(), std::string("untrusted comment: x\n"),
                                    signature.substr(0, signature.size() / 2)}) {
    WriteFile(Path("Kestrel.txt.minisig"), broken);
    EXPECT_EQ(Check("one").reason, "not a signature file");
  }
  std::string why;
  EXPECT_FALSE(minisign::ParsePublicKey("untrusted comment: x\nRWQ=\n", &why));
  EXPECT_EQ(why, "not a public key");
}

}  // namespace
