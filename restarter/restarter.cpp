#include "restarter/restarter.h"

#include <algorithm>
#include <cctype>
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

namespace restarter {

namespace {

namespace fs = std::filesystem;

// ".INF" lists may name further lists; a list that names itself must not
// recurse without end.
constexpr int kMaxListDepth = 8;
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

// How long a replacement waits for a program that is still closing: on
// Windows its file stays locked (a sharing violation, or access denied while
// the image is still mapped) for a moment after the process has ended.
// About five seconds in all.
constexpr int kReplaceAttempts = 20;
constexpr auto kFirstReplacePause = std::chrono::milliseconds(50);
constexpr auto kLongestReplacePause = std::chrono::milliseconds(250);

bool StillInUse(std::uint32_t error) {
  return error == kernel::ERROR_SHARING_VIOLATION || error == kernel::ERROR_ACCESS_DENIED;
}

// The prefix tokens of list targets, scanned like the component's own.
std::string ExpandListTarget(const std::string& path) {
  return ExpandPrefixes(path, [](const std::string& token) {
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
    return PathForPrefix(folder);
  });
}

bool HasLZSignature(const std::string& path) {
  std::ifstream in(kernel::ResolveLetterCase(path), std::ios::binary);
  char magic[8] = {};
  in.read(magic, sizeof magic);
  static constexpr char kMagic[8] = {'S', 'Z', 'D', 'D', '\x88', '\xF0', '\x27', '\x33'};
  return in && std::equal(magic, magic + 8, kMagic);
}

}  // namespace

std::vector<std::string> SplitArguments(std::string_view commandLine) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (const char c : commandLine) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

void Restarter::Log(const std::string& text) const {
  std::ofstream out(kernel::ResolveLetterCase(logFile_), std::ios::app | std::ios::binary);
  out << FormatTime(kernel::GetLocalTime(), false) << " : [000] " << text << "\r\n";
}

void Restarter::Trace(const std::string& text) const {
  if (logging) Log(text);
}

void Restarter::Replace(const std::string& name, const std::string& temp,
                        const std::string& target) {
  const std::string base = name.substr(0, name.size() - 4);
  if (!kernel::FileExists(temp + base + "_new")) return;
  Trace("Upd copying file : " + temp + base + "_NEW to " + target + base);
  if (!CopyOver(temp + base + "_NEW", target + base))
    Trace("Upd copy error " + temp + base + "_NEW to " + target + base);
}

// Copies a file over another through a temporary file beside the target, so
// that the target is either the old or the new file, never half of one. A
// replaced program keeps its permissions; a new one gets the source's.
// A target still held by a program that is closing is tried again, a
// bounded number of times.
bool Restarter::CopyOver(const std::string& from, const std::string& to) const {
  const fs::path source = kernel::ResolveLetterCase(from);
  std::error_code ec;
  const std::string partial = to + ".upd-partial";
  const fs::path partialPath = kernel::ResolveLetterCase(partial);
  if (!fs::copy_file(source, partialPath, fs::copy_options::overwrite_existing, ec)) {
    fs::remove(partialPath, ec);
    return false;
  }
  auto perms = fs::status(kernel::ResolveLetterCase(to), ec).permissions();
  if (ec) perms = fs::status(source, ec).permissions();
  if (!ec) fs::permissions(partialPath, perms, ec);
  auto pause = kFirstReplacePause;
  for (int attempt = 1;; ++attempt) {
    if (kernel::MoveFile(partial, to)) return true;
    const std::uint32_t error = kernel::GetLastError();
    if (!StillInUse(error) || attempt == kReplaceAttempts) break;
    Trace("Upd target in use, retrying : " + to + " (" + kernel::FormatMessage(error) + ")");
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, kLongestReplacePause);
  }
  fs::remove(partialPath, ec);
  return false;
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
    ProcessFile(file, temp, ExpandListTarget(dest), depth + 1);
  }
}

void Restarter::Patch(const std::string& name, const std::string& temp, const std::string& target) {
  Trace("Upd patch " + name + " " + target);
  // A listed patch the run did not fetch (the local file was not its base,
  // so the whole file came instead) has nothing to apply.
  if (!kernel::FileExists(temp + name)) {
    Trace("Upd patch failed " + temp + name);
    return;
  }
  // The patcher is looked for beside the components, where the run writes
  // it, then in the current folder.
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
  kernel::MakeProgramRunnable(program);
  auto process = kernel::CreateProcess(kernel::QuoteArgument(program));
  if (!process) {
    Trace("Upd execute failed " + program);
    return;
  }
  kernel::WaitForProcess(*process);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kernel::DeleteFile(program);
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

int Run(const std::vector<std::string>& words) {
  std::vector<std::string> args(words.begin() + (words.empty() ? 0 : 1), words.end());
  if (args.empty()) return 0;
  const auto pid = ParseInteger(args[0]);
  if (!pid) return 0;
  while (args.size() < 5) args.emplace_back();

  const kernel::SystemTime before = kernel::GetLocalTime();
  kernel::WaitForProcessId(*pid);
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

  for (size_t i = 5; i < args.size(); ++i) restarter.ProcessFile(args[i], temp, target, 0);

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

}  // namespace restarter
