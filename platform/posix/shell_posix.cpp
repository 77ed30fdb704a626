// POSIX backend of the shell service: XDG folders and "open" through the
// kernel's process start or the desktop's opener.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <string_view>

#include "platform/kernel.h"
#include "platform/shell.h"

namespace shell {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// An XDG base directory: the variable when it holds an absolute path (the
// XDG rules ignore relative ones), else the default under the home folder.
std::string BaseDirectory(const char* variable, const char* underHome) {
  const std::string value = Env(variable);
  if (!value.empty() && value[0] == '/') return WithoutTrailingSeparators(value);
  const std::string home = Env("HOME");
  if (home.empty()) return {};
  return WithoutTrailingSeparators(home) + "/" + underHome;
}

// The value of XDG_DOCUMENTS_DIR in user-dirs.dirs, a shell fragment whose
// values read "$HOME/name" or "/absolute/path"; empty when it names none.
std::string DocumentsFromUserDirs() {
  const std::string config = BaseDirectory("XDG_CONFIG_HOME", ".config");
  if (config.empty()) return {};
  std::ifstream in(config + "/user-dirs.dirs");
  static constexpr std::string_view kKey = "XDG_DOCUMENTS_DIR=";
  std::string result;
  std::string line;
  while (std::getline(in, line)) {
    std::string_view text = line;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    if (!text.starts_with(kKey)) continue;
    text.remove_prefix(kKey.size());
    std::string value;
    if (!text.empty() && text.front() == '"') {
      // Inside the quotes a backslash takes the next character literally.
      for (std::size_t i = 1; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        value += text[i];
      }
    } else {
      value = std::string(text.substr(0, text.find_first_of(" \t#")));
    }
    if (value == "$HOME" || value.starts_with("$HOME/")) {
      const std::string home = Env("HOME");
      if (home.empty()) continue;
      value = WithoutTrailingSeparators(home) + value.substr(5);
    } else if (value.empty() || value[0] != '/') {
      continue;  // not a form the XDG rules allow
    }
    result = WithoutTrailingSeparators(value);  // the last assignment wins, as in a shell
  }
  return result;
}

bool IsUrl(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || colon < 2) return false;  // "C:" is a drive, not a scheme
  for (std::size_t i = 0; i < colon; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return std::isalpha(static_cast<unsigned char>(text[0])) &&
         (text.compare(colon, 3, "://") == 0 || text.compare(0, colon + 1, "mailto:") == 0);
}

std::string QuoteProgram(const std::string& path) {
  return path.find_first_of(" \t") == std::string::npos ? path : "\"" + path + "\"";
}

// The started process is not waited for; the kernel's process object reaps
// it in the background once it ends.
bool Start(const std::string& commandLine, const std::string& directory) {
  return kernel::CreateProcess(commandLine, kernel::ShowWindow::Normal, directory).has_value();
}

bool OpenWithDesktop(const std::string& target, const std::string& directory) {
  return Start("xdg-open " + kernel::QuoteArgument(target), directory);
}

}  // namespace

std::string GetSpecialFolder(SpecialFolder folder) {
  switch (folder) {
    case SpecialFolder::Personal: {
      std::string documents = DocumentsFromUserDirs();
      if (!documents.empty()) return documents;
      const std::string home = Env("HOME");
      return home.empty() ? std::string() : WithoutTrailingSeparators(home) + "/Documents";
    }
    case SpecialFolder::LocalAppData:
      return BaseDirectory("XDG_DATA_HOME", ".local/share");
    case SpecialFolder::Windows:
      return "/etc";
    case SpecialFolder::System:
      return "/usr/lib";
  }
  return {};
}

bool HasDesktopOpener() {
  auto path = kernel::GetEnvironmentVariable("PATH").value_or("/usr/bin:/bin");
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(kernel::PATH_LIST_SEPARATOR, start);
    if (end == std::string::npos) end = path.size();
    const std::string dir = path.substr(start, end - start);
    if (!dir.empty() && kernel::FileExists(dir + "/xdg-open")) return true;
    start = end + 1;
  }
  return false;
}

bool ShellExecuteOpen(const std::string& file, const std::string& parameters,
                      const std::string& directory) {
  const std::string target = kernel::NativePath(file);
  const std::string folder = kernel::ResolveLetterCase(directory);
  if (target.empty()) {
    kernel::SetLastError(kernel::ERROR_FILE_NOT_FOUND);
    return false;
  }
  if (IsUrl(target)) return OpenWithDesktop(target, folder);

  // A relative name is looked for in the caller's folder, then in the given one.
  std::string path = kernel::ResolveLetterCase(target);
  struct stat st;
  bool found = stat(path.c_str(), &st) == 0;
  if (!found && target[0] != '/' && !folder.empty()) {
    path = kernel::ResolveLetterCase(folder + "/" + target);
    found = stat(path.c_str(), &st) == 0;
  }
  const std::string tail = parameters.empty() ? "" : " " + parameters;
  if (!found) {
    // A bare program name may still be found on the search path.
    if (target.find('/') == std::string::npos) return Start(QuoteProgram(target) + tail, folder);
    kernel::SetLastError(kernel::ERROR_FILE_NOT_FOUND);
    return false;
  }
  if (path[0] != '/') path = kernel::GetCurrentDirectory() + "/" + path;
  if (S_ISREG(st.st_mode) && kernel::MakeProgramRunnable(path)) {
    if (Start(QuoteProgram(path) + tail, folder)) return true;
    // File systems without permissions mark every file executable; a
    // document there is still opened as a document.
    if (kernel::GetLastError() != kernel::ERROR_BAD_EXE_FORMAT) return false;
  }
  return OpenWithDesktop(path, folder);
}

}  // namespace shell
