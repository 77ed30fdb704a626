// The registry on POSIX: one ".reg" text file per hive. Every call reads the
// file anew under a shared lock; a change takes the exclusive lock, reads the
// file again, changes it in memory and replaces the file atomically (a
// temporary file in the same folder, flushed, renamed over the old one), so
// concurrent processes never lose each other's values or see half a file.
//
// A hive file that cannot be read or parsed counts as an empty hive for
// reading, but every change to it is refused: rewriting a file we did not
// understand would silently throw away whatever it held.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>

#include "platform/posix/posix_io.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace registry {

namespace {

// A hive holds a handful of settings; a far larger file is not ours.
constexpr std::size_t kMaxHiveSize = 16u << 20;

const char* RootName(Hive hive) {
  return hive == Hive::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

// Characters that would break the line structure of the file.
bool Writable(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) == s.npos;
}

std::string ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.config";
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
    return std::string(pw->pw_dir) + "/.config";
  return "/tmp";
}

std::string HiveDir() {
  return ConfigHome() + "/kestrel/registry";
}

// ---- Key paths --------------------------------------------------------------

using Components = std::vector<std::string>;

// Splits on "\" and "/", dropping empty parts, so leading, trailing and
// doubled separators do not matter.
Components SplitPath(std::string_view path, bool slashToo) {
  Components parts;
  std::string part;
  for (char c : path) {
    if (c == '\\' || (slashToo && c == '/')) {
      if (!part.empty()) parts.push_back(std::move(part));
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(std::move(part));
  return parts;
}

// The components of a section of the file below the hive root, or nothing
// when the section belongs to another root.
std::optional<Components> SectionComponents(const std::string& sectionPath, Hive hive) {
  Components parts = SplitPath(sectionPath, false);
  if (parts.empty() || !SameText(parts[0], RootName(hive))) return std::nullopt;
  parts.erase(parts.begin());
  return parts;
}

bool SamePrefix(const Components& whole, const Components& prefix) {
  if (whole.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (!SameText(whole[i], prefix[i])) return false;
  return true;
}

std::string JoinPath(const Components& parts) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : "\\") + p;
  return out;
}

std::string SectionPath(Hive hive, const Components& parts) {
  std::string out = RootName(hive);
  for (const auto& p : parts) out += "\\" + p;
  return out;
}

HiveData::KeyData* FindSection(HiveData& data, Hive hive, const Components& key) {
  for (auto& k : data.keys) {
    auto parts = SectionComponents(k.path, hive);
    if (parts && parts->size() == key.size() && SamePrefix(*parts, key)) return &k;
  }
  return nullptr;
}

// A key exists when it has a section or lies above one that does (a file
// may leave out the sections of keys that hold no values).
bool KeyExists(const HiveData& data, Hive hive, const Components& key) {
  if (key.empty()) return true;
  return std::any_of(data.keys.begin(), data.keys.end(), [&](const HiveData::KeyData& k) {
    auto parts = SectionComponents(k.path, hive);
    return parts && SamePrefix(*parts, key);
  });
}

// The key's path with each part spelled as the file first spells it.
Components StoredSpelling(const HiveData& data, Hive hive, Components key) {
  for (std::size_t i = 0; i < key.size(); ++i) {
    for (const auto& k : data.keys) {
      auto parts = SectionComponents(k.path, hive);
      if (parts && parts->size() > i &&
          SamePrefix(*parts, Components(key.begin(), key.begin() + i + 1))) {
        key[i] = (*parts)[i];
        break;
      }
    }
  }
  return key;
}

// ---- The hive file --------------------------------------------------------------

class FileLock {
 public:
  FileLock(const std::string& path, bool exclusive, bool create) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
    if (fd_ < 0) fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return;
    int rc;
    do rc = ::flock(fd_, exclusive ? LOCK_EX : LOCK_SH);
    while (rc != 0 && errno == EINTR);
    locked_ = rc == 0;
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool locked() const { return locked_; }

 private:
  int fd_ = -1;
  bool locked_ = false;
};

std::string LockFile(Hive hive) {
  return HiveDir() + "/" + RootName(hive) + ".lock";
}

enum class State { Ok, Missing, Unusable };

State ReadHiveFile(Hive hive, HiveData& data) {
  data = {};
  int fd = ::open(HiveFile(hive).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? State::Missing : State::Unusable;
  std::string text;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<std::uint64_t>(st.st_size) <= kMaxHiveSize;
  char buffer[65536];
  while (ok) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    text.append(buffer, static_cast<std::size_t>(n));
    ok = text.size() <= kMaxHiveSize;
  }
  ::close(fd);
  if (!ok) return State::Unusable;
  auto parsed = ParseHive(text);
  if (!parsed) return State::Unusable;
  data = std::move(*parsed);
  return State::Ok;
}

// Reads the hive under the shared lock; nothing when it is missing or
// unusable (both read as an empty hive).
std::optional<HiveData> ReadHive(Hive hive) {
  // Without a lock file (a folder we may not write to) the read still sees
  // a whole file, because writers replace it by renaming.
  FileLock lock(LockFile(hive), false, true);
  HiveData data;
  if (ReadHiveFile(hive, data) != State::Ok) return std::nullopt;
  return data;
}

bool MakeDirs(const std::string& dir) {
  std::string path;
  for (const auto& part : SplitPath(dir, true)) {
    path += "/" + part;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ReplaceHiveFile(Hive hive, const HiveData& data) {
  std::string dir = HiveDir();
  std::string temp = dir + "/." + RootName(hive) + ".reg.XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = posix_io::WriteAll(fd, FormatHive(data)) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temp.c_str(), HiveFile(hive).c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself must reach the disk for the new file to survive a
  // crash.
  int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

// One change under the exclusive lock: the change function edits the data
// and says whether it succeeded and whether anything changed.
struct Outcome {
  bool ok;
  bool changed;
};

bool ModifyHive(Hive hive, const std::function<Outcome(HiveData&)>& change) {
  if (!MakeDirs(HiveDir())) return false;
  FileLock lock(LockFile(hive), true, true);
  if (!lock.locked()) return false;
  HiveData data;
  State state = ReadHiveFile(hive, data);
  if (state == State::Unusable) return false;
  Outcome outcome = change(data);
  if (!outcome.ok) return false;
  if (!outcome.changed) return true;
  return ReplaceHiveFile(hive, data);
}

bool ValidKeyPath(const Components& parts) {
  return std::all_of(parts.begin(), parts.end(), [](const std::string& p) { return Writable(p); });
}

}  // namespace

std::string HiveFile(Hive hive) {
  return HiveDir() + "/" + RootName(hive) + ".reg";
}

std::optional<Key> Key::Open(Hive hive, std::string_view path) {
  Components parts = SplitPath(path, true);
  auto data = ReadHive(hive);
  if (!data || !KeyExists(*data, hive, parts)) return std::nullopt;
  return Key(hive, JoinPath(StoredSpelling(*data, hive, parts)));
}

std::optional<Key> Key::Create(Hive hive, std::string_view path) {
  Components parts = SplitPath(path, true);
  if (!ValidKeyPath(parts)) return std::nullopt;
  Components spelled;
  bool ok = ModifyHive(hive, [&](HiveData& data) {
    bool changed = false;
    // Every key on the way gets its section, as an export lists them.
    for (std::size_t n = 1; n <= parts.size(); ++n) {
      Components prefix(parts.begin(), parts.begin() + n);
      if (FindSection(data, hive, prefix)) continue;
      data.keys.push_back({SectionPath(hive, StoredSpelling(data, hive, prefix)), {}});
      changed = true;
    }
    spelled = StoredSpelling(data, hive, parts);
    return Outcome{true, changed};
  });
  if (!ok) return std::nullopt;
  return Key(hive, JoinPath(spelled));
}

std::optional<Value> Key::Query(std::string_view name) const {
  auto data = ReadHive(hive_);
  if (!data) return std::nullopt;
  const HiveData::KeyData* key = FindSection(*data, hive_, SplitPath(path_, true));
  if (!key) return std::nullopt;
  for (const auto& [n, v] : key->values)
    if (SameText(n, name)) return v;
  return std::nullopt;
}

std::vector<std::string> Key::ValueNames() const {
  std::vector<std::string> names;
  auto data = ReadHive(hive_);
  if (!data) return names;
  if (const auto* key = FindSection(*data, hive_, SplitPath(path_, true)))
    for (const auto& [n, v] : key->values) names.push_back(n);
  return names;
}

bool Key::Set(std::string_view name, const Value& value) {
  if (!Writable(name)) return false;
  if (const auto* s = std::get_if<std::string>(&value); s && !Writable(*s)) return false;
  Components parts = SplitPath(path_, true);
  return ModifyHive(hive_, [&](HiveData& data) {
    // A key deleted since it was opened takes no values, as on Windows.
    if (!KeyExists(data, hive_, parts)) return Outcome{false, false};
    HiveData::KeyData* key = FindSection(data, hive_, parts);
    if (!key) {
      data.keys.push_back({SectionPath(hive_, StoredSpelling(data, hive_, parts)), {}});
      key = &data.keys.back();
    }
    for (auto& [n, v] : key->values) {
      if (!SameText(n, name)) continue;
      if (v == value) return Outcome{true, false};
      v = value;  // the name keeps the spelling it was created with
      return Outcome{true, true};
    }
    key->values.emplace_back(std::string(name), value);
    return Outcome{true, true};
  });
}

bool Key::Delete(std::string_view name) {
  Components parts = SplitPath(path_, true);
  return ModifyHive(hive_, [&](HiveData& data) {
    HiveData::KeyData* key = FindSection(data, hive_, parts);
    if (!key) return Outcome{false, false};
    auto& values = key->values;
    auto it = std::find_if(values.begin(), values.end(),
                           [&](const auto& v) { return SameText(v.first, name); });
    if (it == values.end()) return Outcome{false, false};
    values.erase(it);
    return Outcome{true, true};
  });
}

bool DeleteKey(Hive hive, std::string_view path) {
  Components parts = SplitPath(path, true);
  if (parts.empty()) return false;  // the hive root stays
  return ModifyHive(hive, [&](HiveData& data) {
    if (!KeyExists(data, hive, parts)) return Outcome{false, false};
    // The key goes with everything below it.
    std::erase_if(data.keys, [&](const HiveData::KeyData& k) {
      auto sectionParts = SectionComponents(k.path, hive);
      return sectionParts && SamePrefix(*sectionParts, parts);
    });
    return Outcome{true, true};
  });
}

}  // namespace registry
