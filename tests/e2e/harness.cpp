#include "e2e/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "support/screen_support.h"
#include "support/virtual_display.h"

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using Clock = std::chrono::steady_clock;

namespace {

// Generous limits: a sanitizer build on a busy machine is slow, and a limit
// only decides how long a broken program can hang a test.
constexpr auto kRunLimit = std::chrono::seconds(90);
constexpr auto kWaitLimit = std::chrono::seconds(60);

// Variables of the test's own environment that would change what the
// program does: the display decides the window backend, the proxy variables
// are the system's proxy settings.
const char* const kDropped[] = {"DISPLAY",     "WAYLAND_DISPLAY", "http_proxy", "HTTP_PROXY",
                                "https_proxy", "HTTPS_PROXY",     "all_proxy",  "ALL_PROXY",
                                "no_proxy",    "NO_PROXY",        "XAUTHORITY"};

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t end = line.find('\t', pos);
    fields.push_back(line.substr(pos, end == std::string::npos ? end : end - pos));
    if (end == std::string::npos) return fields;
    pos = end + 1;
  }
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string WineServer() {
  return fs::path(Environment("KESTREL_E2E_WINE")).replace_filename("wineserver").string();
}

// Ends the prefix's server and whatever still runs in it, and waits for it
// to have saved the registry.
std::string StopWineServer() {
  return Quote(WineServer()) + " -k 2>/dev/null; " + Quote(WineServer()) + " -w";
}

// Where the start program keeps its settings: its key in the POSIX registry
// file, and the same key as the prefix's reg program names it.
constexpr const char* kSettingsKey = "\\software\\Tessark\\TWKestrel";
constexpr const char* kWineSettingsKey = "HKCU\\Software\\Tessark\\TWKestrel";

// A path as a Windows program under Wine gives it, on this machine: drive
// Z: is the root of the file system. Other paths stay as they are.
std::string UnixPath(const std::string& path) {
  if (path.size() < 3 || (path[0] != 'Z' && path[0] != 'z') || path[1] != ':' || path[2] != '\\')
    return path;
  std::string unix = path.substr(2);
  std::replace(unix.begin(), unix.end(), '\\', '/');
  return unix;
}

bool EndsWithExe(const std::string& program) {
  if (program.size() < 4) return false;
  std::string end = program.substr(program.size() - 4);
  for (char& c : end) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return end == ".exe";
}

// Ends a process that the test started, then reaps it.
void Stop(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// The pids of the processes whose program file lies under the folder.
std::vector<pid_t> ProgramsUnder(const std::string& folder) {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (!proc) return pids;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    char target[4096];
    const std::string link = std::string("/proc/") + entry->d_name + "/exe";
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    // A Windows program's file is Wine's loader; its first argument names
    // the program, in the Windows form when a Windows program started it.
    const std::string argv0 = ReadFile(std::string("/proc/") + entry->d_name + "/cmdline");
    if (std::string(target, static_cast<std::size_t>(n)).rfind(folder, 0) == 0 ||
        UnixPath(argv0.substr(0, argv0.find('\0'))).rfind(folder, 0) == 0)
      pids.push_back(static_cast<pid_t>(pid));
  }
  closedir(proc);
  return pids;
}

}  // namespace

std::string BaseURL(int port) {
  return "http://127.0.0.1:" + std::to_string(port) + "/twkestrel/";
}

bool UnderWine() {
  return !Environment("KESTREL_E2E_WINE").empty();
}

std::string StartProgram(const std::string& copy) {
  const std::string dir =
      UnderWine() ? Environment("KESTREL_E2E_WINDOWS_DIR") + "/e2e" : KESTREL_E2E_DIR;
  return dir + "/" + copy + "/KestrelStart.exe";
}

std::string ClientProgram() {
  const std::string dir =
      UnderWine() ? Environment("KESTREL_E2E_WINDOWS_DIR") + "/bin" : KESTREL_BIN_DIR;
  return dir + "/Kestrel.exe";
}

const std::vector<Package>& Packages() {
  static const std::vector<Package> packages = {
      {"Addin.cab", "Core", "ChartAddin.bpl"},
      {"AppBpl.cab", "Core", "KestrelApp.bpl"},
      {"CommonUI.cab", "Core", "CommonUI.bpl"},
      {"Kestrel.cab", "", "Kestrel.exe"},
      {"ExeLib.cab", "", "KestrelLink.dll"},
      {"IniFile.cab", "", "Kestrel.ini"},
      {"KernelBPL.cab", "System", "KestrelKernel.bpl"},
      {"Language.cab", "", "Language_ENU.ini"},
      {"PMMServer.cab", "", "PMMServer.dll"},
      {"ShareBpl.cab", "Core", "ShareData.bpl"},
  };
  return packages;
}

// ---- The ports ----------------------------------------------------------------------------------

PortLock::PortLock() {
  // A fixed path: the test's temporary folder differs from test to test.
  const std::string path = "/tmp/kestrel-e2e-ports-" + std::to_string(kPrimaryPort) + ".lock";
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ < 0) return;
  // Another build's test holds the ports for a few seconds; a stuck one is
  // ended by its own time limit.
  const auto deadline = Clock::now() + std::chrono::seconds(100);
  while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (Clock::now() > deadline) {
      ADD_FAILURE() << "the ports " << kPrimaryPort << " and " << kSecondaryPort
                    << " stay taken by another test (" << path << ")";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

PortLock::~PortLock() {
  if (fd_ >= 0) close(fd_);
}

// ---- The fixture --------------------------------------------------------------------------------

StartProgramTest::StartProgramTest() {
  app_ = home_.Path("app/");
  www1_ = home_.Path("www-primary/");
  www2_ = home_.Path("www-secondary/");
  record_ = home_.Path("clients.txt");
  fs::create_directories(app_);
  originalPath_ = std::getenv("PATH") ? std::getenv("PATH") : "";
}

StartProgramTest::~StartProgramTest() {
  // Whatever still runs from the test's folder is the test's own and goes
  // before the folder does.
  if (!WaitForProgramsToEnd()) EndPrograms();
  if (winePrepared_) testing_support::RunShell(StopWineServer());
}

void StartProgramTest::EndPrograms() {
  for (pid_t pid : ProgramsUnder(home_.path().string() + "/")) kill(pid, SIGKILL);
}

void StartProgramTest::PrepareWine() {
  if (winePrepared_) return;
  winePrepared_ = true;
  // Wine's desktop keeps the display it was started on for as long as its
  // server runs, so each test has a server of its own. It stays up until
  // the test ends: one that ended between two programs could still be
  // saving the registry while the next one read it.
  testing_support::RunShell(StopWineServer() + "; " + Quote(WineServer()) + " -p");
  Reg({"delete", "HKCU\\Software\\Tessark", "/f"});
}

std::optional<std::string> StartProgramTest::Reg(const std::vector<std::string>& arguments) {
  PrepareWine();
  std::string command = "env -u DISPLAY ";
  if (!display_.empty()) command += "DISPLAY=" + Quote(display_) + " ";
  command += Quote(Environment("KESTREL_E2E_WINE")) + " reg";
  for (const std::string& argument : arguments) command += " " + Quote(argument);
  std::FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (!pipe) return std::nullopt;
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  if (pclose(pipe) != 0) return std::nullopt;
  return out;
}

namespace {

// The data of a value in what the reg program printed for it:
// "    NAME    TYPE    DATA".
std::optional<std::string> RegData(const std::optional<std::string>& printed,
                                   const std::string& type) {
  if (!printed) return std::nullopt;
  const std::string tag = "    " + type;
  const auto at = printed->find(tag);
  if (at == std::string::npos) return std::nullopt;
  std::string data = printed->substr(at + tag.size());
  data = data.substr(0, data.find_first_of("\r\n"));
  return data.substr(std::min(data.size(), data.find_first_not_of(' ')));
}

}  // namespace

bool StartProgramTest::SettingsExist() {
  if (UnderWine()) return Reg({"query", kWineSettingsKey}).has_value();
  return registry::Key::Open(registry::Hive::CurrentUser, kSettingsKey).has_value();
}

std::optional<std::uint32_t> StartProgramTest::SettingDWord(const std::string& name) {
  if (UnderWine()) {
    const auto data = RegData(Reg({"query", kWineSettingsKey, "/v", name}), "REG_DWORD");
    if (!data) return std::nullopt;
    return static_cast<std::uint32_t>(std::stoul(*data, nullptr, 16));
  }
  auto key = registry::Key::Open(registry::Hive::CurrentUser, kSettingsKey);
  if (!key || !key->ValueExists(name)) return std::nullopt;
  return key->QueryDWord(name);
}

std::optional<std::string> StartProgramTest::SettingString(const std::string& name) {
  if (UnderWine()) return RegData(Reg({"query", kWineSettingsKey, "/v", name}), "REG_SZ");
  auto key = registry::Key::Open(registry::Hive::CurrentUser, kSettingsKey);
  if (!key || !key->ValueExists(name)) return std::nullopt;
  return key->QueryString(name);
}

void StartProgramTest::SetSetting(const std::string& name, const registry::Value& value) {
  if (UnderWine()) {
    const auto* text = std::get_if<std::string>(&value);
    const std::string type = text ? "REG_SZ" : "REG_DWORD";
    const std::string data = text ? *text : std::to_string(std::get<std::uint32_t>(value));
    ASSERT_TRUE(Reg({"add", kWineSettingsKey, "/v", name, "/t", type, "/d", data, "/f"}));
    return;
  }
  auto key = registry::Key::Create(registry::Hive::CurrentUser, kSettingsKey);
  ASSERT_TRUE(key && key->Set(name, value)) << name;
}

unsigned long StartProgramTest::FindForm(const std::string& className,
                                         const std::string& title) const {
  return UnderWine() ? testing_support::FindTopLevelTitled(title)
                     : testing_support::FindTopLevel(className);
}

void StartProgramTest::Publish(const std::vector<std::string>& arguments) {
  const std::string bin = KESTREL_BIN_DIR;
  std::string command = "/usr/bin/python3 " + Quote(std::string(KESTREL_DEMO_DIR) + "/publish.py") +
                        " " + Quote(www1_) + " " + BaseURL(kPrimaryPort) + " " + Quote(www2_) +
                        " " + BaseURL(kSecondaryPort) + " --client " + Quote(ClientProgram()) +
                        " --kupdate " + Quote(bin + "/kupdate");
  for (const std::string& argument : arguments) command += " " + Quote(argument);
  ASSERT_EQ(testing_support::RunShell(command), 0) << command;
}

void StartProgramTest::StartPrimary() {
  primary_ =
      std::make_unique<testing_support::HttpServer>(www1_, home_.Path("primary.log"), kPrimaryPort);
}

void StartProgramTest::StartSecondary() {
  secondary_ = std::make_unique<testing_support::HttpServer>(www2_, home_.Path("secondary.log"),
                                                             kSecondaryPort);
}

std::string StartProgramTest::Published(bool secondary, const std::string& name) const {
  return ReadFile((secondary ? www2_ : www1_) + "twkestrel/" + name);
}

void StartProgramTest::Republish(bool secondary, const std::string& name,
                                 const std::string& content) {
  testing_support::WriteFile((secondary ? www2_ : www1_) + "twkestrel/" + name, content);
}

void StartProgramTest::Install(const std::string& copy, const std::string& name) {
  fs::copy_file(StartProgram(copy), app_ + name, fs::copy_options::overwrite_existing);
}

bool StartProgramTest::UseDisplay() {
  const testing_support::VirtualDisplay* display = testing_support::VirtualDisplay::Get();
  if (display) display_ = display->Name();
  return display != nullptr;
}

pid_t StartProgramTest::Spawn(const std::vector<std::string>& argv, const std::string& outFile,
                              const std::string& errFile,
                              const std::map<std::string, std::string>& extraEnv) {
  std::vector<std::string> command = argv;
  if (UnderWine() && EndsWithExe(argv[0])) {
    PrepareWine();
    command.insert(command.begin(), Environment("KESTREL_E2E_WINE"));
  }
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool dropped = extraEnv.count(name) != 0;
    for (const char* d : kDropped) dropped |= name == d;
    if (!dropped) env.push_back(entry);
  }
  if (!display_.empty()) env.push_back("DISPLAY=" + display_);
  for (const auto& [name, value] : extraEnv) env.push_back(name + "=" + value);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addchdir_np(&actions, app_.c_str());
  std::vector<char*> args, envp;
  for (std::string& arg : command) args.push_back(arg.data());
  args.push_back(nullptr);
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

Outcome StartProgramTest::Run(const std::vector<std::string>& arguments, const std::string& name) {
  std::vector<std::string> argv = {app_ + name};
  if (!limits_.empty()) argv = {"/bin/sh", "-c", limits_ + " && exec \"$0\" \"$@\"", app_ + name};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const std::string out = home_.Path("start-out.txt"), err = home_.Path("start-err.txt");
  const pid_t pid =
      Spawn(argv, out, err, {{"KESTREL_CLIENT_RECORD", record_}, {"KESTREL_CLIENT_STAY", "0"}});
  Outcome outcome;
  if (pid <= 0) {
    ADD_FAILURE() << "cannot start " << argv[0];
    return outcome;
  }
  const auto deadline = Clock::now() + kRunLimit;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (Clock::now() > deadline) {
      Stop(pid);
      ADD_FAILURE() << argv[0] << " did not end within " << kRunLimit.count() << " s";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  outcome.out = ReadFile(out);
  outcome.err = ReadFile(err);
  return outcome;
}

std::vector<ClientRecord> StartProgramTest::Clients() const {
  std::vector<ClientRecord> records;
  std::istringstream in(ReadFile(record_));
  for (std::string line; std::getline(in, line);) {
    ClientRecord record;
    for (const std::string& field : SplitTabs(line)) {
      const auto at = field.find('=');
      if (at != std::string::npos) record[field.substr(0, at)] = field.substr(at + 1);
    }
    if (UnderWine()) {
      // The Windows client's paths, as the tests know them; its search path
      // is split at the Windows separator only.
      for (const char* key : {"cwd", "exe"}) record[key] = UnixPath(record[key]);
      std::string path;
      std::istringstream entries(record["path"]);
      for (std::string entry; std::getline(entries, entry, ';');)
        path += (path.empty() ? "" : ":") + UnixPath(entry);
      record["path"] = path;
    }
    records.push_back(std::move(record));
  }
  return records;
}

std::vector<ClientRecord> StartProgramTest::WaitForClients(std::size_t n) {
  // A client writes its record as soon as its window is up; the start
  // program may already have ended by then.
  const auto deadline = Clock::now() + kWaitLimit;
  while (Clients().size() < n && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return Clients();
}

bool StartProgramTest::WaitForProgramsToEnd() {
  const std::string folder = home_.path().string() + "/";
  const auto deadline = Clock::now() + kWaitLimit;
  while (!ProgramsUnder(folder).empty()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::vector<std::string> StartProgramTest::Requests(
    const std::unique_ptr<testing_support::HttpServer>& server) const {
  std::vector<std::string> requests;
  if (!server) return requests;
  for (const auto& request : server->Requests())
    requests.push_back(request.method + " " + request.target);
  return requests;
}

std::vector<std::string> StartProgramTest::Paths(const std::vector<std::string>& requests) {
  std::vector<std::string> paths;
  for (const std::string& request : requests) {
    const auto space = request.find(' ');
    const std::string target = request.substr(space + 1);
    paths.push_back(target.substr(0, target.find('?')));
  }
  return paths;
}

}  // namespace e2e
