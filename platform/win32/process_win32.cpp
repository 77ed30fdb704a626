// Windows backend of process start, wait and exit code: process handles.
#include "platform/win32/sdk.h"
// sdk.h first: it tames the SDK's macros before the platform headers.
#include <algorithm>
#include <cstring>
#include <utility>

namespace kernel {

namespace {

DWORD WaitMilliseconds(std::chrono::milliseconds timeout) {
  // INFINITE itself is not a time-out.
  return static_cast<DWORD>(std::clamp<std::int64_t>(timeout.count(), 0, INFINITE - 1));
}

std::string FolderOf(const std::string& path) {
  const std::size_t end = path.find_last_of("\\:");
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

// The full path of the program to start, or nothing with the last error
// set. A name with a folder part is taken relative to the caller's current
// folder; a bare name is looked for as Windows does: the running program's
// folder, the current folder, then PATH. Without an extension, ".exe".
std::optional<std::string> FindProgram(const std::string& name) {
  char found[MAX_PATH];
  char* part = nullptr;
  if (name.find_first_of("\\:") != std::string::npos) {
    DWORD n = ::GetFullPathNameA(name.c_str(), MAX_PATH, found, &part);
    if (n == 0 || n >= MAX_PATH) return std::nullopt;
    std::string path = found;
    if (::GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
        std::strchr(part ? part : found, '.') == nullptr &&
        ::GetFileAttributesA((path + ".exe").c_str()) != INVALID_FILE_ATTRIBUTES)
      path += ".exe";
    return path;
  }
  std::string folders = FolderOf(GetModuleFileName()) + ';' + GetCurrentDirectory();
  if (auto path = GetEnvironmentVariable("PATH")) folders += ';' + *path;
  const DWORD n = ::SearchPathA(folders.c_str(), name.c_str(), ".exe", MAX_PATH, found, &part);
  if (n == 0 || n >= MAX_PATH) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return std::nullopt;
  }
  return std::string(found);
}

}  // namespace

// Windows runs a file by its extension: nothing to grant.
bool MakeProgramRunnable(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(NativePath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), handle_(std::exchange(other.handle_, nullptr)) {}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    if (handle_) ::CloseHandle(handle_);
    pid_ = std::exchange(other.pid_, -1);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

// The process runs on; Windows keeps no zombies.
Process::~Process() {
  if (handle_) ::CloseHandle(handle_);
}

std::optional<Process> CreateProcess(const std::string& commandLine, ShowWindow show,
                                     const std::string& currentDirectory) {
  const std::size_t first = commandLine.find_first_not_of(" \t");
  if (first == std::string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return std::nullopt;
  }
  std::string given = commandLine.substr(first);
  const std::optional<std::string> program = FindProgram(NativePath(SplitCommandLine(given)[0]));
  if (!program) return std::nullopt;
  const std::string folder = NativePath(currentDirectory);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  if (show == ShowWindow::Hidden) {
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
  }
  PROCESS_INFORMATION started{};
  // The child gets the text as given, and no handles of ours.
  if (!::CreateProcessA(program->c_str(), given.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &started))
    return std::nullopt;
  ::CloseHandle(started.hThread);
  Process process;
  process.pid_ = static_cast<int>(started.dwProcessId);
  process.handle_ = started.hProcess;
  return process;
}

bool WaitForProcess(Process& process, std::optional<std::chrono::milliseconds> timeout) {
  if (!process.Valid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout.value_or(std::chrono::hours(0));
  for (;;) {
    const DWORD wait = timeout ? WaitMilliseconds(std::chrono::ceil<std::chrono::milliseconds>(
                                     deadline - std::chrono::steady_clock::now()))
                               : INFINITE;
    const DWORD result = ::WaitForSingleObject(process.handle_, wait);
    if (result == WAIT_OBJECT_0) return true;
    // A time-out beyond 49 days is waited for in parts.
    if (result != WAIT_TIMEOUT || std::chrono::steady_clock::now() >= deadline) return false;
  }
}

std::optional<std::uint32_t> GetExitCodeProcess(const Process& process) {
  if (!process.Valid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return std::nullopt;
  }
  // Asked of the handle's state, not the code: a program may end with the
  // code that means "still active".
  DWORD code = 0;
  if (::WaitForSingleObject(process.handle_, 0) != WAIT_OBJECT_0 ||
      !::GetExitCodeProcess(process.handle_, &code))
    return std::nullopt;
  return code;
}

int GetCurrentProcessId() {
  return static_cast<int>(::GetCurrentProcessId());
}

namespace {

std::optional<std::uint64_t> CreationTime(HANDLE process) {
  FILETIME created, exited, kernelTime, userTime;
  if (!::GetProcessTimes(process, &created, &exited, &kernelTime, &userTime)) return std::nullopt;
  return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

}  // namespace

void WaitForProcessId(int processId) {
  if (processId <= 0) return;
  // The open handle keeps the id from being reused, so the creation time
  // read through it is that of the process waited for.
  HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                 static_cast<DWORD>(processId));
  // A process of another user may let us wait but not look: wait then.
  if (!process) process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(processId));
  if (!process) return;
  const auto started = CreationTime(process);
  const auto self = CreationTime(::GetCurrentProcess());
  if (!started || !self || *started <= *self) ::WaitForSingleObject(process, INFINITE);
  ::CloseHandle(process);
}

}  // namespace kernel
