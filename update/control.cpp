// The update control file: fetching and accepting it, reading its values by
// kind, the new-version test of its [update] section, and the file entries
// of its [files] list with their selection.
//
// The file is read anew for every reading step and nothing is cached between
// steps, so a handler that rewrites the fetched file mid-run is seen. A value
// that does not read falls back to its key's default; no reading error is
// ever reported.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

#include "archive/crc32.h"
#include "platform/profile.h"
#include "resources/messages.h"
#include "update/minisign.h"
#include "update/updater.h"

namespace {

// A count of file entries above this is not a list a publisher wrote; the
// entries beyond it are not created, so a damaged "count" cannot exhaust
// memory or keep a run busy for hours.
constexpr int kMaxFileEntries = 10000;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Why a fetched control file cannot be read as its publisher wrote it, or
// nothing: a value cut short at a NUL byte, or a file that the reader would
// take only in part, must not steer a run.
std::string ControlFileProblem(const std::string& path) {
  const auto size = kernel::GetFileSize(path);
  if (!size) return "it cannot be read";
  if (*size > profile::kMaxFileSize)
    return "it is larger than " + std::to_string(profile::kMaxFileSize) + " bytes";
  std::ifstream in(kernel::ResolveLetterCase(path), std::ios::binary);
  std::vector<char> block(1 << 16);
  while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0)
    if (std::memchr(block.data(), '\0', static_cast<std::size_t>(in.gcount())))
      return "it holds a NUL byte";
  return {};
}

int IntegerOr(const std::optional<std::string>& text, int fallback) {
  if (!text) return fallback;
  return ParseInteger(*text).value_or(fallback);
}

// Unsigned digits of a date or time field; nothing for anything else.
std::optional<int> Field(const std::string& text) {
  const std::string t = Trim(text);
  if (t.empty() || t.size() > 4) return std::nullopt;
  int value = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

// The order of day, month and year in a date format: the order in which
// their letters first appear ("dd/mm/yyyy" gives DMY, "yyyy-mm-dd" YMD).
// Letters that do not appear keep day-month-year order after those that do.
std::vector<char> DateOrder(const std::string& format) {
  std::vector<char> order;
  for (char c : Upper(format))
    if ((c == 'D' || c == 'M' || c == 'Y') &&
        std::find(order.begin(), order.end(), c) == order.end())
      order.push_back(c);
  for (char c : {'D', 'M', 'Y'})
    if (std::find(order.begin(), order.end(), c) == order.end()) order.push_back(c);
  return order;
}

std::optional<TDateTime> ConvertDate(const std::string& text, const std::string& format,
                                     char separator) {
  const auto parts = Split(Trim(text), separator);
  if (parts.size() != 3) return std::nullopt;
  const auto order = DateOrder(format);
  int day = 0, month = 0, year = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    const auto value = Field(parts[i]);
    if (!value) return std::nullopt;
    if (order[i] == 'D') day = *value;
    if (order[i] == 'M') month = *value;
    if (order[i] == 'Y') {
      year = *value;
      // Two-digit years fall into the window of fifty years either side of
      // 2000, as the system's date conversion reads them.
      if (Trim(parts[i]).size() <= 2) year += year < 50 ? 2000 : 1900;
    }
  }
  const std::chrono::year_month_day date{std::chrono::year(year),
                                         std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (year < 1 || year > 9999 || !date.ok()) return std::nullopt;
  return EncodeDateTime(year, month, day);
}

// Hours, minutes and optional seconds; an optional AM or PM after them makes
// the hours a twelve-hour clock's.
std::optional<double> ConvertTime(const std::string& text, char separator) {
  std::string t = Upper(Trim(text));
  int half = 0;  // 1 AM, 2 PM
  for (const char* suffix : {"AM", "PM"}) {
    if (t.size() > 2 && t.compare(t.size() - 2, 2, suffix) == 0) {
      half = suffix[0] == 'A' ? 1 : 2;
      t = Trim(t.substr(0, t.size() - 2));
    }
  }
  const auto parts = Split(t, separator);
  if (parts.size() < 2 || parts.size() > 3) return std::nullopt;
  const auto hour = Field(parts[0]), minute = Field(parts[1]);
  const auto second = parts.size() == 3 ? Field(parts[2]) : std::optional<int>(0);
  if (!hour || !minute || !second || *minute > 59 || *second > 59) return std::nullopt;
  int h = *hour;
  if (half) {
    if (h < 1 || h > 12) return std::nullopt;
    h = h % 12 + (half == 2 ? 12 : 0);
  } else if (h > 23) {
    return std::nullopt;
  }
  return (h * 3600 + *minute * 60 + *second) / 86400.0;
}

// The system's short date text, the form the records keep as well.
std::string ShortDateText(TDateTime value) {
  using namespace std::chrono;
  const auto days = static_cast<long long>(value);
  const year_month_day date{sys_days{1899y / December / 30} + std::chrono::days(days)};
  char text[32];
  std::snprintf(text, sizeof text, "%02u/%02u/%04d", static_cast<unsigned>(date.day()),
                static_cast<unsigned>(date.month()), static_cast<int>(date.year()));
  return text;
}

}  // namespace

// ---- Values ----------------------------------------------------------------------------

std::string TUpdater::ReadControlText(const std::string& Section, const std::string& Key,
                                      const std::string& Default) const {
  return profile::GetPrivateProfileString(Section, Key, Default, localControlFile_);
}

int TUpdater::ReadControlInteger(const std::string& Section, const std::string& Key,
                                 int Default) const {
  return ParseInteger(ReadControlText(Section, Key)).value_or(Default);
}

bool TUpdater::ReadControlFlag(const std::string& Section, const std::string& Key,
                               int Default) const {
  return ReadControlInteger(Section, Key, Default) == 1;
}

bool TUpdater::ReadControlPresent(const std::string& Section, const std::string& Key) const {
  return !ReadControlText(Section, Key).empty();
}

std::string TUpdater::ReadControlPath(const std::string& Section, const std::string& Key) {
  return ConvertPrefix(ReadControlText(Section, Key));
}

std::string TUpdater::ReadControlMessage(const std::string& Section, const std::string& Key) const {
  return ExpandNewlines(ReadControlText(Section, Key));
}

std::optional<TDateTime> TUpdater::ControlDateTime(const std::string& Date,
                                                   const std::string& Time) const {
  const auto date = ConvertDate(Date, DateFormat, DateSeparator);
  if (!date || Time.empty()) return date;
  const auto time = ConvertTime(Time, TimeSeparator);
  if (!time) return std::nullopt;
  return *date + *time;
}

TDateTime TUpdater::ParseControlDate(const std::string& Date, const std::string& Time) const {
  TDateTime result = EncodeDateTime(1980, 1, 1);
  if (auto date = ConvertDate(Date, DateFormat, DateSeparator)) result = *date;
  if (!Time.empty())
    if (auto time = ConvertTime(Time, TimeSeparator)) result += *time;
  return result;
}

// ---- Fetching ---------------------------------------------------------------------------

std::string TUpdater::GetControlFileURL() {
  std::string location = ReadLastURL();
  if (location.empty()) location = URL;
  return ConvertPrefix(location);
}

int TUpdater::FetchControlFile() {
  cancelled_ = false;
  const std::string location = GetControlFileURL();
  partialOwner_ = location.substr(0, location.find('?'));
  // The control file always goes to the temporary folder, whatever
  // UseWinTempDir says about the files of the update.
  if (location.empty() || !FetchFile(connectionHandle_, location, GetTempDir())) {
    ReportStatus(msg::kControlFileNotFound, "", 2, 0);
    return 4;
  }
  ReportStatus(msg::kControlFileFound, "", 3, 0);
  std::string name = FileNameFromURL(location);
  localControlFile_ = GetTempDir() + name.substr(0, name.find('?'));
  if (const std::string problem = ControlFileProblem(localControlFile_); !problem.empty()) {
    ReportStatus(msg::kInvalidControlFile, location + ": " + problem, 11, 4);
    return 5;
  }
  if (const std::string problem = ControlSignatureProblem(location); !problem.empty()) {
    ReportStatus(msg::kRefusedControlSignature, location + ": " + problem, 11, 4);
    return 5;
  }

  int result = 0;
  if (SignatureCheck && ReadControlText("update", "signature") != Signature) {
    ReportStatus(msg::kInvalidSignature, "", 11, 4);
    result = 5;
  }

  restartWanted_ = ReadControlFlag("application", "appupdate");
  header_.AppName = ReadControlPath("application", "appname");
  std::string params = ReadControlText("application", "appparam");
  if (header_.AppName.empty()) restartWanted_ = false;
  if (OnSetAppParams) OnSetAppParams(this, params);
  header_.AppParams = params.empty() ? " " : params;
  header_.AppComps = ReadControlPath("application", "appcomps");
  header_.SilentRestart = ReadControlFlag("application", "silentrestart");
  return result;
}

std::string TUpdater::ControlSignatureProblem(const std::string& location) {
  if (PublicKey.empty()) return {};
  std::string why;
  const auto key = minisign::ParsePublicKey(PublicKey, &why);
  if (!key) return "the PublicKey property is " + why;
  // The signature sits beside the file, before any query of the location.
  const std::size_t query = location.find('?');
  const std::string signatureLocation = location.substr(0, query) + ".minisig" +
                                        (query == std::string::npos ? "" : location.substr(query));
  const std::unique_ptr<TStrings> lines = FetchTextFile(signatureLocation);
  if (!lines) return "no signature at " + signatureLocation.substr(0, signatureLocation.find('?'));
  std::string text;
  for (const std::string& line : *lines) text += line + "\n";
  const minisign::Verdict verdict = minisign::VerifyFile(localControlFile_, text, *key);
  if (!verdict.valid) return verdict.reason;
  // An older release, however validly signed, may be one with a fault an
  // attacker wants back.
  if (verdict.timestamp) {
    const auto last = ReadLastSigning(location);
    if (last && *verdict.timestamp < *last)
      return "signed at " + std::to_string(*verdict.timestamp) +
             ", before the control file accepted last (signed at " + std::to_string(*last) + ")";
    WriteLastSigning(location, *verdict.timestamp);
  }
  return {};
}

// ---- The new-version test -----------------------------------------------------------------

int TUpdater::CheckNewVersion() {
  int result = 7;
  header_.Description = ReadControlText("update", "descr");

  const std::string date = ReadControlText("update", "date");
  if (!date.empty()) {
    ReportStatus(msg::kDateBasedUpdate, "", 3, 0);
    header_.UpdateDate = ParseControlDate(date, ReadControlText("update", "time"));
    updateLocalFile_ = ReadControlPath("update", "localversion");
    header_.LastUpdateDate = ReadLastUpdate();
    if (header_.LastUpdateDate >= header_.UpdateDate) {
      ReportStatus(msg::kNoNewVersion, "", 4, 0);
    } else {
      ReportStatus(msg::kNewVersionFound, ShortDateText(header_.UpdateDate), 5, 0);
      result = 6;
    }
  }

  if (result == 7 && ReadControlPresent("update", "unconditional")) result = 8;

  if (result == 7) {
    std::string newVersion = ReadControlText("update", "newversion");
    const int newSize = ReadControlInteger("update", "newsize", 0);
    std::string localVersion = ReadControlPath("update", "localversion");
    const int newCheckSum = ReadControlInteger("update", "newchecksum", -1);
    if ((!newVersion.empty() || newSize > 0 || newCheckSum != -1) && !localVersion.empty()) {
      if (newCheckSum != -1) {
        result = 10;
        ReportStatus(msg::kChecksumBasedUpdate, "", 3, 0);
      } else if (newSize > 0) {
        result = 9;
        ReportStatus(msg::kSizeBasedUpdate, "", 3, 0);
      } else {
        result = 11;
        ReportStatus(msg::kVersionBasedUpdate, "", 3, 0);
      }
      if (CompareFile(newVersion, localVersion, newSize, newCheckSum)) {
        ReportStatus(msg::kNewVersionFound, newVersion, 5, 0);
      } else {
        ReportStatus(msg::kNoNewVersion, "", 4, 0);
        result = 7;
      }
    }
    header_.NewVersion = newVersion;
    header_.LocalVersion = localVersion;
  }

  if (OnCustomValidate) {
    const std::string msg = ReadControlText("custom", "validatemsg");
    const std::string param = ReadControlText("custom", "validateparam");
    bool allow = result != 7;
    OnCustomValidate(this, msg, param, allow);
    result = allow ? 12 : 7;
  }
  return result;
}

bool TUpdater::CompareFile(std::string& NewVersion, std::string& LocalVersion, int NewSize,
                           int NewCheckSum) {
  if (NewVersion.empty() && NewSize == 0 && NewCheckSum == -1) return true;
  if (LocalVersion.empty()) return true;
  if (!kernel::FileExists(LocalVersion) && VersionCheck == vcAlways) return true;

  if (NewCheckSum != -1) {
    const int local = UseCRC32 ? FileCRC32(LocalVersion) : FileByteSum(LocalVersion);
    ReportStatus(msg::kVersionCheck,
                 "Checksum compare of " + LocalVersion + ":" + std::to_string(local) + ":" +
                     std::to_string(NewCheckSum),
                 3, 0);
    return local != NewCheckSum;
  }
  if (NewSize > 0) {
    const int local = GetFileSizeOf(LocalVersion);
    if (local == NewSize) return false;
    if (local > 0) return true;
    return VersionCheck == vcAlways;
  }
  const TVersionPair local = GetFileVersion(LocalVersion);
  const TVersionPair wanted = ParseVersion(NewVersion);
  ReportStatus(msg::kVersionCheck,
               "Version compare of " + LocalVersion + ":" + VersionToString(local) + " with " +
                   NewVersion + ":" + VersionToString(wanted),
               3, 0);
  if (wanted.MS == -1 || wanted.LS == -1) return false;
  if ((local.MS == -1 || local.LS == -1) && VersionCheck == vcUpdateOnly) return false;
  LocalVersion = VersionToString(local);
  NewVersion = VersionToString(wanted);
  return wanted.MS > local.MS || (wanted.MS == local.MS && wanted.LS > local.LS);
}

// ---- The file list ----------------------------------------------------------------------------

int TUpdater::ReadFileList() {
  FileList.Clear();
  const profile::ProfileText control = LoadProfileText(localControlFile_);
  const int count = IntegerOr(control.Get("files", "count"), 0);
  if (count <= 0) return count;
  ReportStatus(msg::kFoundFileUpdate, "", 3, 0);
  for (int n = 1; n <= std::min(count, kMaxFileEntries); ++n) {
    const std::string section = "file" + std::to_string(n);
    auto text = [&](const char* key) { return control.Get(section, key).value_or(""); };
    auto integer = [&](const char* key, int fallback) {
      return IntegerOr(control.Get(section, key), fallback);
    };
    TFileDescription& entry = FileList.Add();
    entry.URL = ConvertPrefix(text("url"));
    entry.NewVersion = text("newversion");
    entry.NewSize = integer("newsize", 0);
    entry.NewCheckSum = integer("newchecksum", -1);
    entry.NewCustomVer = text("customversion");
    entry.NewDate = text("date");
    entry.NewTime = text("time");
    entry.LocalVersion = ConvertPrefix(text("localversion"));
    entry.Sha256 = text("sha256");
    entry.Description = text("descr");
    entry.TargetDir = AddBackslash(ConvertPrefix(text("targetdir")));
    entry.Compressed = integer("compressed", 0) == 1;
    entry.FileSize = integer("filesize", 0);
    entry.Mandatory = integer("mandatory", 0) == 1;
    entry.Preselect = integer("preselect", 1) == 1;
    entry.Hidden = integer("hidden", 0) == 1;
    // The patch is only worth its fetch with the base it applies to and the
    // hash that proves it arrived whole.
    const std::string patch = "patch" + std::to_string(n);
    auto patchText = [&](const char* key) { return control.Get(patch, key).value_or(""); };
    if (!patchText("url").empty() && !patchText("localversion").empty() &&
        !patchText("base").empty() && !patchText("sha256").empty()) {
      entry.PatchURL = ConvertPrefix(patchText("url"));
      entry.PatchLocalVersion = ConvertPrefix(patchText("localversion"));
      entry.PatchSize = IntegerOr(control.Get(patch, "filesize"), 0);
      entry.PatchSha256 = patchText("sha256");
      entry.PatchBase = patchText("base");
    }
  }
  return count;
}

int TUpdater::SelectFiles() {
  for (int i = 0; i < FileList.Count();) {
    TFileDescription& entry = FileList.Items(i);
    ReportStatus(msg::kProcessingFile,
                 entry.URL + "[" + entry.LocalVersion + ",nv=" + entry.NewVersion +
                     ",nd=" + entry.NewDate + ",ns=" + std::to_string(entry.NewSize) +
                     ",nc=" + std::to_string(entry.NewCheckSum) + "]",
                 0, 0);
    bool keep;
    if (!entry.LocalVersion.empty() && !entry.NewDate.empty()) {
      const TDateTime wanted = ParseControlDate(entry.NewDate, entry.NewTime);
      keep = true;
      if (kernel::FileExists(entry.LocalVersion)) {
        const auto written = kernel::GetFileLastWriteTime(entry.LocalVersion);
        if (written && FileTimeToDateTime(*written) >= wanted) {
          if (entry.FileSize == 0) {
            keep = false;
          } else if (auto size = kernel::GetFileSize(entry.LocalVersion)) {
            keep = static_cast<int>(static_cast<std::uint32_t>(*size)) != entry.FileSize;
          }
        }
      }
    } else {
      std::string newVersion = entry.NewVersion;
      std::string localVersion = entry.LocalVersion;
      if (CompareFile(newVersion, localVersion, entry.NewSize, entry.NewCheckSum)) {
        bool isNew = true;
        if (OnFileVersionCheck && !entry.NewCustomVer.empty())
          OnFileVersionCheck(this, entry.NewCustomVer, localVersion, isNew);
        keep = isNew;
      } else {
        ReportStatus(msg::kNoNewVersion, "", 0, 0);
        keep = false;
      }
    }
    if (keep)
      ++i;
    else
      FileList.Delete(i);
  }

  if (OnGetFileList) {
    TStrings list;
    for (int i = 0; i < FileList.Count(); ++i) list.push_back(FileList.Items(i).Description);
    OnGetFileList(this, list);
    // The list is handed over for blanking lines; a handler that removed
    // lines leaves the entries without a line as they are.
    for (std::size_t j = 0; j < list.size() && static_cast<int>(j) < FileList.Count();) {
      if (list[j].empty()) {
        FileList.Delete(static_cast<int>(j));
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(j));
      } else {
        ++j;
      }
    }
  }
  return FileList.Count() == 0 ? -1 : 0;
}
