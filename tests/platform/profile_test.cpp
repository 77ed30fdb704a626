#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/test_support.h"

namespace {

using profile::GetPrivateProfileInt;
using profile::GetPrivateProfileString;
using profile::WritePrivateProfileString;
using testing_support::ReadFile;
using testing_support::TempHome;
using testing_support::WriteFile;

// A text as far as the writer promises to keep it. The system's writer on
// Windows keeps every line in its place but may rewrite the line ends and
// drop blank lines.
std::string Kept(std::string text) {
#ifdef _WIN32
  std::erase(text, '\r');
  while (text.find("\n\n") != std::string::npos) text.replace(text.find("\n\n"), 2, "\n");
#endif
  return text;
}

class ProfileTest : public ::testing::Test {
 protected:
  TempHome home;
  std::string file = home.Path("upd.txt");

  std::string Get(const std::string& section, const std::string& key) {
    return GetPrivateProfileString(section, key, "<default>", file);
  }
  // Names of the files in the folder, to see that no temporary file stays.
  std::vector<std::string> FilesInFolder() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(home.path()))
      if (e.is_regular_file()) names.push_back(e.path().filename().string());
    return names;
  }
};

TEST_F(ProfileTest, ReadsValuesWithTheSystemRules) {
  WriteFile(file,
            "\xEF\xBB\xBF"
            "orphan=before any section\r\n"
            "[Update]\r\n"
            "; comment=not a key\r\n"
            "  Descr  =   New release   \r\n"
            "quoted=\"  kept blanks  \"\r\n"
            "single='x'\r\n"
            "mismatched=\"x'\r\n"
            "inner=a \"b\" c\r\n"
            "empty=\r\n"
            "no equals sign here\r\n"
            "dup=first\r\n"
            "DUP=second\r\n"
            "path=a=b\r\n"
            "  [ Files ]  \r\n"
            "count=2\n"  // LF inside a CRLF file
            "[update]\n"
            "descr=from the repeated section\n"
            "later=only in the repeated section\n");
  EXPECT_EQ(Get("update", "descr"), "New release");
  EXPECT_EQ(Get("UPDATE", "DESCR"), "New release");
  EXPECT_EQ(Get("update", "quoted"), "  kept blanks  ");
  EXPECT_EQ(Get("update", "single"), "x");
  EXPECT_EQ(Get("update", "mismatched"), "\"x'");
  EXPECT_EQ(Get("update", "inner"), "a \"b\" c");
  EXPECT_EQ(Get("update", "empty"), "");
  EXPECT_EQ(Get("update", "dup"), "first");
  EXPECT_EQ(Get("update", "path"), "a=b");
  EXPECT_EQ(Get("files", "count"), "2");
  // Comments, lines without "=", keys outside a section and keys of a
  // repeated section are not found.
  EXPECT_EQ(Get("update", "; comment"), "<default>");
  EXPECT_EQ(Get("update", "no equals sign here"), "<default>");
  EXPECT_EQ(Get("", "orphan"), "<default>");
  EXPECT_EQ(Get("update", "later"), "<default>");
  EXPECT_EQ(Get("absent", "descr"), "<default>");
  EXPECT_EQ(GetPrivateProfileString("update", "descr", "d", home.Path("missing.txt")), "d");
  EXPECT_EQ(GetPrivateProfileString("update", "descr", "d", home.Path("")), "d");  // a folder

  EXPECT_EQ(profile::GetPrivateProfileKeys("UPDATE", file),
            (std::vector<std::string>{"Descr", "quoted", "single", "mismatched", "inner", "empty",
                                      "dup", "path"}));
  EXPECT_EQ(profile::GetPrivateProfileSectionNames(file),
            (std::vector<std::string>{"Update", "Files"}));
}

TEST_F(ProfileTest, BackslashPathsAreAccepted) {
  std::filesystem::create_directory(home.path() / "sub");
  WriteFile(home.Path("sub/a.ini"), "[s]\nk=v\n");
  EXPECT_EQ(GetPrivateProfileString("s", "k", "", "sub\\a.ini"), "v");
  EXPECT_TRUE(WritePrivateProfileString("s", std::string("k"), std::string("w"), "sub\\a.ini"));
  EXPECT_EQ(Kept(ReadFile(home.Path("sub/a.ini"))), "[s]\nk=w\n");
}

TEST_F(ProfileTest, IntegersAreReadLikeTheSystemReadsThem) {
  WriteFile(file,
            "[files]\ncount=  42\nneg=-7\nplus=+3\ntrail=12abc\ntext=abc\nempty=\nhex=0x10\n"
            "sign=-\nquoted=\"5\"\nwrap=4294967297\nmin=-2147483648\n");
  auto Int = [&](const char* key) { return GetPrivateProfileInt("files", key, -99, file); };
  EXPECT_EQ(Int("count"), 42);
  EXPECT_EQ(Int("neg"), -7);
  EXPECT_EQ(Int("plus"), 3);
  EXPECT_EQ(Int("trail"), 12);
  EXPECT_EQ(Int("text"), -99);
  EXPECT_EQ(Int("empty"), -99);
  EXPECT_EQ(Int("hex"), 0);
  EXPECT_EQ(Int("sign"), -99);
  EXPECT_EQ(Int("quoted"), 5);
  EXPECT_EQ(Int("wrap"), 1);
  EXPECT_EQ(Int("min"), -2147483647 - 1);
  EXPECT_EQ(Int("absent"), -99);
  EXPECT_EQ(GetPrivateProfileInt("files", "count", 7, home.Path("none.ini")), 7);
}

TEST_F(ProfileTest, WriteCreatesTheFile) {
  EXPECT_TRUE(WritePrivateProfileString("CONFIG", std::string("LOGFILENAME"),
                                        std::string("C:\\log\\u.log"), file));
  EXPECT_EQ(ReadFile(file), "[CONFIG]\r\nLOGFILENAME=C:\\log\\u.log\r\n");
  EXPECT_EQ(Get("config", "logfilename"), "C:\\log\\u.log");
  // Removing from a file that is not there creates nothing.
  std::string other = home.Path("other.ini");
  EXPECT_TRUE(WritePrivateProfileString("s", std::string("k"), std::nullopt, other));
  EXPECT_TRUE(WritePrivateProfileString("s", std::nullopt, std::nullopt, other));
  EXPECT_FALSE(std::filesystem::exists(other));
  // A missing folder is not created.
  EXPECT_FALSE(WritePrivateProfileString("s", std::string("k"), std::string("v"),
                                         home.Path("no/such/dir/x.ini")));
}

TEST_F(ProfileTest, WriteEditsInPlaceAndKeepsEverythingElse) {
  WriteFile(file,
            "; settings\n"
            "[a]\n"
            "Key=old\n"
            "; keep me\n"
            "other=1\n"
            "\n"
            "[b]\n"
            "x=1\n");
  EXPECT_TRUE(WritePrivateProfileString("A", std::string("KEY"), std::string("new"), file));
  EXPECT_TRUE(WritePrivateProfileString("a", std::string("added"), std::string("2"), file));
  EXPECT_TRUE(WritePrivateProfileString(" c ", std::string(" y "), std::string("3"), file));
  EXPECT_EQ(Kept(ReadFile(file)), Kept("; settings\n"
                                       "[a]\n"
                                       "Key=new\n"
                                       "; keep me\n"
                                       "other=1\n"
                                       "added=2\n"
                                       "\n"
                                       "[b]\n"
                                       "x=1\n"
                                       "\n"
                                       "[c]\n"
                                       "y=3\n"));
  EXPECT_EQ(FilesInFolder(), std::vector<std::string>{"upd.txt"});
}

TEST_F(ProfileTest, WriteRemovesKeysAndSections) {
  WriteFile(file,
            "\xEF\xBB\xBF[a]\r\nk=1\r\nK=2\r\nm=3\r\n[b]\r\nx=1\r\n[A]\r\nk=4\r\n[c]\r\nz=1\r\n");
  // Every "k" of the first [a] goes, so none of them can come to light.
  EXPECT_TRUE(WritePrivateProfileString("a", std::string("k"), std::nullopt, file));
  EXPECT_EQ(Get("a", "k"), "<default>");
  EXPECT_EQ(Get("a", "m"), "3");
  // A section goes with all its repetitions.
  EXPECT_TRUE(WritePrivateProfileString("A", std::nullopt, std::nullopt, file));
  EXPECT_EQ(ReadFile(file), "\xEF\xBB\xBF[b]\r\nx=1\r\n[c]\r\nz=1\r\n");
  EXPECT_EQ(Get("a", "k"), "<default>");
  // Removing what is not there leaves the file alone.
  EXPECT_TRUE(WritePrivateProfileString("zz", std::nullopt, std::nullopt, file));
  EXPECT_TRUE(WritePrivateProfileString("b", std::string("nope"), std::nullopt, file));
  EXPECT_EQ(ReadFile(file), "\xEF\xBB\xBF[b]\r\nx=1\r\n[c]\r\nz=1\r\n");
}

TEST_F(ProfileTest, WriteRefusesWhatItCannotStoreFaithfully) {
  WriteFile(file, "[s]\nk=v\n");
  EXPECT_FALSE(WritePrivateProfileString("s", std::string("k"), std::string("a\nb"), file));
  EXPECT_FALSE(WritePrivateProfileString("s", std::string("a=b"), std::string("v"), file));
  EXPECT_FALSE(WritePrivateProfileString("s", std::string(";k"), std::string("v"), file));
  EXPECT_FALSE(WritePrivateProfileString("s", std::string(""), std::string("v"), file));
  EXPECT_FALSE(WritePrivateProfileString("s]x", std::string("k"), std::string("v"), file));
  EXPECT_FALSE(WritePrivateProfileString("s", std::string("k"), std::string("v"), ""));
  // A read-only file is left as it is.
  chmod(file.c_str(), 0444);
  EXPECT_FALSE(WritePrivateProfileString("s", std::string("k"), std::string("w"), file));
  EXPECT_EQ(ReadFile(file), "[s]\nk=v\n");
}

TEST_F(ProfileTest, WriteKeepsPermissionsAndFollowsLinks) {
#ifdef _WIN32
  GTEST_SKIP() << "permission bits and symbolic links are POSIX's";
#else
  WriteFile(file, "[s]\nk=v\n");
  chmod(file.c_str(), 0640);
  std::filesystem::create_symlink(file, home.Path("link.ini"));
  EXPECT_TRUE(WritePrivateProfileString("s", std::string("k"), std::string("w"), "link.ini"));
  EXPECT_TRUE(std::filesystem::is_symlink(home.Path("link.ini")));
  EXPECT_EQ(ReadFile(file), "[s]\nk=w\n");
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
#endif
}

TEST(ProfileText, SurvivesHugeLinesAndBinaryJunk) {
  std::string junk(1 << 20, '\0');
  for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>((i * 7919) % 251);
  std::string text = "[s]\nbig=" + std::string(8 << 20, 'x') + "\n" + junk + "\n[t]\nk=v\n";
  profile::ProfileText parsed(text);
  EXPECT_EQ(parsed.Get("s", "big")->size(), 8u << 20);
  EXPECT_EQ(parsed.Get("t", "k"), "v");
  // Unterminated headers and lone quotes are harmless.
  profile::ProfileText odd("[open\nk=\"\n[]\n=v\n'\n");
  EXPECT_EQ(odd.Get("open", "k"), "\"");
  EXPECT_EQ(odd.Sections(), (std::vector<std::string>{"open", ""}));
}

}  // namespace
