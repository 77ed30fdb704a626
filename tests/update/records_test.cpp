// The last-update records in the registry (a private hive per test).
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <optional>

#include "platform/kernel.h"
#include "platform/registry.h"
#include "support/test_support.h"
#include "update/updater.h"

using testing_support::TempHome;

namespace {

class RecordsUpdater : public TUpdater {
 public:
  RecordsUpdater() : TUpdater(nullptr) {}
  using TUpdater::updateLocalFile_;
};

class RecordsTest : public ::testing::Test {
 protected:
  RecordsTest() {
    updater_.LastURLEntry.Key = "Software\\Kestrel";
    updater_.LastURLEntry.Section = "Updates";
    updater_.LastURLEntry.Save = true;
  }
  std::optional<std::string> Stored(const std::string& name,
                                    registry::Hive hive = registry::Hive::CurrentUser) {
    auto key = registry::Key::Open(hive, "Software\\Kestrel\\Updates");
    if (!key) return std::nullopt;
    return key->QueryString(name);
  }
  void Store(const std::string& name, const std::string& value) {
    registry::Key::Create(registry::Hive::CurrentUser, "Software\\Kestrel\\Updates")
        ->Set(name, value);
  }

  TempHome home_;
  RecordsUpdater updater_;
};

const TDateTime k1980 = EncodeDateTime(1980, 1, 1);

}  // namespace

TEST(DateTimes, CountDaysFromTheEndOf1899) {
  EXPECT_EQ(EncodeDateTime(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDateTime(1980, 1, 1), 29221.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(2008, 3, 5, 12, 0, 0), 39512.5);
}

TEST_F(RecordsTest, LastUrlIsReadAndWrittenOnlyWhenSaved) {
  EXPECT_EQ(updater_.ReadLastURL(), "");
  updater_.WriteLastURL("http://moved.example.com/Kestrel.txt");
  EXPECT_EQ(Stored("LastURL"), "http://moved.example.com/Kestrel.txt");
  EXPECT_EQ(updater_.ReadLastURL(), "http://moved.example.com/Kestrel.txt");

  updater_.LastURLEntry.Save = false;
  EXPECT_EQ(updater_.ReadLastURL(), "");
  updater_.WriteLastURL("http://elsewhere/");
  EXPECT_EQ(Stored("LastURL"), "http://moved.example.com/Kestrel.txt");

  updater_.LastURLEntry.Save = true;
  updater_.LastURLEntry.Section.clear();
  updater_.WriteLastURL("http://elsewhere/");
  EXPECT_EQ(updater_.ReadLastURL(), "");
}

TEST_F(RecordsTest, ADateWithoutTimeKeepsTheStoredTime) {
  Store("LastTime", "10:15:30");
  updater_.WriteLastUpdate(EncodeDateTime(2008, 3, 5));
  EXPECT_EQ(Stored("LastDate"), "05/03/2008");
  EXPECT_EQ(Stored("LastTime"), "10:15:30");
  // The next run adds the old time to the new date.
  EXPECT_DOUBLE_EQ(updater_.ReadLastUpdate(), EncodeDateTime(2008, 3, 5, 10, 15, 30));
  EXPECT_TRUE(updater_.RecordsUsed());
}

TEST_F(RecordsTest, WhatIsWrittenReadsBack) {
  const TDateTime when = EncodeDateTime(2026, 12, 7, 23, 59, 58);
  updater_.WriteLastUpdate(when);
  EXPECT_EQ(Stored("LastDate"), "07/12/2026");
  EXPECT_EQ(Stored("LastTime"), "23:59:58");
  EXPECT_NEAR(updater_.ReadLastUpdate(), when, 1.0 / 86400 / 10);
}

TEST_F(RecordsTest, BadStoredValuesAreIgnoredAsFarAsTheyGo) {
  Store("LastDate", "abc");
  Store("LastTime", "10:00");
  EXPECT_EQ(updater_.ReadLastUpdate(), k1980);  // a bad date skips the time
  Store("LastDate", "31/02/2008");
  EXPECT_EQ(updater_.ReadLastUpdate(), k1980);
  Store("LastDate", "1/2/08");
  Store("LastTime", "25:00");
  EXPECT_EQ(updater_.ReadLastUpdate(), EncodeDateTime(2008, 2, 1));  // the date stands
  EXPECT_TRUE(updater_.RecordsUsed());
}

TEST_F(RecordsTest, WithoutSaveTheDateIsReadButNothingIsWritten) {
  updater_.LastURLEntry.Save = false;
  Store("LastDate", "05/03/2008");
  EXPECT_EQ(updater_.ReadLastUpdate(), EncodeDateTime(2008, 3, 5));
  EXPECT_TRUE(updater_.RecordsUsed());
  updater_.WriteLastUpdate(EncodeDateTime(2010, 1, 1, 12, 0, 0));
  EXPECT_EQ(Stored("LastDate"), "05/03/2008");
  EXPECT_FALSE(Stored("LastTime"));
}

TEST_F(RecordsTest, WithoutAKeyTheLocalFileDatesTheLastUpdate) {
  updater_.LastURLEntry.Key.clear();
  EXPECT_EQ(updater_.ReadLastUpdate(), k1980);
  updater_.updateLocalFile_ = home_.Path("Kestrel.exe");
  EXPECT_EQ(updater_.ReadLastUpdate(), k1980);  // not there
  testing_support::WriteFile(updater_.updateLocalFile_, "program");
  const kernel::FileTime written =
      std::chrono::sys_days{std::chrono::year(2021) / 6 / 15} + std::chrono::hours(12);
  ASSERT_TRUE(kernel::SetFileLastWriteTime(updater_.updateLocalFile_, written));
  EXPECT_EQ(updater_.ReadLastUpdate(), FileTimeToDateTime(written));
  EXPECT_NEAR(updater_.ReadLastUpdate(), EncodeDateTime(2021, 6, 15), 1.0);
  EXPECT_FALSE(updater_.RecordsUsed());
}

TEST_F(RecordsTest, TheRootChoosesTheHive) {
  updater_.LastURLEntry.RegRoot = lurLOCALMACHINE;
  updater_.WriteLastURL("http://machine-wide/");
  EXPECT_EQ(Stored("LastURL", registry::Hive::LocalMachine), "http://machine-wide/");
  EXPECT_FALSE(Stored("LastURL", registry::Hive::CurrentUser));
}

TEST_F(RecordsTest, AnUnwritableHiveIsAnError) {
#ifdef _WIN32
  GTEST_SKIP() << "the hives are the system's, not files";
#endif
  // A hive file that is not a registry export is never rewritten.
  const std::string hive = registry::HiveFile(registry::Hive::CurrentUser);
  std::filesystem::create_directories(std::filesystem::path(hive).parent_path());
  testing_support::WriteFile(hive, "not a registry file");
  EXPECT_THROW(updater_.WriteLastURL("http://x/"), ERegistryException);
  EXPECT_THROW(updater_.ReadLastUpdate(), ERegistryException);
  EXPECT_THROW(updater_.ReadLastURL(), ERegistryException);
}
