// POSIX backend of process start, wait and exit code.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/kernel.h"
#include "platform/posix/posix_io.h"

extern char** environ;

namespace kernel {

namespace {

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && MakeProgramRunnable(path);
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The absolute path of the program to start, or nothing with the last error
// set. A name with a folder part is taken as it is, relative to the caller's
// current folder; a bare name is searched for the way Windows does: the
// running program's folder, the current folder, then PATH.
std::optional<std::string> FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) {
    const std::string path =
        ResolveLetterCase(name[0] == '/' ? name : GetCurrentDirectory() + "/" + name);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      const int err = errno;
      SetLastError(err == ENOENT && stat(FolderOf(path).c_str(), &st) != 0 ? ERROR_PATH_NOT_FOUND
                                                                           : ErrorFromErrno(err));
      return std::nullopt;
    }
    if (!S_ISREG(st.st_mode) || !MakeProgramRunnable(path)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return std::nullopt;
    }
    return path;
  }
  std::vector<std::string> folders = {FolderOf(GetModuleFileName()), GetCurrentDirectory()};
  const char* searchPath = std::getenv("PATH");
  std::string list = searchPath ? searchPath : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) folders.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  for (const std::string& folder : folders) {
    if (folder.empty()) continue;
    const std::string candidate = (folder == "/" ? "" : folder) + "/" + name;
    if (IsExecutableFile(candidate)) return candidate;
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return std::nullopt;
}

std::uint32_t ExitCodeOf(int status) {
  if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128 + static_cast<std::uint32_t>(WTERMSIG(status));
  return 0;
}

// waitpid that retries on interruption; 0 while the child runs, -1 when it
// cannot be waited for (already reaped elsewhere).
pid_t Wait(pid_t pid, int& status, int flags) {
  pid_t result;
  do {
    result = waitpid(pid, &status, flags);
  } while (result < 0 && errno == EINTR);
  return result;
}

// A process nobody waits for is reaped by a small detached thread as soon as
// it ends, so it does not stay a zombie for the rest of our run.
void ReapInBackground(pid_t pid) {
  try {
    std::thread([pid] {
      int status;
      Wait(pid, status, 0);
    }).detach();
  } catch (...) {
    // No thread: the zombie stays until we end, which is harmless.
  }
}

// Lets go of a child: collected now when it has ended, else in the background.
void Abandon(pid_t pid, bool exited) {
  if (pid <= 0 || exited) return;
  int status;
  if (Wait(pid, status, WNOHANG) == 0) ReapInBackground(pid);
}

// Blocks until the child has ended or the time is up, without polling where
// the system offers a descriptor for the process.
void WaitUntilEnded(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  using std::chrono::steady_clock;
  auto remainingMs = [&] {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_clock::now());
    return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
  };
#ifdef SYS_pidfd_open
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) {
    pollfd entry{fd, POLLIN, 0};
    for (;;) {
      const int rc = poll(&entry, 1, remainingMs());
      if (rc < 0 && errno == EINTR) continue;
      if (rc != 0 || remainingMs() == 0) break;
    }
    close(fd);
    return;
  }
#endif
  // Older kernels: check at growing intervals.
  siginfo_t info;
  auto step = std::chrono::milliseconds(1);
  for (;;) {
    info.si_pid = 0;
    if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == pid) return;
    const int left = remainingMs();
    if (left == 0) return;
    const auto nap = std::min<std::chrono::milliseconds>(step, std::chrono::milliseconds(left));
    timespec ts{0, static_cast<long>(nap.count()) * 1000000};
    nanosleep(&ts, nullptr);
    step = std::min(step * 2, std::chrono::milliseconds(50));
  }
}

}  // namespace

bool MakeProgramRunnable(const std::string& path) {
  if (access(path.c_str(), X_OK) == 0) return true;
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return false;
  std::string extension = path.substr(dot);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  struct stat st;
  if (extension != ".exe" || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // Execute permission follows read permission, class by class.
  const mode_t mode = st.st_mode | ((st.st_mode & (S_IRUSR | S_IRGRP | S_IROTH)) >> 2);
  return chmod(path.c_str(), mode & 07777) == 0 && access(path.c_str(), X_OK) == 0;
}

Process::Process(Process&& other) noexcept
    : pid_(other.pid_), exited_(other.exited_), exitCode_(other.exitCode_) {
  other.pid_ = -1;
}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    Abandon(pid_, exited_);
    pid_ = other.pid_;
    exited_ = other.exited_;
    exitCode_ = other.exitCode_;
    other.pid_ = -1;
  }
  return *this;
}

Process::~Process() {
  Abandon(pid_, exited_);
}

std::optional<Process> CreateProcess(const std::string& commandLine, ShowWindow,
                                     const std::string& currentDirectory) {
  const std::size_t first = commandLine.find_first_not_of(" \t");
  if (first == std::string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return std::nullopt;
  }
  std::vector<std::string> args = SplitCommandLine(commandLine.substr(first));
  args[0] = NativePath(args[0]);
  const std::optional<std::string> program = FindProgram(args[0]);
  if (!program) return std::nullopt;

  std::string folder;
  if (!currentDirectory.empty()) {
    folder = ResolveLetterCase(currentDirectory);
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      SetLastError(ERROR_DIRECTORY);
      return std::nullopt;
    }
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    // Only the standard descriptors reach the child, as with Windows handles
    // that were not made inheritable. (Without closefrom the backends rely on
    // opening every descriptor close-on-exec.)
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif

  // A fresh process: default signal handling and nothing blocked, whatever
  // this one ignores or blocks.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t signals;
  sigfillset(&signals);
  sigdelset(&signals, SIGKILL);
  sigdelset(&signals, SIGSTOP);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  // The caller's environment, with the command line as given.
  const std::string prefix = std::string(posix_io::kCommandLineVariable) + "=";
  std::string given = prefix + commandLine.substr(first);
  std::vector<char*> envp;
  for (char** entry = environ; *entry; ++entry)
    if (std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0) envp.push_back(*entry);
  envp.push_back(given.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int rc =
      posix_spawn(&pid, program->c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    SetLastError(ErrorFromErrno(rc));
    return std::nullopt;
  }
  Process process;
  process.pid_ = pid;
  return process;
}

bool WaitForProcess(Process& process, std::optional<std::chrono::milliseconds> timeout) {
  if (!process.Valid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (process.exited_) return true;
  int flags = 0;
  if (timeout) {
    WaitUntilEnded(process.pid_, std::chrono::steady_clock::now() + *timeout);
    flags = WNOHANG;
  }
  int status = 0;
  const pid_t result = Wait(process.pid_, status, flags);
  if (result == 0) return false;  // still running
  process.exited_ = true;
  // Reaped by someone else (SIGCHLD ignored): it ended, its code is lost.
  process.exitCode_ = result == process.pid_ ? ExitCodeOf(status) : 0;
  return true;
}

std::optional<std::uint32_t> GetExitCodeProcess(const Process& process) {
  if (!process.Valid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return std::nullopt;
  }
  if (process.exited_) return process.exitCode_;
  // Looks without reaping: the object is const, and a later wait or the
  // destructor still has to collect the child.
  siginfo_t info{};
  if (waitid(P_PID, process.pid_, &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
      info.si_pid != process.pid_)
    return std::nullopt;
  if (info.si_code == CLD_EXITED) return static_cast<std::uint32_t>(info.si_status);
  return 128 + static_cast<std::uint32_t>(info.si_status);
}

int GetCurrentProcessId() {
  return static_cast<int>(getpid());
}

namespace {

// The start time of a process in clock ticks since boot (field 22 of
// /proc/<pid>/stat), nothing when the process is gone or has ended and
// only waits to be collected.
std::optional<unsigned long long> ProcessStartTime(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return std::nullopt;
  // The command name in parentheses may hold blanks and parentheses itself.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  // Field 3, the state, comes first; the start time is field 22.
  if (!(fields >> field) || field == "Z" || field == "X") return std::nullopt;
  for (int i = 4; i <= 22; ++i)
    if (!(fields >> field)) return std::nullopt;
  unsigned long long ticks = 0;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), ticks);
  if (error != std::errc() || end != field.data() + field.size()) return std::nullopt;
  return ticks;
}

// True while a process under that id runs that started no later than we did.
bool StillTheSameProcess(int pid, unsigned long long self) {
  const auto started = ProcessStartTime(std::to_string(pid));
  return started && *started <= self;
}

}  // namespace

void WaitForProcessId(int processId) {
  const auto self = ProcessStartTime("self");
  if (processId <= 0 || !self) return;
  // A descriptor of the process wakes us when it ends. Read the start time
  // after the descriptor is held: should the process end and its id be
  // reused in between, the time read is the newcomer's, and the ended
  // process is not waited for.
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, processId, 0));
  if (fd >= 0) {
    if (StillTheSameProcess(processId, *self)) {
      pollfd watch{fd, POLLIN, 0};
      while (poll(&watch, 1, -1) < 0 && errno == EINTR) {
      }
    }
    close(fd);
    return;
  }
  if (errno == ESRCH) return;
  // No descriptor to be had (an older kernel, a filter that forbids the
  // call): look again at growing intervals, never assume it ended.
  auto nap = std::chrono::milliseconds(1);
  while (StillTheSameProcess(processId, *self)) {
    std::this_thread::sleep_for(nap);
    nap = std::min(nap * 2, std::chrono::milliseconds(100));
  }
}

}  // namespace kernel
