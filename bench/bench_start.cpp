// The start program's no-update start, from the process start of
// KestrelStart.exe to the start of the client, against the floor of the same
// work done by the shortest means: two "curl" fetches of the same two control
// files, one after the other, then the start of the same client. Both run
// against two loopback update servers, alternating in one run, after a first
// start that downloaded and unpacked the ten packages.
//
// A copy of the start program built with a public key, which checks both
// control files' signatures (fetching each one's ".minisig" too), runs in
// the same rounds from a folder of its own: the cost of the check is its
// time against the unsigned copy's.
//
// The client notes the monotonic clock as its first act, so all times end
// at the same point of the client's life.
//
// usage: bench_start [ROUNDS]   (default 20)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kPrimaryPort = KESTREL_BENCH_PRIMARY_PORT;
constexpr int kSecondaryPort = KESTREL_BENCH_SECONDARY_PORT;

std::string BaseURL(int port) {
  return "http://127.0.0.1:" + std::to_string(port) + "/twkestrel/";
}

long long Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

std::vector<std::string> Inherited() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  return env;
}

// The environment of the programs started: no display (the start program
// then draws nothing) and no proxy, plus the client's record.
std::vector<std::string> Environment(const std::string& record) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name.find("proxy") != std::string::npos ||
        name.find("PROXY") != std::string::npos)
      continue;
    env.push_back(entry);
  }
  env.push_back("KESTREL_CLIENT_RECORD=" + record);
  env.push_back("KESTREL_CLIENT_STAY=0");
  return env;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& folder = {}, int stdoutFd = -1) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (stdoutFd >= 0)
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  std::vector<std::string> a = argv, e = env;
  std::vector<char*> args, envp;
  for (std::string& s : a) args.push_back(s.data());
  args.push_back(nullptr);
  for (std::string& s : e) envp.push_back(s.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

// Waits for the process; its exit status, -1 when it did not exit normally.
int Wait(pid_t pid, rusage* usage = nullptr) {
  int status = 0;
  rusage ignored{};
  if (pid <= 0 || wait4(pid, &status, 0, usage ? usage : &ignored) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool StartServer(const std::string& root, const std::string& log, int port, pid_t& pid) {
  const std::string script = std::string(KESTREL_SOURCE_DIR) + "/tests/servers/http_server.py";
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  pid = Spawn({"/usr/bin/python3", script, root, log, "--port", std::to_string(port)}, Inherited(),
              {}, fds[1]);
  close(fds[1]);
  const std::string line = pid > 0 ? ReadFirstLine(fds[0]) : std::string();
  close(fds[0]);
  return pid > 0 && std::atoi(line.c_str()) == port;
}

// The "started" values of the client's record lines.
std::vector<long long> ClientStarts(const std::string& record) {
  std::vector<long long> starts;
  std::ifstream in(record);
  for (std::string line; std::getline(in, line);) {
    const auto at = line.find("\tstarted=");
    if (at != std::string::npos) starts.push_back(std::atoll(line.c_str() + at + 9));
  }
  return starts;
}

// The start time of the client record number n (0-based), waiting for it.
std::optional<long long> ClientStart(const std::string& record, std::size_t n) {
  for (int i = 0; i < 30000; ++i) {
    const auto starts = ClientStarts(record);
    if (starts.size() > n) return starts[n];
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  std::string folder = (fs::temp_directory_path() / "bench-start-XXXXXX").string();
  if (!mkdtemp(folder.data())) return 1;
  const std::string app = folder + "/app", signedApp = folder + "/signed",
                    record = folder + "/clients.txt";
  fs::create_directories(app);
  fs::create_directories(signedApp);
  const std::string bin = KESTREL_BIN_DIR;
  const std::string start = std::string(KESTREL_BENCH_START_DIR) + "/KestrelStart.exe";
  const std::string signedDir = KESTREL_BENCH_SIGNED_DIR;

  const std::string command =
      "/usr/bin/python3 '" + std::string(KESTREL_SOURCE_DIR) + "/demo/publish.py' '" + folder +
      "/www-primary' " + BaseURL(kPrimaryPort) + " '" + folder + "/www-secondary' " +
      BaseURL(kSecondaryPort) + " --client '" + bin + "/Kestrel.exe' --kupdate '" + bin +
      "/kupdate' --start-program '" + start + "' --sign '" + signedDir + "/bench.key'";
  bool ok = std::system(command.c_str()) == 0;
  pid_t primary = -1, secondary = -1;
  ok = ok && StartServer(folder + "/www-primary", folder + "/primary.log", kPrimaryPort, primary) &&
       StartServer(folder + "/www-secondary", folder + "/secondary.log", kSecondaryPort, secondary);
  if (!ok) {
    std::fprintf(stderr, "cannot publish or serve the packages on ports %d and %d\n", kPrimaryPort,
                 kSecondaryPort);
    return 1;
  }
  fs::copy_file(start, app + "/KestrelStart.exe");
  fs::copy_file(signedDir + "/KestrelStart.exe", signedApp + "/KestrelStart.exe");
  const std::vector<std::string> env = Environment(record);

  // The first starts download and unpack everything; they are not counted.
  std::size_t clients = 0;
  for (const std::string& dir : {app, signedApp})
    ok = ok && Wait(Spawn({dir + "/KestrelStart.exe"}, env, dir)) == 0 &&
         ClientStart(record, clients++);
  std::vector<double> starts, signedStarts, floors;
  long peakKiB = 0;
  // The seconds from the start of the program in the folder to the start
  // of the client; 0 when either failed.
  auto timedStart = [&](const std::string& dir) {
    const long long begun = Now();
    rusage usage{};
    ok = ok && Wait(Spawn({dir + "/KestrelStart.exe"}, env, dir), &usage) == 0;
    const auto client = ClientStart(record, clients++);
    ok = ok && client;
    peakKiB = std::max(peakKiB, usage.ru_maxrss);
    return ok ? (*client - begun) / 1e9 : 0;
  };
  for (int round = 0; round < rounds && ok; ++round) {
    const double startSeconds = timedStart(app);
    const double signedSeconds = timedStart(signedApp);

    const long long floorBegun = Now();
    for (const char* name : {"KestrelStart.txt?StartTick=1", "Kestrel.txt?KestrelTick=1"})
      ok = ok && Wait(Spawn({"curl", "-s", "-f", "-o", "/dev/null", BaseURL(kPrimaryPort) + name},
                            env)) == 0;
    ok = ok && Wait(Spawn({app + "/Kestrel.exe", "QUENTAVORBLISK"}, env, app)) == 0;
    const auto floorClient = ClientStart(record, clients++);
    ok = ok && floorClient;
    const double floorSeconds = ok ? (*floorClient - floorBegun) / 1e9 : 0;
    if (ok) {
      starts.push_back(startSeconds);
      signedStarts.push_back(signedSeconds);
      floors.push_back(floorSeconds);
      std::printf("round %d: KestrelStart.exe %.1f ms, signed %.1f ms, curl x2 + client %.1f ms\n",
                  round + 1, startSeconds * 1e3, signedSeconds * 1e3, floorSeconds * 1e3);
    }
  }
  // The start program ends right after starting the client; let the
  // clients end too before the folder goes.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  kill(primary, SIGTERM);
  kill(secondary, SIGTERM);
  Wait(primary);
  Wait(secondary);
  fs::remove_all(folder);
  if (!ok) {
    std::fprintf(stderr, "a start failed\n");
    return 1;
  }
  const double startMedian = Median(starts), signedMedian = Median(signedStarts),
               floorMedian = Median(floors);
  std::printf("median of %d rounds, start without update to client start:\n", rounds);
  std::printf("  KestrelStart.exe %.1f ms, floor (curl x2 + client) %.1f ms\n", startMedian * 1e3,
              floorMedian * 1e3);
  std::printf("  time ratio start / floor: %.2f (target: at most 1.5)\n",
              startMedian / floorMedian);
  std::printf("  with a key (both control files' signatures checked) %.1f ms\n",
              signedMedian * 1e3);
  std::printf("  time ratio signed / unsigned start: %.2f\n", signedMedian / startMedian);
  std::printf("  peak memory of KestrelStart.exe: %.1f MiB\n", peakKiB / 1024.0);
  return 0;
}
