// kupdate: the command-line front end of the update engine for publishers
// and administrators.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/cabinet.h"
#include "archive/crc32.h"
#include "platform/component.h"
#include "platform/kernel.h"
#include "platform/ui.h"
#include "update/paths.h"
#include "update/updater.h"

namespace {

int Usage() {
  std::fputs(
      "usage: kupdate checksum FILE...\n"
      "       kupdate extract CABINET FOLDER\n"
      "       kupdate fetch [--set Property=Value]... URL FOLDER\n"
      "       kupdate run [--dir FOLDER] [--yes] [--set Property=Value]... URL\n"
      "  checksum prints, per file: the path, size=, crc32=$ and bytesum=$ as a\n"
      "  control file states them, and version= (empty when the file has none).\n"
      "  extract unpacks every file of the cabinet into the folder, with the\n"
      "  sub-folders and times stored in the cabinet.\n"
      "  fetch downloads one file into the folder as an update run does, with a\n"
      "  component whose published properties the --set options give (values\n"
      "  written as in a stored form definition; text may leave out its quotes);\n"
      "  it prints every status report as [ID] message (Status:S) (Error:E) and\n"
      "  the progress on stderr. Exit status 0 when the file was fetched, else 1.\n"
      "  run performs one whole update run from the control file at URL, in\n"
      "  FOLDER (default: the current folder), which {APP} also names; --set as\n"
      "  for fetch. Reports and progress are printed as for fetch; questions are\n"
      "  answered Yes with --yes, else asked on the terminal (No without one).\n"
      "  Exit status 0 when the run succeeded, 1 when it installed nothing, 2\n"
      "  when any report carried an error code.\n",
      stderr);
  return 2;
}

// The values a publisher writes into a control file for each file.
int Checksum(const std::vector<std::string>& files) {
  int status = 0;
  for (const std::string& file : files) {
    auto size = kernel::GetFileSize(file);
    if (!size || !kernel::FileExists(file)) {
      std::fprintf(stderr, "kupdate: %s: %s\n", file.c_str(),
                   kernel::FormatMessage(kernel::GetLastError()).c_str());
      status = 1;
      continue;
    }
    TVersionPair version = GetFileVersion(file);
    std::printf("%s\tsize=%llu\tcrc32=$%08X\tbytesum=$%08X\tversion=%s\n", file.c_str(),
                static_cast<unsigned long long>(*size), static_cast<unsigned>(FileCRC32(file)),
                static_cast<unsigned>(FileByteSum(file)),
                version.IsNone() ? "" : VersionToString(version).c_str());
  }
  return status;
}

// Unpacks a cabinet the way an update run does.
int Extract(const std::string& cabinet, std::string folder) {
  if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') folder += '/';
  if (ExtractCabinet(cabinet, folder) != 0) {
    std::fprintf(stderr, "kupdate: %s: cannot extract the cabinet into %s\n", cabinet.c_str(),
                 folder.c_str());
    return 1;
  }
  return 0;
}

// A component that prints each status report with its identifier.
class PrintingUpdater : public TUpdater {
 public:
  PrintingUpdater() : TUpdater(nullptr) {
    OnStatus = [this](TUpdater*, const std::string& message, int status, int error) {
      std::printf("[%d] %s (Status:%d) (Error:%d)\n", id_, message.c_str(), status, error);
      std::fflush(stdout);
    };
    OnFileProgress = [this](TUpdater*, const std::string& file, int pos, int size) {
      // A line per block would flood the terminal: one per 256 KiB and the last.
      const unsigned position = static_cast<unsigned>(pos);
      const bool last = position == static_cast<unsigned>(size) && position != shown_;
      if (!first_ && !last && position - shown_ < (256u << 10)) return;
      first_ = false;
      shown_ = position;
      std::fprintf(stderr, "%s: %u of %u bytes\n", file.c_str(), position,
                   static_cast<unsigned>(size));
    };
  }
  void ReportStatus(int ID, const std::string& Arg, int StatusCode, int ErrCode) override {
    id_ = ID;
    TUpdater::ReportStatus(ID, Arg, StatusCode, ErrCode);
  }

 private:
  int id_ = 0;
  unsigned shown_ = 0;
  bool first_ = true;
};

// Applies one --set Property=Value; false (with a message) when it does not
// apply.
bool ApplySetting(TUpdater& updater, const std::string& setting) {
  const auto equals = setting.find('=');
  if (equals == std::string::npos || equals == 0) {
    std::fprintf(stderr, "kupdate: --set expects Property=Value, not '%s'\n", setting.c_str());
    return false;
  }
  const std::string name = setting.substr(0, equals);
  const std::string value = setting.substr(equals + 1);
  try {
    SetProperty(updater, name, value);
  } catch (const std::exception& error) {
    // Text may also be given without its quotes (Proxy=host:port).
    std::string quoted = "'";
    for (char c : value) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    quoted += '\'';
    try {
      SetProperty(updater, name, quoted);
    } catch (const std::exception&) {
      std::fprintf(stderr, "kupdate: --set %s: %s\n", setting.c_str(), error.what());
      return false;
    }
  }
  return true;
}

// One FetchFile, with the connection of a run around it.
int Fetch(const std::vector<std::string>& args) {
  PrintingUpdater updater;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--set") {
      positional.push_back(args[i]);
      continue;
    }
    if (!ApplySetting(updater, i + 1 < args.size() ? args[++i] : "")) return 2;
  }
  if (positional.size() != 2) return Usage();
  std::string folder = positional[1];
  if (IsDirectory(folder)) folder = AddBackslash(folder);

  bool fetched = false;
  try {
    if (updater.OpenConnection() == 0) {
      if (updater.UpdateType == ftpUpdate && updater.ConnectHost() != 0)
        updater.ReportInternetError();
      fetched = updater.FetchFile(updater.ConnectionHandle(), positional[0], folder);
    }
    updater.CloseConnection();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kupdate: %s\n", error.what());
    return 1;
  }
  return fetched ? 0 : 1;
}

// ---- run: one whole update run ------------------------------------------------------

// Answers the run's questions: Yes to all with --yes; otherwise on the
// terminal, and No when there is none.
class RunBackend : public ui::Backend {
 public:
  explicit RunBackend(bool yes) : yes_(yes), terminal_(ui::MakeHeadlessBackend()) {}

  int MessageBox(ui::Form* owner, const std::string& text, const std::string& caption,
                 unsigned type) override {
    const std::vector<int> buttons = ui::ButtonsOf(type);
    auto has = [&](int id) {
      return std::find(buttons.begin(), buttons.end(), id) != buttons.end();
    };
    if (!yes_ && ::isatty(STDIN_FILENO)) return terminal_->MessageBox(owner, text, caption, type);
    const int answer = yes_ ? (has(ui::IDYES) ? ui::IDYES : ui::DefaultButtonOf(type))
                            : (has(ui::IDNO)       ? ui::IDNO
                               : has(ui::IDCANCEL) ? ui::IDCANCEL
                                                   : ui::DefaultButtonOf(type));
    std::fprintf(stderr, "%s: %s -> %s\n", caption.c_str(), text.c_str(), ui::ButtonText(answer));
    return answer;
  }

  // The what's-new and licence windows: accepted with --yes or on the
  // terminal's Yes, refused otherwise.
  void BeginModal(ui::Form& form) override {
    bool accept = yes_;
    if (!yes_ && ::isatty(STDIN_FILENO)) {
      const ui::Control* text = form.Find("Text");
      accept = terminal_->MessageBox(&form, text ? text->caption : "", form.caption,
                                     ui::MB_YESNO | ui::MB_ICONQUESTION) == ui::IDYES;
    }
    std::fprintf(stderr, "%s (%s): %s\n", form.caption.c_str(), form.ClassName().c_str(),
                 accept ? "accepted" : "refused");
    if (!accept) {
      form.modalResult = ui::IDCANCEL;
      return;
    }
    if (ui::Control* radio = form.Find("Accept")) ui::Click(form, *radio);
    form.modalResult = ui::IDOK;
  }

 private:
  bool yes_;
  std::unique_ptr<ui::Backend> terminal_;
};

// A component whose {APP} is the folder of the run, and that notes what a
// run ended with.
class RunningUpdater : public PrintingUpdater {
 public:
  std::string folder;
  bool failed = false;
  bool succeeded = false;

  RunningUpdater() {
    OnSuccess = [this](TUpdater*) { succeeded = true; };
  }
  void ReportStatus(int ID, const std::string& Arg, int StatusCode, int ErrCode) override {
    if (ErrCode != 0) failed = true;
    PrintingUpdater::ReportStatus(ID, Arg, StatusCode, ErrCode);
  }
  std::string ExpandPrefixToken(const std::string& Token) override {
    return Token == "APP" ? PathForPrefix(folder) : TUpdater::ExpandPrefixToken(Token);
  }
  void Run() { ExecuteUpdate(false); }
};

int Run(const std::vector<std::string>& args) {
  RunningUpdater updater;
  std::string folder = ".";
  bool yes = false;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--set") {
      if (!ApplySetting(updater, i + 1 < args.size() ? args[++i] : "")) return 2;
    } else if (args[i] == "--dir" && i + 1 < args.size()) {
      folder = args[++i];
    } else if (args[i] == "--yes") {
      yes = true;
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 1) return Usage();
  if (!IsDirectory(folder) || !kernel::SetCurrentDirectory(folder)) {
    std::fprintf(stderr, "kupdate: %s is not a folder\n", folder.c_str());
    return 2;
  }
  updater.folder = AddBackslash(kernel::GetCurrentDirectory());
  updater.URL = positional[0];
  auto previous = ui::SetBackend(std::make_unique<RunBackend>(yes));
  try {
    updater.Run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kupdate: %s\n", error.what());
    updater.failed = true;
  }
  ui::SetBackend(std::move(previous));
  if (updater.failed) return 2;
  return updater.succeeded ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "checksum" && !args.empty()) return Checksum(args);
  if (command == "extract" && args.size() == 2) return Extract(args[0], args[1]);
  if (command == "fetch") return Fetch(args);
  if (command == "run") return Run(args);
  return Usage();
}
