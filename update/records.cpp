// The last-update records: where the control file was last found and when
// the last update was installed, kept in the registry under
// LastURLEntry.Key and its sub-key LastURLEntry.Section.
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>

#include "platform/registry.h"
#include "update/updater.h"

namespace {

using namespace std::chrono;

constexpr double kSecondsPerDay = 86400.0;

registry::Hive HiveOf(TLastURLReg root) {
  return root == lurLOCALMACHINE ? registry::Hive::LocalMachine : registry::Hive::CurrentUser;
}

std::string RootName(TLastURLReg root) {
  return root == lurLOCALMACHINE ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

registry::Key CreateKey(TLastURLReg root, const std::string& path) {
  auto key = registry::Key::Create(HiveOf(root), path);
  if (!key) throw ERegistryException("Failed to create key " + RootName(root) + "\\" + path);
  return *key;
}

// ---- The system's short date and time texts -------------------------------------------
// "dd/mm/yyyy" and "hh:nn:ss", the forms the log uses as well; read back
// leniently (one-digit fields, two-digit years, seconds left out).

std::optional<std::vector<int>> Fields(const std::string& text, char separator, int minCount,
                                       int maxCount) {
  std::vector<int> fields;
  std::size_t pos = 0;
  while (true) {
    std::size_t end = text.find(separator, pos);
    if (end == std::string::npos) end = text.size();
    const std::string field = text.substr(pos, end - pos);
    if (field.empty() || field.size() > 4) return std::nullopt;
    for (char c : field)
      if (c < '0' || c > '9') return std::nullopt;
    fields.push_back(std::stoi(field));
    if (end == text.size()) break;
    pos = end + 1;
  }
  if (static_cast<int>(fields.size()) < minCount || static_cast<int>(fields.size()) > maxCount)
    return std::nullopt;
  return fields;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::optional<TDateTime> ParseDate(const std::string& text) {
  const std::string trimmed = Trim(text);
  auto fields = Fields(trimmed, '/', 3, 3);
  if (!fields) return std::nullopt;
  int day = (*fields)[0], month = (*fields)[1], year = (*fields)[2];
  if (trimmed.size() - trimmed.rfind('/') - 1 <= 2) year += year < 50 ? 2000 : 1900;
  const year_month_day date{std::chrono::year(year),
                            std::chrono::month(static_cast<unsigned>(month)),
                            std::chrono::day(static_cast<unsigned>(day))};
  if (year < 1 || !date.ok()) return std::nullopt;
  return EncodeDateTime(year, month, day);
}

std::optional<double> ParseTime(const std::string& text) {
  auto fields = Fields(Trim(text), ':', 2, 3);
  if (!fields) return std::nullopt;
  const int hour = (*fields)[0], minute = (*fields)[1];
  const int second = fields->size() > 2 ? (*fields)[2] : 0;
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return (hour * 3600 + minute * 60 + second) / kSecondsPerDay;
}

// Whole days (toward zero) and the time of day of a date-time.
void Split(TDateTime value, long long& days, long long& milliseconds) {
  const double whole = std::trunc(value);
  days = static_cast<long long>(whole);
  milliseconds = std::llround(std::fabs(value - whole) * kSecondsPerDay * 1000.0);
  if (milliseconds >= 86400000) milliseconds = 86399999;
}

std::string DateText(TDateTime value) {
  long long days = 0, ms = 0;
  Split(value, days, ms);
  const year_month_day date{sys_days{1899y / December / 30} + std::chrono::days(days)};
  char text[32];
  std::snprintf(text, sizeof text, "%02u/%02u/%04d", static_cast<unsigned>(date.day()),
                static_cast<unsigned>(date.month()), static_cast<int>(date.year()));
  return text;
}

std::string TimeText(TDateTime value) {
  long long days = 0, ms = 0;
  Split(value, days, ms);
  const long long seconds = ms / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                seconds % 60);
  return text;
}

}  // namespace

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second) {
  const sys_days date{std::chrono::year(year) / std::chrono::month(static_cast<unsigned>(month)) /
                      std::chrono::day(static_cast<unsigned>(day))};
  const auto days = (date - sys_days{1899y / December / 30}).count();
  return static_cast<double>(days) + (hour * 3600 + minute * 60 + second) / kSecondsPerDay;
}

TDateTime FileTimeToDateTime(kernel::FileTime time) {
  const auto since = time.time_since_epoch();
  const auto secs = duration_cast<seconds>(since);
  const double fraction = duration<double>(since - secs).count();
  const kernel::SystemTime local = kernel::FileTimeToLocalTime(kernel::FileTime(secs));
  return EncodeDateTime(local.year, local.month, local.day, local.hour, local.minute,
                        local.second) +
         fraction / kSecondsPerDay;
}

std::optional<kernel::FileTime> DateTimeToFileTime(TDateTime value) {
  long long days = 0, ms = 0;
  Split(value, days, ms);
  const year_month_day date{sys_days{1899y / December / 30} + std::chrono::days(days)};
  return kernel::LocalTimeToFileTime(
      {static_cast<int>(date.year()), static_cast<int>(static_cast<unsigned>(date.month())),
       static_cast<int>(static_cast<unsigned>(date.day())), static_cast<int>(ms / 3600000),
       static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60),
       static_cast<int>(ms % 1000)});
}

// ---- Records ------------------------------------------------------------------------------

std::string TUpdater::ReadLastURL() {
  const TLastURLEntry& e = LastURLEntry;
  if (e.Key.empty() || e.Section.empty() || !e.Save) return {};
  CreateKey(e.RegRoot, e.Key);
  auto section = registry::Key::Open(HiveOf(e.RegRoot), e.Key + "\\" + e.Section);
  if (!section) return {};
  return section->QueryString("LastURL").value_or("");
}

void TUpdater::WriteLastURL(const std::string& Location) {
  const TLastURLEntry& e = LastURLEntry;
  if (e.Key.empty() || e.Section.empty() || !e.Save) return;
  registry::Key section = CreateKey(e.RegRoot, e.Key + "\\" + e.Section);
  if (!section.Set("LastURL", Location))
    throw ERegistryException("Failed to set data for 'LastURL'");
}

TDateTime TUpdater::ReadLastUpdate() {
  TDateTime result = EncodeDateTime(1980, 1, 1);
  const TLastURLEntry& e = LastURLEntry;
  if (!e.Key.empty() && !e.Section.empty()) {
    CreateKey(e.RegRoot, e.Key);
    std::string lastDate, lastTime;
    if (auto section = registry::Key::Open(HiveOf(e.RegRoot), e.Key + "\\" + e.Section)) {
      lastDate = section->QueryString("LastDate").value_or("");
      lastTime = section->QueryString("LastTime").value_or("");
    }
    // A value that does not convert ends the conversion with what it had.
    [&] {
      if (!lastDate.empty()) {
        auto date = ParseDate(lastDate);
        if (!date) return;
        result = *date;
      }
      if (!lastTime.empty()) {
        auto time = ParseTime(lastTime);
        if (!time) return;
        result += *time;
      }
    }();
    recordsUsed_ = true;
  } else if (!updateLocalFile_.empty() && kernel::FileExists(updateLocalFile_)) {
    if (auto written = kernel::GetFileLastWriteTime(updateLocalFile_))
      result = FileTimeToDateTime(*written);
  }
  return result;
}

namespace {

// One value per location, which may differ from run to run (the primary
// and the secondary server).
std::string SigningValue(const std::string& location) {
  return "SignedAt " + location.substr(0, location.find('?'));
}

}  // namespace

std::optional<std::uint64_t> TUpdater::ReadLastSigning(const std::string& Location) {
  const TLastURLEntry& e = LastURLEntry;
  if (e.Key.empty() || e.Section.empty()) return std::nullopt;
  auto section = registry::Key::Open(HiveOf(e.RegRoot), e.Key + "\\" + e.Section);
  const std::string text =
      section ? section->QueryString(SigningValue(Location)).value_or("") : std::string();
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

void TUpdater::WriteLastSigning(const std::string& Location, std::uint64_t Timestamp) {
  const TLastURLEntry& e = LastURLEntry;
  if (e.Key.empty() || e.Section.empty()) return;
  registry::Key section = CreateKey(e.RegRoot, e.Key + "\\" + e.Section);
  if (!section.Set(SigningValue(Location), std::to_string(Timestamp)))
    throw ERegistryException("Failed to set data for '" + SigningValue(Location) + "'");
}

void TUpdater::WriteLastUpdate(TDateTime Date) {
  const TLastURLEntry& e = LastURLEntry;
  if (e.Key.empty() || e.Section.empty() || !e.Save) return;
  registry::Key section = CreateKey(e.RegRoot, e.Key + "\\" + e.Section);
  if (!section.Set("LastDate", DateText(Date)))
    throw ERegistryException("Failed to set data for 'LastDate'");
  if (Date != std::trunc(Date) && !section.Set("LastTime", TimeText(Date)))
    throw ERegistryException("Failed to set data for 'LastTime'");
}
