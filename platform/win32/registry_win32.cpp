// The registry service on the real registry. A Key holds its path, not an
// open handle: every call opens the key anew, so a key deleted since it was
// opened takes no values, as the header promises. The system already
// compares names without regard to letter case and keeps the spelling a
// name was created with; the key's own path is read back in that spelling.
// What the POSIX hive files cannot hold (line breaks, NUL characters) is
// refused here too, so that a program behaves the same on both.
#include "platform/win32/sdk.h"
// sdk.h first: it tames the SDK's macros before the platform headers.
#include <algorithm>
#include <vector>

#include "platform/registry.h"
#include "platform/text.h"

namespace registry {

namespace {

using Components = std::vector<std::string>;

HKEY Root(Hive hive) {
  return hive == Hive::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

bool Writable(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) == s.npos;
}

// Splits on "\" and "/", dropping empty parts, so leading, trailing and
// doubled separators do not matter.
Components SplitPath(std::string_view path) {
  Components parts;
  std::string part;
  for (char c : path) {
    if (c == '\\' || c == '/') {
      if (!part.empty()) parts.push_back(std::move(part));
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(std::move(part));
  return parts;
}

std::string JoinPath(const Components& parts) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : "\\") + p;
  return out;
}

// An open key, closed on every way out.
class OpenKey {
 public:
  OpenKey() = default;
  ~OpenKey() {
    if (key_) ::RegCloseKey(key_);
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  HKEY* Out() { return &key_; }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

bool Open(Hive hive, const std::string& path, REGSAM access, OpenKey& key) {
  return ::RegOpenKeyExA(Root(hive), path.c_str(), 0, access, key.Out()) == sdk::ERROR_SUCCESS_;
}

// The spelling the registry keeps for each part of an existing key's path.
Components StoredSpelling(Hive hive, Components parts) {
  OpenKey parent;
  if (!Open(hive, "", KEY_ENUMERATE_SUB_KEYS, parent)) return parts;
  HKEY current = parent.Get();
  std::vector<OpenKey> opened(parts.size());
  for (std::size_t i = 0; i < parts.size(); ++i) {
    char name[256];  // the longest key name the registry allows, and its NUL
    for (DWORD index = 0;; ++index) {
      DWORD size = sizeof name;
      if (::RegEnumKeyExA(current, index, name, &size, nullptr, nullptr, nullptr, nullptr) !=
          sdk::ERROR_SUCCESS_)
        break;
      if (SameText(std::string_view(name, size), parts[i])) {
        parts[i].assign(name, size);
        break;
      }
    }
    if (::RegOpenKeyExA(current, parts[i].c_str(), 0, KEY_ENUMERATE_SUB_KEYS, opened[i].Out()) !=
        sdk::ERROR_SUCCESS_)
      break;
    current = opened[i].Get();
  }
  return parts;
}

}  // namespace

std::optional<Key> Key::Open(Hive hive, std::string_view path) {
  const Components parts = SplitPath(path);
  OpenKey key;
  if (!registry::Open(hive, JoinPath(parts), KEY_READ, key)) return std::nullopt;
  return Key(hive, JoinPath(StoredSpelling(hive, parts)));
}

std::optional<Key> Key::Create(Hive hive, std::string_view path) {
  const Components parts = SplitPath(path);
  if (!std::all_of(parts.begin(), parts.end(), [](const std::string& p) { return Writable(p); }))
    return std::nullopt;
  OpenKey key;
  if (::RegCreateKeyExA(Root(hive), JoinPath(parts).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_WRITE, nullptr, key.Out(), nullptr) != sdk::ERROR_SUCCESS_)
    return std::nullopt;
  return Key(hive, JoinPath(StoredSpelling(hive, parts)));
}

std::optional<Value> Key::Query(std::string_view name) const {
  OpenKey key;
  if (!registry::Open(hive_, path_, KEY_QUERY_VALUE, key)) return std::nullopt;
  const std::string valueName(name);
  std::vector<BYTE> data(256);
  DWORD type = 0;
  for (;;) {
    DWORD size = static_cast<DWORD>(data.size());
    const LONG result =
        ::RegQueryValueExA(key.Get(), valueName.c_str(), nullptr, &type, data.data(), &size);
    if (result == ERROR_MORE_DATA) {
      data.resize(std::max<std::size_t>(size, data.size() * 2));
      continue;
    }
    if (result != sdk::ERROR_SUCCESS_) return std::nullopt;
    data.resize(size);
    break;
  }
  if (type == sdk::REG_DWORD_ && data.size() == sizeof(std::uint32_t)) {
    return Value{static_cast<std::uint32_t>(data[0] | data[1] << 8 | data[2] << 16) |
                 static_cast<std::uint32_t>(data[3]) << 24};
  }
  if (type == sdk::REG_SZ_) {
    // The stored terminator is not part of the text (and a value written
    // by another program may lack it).
    std::string text(data.begin(), data.end());
    text.resize(std::min(text.size(), text.find('\0')));
    return Value{std::move(text)};
  }
  return std::nullopt;  // other types are not ours
}

std::optional<std::string> Key::QueryString(std::string_view name) const {
  auto v = Query(name);
  if (!v || !std::holds_alternative<std::string>(*v)) return std::nullopt;
  return std::get<std::string>(*v);
}

std::optional<std::uint32_t> Key::QueryDWord(std::string_view name) const {
  auto v = Query(name);
  if (!v || !std::holds_alternative<std::uint32_t>(*v)) return std::nullopt;
  return std::get<std::uint32_t>(*v);
}

bool Key::ValueExists(std::string_view name) const {
  return Query(name).has_value();
}

std::vector<std::string> Key::ValueNames() const {
  std::vector<std::string> names;
  OpenKey key;
  if (!registry::Open(hive_, path_, KEY_QUERY_VALUE, key)) return names;
  DWORD longest = 0;
  if (::RegQueryInfoKeyA(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &longest, nullptr, nullptr, nullptr) != sdk::ERROR_SUCCESS_)
    return names;
  std::vector<char> name(longest + 1);
  for (DWORD index = 0;; ++index) {
    DWORD size = static_cast<DWORD>(name.size());
    if (::RegEnumValueA(key.Get(), index, name.data(), &size, nullptr, nullptr, nullptr, nullptr) !=
        sdk::ERROR_SUCCESS_)
      break;
    names.emplace_back(name.data(), size);
  }
  return names;
}

bool Key::Set(std::string_view name, const Value& value) {
  if (!Writable(name)) return false;
  const std::string valueName(name);
  OpenKey key;
  if (!registry::Open(hive_, path_, KEY_SET_VALUE, key)) return false;
  LONG result;
  if (const auto* text = std::get_if<std::string>(&value)) {
    if (!Writable(*text)) return false;
    result = ::RegSetValueExA(key.Get(), valueName.c_str(), 0, sdk::REG_SZ_,
                              reinterpret_cast<const BYTE*>(text->c_str()),
                              static_cast<DWORD>(text->size() + 1));
  } else {
    const DWORD number = std::get<std::uint32_t>(value);
    result = ::RegSetValueExA(key.Get(), valueName.c_str(), 0, sdk::REG_DWORD_,
                              reinterpret_cast<const BYTE*>(&number), sizeof number);
  }
  return result == sdk::ERROR_SUCCESS_;
}

bool Key::Delete(std::string_view name) {
  OpenKey key;
  if (!registry::Open(hive_, path_, KEY_SET_VALUE, key)) return false;
  return ::RegDeleteValueA(key.Get(), std::string(name).c_str()) == sdk::ERROR_SUCCESS_;
}

bool DeleteKey(Hive hive, std::string_view path) {
  const Components parts = SplitPath(path);
  if (parts.empty()) return false;  // the hive root stays
  return ::RegDeleteTreeA(Root(hive), JoinPath(parts).c_str()) == sdk::ERROR_SUCCESS_;
}

// The hives are the system's own, not files of ours.
std::string HiveFile(Hive) {
  return {};
}

}  // namespace registry
