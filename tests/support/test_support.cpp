#include "support/test_support.h"

#include <stdlib.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "support/stand_in/stand_in.h"

namespace testing_support {

namespace {
struct Pointed {
  const char* variable;
  const char* folder;  // in the fresh folder
};
#ifdef _WIN32
// Of a Windows program's per-user state only the temporary folder follows
// the environment; the registry is isolated and the special folders pointed
// into the test's folder below.
const Pointed kPointed[] = {{"TMP", "tmp"}, {"TEMP", "tmp"}};
const char* const kRestored[] = {"PATH"};
void SetVariable(const char* name, const char* value) {
  _putenv_s(name, value);
}
void UnsetVariable(const char* name) {
  _putenv_s(name, "");
}
// The user's documents and local data folders follow the registry's user
// shell folders, which the test points into its own folder as HOME and XDG
// are on POSIX (under Wine they are otherwise links into the real home).
constexpr const char* kShellFolders =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
const Pointed kShellFolderValues[] = {{"Personal", "home/Documents"}, {"Local AppData", "data"}};
std::optional<std::string> ShellFolder(const char* value) {
  char buffer[MAX_PATH * 2];
  DWORD size = sizeof buffer;
  if (RegGetValueA(HKEY_CURRENT_USER, kShellFolders, value, RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr,
                   buffer, &size) != ERROR_SUCCESS)
    return std::nullopt;
  return std::string(buffer);
}
void SetShellFolder(const char* value, const std::optional<std::string>& folder) {
  if (folder)
    RegSetKeyValueA(HKEY_CURRENT_USER, kShellFolders, value, REG_SZ, folder->c_str(),
                    static_cast<DWORD>(folder->size() + 1));
  else
    RegDeleteKeyValueA(HKEY_CURRENT_USER, kShellFolders, value);
}
#else
const Pointed kPointed[] = {{"HOME", "home"},
                            {"XDG_CONFIG_HOME", "config"},
                            {"XDG_DATA_HOME", "data"},
                            {"XDG_CACHE_HOME", "cache"},
                            {"TMPDIR", "tmp"}};
const char* const kRestored[] = {"LC_ALL", "PATH"};
void SetVariable(const char* name, const char* value) {
  setenv(name, value, 1);
}
void UnsetVariable(const char* name) {
  unsetenv(name);
}
#endif
#ifdef _WIN32
// The keys this process's hives are redirected to, while a TempHome lives.
std::vector<void*>* isolatedHives = nullptr;
#endif
// The machine's proxy settings must not reach a test: they are saved and
// cleared, and tests that want a proxy set their own.
const char* const kProxyVariables[] = {"http_proxy", "https_proxy", "ftp_proxy",   "all_proxy",
                                       "no_proxy",   "HTTP_PROXY",  "HTTPS_PROXY", "FTP_PROXY",
                                       "ALL_PROXY",  "NO_PROXY"};
}  // namespace

TempHome::TempHome() {
  // Restored at the end, so a test may set them for the programs it runs.
  const auto save = [this](const char* name) {
    const char* value = getenv(name);
    savedEnv_[name] = value ? std::optional<std::string>(value) : std::nullopt;
  };
  for (const Pointed& pointed : kPointed) save(pointed.variable);
  for (const char* name : kRestored) save(name);
  for (const char* name : kProxyVariables) {
    save(name);
    UnsetVariable(name);
  }
  std::random_device random;
  for (int attempt = 0;; ++attempt) {
    root_ = std::filesystem::temp_directory_path() / ("kestrel-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(root_)) break;
    if (attempt == 100) throw std::runtime_error("cannot make a test folder in " + root_.string());
  }
  // Another local user must not reach into it.
  std::filesystem::permissions(root_, std::filesystem::perms::owner_all);
  oldCwd_ = std::filesystem::current_path();
  for (const char* dir : {"home", "home/Documents", "config", "data", "cache", "tmp"})
    std::filesystem::create_directories(root_ / dir);
  for (const Pointed& pointed : kPointed)
    SetVariable(pointed.variable, (root_ / pointed.folder).string().c_str());
#ifdef _WIN32
  // The programs a test starts see the real user hive, this process a hive
  // of its own; both see the test's shell folders.
  for (const Pointed& pointed : kShellFolderValues) {
    savedFolders_[pointed.variable] = ShellFolder(pointed.variable);
    SetShellFolder(pointed.variable, (root_ / pointed.folder).make_preferred().string());
  }
  hivesKey_ = "Software\\KestrelTests\\" + root_.filename().string();
  // Both keys first: once the user's hive is redirected, a key made in it
  // would land in the redirected one.
  for (const char* name : {"\\CU", "\\LM"}) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, (hivesKey_ + name).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
      throw std::runtime_error("cannot isolate the registry of a test");
    hives_.push_back(key);
  }
  if (RegOverridePredefKey(HKEY_CURRENT_USER, static_cast<HKEY>(hives_[0])) != ERROR_SUCCESS ||
      RegOverridePredefKey(HKEY_LOCAL_MACHINE, static_cast<HKEY>(hives_[1])) != ERROR_SUCCESS)
    throw std::runtime_error("cannot isolate the registry of a test");
  isolatedHives = &hives_;
  for (const Pointed& pointed : kShellFolderValues)
    SetShellFolder(pointed.variable, (root_ / pointed.folder).make_preferred().string());
#endif
  std::filesystem::current_path(root_);
}

TempHome::~TempHome() {
  std::error_code ec;
  std::filesystem::current_path(oldCwd_, ec);
#ifdef _WIN32
  for (const HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
    RegOverridePredefKey(root, nullptr);
  isolatedHives = nullptr;
  for (void* key : hives_) RegCloseKey(static_cast<HKEY>(key));
  RegDeleteTreeA(HKEY_CURRENT_USER, hivesKey_.c_str());
  for (const auto& [value, folder] : savedFolders_) SetShellFolder(value.c_str(), folder);
#endif
  // Files made read-only by a test must not stop the clean-up.
  for (auto it = std::filesystem::recursive_directory_iterator(root_, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(root_, ec);
  for (const auto& [name, value] : savedEnv_) {
    if (value)
      SetVariable(name.c_str(), value->c_str());
    else
      UnsetVariable(name.c_str());
  }
}

void WithTheSharedHive(const std::function<void()>& what) {
#ifdef _WIN32
  // Both hives: the system's certificate stores span them.
  if (isolatedHives) {
    struct Isolated {
      ~Isolated() {
        RegOverridePredefKey(HKEY_CURRENT_USER, static_cast<HKEY>((*isolatedHives)[0]));
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, static_cast<HKEY>((*isolatedHives)[1]));
      }
    } again;
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    what();
    return;
  }
#endif
  what();
}

std::string TempHome::Path(const std::string& name) const {
  return (root_ / name).make_preferred().string();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string InstallStandIn(const std::string& path, const std::string& script) {
  std::string program = path;
#ifdef _WIN32
  if (!std::filesystem::path(program).has_extension()) program += ".exe";
  const char built[] = KESTREL_BIN_DIR "/stand_in.exe";
#else
  const char built[] = KESTREL_BIN_DIR "/stand_in";
#endif
  std::filesystem::copy_file(built, program, std::filesystem::copy_options::overwrite_existing);
  std::ofstream(program, std::ios::binary | std::ios::app)
      << testing_support::kStandInMark << script << "\n";
  return program;
}

}  // namespace testing_support
