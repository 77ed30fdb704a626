// The control file read from local files: value kinds, the fetch and the
// application section, dates, the new-version test, the comparison policies
// and the file selection.
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/profile.h"
#include "platform/signature.h"
#include "resources/messages.h"
#include "support/servers.h"
#include "update/transfer_support.h"

using testing_support::WriteFile;
using transfer_testing::RecordingUpdater;

namespace {

class ControlTest : public ::testing::Test {
 protected:
  ControlTest() { u_.UpdateType = fileUpdate; }

  // Makes text the fetched control file of the component.
  void Control(const std::string& text) {
    WriteFile(home_.Path("control.txt"), text);
    u_.localControlFile_ = home_.Path("control.txt");
  }
  // A file time for a local date and time.
  static kernel::FileTime LocalTime(int year, int month, int day, int hour, int minute) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(mktime(&t));
  }
  std::vector<std::string> Urls() {
    std::vector<std::string> urls;
    for (int i = 0; i < u_.FileList.Count(); ++i) urls.push_back(u_.FileList.Items(i).URL);
    return urls;
  }

  testing_support::TempHome home_;
  RecordingUpdater u_;
  const std::string self_ = kernel::GetModuleFileName();  // carries version 1.2.3.4
};

TEST(ControlValues, IntegersInEveryForm) {
  auto value = [](const char* text) { return ParseInteger(text); };
  EXPECT_EQ(value("16"), 16);
  EXPECT_EQ(value("-7"), -7);
  EXPECT_EQ(value("+7"), 7);
  EXPECT_EQ(value("0x10"), 16);
  EXPECT_EQ(value("0X1f"), 31);
  EXPECT_EQ(value("$10"), 16);
  EXPECT_EQ(value("x10"), 16);
  EXPECT_EQ(value("X10"), 16);
  EXPECT_EQ(value("2147483647"), 2147483647);
  EXPECT_EQ(value("-2147483648"), -2147483647 - 1);
  // Hexadecimal uses all 32 bits: the bit pattern, negative from 80000000.
  EXPECT_EQ(value("$F0000000"), static_cast<int>(0xF0000000u));
  EXPECT_EQ(value("$FFFFFFFF"), -1);
  for (const char* bad : {"", "abc", "2147483648", "-2147483649", "3000000000", "$", "x", "0x",
                          "$100000000", "$G", "1.5", "12abc", "0x-1", "--1"})
    EXPECT_FALSE(value(bad).has_value()) << bad;
}

TEST_F(ControlTest, KeysFallBackToTheirDefaultsByKind) {
  Control(
      "[files]\ncount=x3\n"
      "[file1]\nurl=http://h/a.dll\nnewsize=0x10\nnewchecksum=abc\ncompressed=yes\n"
      "targetdir=sub\nmandatory=1\n"
      "[FILE2]\nNEWSIZE=abc\nnewchecksum=3000000000\npreselect=0\nhidden=01\ncompressed=1\n"
      "targetdir=sub\\\n");
  ASSERT_EQ(u_.ReadFileList(), 3);
  ASSERT_EQ(u_.FileList.Count(), 3);
  const TFileDescription& a = u_.FileList.Items(0);
  EXPECT_EQ(a.NewSize, 16);
  EXPECT_EQ(a.NewCheckSum, -1);
  EXPECT_FALSE(a.Compressed);
  EXPECT_TRUE(a.Mandatory);
  EXPECT_TRUE(a.Preselect);  // absent: set
  EXPECT_FALSE(a.Hidden);
  EXPECT_EQ(a.TargetDir, kernel::NativePath("sub\\"));
  const TFileDescription& b = u_.FileList.Items(1);
  EXPECT_EQ(b.NewSize, 0);
  EXPECT_EQ(b.NewCheckSum, -1);  // above the signed range in decimal
  EXPECT_FALSE(b.Preselect);
  EXPECT_TRUE(b.Hidden);
  EXPECT_TRUE(b.Compressed);
  EXPECT_EQ(b.TargetDir, "sub\\");
  // A count beyond the sections gives entries with every default.
  const TFileDescription& c = u_.FileList.Items(2);
  EXPECT_EQ(c.URL, "");
  EXPECT_EQ(c.NewCheckSum, -1);
  EXPECT_EQ(c.TargetDir, "");
  EXPECT_EQ(u_.Ids(), std::vector<int>({msg::kFoundFileUpdate}));
}

TEST_F(ControlTest, ZeroOrNegativeCountReadsNoEntry) {
  for (const char* count : {"0", "-3", "many"}) {
    Control(std::string("[files]\ncount=") + count + "\n[file1]\nurl=a\n");
    u_.FileList.Add();
    EXPECT_LE(u_.ReadFileList(), 0);
    EXPECT_EQ(u_.FileList.Count(), 0);
  }
  EXPECT_TRUE(u_.reports.empty());
}

TEST_F(ControlTest, AHugeCountIsCutShort) {
  Control("[files]\ncount=2147483647\n[file1]\nurl=a\n");
  EXPECT_EQ(u_.ReadFileList(), 2147483647);
  EXPECT_EQ(u_.FileList.Count(), 10000);
}

TEST_F(ControlTest, PathsMessagesFlagsAndPresentKeys) {
  Control(
      "[action]\nmsg=one\\ntwo\\n\nrunafter={app}\\a.dll\nrunbefore={FOO}\\a.dll\n"
      "[update]\nunconditional=no\nunconditional2=\n"
      "[application]\nappupdate=2\nsilentrestart=1\n");
  const std::string app = PathForPrefix(ExtractFilePath(kernel::GetModuleFileName()));
  EXPECT_EQ(u_.ReadControlMessage("action", "msg"), "one\rtwo\r");
  EXPECT_EQ(u_.ReadControlPath("action", "runafter"), kernel::NativePath(app + "\\a.dll"));
  EXPECT_EQ(u_.ReadControlPath("action", "runbefore"), kernel::NativePath(".\\a.dll"));
  EXPECT_EQ(u_.ReadControlPath("action", "msg"), "one\\ntwo\\n");  // no braces: unchanged
  EXPECT_TRUE(u_.ReadControlPresent("update", "unconditional"));
  EXPECT_FALSE(u_.ReadControlPresent("update", "unconditional2"));
  EXPECT_FALSE(u_.ReadControlFlag("application", "appupdate"));
  EXPECT_TRUE(u_.ReadControlFlag("application", "silentrestart"));
  EXPECT_FALSE(u_.ReadControlFlag("application", "missing"));
}

TEST_F(ControlTest, FetchStoresTheFileWithoutItsQueryAndReadsTheApplication) {
  WriteFile("upd.txt",
            "[update]\nsignature=Updater\n"
            "[application]\nappupdate=1\nappname=app.exe\nappcomps={app}\\x.dll\n");
  u_.URL = home_.Path("upd.txt") + "?x=1";
  EXPECT_EQ(u_.FetchControlFile(), 0);
  EXPECT_EQ(u_.LocalControlFile(), GetTempDir() + "upd.txt");
  EXPECT_TRUE(kernel::FileExists(GetTempDir() + "upd.txt"));
  EXPECT_TRUE(u_.RestartWanted());
  EXPECT_EQ(u_.UpdateHeader().AppName, "app.exe");
  EXPECT_EQ(u_.UpdateHeader().AppParams, " ");  // absent: one blank
  EXPECT_EQ(
      u_.UpdateHeader().AppComps,
      kernel::NativePath(PathForPrefix(ExtractFilePath(kernel::GetModuleFileName())) + "\\x.dll"));
  EXPECT_FALSE(u_.UpdateHeader().SilentRestart);
  EXPECT_EQ(u_.Ids(), std::vector<int>({msg::kDownload, msg::kControlFileFound}));
}

TEST_F(ControlTest, RestartWantedNeedsAnApplicationName) {
  WriteFile("upd.txt", "[application]\nappupdate=1\nappparam=-a -b\n");
  u_.URL = home_.Path("upd.txt");
  std::string seen;
  u_.OnSetAppParams = [&](TUpdater*, std::string& params) {
    seen = params;
    params += " -c";
  };
  EXPECT_EQ(u_.FetchControlFile(), 0);
  EXPECT_FALSE(u_.RestartWanted());
  EXPECT_EQ(seen, "-a -b");
  EXPECT_EQ(u_.UpdateHeader().AppParams, "-a -b -c");
}

TEST_F(ControlTest, SignatureIsComparedWithLetterCase) {
  WriteFile("upd.txt", "[update]\nsignature=updater\n[application]\nappname=a.exe\n");
  u_.URL = home_.Path("upd.txt");
  u_.SignatureCheck = true;
  EXPECT_EQ(u_.FetchControlFile(), 5);
  const auto* bad = u_.Find(msg::kInvalidSignature);
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(bad->status, 11);
  EXPECT_EQ(bad->error, 4);
  // The application section is read all the same.
  EXPECT_EQ(u_.UpdateHeader().AppName, "a.exe");

  u_.Signature = "updater";
  EXPECT_EQ(u_.FetchControlFile(), 0);
  u_.SignatureCheck = false;
  u_.Signature = "other";
  EXPECT_EQ(u_.FetchControlFile(), 0);
}

// With a signing key the control file counts only with its signature, made
// by the publishers' signing tool; the reason of a refusal is reported.
TEST_F(ControlTest, WithAKeyOnlyASignedControlFileIsAccepted) {
  if (!signature::Available()) GTEST_SKIP() << "no signature checks on this system";
  const std::string control = home_.Path("upd.txt");
  WriteFile(control, "[application]\nappname=a.exe\n");
  ASSERT_EQ(testing_support::RunShell("minisign -G -W -p " + home_.Path("k.pub") + " -s " +
                                      home_.Path("k.key") + " >/dev/null"),
            0);
  auto sign = [&] {
    ASSERT_EQ(testing_support::RunShell("minisign -S -s " + home_.Path("k.key") + " -m " + control +
                                        " </dev/null >/dev/null"),
              0);
  };
  u_.URL = control;
  u_.PublicKey = testing_support::ReadFile(home_.Path("k.pub"));
  auto refusal = [&] {
    const auto* report = u_.Find(msg::kRefusedControlSignature);
    return report ? report->text : std::string("(none)");
  };

  EXPECT_EQ(u_.FetchControlFile(), 5);
  EXPECT_NE(refusal().find("no signature at " + control + ".minisig"), std::string::npos)
      << refusal();
  sign();
  u_.reports.clear();
  EXPECT_EQ(u_.FetchControlFile(), 0);
  EXPECT_EQ(u_.UpdateHeader().AppName, "a.exe");

  WriteFile(control, "[application]\nappname=evil.exe\n");
  u_.reports.clear();
  EXPECT_EQ(u_.FetchControlFile(), 5);
  EXPECT_NE(refusal().find("the signature does not match the file"), std::string::npos)
      << refusal();
  EXPECT_EQ(u_.Find(msg::kRefusedControlSignature)->error, 4);
}

// A validly signed control file older than the one accepted last from the
// same location is a replay of an older release.
TEST_F(ControlTest, WithAKeyAnOlderSignedControlFileIsRefused) {
  if (!signature::Available()) GTEST_SKIP() << "no signature checks on this system";
  u_.LastURLEntry.Key = "Software\\KestrelTest";
  u_.LastURLEntry.Section = "Upd";
  const std::string control = home_.Path("upd.txt");
  WriteFile(control, "[application]\nappname=a.exe\n");
  ASSERT_EQ(testing_support::RunShell("minisign -G -W -p " + home_.Path("k.pub") + " -s " +
                                      home_.Path("k.key") + " >/dev/null"),
            0);
  u_.URL = control;
  u_.PublicKey = testing_support::ReadFile(home_.Path("k.pub"));
  auto signedAt = [&](int timestamp) {
    EXPECT_EQ(testing_support::RunShell("minisign -S -s " + home_.Path("k.key") + " -m " + control +
                                        " -t 'timestamp:" + std::to_string(timestamp) +
                                        "' </dev/null >/dev/null"),
              0);
    u_.reports.clear();
    return u_.FetchControlFile();
  };
  EXPECT_EQ(signedAt(2000), 0);
  EXPECT_EQ(signedAt(2000), 0) << "the same release again";
  EXPECT_EQ(signedAt(1999), 5);
  const auto* refused = u_.Find(msg::kRefusedControlSignature);
  ASSERT_NE(refused, nullptr);
  EXPECT_NE(refused->text.find("signed at 1999, before the control file accepted last (signed at "
                               "2000)"),
            std::string::npos)
      << refused->text;
  EXPECT_EQ(signedAt(2001), 0);
  EXPECT_EQ(signedAt(2000), 5);
}

TEST_F(ControlTest, MissingControlFileOrLocation) {
  u_.URL = home_.Path("absent.txt");
  EXPECT_EQ(u_.FetchControlFile(), 4);
  EXPECT_EQ(u_.Ids(),
            std::vector<int>({msg::kDownload, msg::kSourceNotFound, msg::kControlFileNotFound}));
  EXPECT_EQ(u_.reports.back().status, 2);
  EXPECT_EQ(u_.reports.back().error, 0);
  EXPECT_EQ(u_.LocalControlFile(), "");

  u_.reports.clear();
  u_.URL = "";
  EXPECT_EQ(u_.FetchControlFile(), 4);
  EXPECT_EQ(u_.Ids(), std::vector<int>({msg::kControlFileNotFound}));
}

// A value cut short by a NUL byte, or a control file read in part, would
// make the run act on something the publisher never wrote.
TEST_F(ControlTest, AControlFileWithANulByteOrBeyondTheLimitIsRefused) {
  const std::string header = "[application]\nappupdate=1\nappname=app.exe\n[files]\ncount=1\n";
  for (const std::string& text :
       {header + std::string("[file1]\nurl=plain.bin\0.cab\ncompressed=1\n", 40),
        header + "[file1]\nurl=a.cab\n;" + std::string(profile::kMaxFileSize, 'x')}) {
    WriteFile("upd.txt", text);
    u_.URL = home_.Path("upd.txt");
    u_.reports.clear();
    EXPECT_EQ(u_.FetchControlFile(), 5);
    const auto* refused = u_.Find(msg::kInvalidControlFile);
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->text.rfind("Invalid update control file : " + u_.URL, 0), 0u)
        << refused->text;
    EXPECT_EQ(refused->status, 11);
    EXPECT_EQ(refused->error, 4);
    EXPECT_FALSE(u_.RestartWanted()) << "nothing of a refused file is used";
    u_.CloseConnection();
    EXPECT_FALSE(kernel::FileExists(GetTempDir() + "upd.txt"));
  }
}

TEST_F(ControlTest, RecordedLocationWinsOverURL) {
  WriteFile("moved.txt", "[update]\n");
  u_.LastURLEntry.Save = true;
  u_.LastURLEntry.Key = "Software\\KestrelTest";
  u_.LastURLEntry.Section = "Upd";
  u_.WriteLastURL("{tmp}/../moved.txt");
  u_.URL = home_.Path("absent.txt");
  EXPECT_EQ(u_.GetControlFileURL(),
            kernel::NativePath(PathForPrefix(GetTempDir()) + "/../moved.txt"));
  u_.WriteLastURL("");
  EXPECT_EQ(u_.GetControlFileURL(), home_.Path("absent.txt"));
}

TEST_F(ControlTest, DatesFollowTheFormatAndSeparators) {
  const TDateTime start = EncodeDateTime(1980, 1, 1);
  EXPECT_EQ(u_.ParseControlDate("05/03/2008", ""), EncodeDateTime(2008, 3, 5));
  EXPECT_EQ(u_.ParseControlDate("5/3/08", "13:45"), EncodeDateTime(2008, 3, 5, 13, 45));
  EXPECT_EQ(u_.ParseControlDate("05/03/2008", "1:02:03 pm"), EncodeDateTime(2008, 3, 5, 13, 2, 3));
  EXPECT_EQ(u_.ParseControlDate("05/03/2008", "12:00 AM"), EncodeDateTime(2008, 3, 5));
  // Malformed: the date leaves 1 January 1980, the time adds nothing.
  EXPECT_EQ(u_.ParseControlDate("31/02/2008", ""), start);
  EXPECT_EQ(u_.ParseControlDate("05-03-2008", "10:00"), start + 10.0 / 24);
  EXPECT_EQ(u_.ParseControlDate("abc", "xx"), start);
  EXPECT_EQ(u_.ParseControlDate("05/03/2008", "25:00"), EncodeDateTime(2008, 3, 5));
  EXPECT_EQ(u_.ParseControlDate("", ""), start);

  u_.DateFormat = "mm/dd/yyyy";
  EXPECT_EQ(u_.ParseControlDate("05/03/2008", ""), EncodeDateTime(2008, 5, 3));
  u_.DateFormat = "yyyy-mm-dd";
  u_.DateSeparator = '-';
  u_.TimeSeparator = '.';
  EXPECT_EQ(u_.ParseControlDate("2008-05-03", "10.30"), EncodeDateTime(2008, 5, 3, 10, 30));
  EXPECT_EQ(u_.ParseControlDate("2008/05/03", "10:30"), start);
}

TEST_F(ControlTest, NothingToTestIsNothingNew) {
  Control("[update]\ndescr=Spring release\nlocalversion=x\n");
  EXPECT_EQ(u_.CheckNewVersion(), 7);
  EXPECT_TRUE(u_.reports.empty());
  EXPECT_EQ(u_.UpdateHeader().Description, "Spring release");
}

TEST_F(ControlTest, DateBasedUpdate) {
  Control("[update]\ndate=05/03/2008\ntime=10:30\n");
  EXPECT_EQ(u_.CheckNewVersion(), 6);
  EXPECT_EQ(u_.Ids(), std::vector<int>({msg::kDateBasedUpdate, msg::kNewVersionFound}));
  EXPECT_EQ(u_.reports[1].text, "New version found : 05/03/2008");
  EXPECT_EQ(u_.reports[1].status, 5);
  EXPECT_EQ(u_.UpdateHeader().UpdateDate, EncodeDateTime(2008, 3, 5, 10, 30));

  // A local file written later than the update date: nothing new.
  WriteFile("local.dat", "x");
  u_.reports.clear();
  Control("[update]\ndate=05/03/2008\nlocalversion=" + home_.Path("local.dat") + "\n");
  EXPECT_EQ(u_.CheckNewVersion(), 7);
  EXPECT_EQ(u_.Ids(), std::vector<int>({msg::kDateBasedUpdate, msg::kNoNewVersion}));
  EXPECT_EQ(u_.updateLocalFile_, home_.Path("local.dat"));
}

TEST_F(ControlTest, OldDateFallsThroughToTheVersionTest) {
  WriteFile("local.dat", "x");
  Control("[update]\ndate=05/03/2008\nlocalversion=" + self_ + "\nnewversion=1.2.3.5\n");
  EXPECT_EQ(u_.CheckNewVersion(), 11);
  EXPECT_EQ(u_.Ids(),
            std::vector<int>({msg::kDateBasedUpdate, msg::kNoNewVersion, msg::kVersionBasedUpdate,
                              msg::kVersionCheck, msg::kNewVersionFound}));
  EXPECT_EQ(u_.reports[3].text,
            "Version check : Version compare of " + self_ + ":1.2.3.4 with 1.2.3.5:1.2.3.5");
  EXPECT_EQ(u_.reports[4].text, "New version found : 1.2.3.5");
  EXPECT_EQ(u_.UpdateHeader().NewVersion, "1.2.3.5");
  EXPECT_EQ(u_.UpdateHeader().LocalVersion, "1.2.3.4");
}

TEST_F(ControlTest, ChecksumThenSizeThenVersionDecideTheKind) {
  WriteFile("abc", "abc");  // byte sum $125, CRC32 $6C8D9D41
  const std::string abc = home_.Path("abc");
  Control("[update]\nlocalversion=" + abc + "\nnewchecksum=$126\nnewsize=3\nnewversion=9\n");
  EXPECT_EQ(u_.CheckNewVersion(), 10);
  EXPECT_EQ(u_.Ids(), std::vector<int>(
                          {msg::kChecksumBasedUpdate, msg::kVersionCheck, msg::kNewVersionFound}));
  EXPECT_EQ(u_.reports[1].text, "Version check : Checksum compare of " + abc + ":293:294");

  u_.reports.clear();
  Control("[update]\nlocalversion=" + abc + "\nnewsize=4\nnewversion=9\n");
  EXPECT_EQ(u_.CheckNewVersion(), 9);
  EXPECT_EQ(u_.Ids(), std::vector<int>({msg::kSizeBasedUpdate, msg::kNewVersionFound}));

  u_.reports.clear();
  Control("[update]\nlocalversion=" + abc + "\nnewsize=3\n");
  EXPECT_EQ(u_.CheckNewVersion(), 7);
  EXPECT_EQ(u_.Ids(), std::vector<int>({msg::kSizeBasedUpdate, msg::kNoNewVersion}));

  // Without a local file name no test runs.
  u_.reports.clear();
  Control("[update]\nnewsize=4\n");
  EXPECT_EQ(u_.CheckNewVersion(), 7);
  EXPECT_TRUE(u_.reports.empty());
}

TEST_F(ControlTest, UnconditionalAndCustomValidation) {
  Control("[update]\nunconditional=no\n[custom]\nvalidatemsg=m\nvalidateparam=p\n");
  EXPECT_EQ(u_.CheckNewVersion(), 8);

  std::string msg, param;
  bool offered = true;
  u_.OnCustomValidate = [&](TUpdater*, const std::string& m, const std::string& p, bool& allow) {
    msg = m;
    param = p;
    offered = allow;
    allow = true;
  };
  Control("[custom]\nvalidatemsg=m\nvalidateparam=p\n");
  EXPECT_EQ(u_.CheckNewVersion(), 12);
  EXPECT_FALSE(offered);
  EXPECT_EQ(msg + param, "mp");

  // A refusal stops an update that the date test had allowed.
  u_.OnCustomValidate = [&](TUpdater*, const std::string&, const std::string&, bool& allow) {
    offered = allow;
    allow = false;
  };
  Control("[update]\ndate=05/03/2008\n");
  EXPECT_EQ(u_.CheckNewVersion(), 7);
  EXPECT_TRUE(offered);
}

TEST_F(ControlTest, CompareFileVersionRules) {
  WriteFile("plain", "no version here");
  auto compare = [&](std::string wanted, std::string local) {
    return u_.CompareFile(wanted, local, 0, -1);
  };
  EXPECT_TRUE(compare("", ""));  // nothing to compare
  EXPECT_TRUE(compare("1.0", ""));
  EXPECT_FALSE(compare("1.2.3.4", self_));
  EXPECT_FALSE(compare("1.2.3", self_));
  EXPECT_TRUE(compare("1.2.3.5", self_));
  EXPECT_TRUE(compare("1,2,3,5", self_));
  EXPECT_TRUE(compare("1.3", self_));
  EXPECT_FALSE(compare("1.2.3.4.5", self_));
  EXPECT_FALSE(compare("abc", self_));
  // A major part of 32768 or more compares as negative.
  EXPECT_FALSE(compare("40000.0", self_));
  EXPECT_FALSE(compare("2.0", home_.Path("plain")));
  EXPECT_FALSE(compare("2.0", home_.Path("missing")));

  // Both texts are rewritten when a comparison took place.
  std::string wanted = "1,3", local = self_;
  EXPECT_TRUE(u_.CompareFile(wanted, local, 0, -1));
  EXPECT_EQ(wanted, "1.3.0.0");
  EXPECT_EQ(local, "1.2.3.4");

  u_.VersionCheck = vcAlways;
  EXPECT_TRUE(compare("2.0", home_.Path("plain")));
  EXPECT_TRUE(compare("2.0", home_.Path("missing")));
  EXPECT_FALSE(compare("1.2.3.4.5", home_.Path("plain")));
}

TEST_F(ControlTest, CompareFileSizeAndChecksumRules) {
  WriteFile("abc", "abc");
  WriteFile("empty", "");
  const std::string abc = home_.Path("abc"), empty = home_.Path("empty");
  auto compare = [&](const std::string& local, int size, int sum) {
    std::string wanted, l = local;
    return u_.CompareFile(wanted, l, size, sum);
  };
  EXPECT_FALSE(compare(abc, 3, -1));
  EXPECT_TRUE(compare(abc, 4, -1));
  EXPECT_FALSE(compare(empty, 4, -1));
  EXPECT_FALSE(compare(home_.Path("missing"), 4, -1));
  EXPECT_FALSE(compare(abc, 0, 0x125));
  EXPECT_TRUE(compare(abc, 0, 0x6C8D9D41));
  u_.UseCRC32 = true;
  EXPECT_FALSE(compare(abc, 0, 0x6C8D9D41));
  u_.VersionCheck = vcAlways;
  EXPECT_TRUE(compare(empty, 4, -1));
  EXPECT_TRUE(compare(home_.Path("missing"), 4, -1));
  // Only the checksum test reports.
  for (const auto& r : u_.reports) EXPECT_EQ(r.id, msg::kVersionCheck);
  EXPECT_EQ(u_.reports.size(), 3u);
}

TEST_F(ControlTest, SelectionByVersionSizeAndNothing) {
  WriteFile("abc", "abc");
  const std::string abc = home_.Path("abc");
  Control(
      "[files]\ncount=5\n"
      "[file1]\nurl=u1\n"                  // nothing to compare: kept
      "[file2]\nurl=u2\nnewversion=9.0\n"  // no local file: kept
      "[file3]\nurl=u3\nlocalversion=" +
      abc +
      "\nnewsize=3\n"  // same size: dropped
      "[file4]\nurl=u4\nlocalversion=" +
      self_ +
      "\nnewversion=1.2.3.4\n"  // dropped
      "[file5]\nurl=u5\nlocalversion=" +
      self_ + "\nnewversion=1.2.4\n");  // kept
  ASSERT_EQ(u_.ReadFileList(), 5);
  u_.reports.clear();
  EXPECT_EQ(u_.SelectFiles(), 0);
  EXPECT_EQ(Urls(), std::vector<std::string>({"u1", "u2", "u5"}));
  EXPECT_EQ(u_.Ids(),
            std::vector<int>({msg::kProcessingFile, msg::kProcessingFile, msg::kProcessingFile,
                              msg::kNoNewVersion, msg::kProcessingFile, msg::kVersionCheck,
                              msg::kNoNewVersion, msg::kProcessingFile, msg::kVersionCheck}));
  EXPECT_EQ(u_.reports[2].text, "Processing file : u3[" + abc + ",nv=,nd=,ns=3,nc=-1]");
  // The entry's texts stay as read.
  EXPECT_EQ(u_.FileList.Items(2).NewVersion, "1.2.4");
  EXPECT_EQ(u_.FileList.Items(2).LocalVersion, self_);
}

TEST_F(ControlTest, SelectionPoliciesForAMissingLocalFile) {
  const std::string missing = home_.Path("missing");
  const std::string text = "[files]\ncount=2\n[file1]\nurl=u1\nlocalversion=" + missing +
                           "\nnewsize=5\n[file2]\nurl=u2\nlocalversion=" + missing +
                           "\nnewversion=1.0\n";
  Control(text);
  u_.ReadFileList();
  EXPECT_EQ(u_.SelectFiles(), -1);
  u_.VersionCheck = vcAlways;
  u_.ReadFileList();
  EXPECT_EQ(u_.SelectFiles(), 0);
  EXPECT_EQ(u_.FileList.Count(), 2);
}

TEST_F(ControlTest, SelectionByDate) {
  WriteFile("local.dat", "12345");
  const std::string local = home_.Path("local.dat");
  ASSERT_TRUE(kernel::SetFileLastWriteTime(local, LocalTime(2008, 3, 5, 10, 30)));
  auto entry = [&](int n, const std::string& date, const std::string& time, int fileSize,
                   const std::string& file) {
    return "[file" + std::to_string(n) + "]\nurl=u" + std::to_string(n) + "\nlocalversion=" + file +
           "\ndate=" + date + "\ntime=" + time + "\nfilesize=" + std::to_string(fileSize) +
           "\nnewversion=99.0\n";
  };
  Control("[files]\ncount=6\n" + entry(1, "05/03/2008", "10:30", 0, local) +  // same: dropped
          entry(2, "05/03/2008", "10:30", 5, local) +                         // same size: dropped
          entry(3, "05/03/2008", "10:30", 6, local) +                         // other size: kept
          entry(4, "05/03/2008", "10:31", 0, local) +                         // newer: kept
          entry(5, "01/01/2000", "", 0, home_.Path("missing")) +              // missing: kept
          entry(6, "bad", "", 0, local));  // 1 January 1980: dropped
  u_.ReadFileList();
  u_.reports.clear();
  EXPECT_EQ(u_.SelectFiles(), 0);
  EXPECT_EQ(Urls(), std::vector<std::string>({"u3", "u4", "u5"}));
  // The date test makes no report of its own.
  EXPECT_EQ(u_.Ids(), std::vector<int>(6, msg::kProcessingFile));
}

TEST_F(ControlTest, OwnerVetoesEntriesAndBlanksLines) {
  Control(
      "[files]\ncount=4\n"
      "[file1]\nurl=u1\ndescr=One\ncustomversion=c1\n"
      "[file2]\nurl=u2\ndescr=Two\ncustomversion=c2\n"
      "[file3]\nurl=u3\ndescr=Three\n"
      "[file4]\nurl=u4\ndescr=Four\n");
  u_.ReadFileList();
  std::vector<std::string> asked;
  u_.OnFileVersionCheck = [&](TUpdater*, const std::string& custom, const std::string&,
                              bool& isNew) {
    asked.push_back(custom);
    isNew = custom != "c2";
  };
  TStrings offered;
  u_.OnGetFileList = [&](TUpdater*, TStrings& list) {
    offered = list;
    list[1] = "";
  };
  EXPECT_EQ(u_.SelectFiles(), 0);
  EXPECT_EQ(asked, std::vector<std::string>({"c1", "c2"}));  // only with a custom version
  EXPECT_EQ(offered, TStrings({"One", "Three", "Four"}));
  EXPECT_EQ(Urls(), std::vector<std::string>({"u1", "u4"}));

  u_.ReadFileList();
  u_.OnGetFileList = [&](TUpdater*, TStrings& list) {
    for (auto& line : list) line.clear();
  };
  EXPECT_EQ(u_.SelectFiles(), -1);
  // A handler that deletes lines cannot make the walk run past the list.
  u_.ReadFileList();
  u_.OnGetFileList = [&](TUpdater*, TStrings& list) { list.assign(9, ""); };
  EXPECT_EQ(u_.SelectFiles(), -1);
}

TEST_F(ControlTest, MalformedControlFilesReadAsDefaults) {
  for (const std::string& text :
       {std::string(), std::string("\0\0\xff[", 4), std::string("[files]\ncount=3"),
        std::string("[file1\nurl=a\n[files]count=1\n"), std::string(100000, '['),
        std::string("[files]\ncount=1\n[file1]\ndate=99/99/99999999999\ntime=::::\n"
                    "newversion=,,,,\nnewsize=$\nlocalversion={{{}}}{\n")}) {
    Control(text);
    u_.CheckNewVersion();
    if (u_.ReadFileList() > 0) u_.SelectFiles();
  }
  SUCCEED();
}

}  // namespace
