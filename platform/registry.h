// The registry: current-user and local-machine hives with string (REG_SZ)
// and double-word (REG_DWORD) values. On POSIX each hive is one text file in
// the ".reg" export format under $XDG_CONFIG_HOME/kestrel/registry/, read
// anew by every call and written atomically under a lock, so two processes
// never corrupt it. Key and value names compare without regard to letter
// case; a name keeps the spelling it was first created with.
//
// A hive file that cannot be read or is not a ".reg" export we understand
// reads as an empty hive, and every change to it is refused (Create, Set,
// Delete and DeleteKey return false or nothing): rewriting it would silently
// lose whatever it held. Names and strings with line breaks or NUL
// characters cannot be stored and are refused the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace registry {

enum class Hive { CurrentUser, LocalMachine };

using Value = std::variant<std::string, std::uint32_t>;  // REG_SZ or REG_DWORD

// An open key. Keys are paths below the hive, with "\" or "/" separators and
// an optional leading separator ("\Software\Kestrel").
class Key {
 public:
  // Opens an existing key; nothing when it does not exist or the hive file
  // cannot be read.
  static std::optional<Key> Open(Hive hive, std::string_view path);
  // Opens a key, creating it (and its parents) when missing; nothing when
  // the hive cannot be written.
  static std::optional<Key> Create(Hive hive, std::string_view path);

  Hive hive() const { return hive_; }
  const std::string& path() const { return path_; }

  std::optional<Value> Query(std::string_view name) const;
  std::optional<std::string> QueryString(std::string_view name) const;
  std::optional<std::uint32_t> QueryDWord(std::string_view name) const;
  bool ValueExists(std::string_view name) const;
  std::vector<std::string> ValueNames() const;

  // The empty name is the key's default value. Set fails when the key has
  // been deleted since it was opened; Delete fails when there is no such
  // value.
  bool Set(std::string_view name, const Value& value);
  bool Delete(std::string_view name);

 private:
  Key(Hive hive, std::string path) : hive_(hive), path_(std::move(path)) {}
  Hive hive_;
  std::string path_;
};

// Deletes the key with everything below it; false when it does not exist.
bool DeleteKey(Hive hive, std::string_view path);

// The hive file's location (for tests and the README).
std::string HiveFile(Hive hive);

// Parsed ".reg" text, exposed for the fuzz target and tests.
struct HiveData {
  struct KeyData {
    std::string path;
    std::vector<std::pair<std::string, Value>> values;
  };
  std::vector<KeyData> keys;
};
// Nothing when the text is not a ".reg" export.
std::optional<HiveData> ParseHive(std::string_view text);
std::string FormatHive(const HiveData& data);

}  // namespace registry
