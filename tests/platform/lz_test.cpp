#include "platform/lz.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "support/servers.h"
#include "support/test_support.h"

namespace {

using namespace lz;
using testing_support::ReadFile;
using testing_support::TempHome;
using testing_support::WriteFile;

constexpr const char* kCompressor = "/usr/bin/mscompress";

class LzTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kCompressor)) GTEST_SKIP() << "mscompress is not installed";
  }

  // Compresses the content with the real compressor; returns the name of the
  // SZDD file (the name with "_" appended, missing character 0). The
  // compressor garbles inputs shorter than 16 bytes, so those are not
  // given to it.
  std::string Compress(const std::string& name, const std::string& content) {
    EXPECT_TRUE(content.empty() || content.size() >= 16);
    WriteFile(name, content);
    std::string command = std::string(kCompressor) + " '" + name + "' >/dev/null 2>&1";
    EXPECT_EQ(testing_support::RunShell(command), 0);
    return name + "_";
  }

  // Expands source into target through the handle functions.
  long Expand(const std::string& source, const std::string& target) {
    Handle in = LZOpenFile(source, OpenMode::Read);
    EXPECT_GE(in, 0);
    Handle out = LZOpenFile(target, OpenMode::Create);
    EXPECT_GE(out, 0);
    long n = LZCopy(in, out);
    LZClose(out);
    LZClose(in);
    return n;
  }

  TempHome home;
};

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

TEST_F(LzTest, ExpandsWhatTheCompressorMade) {
  std::string repetitive;
  for (int i = 0; i < 20000; ++i) repetitive += "Kestrel update " + std::to_string(i % 7) + "\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"sixteen.bin", "0123456789abcdef"},
      {"random.bin", RandomBytes(100 * 1024, 1)},
      {"repeat.txt", repetitive},
      {"zeros.bin", std::string(300000, '\0')},
  };
  for (const auto& [name, content] : cases) {
    SCOPED_TRACE(name);
    std::string packed = Compress(name, content);
    if (content.size() > 1000 && name != "random.bin") {
      EXPECT_LT(ReadFile(packed).size(), content.size() / 4);  // it really is compressed
    }
    EXPECT_EQ(Expand(packed, "out.bin"), static_cast<long>(content.size()));
    EXPECT_EQ(ReadFile("out.bin"), content);
  }
  // One byte, written by hand: a flag byte announcing one literal.
  WriteFile("one.bi_", std::string("SZDD\x88\xF0\x27\x33"
                                   "A\0\x01\0\0\0\x01x",
                                   16));
  EXPECT_EQ(Expand("one.bi_", "one.bin"), 1);
  EXPECT_EQ(ReadFile("one.bin"), "x");
}

TEST_F(LzTest, PlainFilesAreCopiedUnchanged) {
  const std::string content = RandomBytes(70000, 2);
  WriteFile("plain.dll", content);
  EXPECT_EQ(Expand("plain.dll", "copy.dll"), 70000);
  EXPECT_EQ(ReadFile("copy.dll"), content);
  std::string name;
  EXPECT_EQ(GetExpandedName("plain.dll", name), 1);
  EXPECT_EQ(name, "plain.dll");
  // A plain file named like a compressed one keeps its name too.
  WriteFile("plain.dl_", "not compressed");
  EXPECT_EQ(GetExpandedName("plain.dl_", name), 1);
  EXPECT_EQ(name, "plain.dl_");
  // Expanding a plain file onto itself leaves it intact.
  EXPECT_EQ(Expand("plain.dll", "plain.dll"), 70000);
  EXPECT_EQ(ReadFile("plain.dll"), content);
}

TEST_F(LzTest, ExpandedNameRestoresTheStoredCharacter) {
  std::string packed = Compress("upsetup.exe", "MZ restarter program");
  std::string name;
  // The compressor appended "_" and stored no character.
  EXPECT_EQ(GetExpandedName(packed, name), 1);
  EXPECT_EQ(name, "upsetup.exe");

  // A file compressed with its last character stored in the header.
  std::string bytes = ReadFile(packed);
  bytes[9] = 'e';
  WriteFile("upsetup.ex_", bytes);
  EXPECT_EQ(GetExpandedName("upsetup.ex_", name), 1);
  EXPECT_EQ(name, "upsetup.exe");
  WriteFile("SETUP.EX_", bytes);
  EXPECT_EQ(GetExpandedName("SETUP.EX_", name), 1);
  EXPECT_EQ(name, "SETUP.EXE");
  std::filesystem::create_directory("Temp");
  WriteFile("Temp/DATA.1_", bytes);
  EXPECT_EQ(GetExpandedName("Temp\\DATA.1_", name), 1);
  EXPECT_EQ(name, "Temp\\DATA.1E");  // the letters of the name decide, not the digit
  bytes[9] = '7';
  WriteFile("lib.dl_", bytes);
  EXPECT_EQ(GetExpandedName("lib.dl_", name), 1);
  EXPECT_EQ(name, "lib.dl7");
  // Without a trailing "_" the name stays.
  WriteFile("packed.bin", bytes);
  EXPECT_EQ(GetExpandedName("packed.bin", name), 1);
  EXPECT_EQ(name, "packed.bin");

  EXPECT_EQ(GetExpandedName("missing.ex_", name), LZERROR_BADINHANDLE);
}

TEST_F(LzTest, DamagedFilesFailCleanly) {
  const std::string content = RandomBytes(50000, 3) + std::string(50000, 'a');
  std::string packed = ReadFile(Compress("data.bin", content));

  // Cut at many places: inside the header and throughout the data.
  for (std::size_t cut : {std::size_t{10}, std::size_t{13}, std::size_t{14}, std::size_t{15},
                          packed.size() / 3, packed.size() / 2, packed.size() - 1}) {
    SCOPED_TRACE(cut);
    WriteFile("cut.bi_", packed.substr(0, cut));
    WriteFile("target.bin", "previous content");
    long n = Expand("cut.bi_", "target.bin");
    EXPECT_EQ(n, LZERROR_READ);
    // The failed expansion leaves the old target alone.
    EXPECT_EQ(ReadFile("target.bin"), "previous content");
  }
  std::string name;
  WriteFile("short.bi_", packed.substr(0, 12));
  EXPECT_EQ(GetExpandedName("short.bi_", name), LZERROR_READ);

  // An unknown compression method.
  std::string other = packed;
  other[8] = 'B';
  WriteFile("other.bi_", other);
  EXPECT_EQ(Expand("other.bi_", "x.bin"), LZERROR_UNKNOWNALG);
  EXPECT_EQ(GetExpandedName("other.bi_", name), LZERROR_UNKNOWNALG);

  // A header that promises more than the data holds, and random data behind
  // a valid header: errors, never a crash or a runaway output.
  std::string lying = packed;
  lying[13] = '\x7f';
  WriteFile("lying.bi_", lying);
  EXPECT_EQ(Expand("lying.bi_", "x.bin"), LZERROR_READ);
  // One that promises less than the data holds installs no short file.
  std::string shortened = packed;
  shortened[11] = 0;
  shortened[12] = 0;
  shortened[13] = 0;
  WriteFile("shortened.bi_", shortened);
  EXPECT_EQ(Expand("shortened.bi_", "x.bin"), LZERROR_READ);
  // The compressor's own empty file holds a stray literal that its header
  // does not count: a mismatch like any other.
  EXPECT_EQ(Expand(Compress("empty.bin", ""), "x.bin"), LZERROR_READ);
  WriteFile("junk.bi_", packed.substr(0, 14) + RandomBytes(100000, 4));
  long n = Expand("junk.bi_", "y.bin");
  EXPECT_TRUE(n == LZERROR_READ || n == static_cast<long>(content.size())) << n;

  EXPECT_FALSE(std::filesystem::exists("x.bin"));
  for (const auto& e : std::filesystem::directory_iterator("."))
    EXPECT_FALSE(e.path().filename().string().ends_with(".partial")) << "temporary file left";
}

TEST_F(LzTest, HandlesAreCheckedAndReused) {
  WriteFile("a.txt", "abc");
  EXPECT_EQ(LZOpenFile("missing.txt", OpenMode::Read), LZERROR_BADINHANDLE);
  EXPECT_EQ(LZOpenFile(".", OpenMode::Read), LZERROR_BADINHANDLE);
  EXPECT_EQ(LZOpenFile("no/such/dir/x", OpenMode::Create), LZERROR_BADOUTHANDLE);

  Handle in = LZOpenFile("a.txt", OpenMode::Read);
  ASSERT_GE(in, 0);
  Handle out = LZOpenFile("b.txt", OpenMode::Create);
  ASSERT_GE(out, 0);
  EXPECT_EQ(LZCopy(out, out), LZERROR_BADINHANDLE);
  EXPECT_EQ(LZCopy(in, in), LZERROR_BADOUTHANDLE);
  EXPECT_EQ(LZCopy(12345, out), LZERROR_BADINHANDLE);
  EXPECT_EQ(LZCopy(in, -1), LZERROR_BADOUTHANDLE);
  EXPECT_EQ(LZCopy(in, out), 3);
  LZClose(out);
  LZClose(in);
  LZClose(in);  // closing twice is harmless
  LZClose(-5);
  EXPECT_EQ(LZCopy(in, out), LZERROR_BADINHANDLE);
  EXPECT_EQ(ReadFile("b.txt"), "abc");

  // The table is small but handles are given back on close.
  std::vector<Handle> open;
  for (Handle h; (h = LZOpenFile("a.txt", OpenMode::Read)) >= 0;) open.push_back(h);
  EXPECT_GE(open.size(), 8u);
  EXPECT_EQ(LZOpenFile("a.txt", OpenMode::Read), LZERROR_GLOBALLOC);
  for (Handle h : open) LZClose(h);
  for (int i = 0; i < 100; ++i) LZClose(LZOpenFile("a.txt", OpenMode::Read));
  EXPECT_GE(LZOpenFile("a.txt", OpenMode::Read), 0);
}

#ifdef _WIN32
// A file that is open cannot be replaced on Windows: the expansion is then
// not put in place, and the old file stays whole.
TEST(LzWindows, ATargetInUseStaysAsItWas) {
  TempHome home;
  WriteFile("new.txt", "new content");
  WriteFile("target.txt", "old content");
  std::ifstream inUse("target.txt");
  ASSERT_TRUE(inUse);
  Handle in = LZOpenFile("new.txt", OpenMode::Read);
  Handle out = LZOpenFile("target.txt", OpenMode::Create);
  EXPECT_EQ(LZCopy(in, out), 11);
  LZClose(out);
  LZClose(in);
  inUse.close();
  EXPECT_EQ(ReadFile("target.txt"), "old content");
  EXPECT_FALSE(std::filesystem::exists("target.txt.partial"));
}
#endif

TEST_F(LzTest, CreatedFileKeepsTheModeOfTheFileItReplaces) {
#ifdef _WIN32
  GTEST_SKIP() << "permission bits are POSIX's";
#else
  WriteFile("tool", "old");
  chmod("tool", 0755);
  const std::string script = "#!/bin/sh\nexit 0\n# padding\n";
  std::string packed = Compress("src", script);
  EXPECT_EQ(Expand(packed, "tool"), static_cast<long>(script.size()));
  struct stat st {};
  ASSERT_EQ(stat("tool", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_EQ(ReadFile("tool"), script);
#endif
}

}  // namespace
