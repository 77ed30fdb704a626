#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "archive/crc32.h"
#include "platform/base64.h"
#include "support/servers.h"
#include "support/test_support.h"

namespace {

using testing_support::TempHome;
using testing_support::WriteFile;

std::span<const unsigned char> Bytes(const std::string& s) {
  return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

// The checksums worked out bit by bit, without the table or the fast paths,
// so that a slip in either shows up as a mismatch.
std::uint32_t ReferenceCRC(const std::string& data) {
  std::uint32_t reg = 0xFFFFFFFFu;
  for (const unsigned char b : data) {
    std::uint32_t term = (reg ^ b) & 0xFFu;
    for (int bit = 0; bit < 8; ++bit) term = (term & 1) ? (term >> 1) ^ 0xEDB88320u : term >> 1;
    reg = reg + (term ^ (reg >> 8));
  }
  return reg ^ 0xFFFFFFFFu;
}

std::uint32_t ReferenceByteSum(const std::string& data) {
  std::uint32_t sum = 0xFFFFFFFFu;
  for (const unsigned char b : data) sum += b;
  return sum;
}

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> dist(0, 255);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(dist(gen));
  return s;
}

// Runs a shell command in the current folder and returns what it wrote to
// standard output.
std::string RunCommand(const std::string& command) {
  EXPECT_EQ(testing_support::RunShell(command + " > command-output"), 0) << command;
  return testing_support::ReadFile("command-output");
}

// ---- FileCRC32 and FileByteSum -------------------------------------------------

struct Reference {
  const char* input;
  std::uint32_t crc;
};

TEST(FileCRC32, MatchesReferenceValuesWhichDifferFromStandardCRC32) {
  TempHome home;
  const Reference references[] = {
      {"", 0x00000000u}, {"a", 0xE8B7BE44u}, {"abc", 0x6C8D9D41u}, {"123456789", 0x1ED0F3D0u}};
  for (const auto& [input, crc] : references) {
    SCOPED_TRACE(input);
    const std::string path = home.Path("ref.bin");
    WriteFile(path, input);
    EXPECT_EQ(static_cast<std::uint32_t>(FileCRC32(path)), crc);
    EXPECT_EQ(CRC32Step(kCRC32Init, Bytes(input)) ^ 0xFFFFFFFFu, crc);
    EXPECT_EQ(ReferenceCRC(input), crc);
  }
  // The standard CRC-32 of "abc" is 0x352441C2; the addition form must not give it.
  WriteFile(home.Path("abc"), "abc");
  EXPECT_NE(static_cast<std::uint32_t>(FileCRC32(home.Path("abc"))), 0x352441C2u);
}

TEST(FileByteSum, AddsBytesToAllOnesWithoutInversion) {
  TempHome home;
  WriteFile(home.Path("abc"), "abc");
  EXPECT_EQ(FileByteSum(home.Path("abc")), 0x125);
  // Bytes count as 0..255, never as negative chars.
  WriteFile(home.Path("high"), "\xFF\x80");
  EXPECT_EQ(static_cast<std::uint32_t>(FileByteSum(home.Path("high"))),
            0xFFFFFFFFu + 0xFFu + 0x80u);
}

TEST(FileChecksums, EmptyMissingAndUnreadableFilesAllGiveTheEmptyChecksum) {
  TempHome home;
  WriteFile(home.Path("empty"), "");
  std::filesystem::create_directory(home.Path("folder"));
  std::vector<std::string> names = {"empty", "missing", "folder", "no/such/folder/file"};
#ifndef _WIN32
  ::mkfifo(home.Path("fifo").c_str(), 0644);  // must neither block nor be read
  names.push_back("fifo");
#endif
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(FileCRC32(home.Path(name)), 0);
    EXPECT_EQ(FileByteSum(home.Path(name)), -1);
  }
}

TEST(FileChecksums, AcceptBackslashSeparators) {
  TempHome home;
  std::filesystem::create_directory(home.Path("Core"));
  WriteFile(home.Path("Core/abc.dll"), "abc");
  std::string path = home.Path("Core") + "\\abc.dll";
  EXPECT_EQ(static_cast<std::uint32_t>(FileCRC32(path)), 0x6C8D9D41u);
  EXPECT_EQ(FileByteSum(path), 0x125);
}

TEST(FileChecksums, CoverEveryByteAroundBlockBoundaries) {
  TempHome home;
  for (const std::size_t size : {4095u, 4096u, 4097u, 8191u, 8192u, 8193u, 100000u}) {
    SCOPED_TRACE(size);
    const std::string data = RandomBytes(size, static_cast<unsigned>(size));
    const std::string path = home.Path("block.bin");
    WriteFile(path, data);
    EXPECT_EQ(static_cast<std::uint32_t>(FileCRC32(path)), ReferenceCRC(data));
    EXPECT_EQ(static_cast<std::uint32_t>(FileByteSum(path)), ReferenceByteSum(data));
  }
}

TEST(ByteSumStep, FastPathAgreesForEveryLengthAndAlignment) {
  const std::string data = RandomBytes(300, 7);
  for (std::size_t offset = 0; offset < 17; ++offset) {
    for (std::size_t length = 0; offset + length <= data.size(); ++length) {
      const std::string part = data.substr(offset, length);
      ASSERT_EQ(ByteSumStep(kByteSumInit, Bytes(part)), ReferenceByteSum(part))
          << "offset " << offset << " length " << length;
    }
  }
  // Many high bytes: the wide lanes must wrap the same way as a 32-bit sum.
  const std::string ones(1 << 20, '\xFF');
  EXPECT_EQ(ByteSumStep(0x12345678u, Bytes(ones)), 0x12345678u + 0xFFu * (1u << 20));
}

TEST(CRC32Step, ChunkedFeedingGivesTheSameRegister) {
  const std::string data = RandomBytes(10000, 11);
  std::uint32_t reg = kCRC32Init;
  for (std::size_t pos = 0; pos < data.size(); pos += 333)
    reg = CRC32Step(reg, Bytes(data.substr(pos, 333)));
  EXPECT_EQ(reg ^ 0xFFFFFFFFu, ReferenceCRC(data));
}

// ---- Base64 -----------------------------------------------------------------------

TEST(Base64Encode, PadsShortFinalGroups) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("foob"), "Zm9vYg==");
  EXPECT_EQ(Base64Encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode(std::string("\0", 1)), "AA==");
  EXPECT_EQ(Base64Encode("\xFB\xFF"), "+/8=");
  EXPECT_EQ(Base64Encode("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

TEST(Base64Encode, LongCredentialsStayOnOneLine) {
  const std::string credentials = std::string(40, 'u') + ":" + std::string(60, 'p');
  const std::string token = Base64Encode(credentials);
  EXPECT_GT(token.size(), 76u);
  EXPECT_EQ(token.size(), (credentials.size() + 2) / 3 * 4);
  EXPECT_EQ(token.find_first_of("\r\n"), std::string::npos);
}

TEST(Base64, AgreesWithCoreutilsBothWays) {
  TempHome home;
  for (const std::size_t size : {1000u, 1001u, 1002u}) {
    SCOPED_TRACE(size);
    const std::string data = RandomBytes(size, static_cast<unsigned>(size) + 99);
    const std::string path = "random.bin";
    WriteFile(path, data);
    const std::string encoded = RunCommand("base64 -w 0 '" + path + "'");
    EXPECT_EQ(Base64Encode(data), encoded);
    // Default coreutils output wraps at 76 columns; the decoder skips the breaks.
    EXPECT_EQ(Base64Decode(RunCommand("base64 '" + path + "'")), data);
    WriteFile(path, Base64Encode(data));
    EXPECT_EQ(RunCommand("base64 -d '" + path + "'"), data);
  }
}

TEST(Base64Decode, RoundTripsEveryByteValueAndUnpaddedText) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (std::size_t n = 0; n <= all.size(); n += 37)
    EXPECT_EQ(Base64Decode(Base64Encode(all.substr(0, n))), all.substr(0, n));
  EXPECT_EQ(Base64Decode("Zg"), "f");
  EXPECT_EQ(Base64Decode("Zm8"), "fo");
  EXPECT_EQ(Base64Decode(""), "");
}

TEST(Base64Decode, RejectsTextThatIsNotBase64) {
  for (const char* bad :
       {"Zm9v!", "Z", "Zm9vY", "=Zm9", "Z===", "Zg=", "Zg==Zg==", "Zm 9v", "Zg==="}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(Base64Decode(bad), EBase64Error);
  }
  try {
    Base64Decode("ab*d");
    FAIL();
  } catch (const EBase64Error& e) {
    EXPECT_NE(std::string(e.what()).find("position 3"), std::string::npos) << e.what();
  }
}

}  // namespace
