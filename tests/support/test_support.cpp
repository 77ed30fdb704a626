#include "support/test_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

namespace {
// Restored at the end, so a test may set them for the programs it runs.
const char* const kIsolated[] = {"HOME",   "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                                 "TMPDIR", "LC_ALL",          "PATH"};
// The machine's proxy settings must not reach a test: they are saved and
// cleared, and tests that want a proxy set their own.
const char* const kProxyVariables[] = {"http_proxy", "https_proxy", "ftp_proxy",   "all_proxy",
                                       "no_proxy",   "HTTP_PROXY",  "HTTPS_PROXY", "FTP_PROXY",
                                       "ALL_PROXY",  "NO_PROXY"};
}  // namespace

TempHome::TempHome() {
  for (const char* name : kIsolated) {
    const char* value = getenv(name);
    savedEnv_[name] = value ? std::optional<std::string>(value) : std::nullopt;
  }
  for (const char* name : kProxyVariables) {
    const char* value = getenv(name);
    savedEnv_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    unsetenv(name);
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  oldCwd_ = std::filesystem::current_path();
  for (const char* dir : {"home", "home/Documents", "config", "data", "cache", "tmp"})
    std::filesystem::create_directories(root_ / dir);
  setenv("HOME", (root_ / "home").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
  setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
  setenv("XDG_CACHE_HOME", (root_ / "cache").c_str(), 1);
  setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
  std::filesystem::current_path(root_);
}

TempHome::~TempHome() {
  std::error_code ec;
  std::filesystem::current_path(oldCwd_, ec);
  // Files made read-only by a test must not stop the clean-up.
  for (auto it = std::filesystem::recursive_directory_iterator(root_, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(root_, ec);
  for (const auto& [name, value] : savedEnv_) {
    if (value)
      setenv(name.c_str(), value->c_str(), 1);
    else
      unsetenv(name.c_str());
  }
}

std::string TempHome::Path(const std::string& name) const {
  return (root_ / name).string();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << content;
}

std::string AsUser(unsigned uid) {
  const std::string id = std::to_string(uid);
  return "setpriv --reuid=" + id + " --regid=" + id + " --clear-groups ";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

ProcessOutput RunKupdate(const std::string& args, const std::string& before) {
  const std::string command = before + std::string(KESTREL_BIN_DIR) + "/kupdate " + args +
                              " </dev/null 2>kupdate-stderr.txt";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + command);
  std::string out;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, ReadFile("kupdate-stderr.txt")};
}

bool TypeOnTerminal(const std::string& typed) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  if (slave < 0 || dup2(slave, STDIN_FILENO) < 0) return false;
  // The master stays open: a terminal whose other end is closed hangs up.
  return write(master, typed.data(), typed.size()) == static_cast<ssize_t>(typed.size());
}

}  // namespace testing_support
