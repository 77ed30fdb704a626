// Profile files on the Windows profile functions. What the system does not
// promise on its own, this file adds:
//
// - A path without a folder means the Windows folder to the system; to us
//   it is relative to the current folder, so every path is made absolute.
// - The system writes a file in place; a write here goes to a copy beside
//   the file, which then replaces it with one rename, so a reader sees the
//   old or the new file and never half of one.
// - The system removes only the first of duplicate keys and sections, so
//   removal is repeated until none comes to light; it lists duplicates
//   twice, so lists are made unique.
// - Integers are read by the shared rules, not the system's (which reads
//   hexadecimal and turns text into 0 rather than the default), and names
//   that are comments or lie outside a section are never found.
#include "platform/win32/sdk.h"
// sdk.h first: it tames the SDK's macros before the platform headers.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/profile.h"
#include "platform/profile_lines.h"
#include "platform/text.h"

namespace profile {

using namespace lines;

namespace {

// The absolute path of a profile file; nothing for a path that names no
// readable profile file (empty, a folder, or larger than a profile file
// can be).
std::optional<std::string> ProfilePath(const std::string& file, bool mustExist) {
  if (file.empty()) return std::nullopt;
  char buffer[MAX_PATH * 4];
  const DWORD n = ::GetFullPathNameA(file.c_str(), sizeof buffer, buffer, nullptr);
  if (n == 0 || n >= sizeof buffer) return std::nullopt;
  std::string path(buffer, n);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
    if (mustExist) return std::nullopt;
    return path;
  }
  const std::uint64_t size = std::uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow;
  if ((data.dwFileAttributes & sdk::FILE_ATTRIBUTE_DIRECTORY_) || size > kMaxFileSize)
    return std::nullopt;
  return path;
}

// Calls a profile function that fills a buffer, with a larger buffer while
// the text did not fit (the function then returns the size less `slack`:
// 1 for a value, 2 for a list of names).
template <typename Call>
std::string Fill(DWORD slack, Call&& call) {
  std::vector<char> buffer(256);
  for (;;) {
    const DWORD n = call(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n + slack < buffer.size() || buffer.size() > 2 * kMaxFileSize) return {buffer.data(), n};
    buffer.resize(buffer.size() * 2);
  }
}

// A list of NUL-terminated names, each kept once.
std::vector<std::string> SplitNames(const std::string& list) {
  std::vector<std::string> names;
  for (std::size_t at = 0; at < list.size();) {
    std::size_t end = list.find('\0', at);
    if (end == std::string::npos) end = list.size();
    if (end > at) AppendUnique(names, list.substr(at, end - at));
    at = end + 1;
  }
  return names;
}

// The value, or nothing when the key is absent. The system cannot tell an
// absent key from one holding the default, so the default given is one no
// line of a file can hold.
std::optional<std::string> Value(const std::string& section, const std::string& key,
                                 const std::string& path) {
  // Keys before the first section belong to no section; keys beginning
  // with ";" are comments.
  if (Trim(section).empty() || Trim(key).empty() || Trim(key).front() == ';') return std::nullopt;
  static const char kAbsent[] = "\n";
  std::string value = Fill(1, [&](char* buffer, DWORD size) {
    return ::GetPrivateProfileStringA(section.c_str(), key.c_str(), kAbsent, buffer, size,
                                      path.c_str());
  });
  if (value == kAbsent) return std::nullopt;
  return value;
}

std::vector<std::string> Keys(const std::string& section, const std::string& path) {
  if (Trim(section).empty()) return {};
  return SplitNames(Fill(2, [&](char* buffer, DWORD size) {
    return ::GetPrivateProfileStringA(section.c_str(), nullptr, "", buffer, size, path.c_str());
  }));
}

std::vector<std::string> Sections(const std::string& path) {
  std::vector<std::string> names = SplitNames(Fill(2, [&](char* buffer, DWORD size) {
    return ::GetPrivateProfileSectionNamesA(buffer, size, path.c_str());
  }));
  std::erase_if(names, [](const std::string& n) { return Trim(n).empty(); });
  return names;
}

// Whether the key (or, without a key, the section) can still be found.
bool Remains(const std::string& section, const std::optional<std::string>& key,
             const std::string& path) {
  if (key) return Value(section, *key, path).has_value();
  const std::vector<std::string> names = Sections(path);
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& n) { return SameText(n, section); });
}

// Applies one change to the file at path, and has the system write out
// what it may have cached of it.
bool Change(const std::string& section, const std::optional<std::string>& key,
            const std::optional<std::string>& value, const std::string& path) {
  const char* k = key ? key->c_str() : nullptr;
  const char* v = key && value ? value->c_str() : nullptr;
  // The system removes only the first of duplicates; the rest would come
  // to light. A file holds far fewer duplicates than this.
  for (int round = 0; round < 1000; ++round) {
    if (!::WritePrivateProfileStringA(section.c_str(), k, v, path.c_str())) return false;
    ::WritePrivateProfileStringA(nullptr, nullptr, nullptr, path.c_str());
    if (v || !Remains(section, key, path)) return true;
  }
  return false;
}

}  // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& file) {
  auto path = ProfilePath(file, true);
  if (!path) return defaultValue;
  return Value(section, key, *path).value_or(defaultValue);
}

int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& file) {
  auto path = ProfilePath(file, true);
  if (!path) return defaultValue;
  auto value = Value(section, key, *path);
  return value ? ReadInt(*value, defaultValue) : defaultValue;
}

std::vector<std::string> GetPrivateProfileKeys(const std::string& section,
                                               const std::string& file) {
  auto path = ProfilePath(file, true);
  return path ? Keys(section, *path) : std::vector<std::string>{};
}

std::vector<std::string> GetPrivateProfileSectionNames(const std::string& file) {
  auto path = ProfilePath(file, true);
  return path ? Sections(*path) : std::vector<std::string>{};
}

bool WritePrivateProfileString(const std::string& section, const std::optional<std::string>& key,
                               const std::optional<std::string>& value, const std::string& file) {
  auto names = CheckWrite(section, key, value);
  if (!names) return false;
  auto path = ProfilePath(file, false);
  if (!path) return false;
  const DWORD attributes = ::GetFileAttributesA(path->c_str());
  const bool existed = attributes != sdk::INVALID_FILE_ATTRIBUTES_;
  if (!existed && (!key || !value)) return true;  // nothing to remove
  // A read-only file stays as it is.
  if (existed && (attributes & sdk::FILE_ATTRIBUTE_READONLY_)) return false;

  // The copy gets a name of its own every time, so that no cached copy of
  // an earlier one is ever taken for it.
  const std::string folder = path->substr(0, path->find_last_of("\\/") + 1);
  char temp[MAX_PATH];
  if (!::GetTempFileNameA(folder.c_str(), "kpf", 0, temp)) return false;
  const bool ok =
      (!existed || ::CopyFileA(path->c_str(), temp, FALSE)) &&
      Change(names->section, names->key, key ? value : std::nullopt, temp) &&
      ::MoveFileExA(temp, path->c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) ::DeleteFileA(temp);
  return ok;
}

}  // namespace profile
