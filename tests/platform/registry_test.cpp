#include "platform/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "support/test_support.h"

namespace {

using registry::DeleteKey;
using registry::Hive;
using registry::Key;
using testing_support::ReadFile;
using testing_support::TempHome;
using testing_support::WriteFile;

constexpr Hive HKCU = Hive::CurrentUser;
constexpr Hive HKLM = Hive::LocalMachine;

class RegistryTest : public ::testing::Test {
 protected:
  TempHome home;
};

TEST_F(RegistryTest, HiveFilesLiveUnderTheConfigFolder) {
#ifdef _WIN32
  GTEST_SKIP() << "the hives are the system's, not files";
#else
  EXPECT_EQ(registry::HiveFile(HKCU), home.Path("config/kestrel/registry/HKEY_CURRENT_USER.reg"));
  EXPECT_EQ(registry::HiveFile(HKLM), home.Path("config/kestrel/registry/HKEY_LOCAL_MACHINE.reg"));
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(registry::HiveFile(HKCU),
            home.Path("home/.config/kestrel/registry/HKEY_CURRENT_USER.reg"));
#endif
}

TEST_F(RegistryTest, StringAndDWordValues) {
  EXPECT_FALSE(Key::Open(HKCU, "\\Software\\Kestrel"));
  auto key = Key::Create(HKCU, "\\Software\\Kestrel");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->path(), "Software\\Kestrel");
  EXPECT_TRUE(key->Set("ProxyHost", std::string("proxy.example")));
  EXPECT_TRUE(key->Set("ProxyPort", std::uint32_t{8080}));
  EXPECT_TRUE(key->Set("", std::string("default")));
  EXPECT_TRUE(key->Set("Max", std::uint32_t{0xFFFFFFFF}));

  auto again = Key::Open(HKCU, "Software/Kestrel");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->QueryString("ProxyHost"), "proxy.example");
  EXPECT_EQ(again->QueryDWord("ProxyPort"), 8080u);
  EXPECT_EQ(again->QueryDWord("Max"), 0xFFFFFFFFu);
  EXPECT_EQ(again->QueryString(""), "default");
  // A value of the other type is not converted.
  EXPECT_FALSE(again->QueryDWord("ProxyHost"));
  EXPECT_FALSE(again->QueryString("ProxyPort"));
  EXPECT_FALSE(again->ValueExists("Missing"));
  // In no particular order: the system keeps its own.
  std::vector<std::string> names = again->ValueNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"", "Max", "ProxyHost", "ProxyPort"}));

  // The other hive is a separate one.
  EXPECT_FALSE(Key::Open(HKLM, "Software\\Kestrel"));
#ifndef _WIN32  // the system's hives are no files of ours
  EXPECT_EQ(ReadFile(registry::HiveFile(HKCU)),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CURRENT_USER\\Software]\n\n"
            "[HKEY_CURRENT_USER\\Software\\Kestrel]\n"
            "\"ProxyHost\"=\"proxy.example\"\n"
            "\"ProxyPort\"=dword:00001f90\n"
            "@=\"default\"\n"
            "\"Max\"=dword:ffffffff\n\n");
#endif
}

TEST_F(RegistryTest, NamesMatchWithoutCaseAndKeepTheirFirstSpelling) {
  ASSERT_TRUE(Key::Create(HKCU, "Software\\Kestrel\\Settings"));
  auto key = Key::Create(HKCU, "/SOFTWARE//kestrel/Settings/");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->path(), "Software\\Kestrel\\Settings");
  EXPECT_TRUE(key->Set("LastURL", std::string("a")));
  EXPECT_TRUE(key->Set("lasturl", std::string("b")));
  EXPECT_EQ(key->ValueNames(), std::vector<std::string>{"LastURL"});
  EXPECT_EQ(Key::Open(HKCU, "software\\KESTREL\\settings")->QueryString("LASTURL"), "b");
  // Parents exist once a child was created.
  EXPECT_TRUE(Key::Open(HKCU, "software"));
  EXPECT_TRUE(Key::Open(HKCU, ""));
}

TEST_F(RegistryTest, EscapesRoundTrip) {
  auto key = Key::Create(HKCU, "Software\\Odd \"Name\"]");
  ASSERT_TRUE(key);
  const std::string tricky = "C:\\Program Files\\\"quoted\"\\\\ end\\";
  const std::string name = "Name with \\ and \" and = and ]";
  EXPECT_TRUE(key->Set(name, tricky));
  EXPECT_TRUE(key->Set("utf8", std::string("\xE8\xB3\x87\xE6\x96\x99")));
  auto reopened = Key::Open(HKCU, "software\\odd \"name\"]");
  ASSERT_TRUE(reopened);
  EXPECT_EQ(reopened->QueryString(name), tricky);
  EXPECT_EQ(reopened->QueryString("UTF8"), "\xE8\xB3\x87\xE6\x96\x99");
  // Line breaks would break the file's line structure.
  EXPECT_FALSE(key->Set("v", std::string("a\nb")));
  EXPECT_FALSE(key->Set("a\rb", std::string("v")));
  EXPECT_FALSE(Key::Create(HKCU, "Software\\a\nb"));
}

TEST_F(RegistryTest, DeleteValuesAndKeys) {
  auto key = Key::Create(HKCU, "Software\\Kestrel\\Sub\\Deeper");
  ASSERT_TRUE(key);
  ASSERT_TRUE(key->Set("v", std::uint32_t{1}));
  auto kestrel = Key::Open(HKCU, "Software\\Kestrel");
  ASSERT_TRUE(kestrel);
  ASSERT_TRUE(kestrel->Set("keep", std::string("x")));
  ASSERT_TRUE(kestrel->Set("drop", std::string("y")));

  EXPECT_TRUE(kestrel->Delete("DROP"));
  EXPECT_FALSE(kestrel->Delete("drop"));
  EXPECT_EQ(kestrel->ValueNames(), std::vector<std::string>{"keep"});

  EXPECT_TRUE(DeleteKey(HKCU, "software\\kestrel\\SUB"));
  EXPECT_FALSE(Key::Open(HKCU, "Software\\Kestrel\\Sub"));
  EXPECT_FALSE(Key::Open(HKCU, "Software\\Kestrel\\Sub\\Deeper"));
  EXPECT_EQ(kestrel->QueryString("keep"), "x");
  EXPECT_FALSE(DeleteKey(HKCU, "Software\\Kestrel\\Sub"));
  EXPECT_FALSE(DeleteKey(HKCU, ""));
  // A key deleted after it was opened takes no new values.
  EXPECT_FALSE(key->Set("v", std::uint32_t{2}));
  EXPECT_FALSE(key->Query("v"));
}

TEST_F(RegistryTest, CorruptHiveReadsEmptyAndIsNeverOverwritten) {
#ifdef _WIN32
  GTEST_SKIP() << "the system keeps its hives whole itself";
#endif
  std::filesystem::create_directories(home.Path("config/kestrel/registry"));
  const std::string file = registry::HiveFile(HKCU);
  for (const std::string& corrupt :
       {std::string("garbage\n"),
        std::string("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\A]\n"
                    "\"v\"=hex:01,02\n"),
        std::string("Windows Registry Editor Version 5.00\n\"v\"=\"outside a key\"\n"),
        std::string("Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"v=\"x\"\n"),
        std::string("\x7f"
                    "ELF\x01\x02\x00\x00",
                    8)}) {
    SCOPED_TRACE(corrupt);
    WriteFile(file, corrupt);
    EXPECT_FALSE(Key::Open(HKCU, "A"));
    EXPECT_FALSE(Key::Create(HKCU, "A"));
    EXPECT_FALSE(DeleteKey(HKCU, "A"));
    EXPECT_EQ(ReadFile(file), corrupt);
  }
  // The other hive is unaffected.
  EXPECT_TRUE(Key::Create(HKLM, "A"));
}

TEST(RegistryText, ParsesHandWrittenExports) {
  auto data = registry::ParseHive(
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
      "; a comment\r\n"
      "[HKEY_CURRENT_USER\\Software\\X]\r\n"
      "\"Count\" = DWORD:0000000A\r\n"
      "@=\"dflt\"\r\n"
      "\"s\"=\"1\"\r\n"
      "[hkey_current_user\\software\\x]\r\n"
      "\"S\"=\"2\"\r\n");
  ASSERT_TRUE(data);
  ASSERT_EQ(data->keys.size(), 1u);
  EXPECT_EQ(data->keys[0].path, "HKEY_CURRENT_USER\\Software\\X");
  using V = registry::Value;
  EXPECT_EQ(data->keys[0].values,
            (std::vector<std::pair<std::string, V>>{{"Count", V{std::uint32_t{10}}},
                                                    {"", V{std::string("dflt")}},
                                                    {"s", V{std::string("2")}}}));
  EXPECT_EQ(registry::ParseHive(registry::FormatHive(*data))->keys[0].values, data->keys[0].values);

  EXPECT_FALSE(registry::ParseHive(""));
  EXPECT_FALSE(registry::ParseHive("REGEDIT5\n"));
  EXPECT_FALSE(registry::ParseHive("REGEDIT4\n[-HKEY_CURRENT_USER\\X]\n"));
  EXPECT_FALSE(registry::ParseHive("REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"v\"=dword:123456789\n"));
  EXPECT_FALSE(registry::ParseHive("REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"v\"=\"a\\nb\"\n"));
  EXPECT_FALSE(registry::ParseHive("REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"v\"=-\n"));
  EXPECT_TRUE(registry::ParseHive("REGEDIT4\n"));
}

// Two processes change the same hive 200 times each; every change of both
// must be in the file at the end.
TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
#ifdef _WIN32
  GTEST_SKIP() << "the system keeps its hives whole itself";
#else
  ASSERT_TRUE(Key::Create(HKCU, "Software\\Race"));
  constexpr int kWrites = 200;
  auto writer = [](const char* prefix) {
    auto key = Key::Open(HKCU, "Software\\Race");
    if (!key) _exit(2);
    for (int i = 0; i < kWrites; ++i) {
      if (!key->Set(std::string(prefix) + std::to_string(i), std::uint32_t(i))) _exit(3);
      if (!key->Set(prefix, std::string(prefix) + std::to_string(i))) _exit(4);
    }
    _exit(0);
  };
  pid_t a = fork();
  if (a == 0) writer("A");
  pid_t b = fork();
  if (b == 0) writer("B");
  for (pid_t pid : {a, b}) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  auto key = Key::Open(HKCU, "Software\\Race");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->ValueNames().size(), 2u * kWrites + 2);
  for (const char* prefix : {"A", "B"}) {
    EXPECT_EQ(key->QueryString(prefix), std::string(prefix) + std::to_string(kWrites - 1));
    for (int i = 0; i < kWrites; ++i)
      EXPECT_EQ(key->QueryDWord(std::string(prefix) + std::to_string(i)), std::uint32_t(i));
  }
  // Only the hive and its lock remain in the folder.
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(home.Path("config/kestrel/registry")))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"HKEY_CURRENT_USER.lock", "HKEY_CURRENT_USER.reg"}));
#endif
}

}  // namespace
