// kupdate: the command-line front end of the update engine for publishers
// and administrators.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive/cabinet.h"
#include "archive/crc32.h"
#include "platform/component.h"
#include "platform/kernel.h"
#include "platform/ui.h"
#include "tools/publisher.h"
#include "update/minisign.h"
#include "update/paths.h"
#include "update/updater.h"

namespace {

// ---- The command line ---------------------------------------------------------------------

struct Option {
  const char* name;
  const char* value;  // what the value is called; nullptr for a switch
  const char* help;
};

// What one subcommand was given: its options in order, then its arguments.
struct Given {
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::string> args;
  bool Has(const std::string& name) const {
    return std::any_of(options.begin(), options.end(),
                       [&](const auto& option) { return option.first == name; });
  }
};

struct Command {
  const char* name;
  const char* synopsis;
  const char* help;
  std::vector<Option> options;
  std::size_t minArgs, maxArgs;
  int (*run)(const Given&);
};

const std::vector<Command>& Commands();

const Command* FindCommand(const std::string& name) {
  for (const Command& command : Commands())
    if (name == command.name) return &command;
  return nullptr;
}

void PrintCommandHelp(const Command& command) {
  std::printf("usage: kupdate %s %s\n\n%s", command.name, command.synopsis, command.help);
  if (command.options.empty()) return;
  std::printf("\noptions:\n");
  for (const Option& option : command.options) {
    const std::string left =
        std::string(option.name) + (option.value ? std::string(" ") + option.value : "");
    std::printf("  %-24s %s\n", left.c_str(), option.help);
  }
}

constexpr const char* kExitStatus =
    "exit status of run: 0 every selected file was installed, 1 nothing new,\n"
    "2 a usage or setup error, 3 the update failed or was declined (the files\n"
    "not installed are named on stderr). checksum, extract and fetch: 0 done,\n"
    "1 failed, 2 a usage error.\n";

void PrintHelp(std::FILE* out) {
  std::fprintf(out, "usage: kupdate COMMAND [OPTION]... [ARGUMENT]...\n\n");
  for (const Command& command : Commands())
    std::fprintf(out, "  kupdate %s %s\n", command.name, command.synopsis);
  std::fprintf(out,
               "\n'kupdate help COMMAND' or 'kupdate COMMAND --help' tells more.\n"
               "'kupdate --version' prints the version.\n\n%s",
               kExitStatus);
}

// A usage error: said on stderr with the command's usage (when it is
// known) and where to read more; status 2.
int UsageError(const Command* command, const std::string& what) {
  if (!command) {
    std::fprintf(stderr, "kupdate: %s\nTry 'kupdate help'.\n", what.c_str());
    return 2;
  }
  std::fprintf(stderr, "kupdate %s: %s\nusage: kupdate %s %s\nTry 'kupdate help %s'.\n",
               command->name, what.c_str(), command->name, command->synopsis, command->name);
  return 2;
}

// Options may stand anywhere among the arguments, as "--name value" or
// "--name=value"; "--" ends them. Nothing when the command line is wrong
// (said on stderr) or help was asked for (printed on stdout); status then
// holds the exit status.
std::optional<Given> Parse(const Command& command, const std::vector<std::string>& words,
                           int& status) {
  Given given;
  bool optionsEnd = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (optionsEnd || word.size() < 2 || word[0] != '-') {
      given.args.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnd = true;
      continue;
    }
    if (word == "--help" || word == "-h") {
      PrintCommandHelp(command);
      status = 0;
      return std::nullopt;
    }
    const auto equals = word.find('=');
    const std::string name = word.substr(0, equals);
    const auto option = std::find_if(command.options.begin(), command.options.end(),
                                     [&](const Option& o) { return name == o.name; });
    if (option == command.options.end()) {
      status = UsageError(&command, "unknown option '" + name + "'");
      return std::nullopt;
    }
    std::string value;
    if (!option->value) {
      if (equals != std::string::npos) {
        status = UsageError(&command, "option '" + name + "' takes no value");
        return std::nullopt;
      }
    } else if (equals != std::string::npos) {
      value = word.substr(equals + 1);
    } else if (i + 1 < words.size()) {
      value = words[++i];
    } else {
      status = UsageError(&command, "option '" + name + "' needs a value (" + option->value + ")");
      return std::nullopt;
    }
    given.options.emplace_back(name, value);
  }
  if (given.args.size() < command.minArgs || given.args.size() > command.maxArgs) {
    status = UsageError(&command,
                        given.args.size() < command.minArgs
                            ? std::string("missing arguments")
                            : "too many arguments, from '" + given.args[command.maxArgs] + "' on");
    return std::nullopt;
  }
  return given;
}

// ---- checksum, extract ------------------------------------------------------------------

// What is wrong with a file that was to be read, in plain words.
std::string WhyNotAFile(const std::string& path) {
  if (IsDirectory(path)) return "is a folder, not a file";
  if (!kernel::FileExists(path)) return "no such file";
  return "cannot be read: " + kernel::FormatMessage(kernel::GetLastError());
}

// The values a publisher writes into a control file for each file.
int Checksum(const Given& given) {
  int status = 0;
  for (const std::string& file : given.args) {
    auto size = kernel::GetFileSize(file);
    if (!size || !kernel::FileExists(file)) {
      std::fprintf(stderr, "kupdate: %s: %s\n", file.c_str(), WhyNotAFile(file).c_str());
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
int Extract(const Given& given) {
  const std::string& cabinet = given.args[0];
  const std::string folder = AddBackslash(given.args[1]);
  if (ExtractCabinet(cabinet, folder) != 0) {
    const std::uint32_t error = kernel::GetLastError();
    std::fprintf(stderr, "kupdate: %s: %s\n", cabinet.c_str(),
                 archive::WhyNotExtracted(cabinet, folder, error).c_str());
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

// Applies the --set options in their order; false (said) when one does not
// apply.
bool ApplySettings(TUpdater& updater, const Given& given) {
  for (const auto& [name, value] : given.options)
    if (name == "--set" && !ApplySetting(updater, value)) return false;
  return true;
}

// The folder a command writes into, made when missing; nothing (said) when
// it is no folder and cannot be made one.
std::optional<std::string> WritableFolder(const std::string& folder) {
  if (kernel::FileExists(folder) && !IsDirectory(folder)) {
    std::fprintf(stderr, "kupdate: %s: is a file, not a folder\n", folder.c_str());
    return std::nullopt;
  }
  if (!TUpdater::ForceDirectory(folder) || !IsDirectory(folder)) {
    std::fprintf(stderr, "kupdate: %s: cannot create the folder: %s\n", folder.c_str(),
                 kernel::FormatMessage(kernel::GetLastError()).c_str());
    return std::nullopt;
  }
  return AddBackslash(folder);
}

// One FetchFile, with the connection of a run around it.
int Fetch(const Given& given) {
  PrintingUpdater updater;
  if (!ApplySettings(updater, given)) return 2;
  const std::string& url = given.args[0];
  const auto folder = WritableFolder(given.args[1]);
  if (!folder) return 1;

  bool fetched = false;
  try {
    if (updater.OpenConnection() == 0) {
      if (updater.UpdateType == ftpUpdate && updater.ConnectHost() != 0)
        updater.ReportInternetError();
      fetched = updater.FetchFile(updater.ConnectionHandle(), url, *folder);
    }
    updater.CloseConnection();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kupdate: %s\n", error.what());
    return 1;
  }
  if (fetched) return 0;
  std::fprintf(stderr, "kupdate: %s: not fetched: %s\n", url.c_str(),
               updater.FetchError().empty() ? "the Internet library cannot be opened"
                                            : updater.FetchError().c_str());
  return 1;
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
    if (!yes_ && kernel::StandardInputIsTerminal())
      return terminal_->MessageBox(owner, text, caption, type);
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
    if (!yes_ && kernel::StandardInputIsTerminal()) {
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

// A component whose {APP} is the folder of the run.
class RunningUpdater : public PrintingUpdater {
 public:
  std::string folder;

  // Unless --set decided it: a control file with patches has them applied.
  // Set for every run, ApplyPatch would also leave the patcher in the
  // folder after runs that have no patch to apply.
  bool patchesDecided = false;

  std::string ExpandPrefixToken(const std::string& Token) override {
    return Token == "APP" ? PathForPrefix(folder) : TUpdater::ExpandPrefixToken(Token);
  }
  int ReadFileList() override {
    const int count = TUpdater::ReadFileList();
    if (!patchesDecided) ApplyPatch = FileList.HasPatches();
    return count;
  }
  void Run() { ExecuteUpdate(false); }
};

// Names on stderr what the run did not install, and why.
void SayWhatFailed(RunningUpdater& updater) {
  bool named = false;
  for (int i = 0; i < updater.FileList.Count(); ++i) {
    const TFileDescription& entry = updater.FileList.Items(i);
    if (entry.Failure.empty()) continue;
    std::fprintf(stderr, "kupdate: %s: %s\n", entry.URL.c_str(), entry.Failure.c_str());
    named = true;
  }
  if (named) return;
  if (updater.UpdateResult() == urDeclined)
    std::fprintf(stderr, "kupdate: the update was declined; nothing was installed\n");
  else if (!updater.FetchError().empty())
    std::fprintf(stderr, "kupdate: %s: %s\n", updater.URL.c_str(), updater.FetchError().c_str());
  else
    std::fprintf(stderr, "kupdate: the update from %s failed\n", updater.URL.c_str());
}

int Run(const Given& given) {
  // The patcher runs without a window of its own or a wait window.
  TUpdaterUtility utility(nullptr);
  RunningUpdater updater;
  updater.SetUtility(&utility);
  // What the control file asks goes into its target folders: downloads go
  // there directly (a cabinet fetched into the temporary folder would stay
  // there), and compressed files are expanded and cabinets unpacked.
  updater.UseWinTempDir = false;
  updater.ExtractCAB = true;
  // Checksums are CRC-32, as kupdate checksum and publish state them, and
  // a file missing from the folder is installed whatever test it has.
  updater.UseCRC32 = true;
  updater.VersionCheck = vcAlways;
  if (!ApplySettings(updater, given)) return 2;
  for (const auto& [name, value] : given.options)
    if (name == "--set" && value.starts_with("ApplyPatch=")) updater.patchesDecided = true;
  std::string folder = ".";
  for (const auto& [name, value] : given.options)
    if (name == "--dir") folder = value;
  if (!IsDirectory(folder)) {
    std::fprintf(stderr, "kupdate: %s: %s\n", folder.c_str(),
                 kernel::FileExists(folder) ? "is a file, not a folder" : "no such folder");
    return 2;
  }
  if (!kernel::SetCurrentDirectory(folder)) {
    std::fprintf(stderr, "kupdate: %s: cannot work in this folder: %s\n", folder.c_str(),
                 kernel::FormatMessage(kernel::GetLastError()).c_str());
    return 2;
  }
  updater.folder = AddBackslash(kernel::GetCurrentDirectory());
  updater.URL = given.args[0];
  auto previous = ui::SetBackend(std::make_unique<RunBackend>(given.Has("--yes")));
  try {
    updater.Run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kupdate: %s\n", error.what());
  }
  ui::SetBackend(std::move(previous));
  switch (updater.UpdateResult()) {
    case urInstalled:
      return 0;
    case urNothingNew:
      return 1;
    default:
      SayWhatFailed(updater);
      return 3;
  }
}

// The whole of a small text file, or nothing with the reason said.
std::optional<std::string> ReadText(const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  std::string text;
  char block[4096];
  if (file)
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, file.get())) > 0;)
      text.append(block, n);
  if (!file || std::ferror(file.get())) {
    std::fprintf(stderr, "kupdate: %s: cannot read it\n", path.c_str());
    return std::nullopt;
  }
  return text;
}

int Verify(const Given& given) {
  const std::string& file = given.args[0];
  const auto keyText = ReadText(given.args[1]);
  const auto signatureText = ReadText(file + ".minisig");
  if (!keyText || !signatureText) return 2;
  std::string why;
  const auto key = minisign::ParsePublicKey(*keyText, &why);
  if (!key) {
    std::fprintf(stderr, "kupdate: %s: %s\n", given.args[1].c_str(), why.c_str());
    return 2;
  }
  const minisign::Verdict verdict = minisign::VerifyFile(file, *signatureText, *key);
  if (!verdict.valid) {
    std::fprintf(stderr, "kupdate: %s: %s\n", file.c_str(), verdict.reason.c_str());
    return 1;
  }
  std::printf("%s\n", verdict.trustedComment.c_str());
  return 0;
}

// The value of an option given last; empty when it was not given.
std::string OptionValue(const Given& given, const std::string& name) {
  std::string value;
  for (const auto& [option, given_value] : given.options)
    if (option == name) value = given_value;
  return value;
}

// The password named by --password-env; false (said) when the variable is
// named but holds none.
bool Password(const Given& given, std::optional<std::string>& password) {
  const std::string variable = OptionValue(given, "--password-env");
  if (variable.empty()) return true;
  password = kernel::GetEnvironmentVariable(variable);
  if (password && !password->empty()) return true;
  std::fprintf(stderr, "kupdate: --password-env: %s holds no password\n", variable.c_str());
  return false;
}

int Keygen(const Given& given) {
  std::optional<std::string> password;
  if (!Password(given, password)) return 2;
  return publisher::Keygen(given.args[0], given.args[1], password);
}

int Publish(const Given& given) {
  publisher::PublishOptions options{given.args[0],
                                    given.args[1],
                                    given.args[2],
                                    OptionValue(given, "--secret-key"),
                                    std::nullopt,
                                    OptionValue(given, "--check"),
                                    OptionValue(given, "--app"),
                                    OptionValue(given, "--previous")};
  if (!Password(given, options.password)) return 2;
  try {
    return publisher::Publish(options);
  } catch (const std::exception& error) {  // a folder that cannot be walked
    std::fprintf(stderr, "kupdate: %s\n", error.what());
    return 1;
  }
}

int Help(const Given& given);

const std::vector<Command>& Commands() {
  static const Option kSet{"--set", "PROPERTY=VALUE",
                           "a published property of the component, as in a stored form"};
  static const Option kPasswordEnv{"--password-env", "NAME",
                                   "the environment variable that holds the key's password"};
  static const std::vector<Command> commands{
      {"checksum",
       "FILE...",
       "Prints, per file, the values a control file states: the path, size=, crc32=$\n"
       "and bytesum=$ (8 hexadecimal digits), and version= (empty when the file has\n"
       "no version resource).\n",
       {},
       1,
       SIZE_MAX,
       Checksum},
      {"extract",
       "CABINET FOLDER",
       "Unpacks every file of the cabinet into FOLDER as an update run does, with the\n"
       "sub-folders and times stored in the cabinet.\n",
       {},
       2,
       2,
       Extract},
      {"fetch",
       "[--set PROPERTY=VALUE]... URL FOLDER",
       "Downloads one file into FOLDER (made when missing) as an update run does.\n"
       "Every status report is printed on stdout as [ID] message (Status:S)\n"
       "(Error:E), the progress on stderr. Text values may leave out their quotes.\n",
       {kSet},
       2,
       2,
       Fetch},
      {"run",
       "[--dir FOLDER] [--yes] [--set PROPERTY=VALUE]... URL",
       "Performs one whole update run from the control file at URL, in FOLDER, which\n"
       "{APP} also names. Reports and progress are printed as for fetch. Files are\n"
       "downloaded straight into their target folders and compressed files and\n"
       "cabinets are unpacked there; checksums are CRC-32, and missing files are\n"
       "installed whatever their test (UseWinTempDir=False, ExtractCAB=True,\n"
       "UseCRC32=True, VersionCheck=vcAlways; --set changes that). Questions are\n"
       "answered Yes with --yes, else asked on the terminal (No without one). When\n"
       "the control file holds patches, ApplyPatch is set and the patcher this program\n"
       "carries applies them.\n\n"
       "exit status: 0 every selected file was installed, 1 nothing new, 2 a usage\n"
       "or setup error, 3 the update failed or was declined (the files not installed\n"
       "are named on stderr, with the reason).\n",
       {{"--dir", "FOLDER", "where the update is installed (default: the current folder)"},
        {"--yes", nullptr, "answer every question Yes"},
        kSet},
       1,
       1,
       Run},
      {"verify",
       "FILE PUBLIC_KEY_FILE",
       "Checks FILE against its signature FILE.minisig, made with the secret key of\n"
       "PUBLIC_KEY_FILE, and prints the signature's trusted comment.\n\n"
       "exit status: 0 valid, 1 not valid (the reason on stderr), 2 a file cannot be\n"
       "read or is no key.\n",
       {},
       2,
       2,
       Verify},
      {"keygen",
       "[--password-env NAME] PUBLIC_KEY_FILE SECRET_KEY_FILE",
       "Makes a key pair for signed updates, in the files of the minisign tool: the\n"
       "public key for the programs that check, the secret key for publish. The\n"
       "secret key is encrypted with a password when --password-env names the\n"
       "variable that holds it. Existing files are never overwritten.\n",
       {kPasswordEnv},
       2,
       2,
       Keygen},
      {"publish",
       "[OPTION]... SOURCE_FOLDER BASE_URL CONTROL_FILE",
       "Writes CONTROL_FILE for every file under SOURCE_FOLDER, to be served at\n"
       "BASE_URL followed by its path below the folder, and installed in the same\n"
       "sub-folder of {APP}. Each entry states the file's size and SHA-256, and what\n"
       "decides whether it is new: its version when it has a version resource, else\n"
       "its CRC-32 checksum (components that read it need UseCRC32=True, and\n"
       "VersionCheck=vcAlways to install files that are missing; kupdate run sets\n"
       "both). A cabinet is checked by the newest file it holds, an LZ file by\n"
       "the file it expands to. The file is read back before it replaces an old one;\n"
       "with a secret key it is signed into CONTROL_FILE.minisig. With --previous, a\n"
       "file that changed since OLD_FOLDER also gets a patch NAME.PAT beside\n"
       "CONTROL_FILE (in the file's sub-folder) when that is less than half its size;\n"
       "its entry keeps the whole file for the runs that cannot use the patch.\n\n"
       "exit status: 0 written, 1 failed (nothing replaced), 2 a usage error.\n",
       {{"--secret-key", "FILE", "sign with this secret key (from keygen or minisign)"},
        kPasswordEnv,
        {"--check", "METHOD", "version, checksum, size or date, for every file"},
        {"--app", "NAME", "the program the update replaces, restarted after it"},
        {"--previous", "OLD_FOLDER",
         "the previous release: patches from its files, beside CONTROL_FILE"}},
       3,
       3,
       Publish},
      {"help", "[COMMAND]", "Prints the help of kupdate or of one command.\n", {}, 0, 1, Help},
  };
  return commands;
}

int Help(const Given& given) {
  if (given.args.empty()) {
    PrintHelp(stdout);
    return 0;
  }
  const Command* command = FindCommand(given.args[0]);
  if (!command) return UsageError(nullptr, "no command '" + given.args[0] + "'");
  PrintCommandHelp(*command);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty()) {
    PrintHelp(stderr);
    return 2;
  }
  const std::string& first = words[0];
  if (first == "--help" || first == "-h") {
    PrintHelp(stdout);
    return 0;
  }
  if (first == "--version") {
    const TVersionPair version = GetFileVersion(kernel::GetModuleFileName());
    std::printf("kupdate %s\n",
                version.IsNone() ? "(no version)" : VersionToString(version).c_str());
    return 0;
  }
  const Command* command = FindCommand(first);
  if (!command)
    return UsageError(nullptr, first[0] == '-' ? "unknown option '" + first + "'"
                                               : "unknown command '" + first + "'");
  int status = 2;
  const auto given = Parse(*command, {words.begin() + 1, words.end()}, status);
  return given ? command->run(*given) : status;
}
