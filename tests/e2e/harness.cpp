#include "e2e/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

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
    if (std::string(target, static_cast<std::size_t>(n)).rfind(folder, 0) == 0)
      pids.push_back(static_cast<pid_t>(pid));
  }
  closedir(proc);
  return pids;
}

}  // namespace

std::string BaseURL(int port) {
  return "http://127.0.0.1:" + std::to_string(port) + "/twkestrel/";
}

std::string StartProgram(const std::string& copy) {
  return std::string(KESTREL_E2E_DIR) + "/" + copy + "/KestrelStart.exe";
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
  if (!WaitForProgramsToEnd())
    for (pid_t pid : ProgramsUnder(home_.path().string() + "/")) kill(pid, SIGKILL);
}

void StartProgramTest::Publish(const std::vector<std::string>& arguments) {
  const std::string bin = KESTREL_BIN_DIR;
  std::string command = "/usr/bin/python3 " + Quote(std::string(KESTREL_DEMO_DIR) + "/publish.py") +
                        " " + Quote(www1_) + " " + BaseURL(kPrimaryPort) + " " + Quote(www2_) +
                        " " + BaseURL(kSecondaryPort) + " --client " + Quote(bin + "/Kestrel.exe") +
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
  std::vector<std::string> argvCopy = argv;
  for (std::string& arg : argvCopy) args.push_back(arg.data());
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
