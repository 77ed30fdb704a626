// upsetup.exe: finishes an update after the updated program has ended.
//
//   upsetup <pid> <L|X> <program|null> <parameters> <temporary folder> <component>...
//
// It waits for the process <pid> to end, installs each component from the
// temporary folder into the current folder (the updated program's folder),
// appends its progress to the log named in UPDATER.INI and starts the
// program again. It has no window and runs with the rights of the user who
// started it.
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "archive/cabinet.h"
#include "platform/kernel.h"
#include "platform/lz.h"
#include "platform/profile.h"
#include "platform/shell.h"
#include "update/paths.h"

namespace {

namespace fs = std::filesystem;

// ".INF" lists may name further lists; a list that names itself must not
// recurse without end.
constexpr int kMaxListDepth = 8;
// A folder whose name holds braces could otherwise expand without end.
constexpr int kMaxExpansions = 64;
// The profile reader of the original took each value into a buffer of 129
// characters.
constexpr size_t kMaxListValue = 128;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string TwoDigits(int value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%02d", value);
  return buffer;
}

std::string FormatTime(const kernel::SystemTime& t, bool milliseconds) {
  std::string text = TwoDigits(t.day) + "/" + TwoDigits(t.month) + "/" + std::to_string(t.year) +
                     " " + TwoDigits(t.hour) + ":" + TwoDigits(t.minute) + ":" +
                     TwoDigits(t.second);
  if (milliseconds) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, ":%03d", t.milliseconds);
    text += buffer;
  }
  return text;
}

class Restarter {
 public:
  explicit Restarter(std::string logFile) : logFile_(std::move(logFile)) {}

  bool logging = false;

  // Appends one line; the file is opened and closed for every line so that
  // the lines interleave with those of any other writer.
  void Log(const std::string& text) const {
    std::ofstream out(kernel::NativePath(logFile_), std::ios::app | std::ios::binary);
    out << FormatTime(kernel::GetLocalTime(), false) << " : [000] " << text << "\r\n";
  }
  void Trace(const std::string& text) const {
    if (logging) Log(text);
  }

  void ProcessFile(const std::string& name, const std::string& temp, const std::string& target,
                   int depth);

 private:
  void Replace(const std::string& name, const std::string& temp, const std::string& target);
  void ProcessList(const std::string& name, const std::string& temp, int depth);
  void Patch(const std::string& name, const std::string& temp, const std::string& target);
  void Extract(const std::string& name, const std::string& temp, const std::string& target);
  void Execute(const std::string& name, const std::string& temp, const std::string& target);
  void Expand(const std::string& name, const std::string& target);

  std::string logFile_;
};

// Copies a file over another through a temporary file beside the target, so
// that the target is either the old or the new file, never half of one. A
// replaced program keeps its permissions; a new one gets the source's.
bool CopyOver(const std::string& from, const std::string& to) {
  const fs::path source = kernel::NativePath(from);
  const fs::path dest = kernel::NativePath(to);
  std::error_code ec;
  fs::path partial = dest;
  partial += ".upd-partial";
  if (!fs::copy_file(source, partial, fs::copy_options::overwrite_existing, ec)) {
    fs::remove(partial, ec);
    return false;
  }
  auto perms = fs::status(dest, ec).permissions();
  if (ec) perms = fs::status(source, ec).permissions();
  if (!ec) fs::permissions(partial, perms, ec);
  fs::rename(partial, dest, ec);
  if (ec) {
    fs::remove(partial, ec);
    return false;
  }
  return true;
}

void Restarter::Replace(const std::string& name, const std::string& temp,
                        const std::string& target) {
  const std::string base = name.substr(0, name.size() - 4);
  // Windows finds base + "_new" in any letter case; here the component
  // keeps the name it was downloaded under.
  const std::string source = temp + name;
  if (!kernel::FileExists(source)) return;
  Trace("Upd copying file : " + temp + base + "_NEW to " + target + base);
  if (!CopyOver(source, target + base))
    Trace("Upd copy error " + temp + base + "_NEW to " + target + base);
}

// The prefix tokens of list targets, scanned like the component's own.
std::string ExpandListTarget(std::string path) {
  size_t scan = 0;
  for (int expansions = 0; expansions < kMaxExpansions; ++expansions) {
    size_t open = path.find('{', scan);
    if (open == std::string::npos) break;
    size_t close = path.find('}', open + 1);
    if (close == std::string::npos) break;
    const std::string token = Upper(path.substr(open + 1, close - open - 1));
    std::string folder;
    if (token == "WIN")
      folder = shell::GetSpecialFolder(shell::SpecialFolder::Windows);
    else if (token == "APP")
      folder = kernel::GetCurrentDirectory();
    else if (token == "SYS")
      folder = shell::GetSpecialFolder(shell::SpecialFolder::System);
    else if (token == "TMP")
      folder = kernel::GetTempPath();
    else if (token == "PF")
      folder = GetProgramFilesDir();
    path.replace(open, close - open + 1, PathForPrefix(folder));
    scan = open;
  }
  return path;
}

void Restarter::ProcessList(const std::string& name, const std::string& temp, int depth) {
  Trace("Upd inf file: " + temp + name);
  if (depth >= kMaxListDepth) {
    Trace("Upd inf nested too deeply: " + temp + name);
    return;
  }
  const std::string list = temp + name;
  // Entries past the last numbered key are empty and do nothing, so a
  // count far above the entries (a damaged list) ends there.
  int last = 0;
  for (const std::string& key : profile::GetPrivateProfileKeys("FILES", list)) {
    const std::string upper = Upper(key);
    const size_t digits = upper.starts_with("FILE") ? 4 : upper.starts_with("TARGET") ? 6 : 0;
    if (digits == 0) continue;
    if (auto index = ParseDecimal(upper.substr(digits)); index && *index > last) last = *index;
  }
  const int count = std::min(profile::GetPrivateProfileInt("FILES", "COUNT", 0, list), last);
  for (int i = 1; i <= count; ++i) {
    std::string file =
        profile::GetPrivateProfileString("FILES", "FILE" + std::to_string(i), "", list);
    std::string dest =
        profile::GetPrivateProfileString("FILES", "TARGET" + std::to_string(i), "", list);
    file.resize(std::min(file.size(), kMaxListValue));
    dest.resize(std::min(dest.size(), kMaxListValue));
    Trace("upd inf " + std::to_string(i) + " : " + file + " " + dest);
    if (!file.empty()) ProcessFile(file, temp, ExpandListTarget(dest), depth + 1);
  }
}

void Restarter::Patch(const std::string& name, const std::string& temp, const std::string& target) {
  Trace("Upd patch " + name + " " + target);
  // The patcher is looked for beside the components, then in the current
  // folder; this system carries none of its own.
  std::string patcher = temp + "patcher.exe";
  if (!kernel::FileExists(patcher)) patcher = "patcher.exe";
  const std::string stem = name.substr(0, name.rfind('.'));
  std::string command = kernel::QuoteArgument(patcher) + (logging ? " -v " : " ") +
                        kernel::QuoteArgument(temp + name) + " " +
                        kernel::QuoteArgument(target + stem);
  auto process = kernel::FileExists(patcher) ? kernel::CreateProcess(command) : std::nullopt;
  if (!process) {
    // Without a patcher the patch is kept for a later attempt.
    Trace("Upd patch failed " + temp + name);
    return;
  }
  kernel::WaitForProcess(*process);
  kernel::DeleteFile(temp + name);
}

void Restarter::Extract(const std::string& name, const std::string& temp,
                        const std::string& target) {
  Trace("Upd cab extract " + name + " " + target);
  if (ExtractCabinet(temp + name, target) == -1) {
    Trace("Upd cabextract failed");
    return;
  }
  kernel::DeleteFile(temp + name);
}

void Restarter::Execute(const std::string& name, const std::string& temp,
                        const std::string& target) {
  Trace("Upd execute " + name + " " + target);
  const std::string program = temp + name;
  // A download carries no execute permission; the component names the file
  // as a program to run.
  std::error_code ec;
  fs::permissions(kernel::NativePath(program), fs::perms::owner_exec | fs::perms::group_exec,
                  fs::perm_options::add, ec);
  auto process = kernel::CreateProcess(kernel::QuoteArgument(program));
  if (!process) {
    Trace("Upd execute failed " + program);
    return;
  }
  kernel::WaitForProcess(*process);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kernel::DeleteFile(program);
}

bool HasLZSignature(const std::string& path) {
  std::ifstream in(kernel::NativePath(path), std::ios::binary);
  char magic[8] = {};
  in.read(magic, sizeof magic);
  static constexpr char kMagic[8] = {'S', 'Z', 'D', 'D', '\x88', '\xF0', '\x27', '\x33'};
  return in && std::equal(magic, magic + 8, kMagic);
}

void Restarter::Expand(const std::string& name, const std::string& target) {
  Trace("Upd lzexpand " + name + " " + target);
  // The expansion library copies a plain file unchanged; such a file is no
  // compressed component and stays as it is.
  if (!HasLZSignature(name)) return;
  lz::Handle source = lz::LZOpenFile(name, lz::OpenMode::Read);
  if (source < 0) return;
  std::string expanded;
  if (lz::GetExpandedName(name, expanded) == 1 &&
      kernel::NativePath(expanded) != kernel::NativePath(name)) {
    Trace("Upd lzexpand dest. filename " + expanded);
    lz::Handle dest = lz::LZOpenFile(expanded, lz::OpenMode::Create);
    if (dest >= 0) {
      const long copied = lz::LZCopy(source, dest);
      lz::LZClose(dest);
      if (copied < 0) {
        Trace("Upd lzexpand failed " + name);
      } else if (!target.empty()) {
        kernel::MoveFile(expanded, target + ExtractFileName(expanded));
      }
    }
  }
  lz::LZClose(source);
}

void Restarter::ProcessFile(const std::string& name, const std::string& temp,
                            const std::string& target, int depth) {
  const std::string upper = Upper(name);
  if (upper.size() >= 4 && upper.find("_NEW") == upper.size() - 4) {
    Replace(name, temp, target);
    return;
  }
  const size_t dot = upper.rfind('.');
  const size_t slash = upper.find_last_of("\\/");
  const std::string extension =
      dot == std::string::npos || (slash != std::string::npos && slash > dot) ? ""
                                                                              : upper.substr(dot);
  if (extension == ".INF")
    ProcessList(name, temp, depth);
  else if (extension == ".PAT")
    Patch(name, temp, target);
  else if (extension == ".CAB")
    Extract(name, temp, target);
  else if (extension == ".EXE")
    Execute(name, temp, target);
  else
    Expand(name, target);
}

// The start time of a process in clock ticks since boot (field 22 of
// /proc/<pid>/stat), nothing when the process is gone.
std::optional<unsigned long long> ProcessStartTime(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return std::nullopt;
  // The command name in parentheses may hold blanks and parentheses itself.
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::vector<std::string> fields;
  size_t at = close + 1;
  while (at < stat.size()) {
    while (at < stat.size() && stat[at] == ' ') ++at;
    size_t end = stat.find(' ', at);
    if (end == std::string::npos) end = stat.size();
    if (end > at) fields.push_back(stat.substr(at, end - at));
    at = end;
  }
  // fields[0] is field 3 (the state); the start time is field 22.
  if (fields.size() < 20) return std::nullopt;
  try {
    return std::stoull(fields[19]);
  } catch (...) {
    return std::nullopt;
  }
}

// Waits for the updated program to end. The program is not our child (it
// started us), so its end is watched through a process descriptor. A
// process id is only a number: when the updated program ended before we
// looked, the number may already belong to another process. The updated
// program started before us, so a process with that id that started after
// us is a different one and is not waited for.
void WaitForUpdatedProgram(int pid) {
  if (pid <= 0) return;
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return;  // already gone
  // Read after the descriptor is held: should the process end and its id be
  // reused in between, the start time read is the newcomer's, which is
  // later than ours, and the (ended) process is not waited for.
  const auto started = ProcessStartTime(std::to_string(pid));
  const auto self = ProcessStartTime("self");
  if (started && self && *started <= *self) {
    pollfd watch{fd, POLLIN, 0};
    while (poll(&watch, 1, -1) < 0 && errno == EINTR) {
    }
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return 0;
  const auto pid = ParseDecimal(args[0]);
  if (!pid) return 0;
  while (args.size() < 5) args.emplace_back();

  const kernel::SystemTime before = kernel::GetLocalTime();
  WaitForUpdatedProgram(*pid);
  const kernel::SystemTime after = kernel::GetLocalTime();

  const std::string documents = AddBackslash(GetPersonalFolder());
  const std::string settings = documents + "UPDATER.INI";
  std::string logFile =
      profile::GetPrivateProfileString("CONFIG", "LOGFILENAME", "UPDATER.LOG", settings);
  if (kernel::FileExists(settings)) kernel::DeleteFile(settings);
  if (logFile.find_first_of("\\/:") == std::string::npos) logFile = documents + logFile;

  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  Restarter restarter(logFile);
  restarter.logging = args[1] == "L";
  const std::string temp = AddBackslash(args[4]);
  const std::string target = AddBackslash(kernel::GetCurrentDirectory());
  restarter.Trace("UPD v2.0.4.0 started");
  restarter.Trace("UPD current directory: " + kernel::GetCurrentDirectory());
  restarter.Trace("UPD waited from " + FormatTime(before, true) + " to " + FormatTime(after, true) +
                  " for application close");

  for (size_t i = 5; i < args.size(); ++i)
    if (!args[i].empty()) restarter.ProcessFile(args[i], temp, target, 0);

  const std::string& program = args[2];
  const std::string& parameters = args[3];
  if (program != "null") {
    restarter.Trace("UPD restart " + program + " " + parameters);
    // The program path is quoted so that a folder with a blank still names
    // one program; the parameters are passed on as the text they are.
    std::string command = kernel::QuoteArgument(program);
    if (parameters != " ") command += " " + parameters;
    kernel::CreateProcess(command, kernel::ShowWindow::Normal);
    restarter.Log("UPD has EXE restarted");
  }
  return 0;
}
