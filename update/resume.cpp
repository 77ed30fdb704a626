#include "update/resume.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "archive/crc32.h"
#include "platform/kernel.h"
#include "update/paths.h"

namespace resume {
namespace {

constexpr const char* kPrefix = "UPDR";
constexpr const char* kDescription = ".inf";
constexpr const char* kSection = "partial";

std::string Folder(const std::string& folder) {
  return folder.empty() ? folder : AddBackslash(folder);
}

// Names are short and fixed in length; two URLs that meet under one name
// take turns, as the description names the URL its bytes belong to.
std::string BaseOf(const std::string& folder, const std::string& url) {
  const std::uint32_t crc =
      CRC32Step(kCRC32Init, {reinterpret_cast<const unsigned char*>(url.data()), url.size()});
  char key[9];
  std::snprintf(key, sizeof key, "%08X", static_cast<unsigned>(crc));
  return Folder(folder) + kPrefix + key;
}

std::uint64_t Number(const std::optional<std::string>& text) {
  std::uint64_t value = 0;
  if (text) std::from_chars(text->data(), text->data() + text->size(), value);
  return value;
}

Partial Describe(const std::string& base) {
  const profile::ProfileText text = LoadProfileText(base + kDescription);
  Partial partial;
  partial.data = base + kernel::TemporaryFile::kPartialSuffix;
  partial.url = text.Get(kSection, "url").value_or("");
  partial.validator = text.Get(kSection, "validator").value_or("");
  partial.total = Number(text.Get(kSection, "total"));
  partial.owner = text.Get(kSection, "owner").value_or("");
  return partial;
}

void Remove(const std::string& base) {
  kernel::DeleteFile(base + kernel::TemporaryFile::kPartialSuffix);
  kernel::DeleteFile(base + kDescription);
}

}  // namespace

std::optional<Partial> Find(const std::string& folder, const std::string& url) {
  const std::string base = BaseOf(folder, url);
  if (!kernel::FileExists(base + kDescription)) return std::nullopt;
  Partial partial = Describe(base);
  if (partial.url != url) return std::nullopt;
  const auto size = kernel::GetFileSize(partial.data);
  if (!size || *size == 0 || *size >= partial.total || partial.validator.empty()) {
    Remove(base);
    return std::nullopt;
  }
  partial.have = *size;
  return partial;
}

std::optional<kernel::TemporaryFile> Begin(const std::string& folder, const Partial& partial) {
  for (const std::string* value : {&partial.url, &partial.validator, &partial.owner})
    if (value->find_first_of("\r\n") != std::string::npos) return std::nullopt;
  const std::string base = BaseOf(folder, partial.url);
  auto file = kernel::TemporaryFile::Beside(base);
  if (!file) return std::nullopt;
  // Every value is quoted, so the reader's unquoting gives it back as the
  // server sent it (an ETag has quotes of its own).
  const std::string text = std::string("[") + kSection + "]\r\nurl=\"" + partial.url +
                           "\"\r\nvalidator=\"" + partial.validator +
                           "\"\r\ntotal=" + std::to_string(partial.total) + "\r\nowner=\"" +
                           partial.owner + "\"\r\n";
  try {
    WriteNewFile(base + kDescription,
                 {reinterpret_cast<const unsigned char*>(text.data()), text.size()});
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return file;
}

void Drop(const std::string& folder, const std::string& url) {
  const std::string base = BaseOf(folder, url);
  if (kernel::FileExists(base + kDescription) && Describe(base).url != url) return;
  Remove(base);
}

void Sweep(const std::string& where, const std::string& owner,
           const std::vector<std::string>& keep) {
  namespace fs = std::filesystem;
  const std::string folder = Folder(where);
  std::error_code error;
  std::vector<std::string> names;
  for (fs::directory_iterator it(folder.empty() ? fs::path(".") : fs::path(folder), error), end;
       !error && it != end; it.increment(error))
    names.push_back(it->path().filename().string());
  for (const std::string& name : names) {
    if (!name.starts_with(kPrefix)) continue;
    const std::string suffix = kernel::TemporaryFile::kPartialSuffix;
    if (name.ends_with(kDescription)) {
      const std::string base = folder + name.substr(0, name.size() - 4);
      const Partial partial = Describe(base);
      if (partial.owner == owner && std::find(keep.begin(), keep.end(), partial.url) == keep.end())
        Remove(base);
    } else if (name.ends_with(suffix)) {
      const std::string base = folder + name.substr(0, name.size() - suffix.size());
      if (!kernel::FileExists(base + kDescription)) kernel::DeleteFile(folder + name);
    }
  }
}

std::string FtpValidator(std::uint64_t size, std::int64_t seconds) {
  return std::to_string(size) + "@" + std::to_string(seconds);
}

bool ContinuesAt(const std::string& contentRange, std::uint64_t have, std::uint64_t total) {
  std::string_view rest = contentRange;
  auto lower = [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  };
  constexpr std::string_view kUnit = "bytes ";
  if (rest.size() < kUnit.size() || !std::equal(kUnit.begin(), kUnit.end(), rest.begin(),
                                                [&](char a, char b) { return a == lower(b); }))
    return false;
  rest.remove_prefix(kUnit.size());
  // "FIRST-LAST/TOTAL", nothing after it.
  auto take = [&rest](std::uint64_t& value, char after) {
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
    if (error != std::errc()) return false;
    rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
    if (after == '\0') return rest.empty();
    if (rest.empty() || rest.front() != after) return false;
    rest.remove_prefix(1);
    return true;
  };
  std::uint64_t first = 0, last = 0, whole = 0;
  return take(first, '-') && take(last, '/') && take(whole, '\0') && first == have &&
         whole == total && last + 1 == total;
}

}  // namespace resume
