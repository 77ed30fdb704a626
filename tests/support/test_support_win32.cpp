// Child processes for the tests of the Windows build. A Windows program
// under Wine can start another Windows program, not a Linux shell.
#include <windows.h>

#include <stdexcept>
#include <vector>

#include "support/test_support.h"

namespace testing_support {

namespace {

// Quoted as the C runtime splits a command line: backslashes count only
// before a quote.
std::string Quoted(const std::string& word) {
  if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) return word;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, '\\');
  return quoted + "\"";
}

// The callers write the arguments for a POSIX shell: words, quoted with ''
// or "". A backslash stays what it is, the separator of Windows paths.
std::string CommandLine(const std::string& program, const std::string& args) {
  std::string line = Quoted(program), word;
  bool inWord = false;
  char quote = 0;
  for (const char c : args + " ") {
    if (quote) {
      if (c == quote)
        quote = 0;
      else
        word += c;
    } else if (c == '\'' || c == '"') {
      quote = c;
      inWord = true;
    } else if (c == ' ' || c == '\t' || c == '\n') {
      if (inWord) line += " " + Quoted(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  return line;
}

}  // namespace

std::string AsUser(unsigned) {
  throw std::logic_error("acting as another user needs a POSIX system");
}

ProcessOutput RunKupdate(const std::string& args, const std::string& before) {
  if (!before.empty()) throw std::logic_error("commands before kupdate need a POSIX shell");
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  const HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherited, OPEN_EXISTING, 0, nullptr);
  const HANDLE error = CreateFileA("kupdate-stderr.txt", GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE outRead = nullptr, outWrite = nullptr;
  const bool piped = CreatePipe(&outRead, &outWrite, &inherited, 0) &&
                     SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = outWrite;
  startup.hStdError = error;
  PROCESS_INFORMATION process{};
  std::string line = CommandLine(std::string(KESTREL_BIN_DIR) + "/kupdate.exe", args);
  const bool started = input != INVALID_HANDLE_VALUE && error != INVALID_HANDLE_VALUE && piped &&
                       CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  // The child holds its own copies; the pipe ends when it exits.
  for (const HANDLE h : {input, error, outWrite})
    if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  std::string out;
  if (started) {
    char buffer[4096];
    DWORD n = 0;
    while (::ReadFile(outRead, buffer, sizeof buffer, &n, nullptr) && n > 0) out.append(buffer, n);
  }
  if (outRead) CloseHandle(outRead);
  if (!started) throw std::runtime_error("cannot run " + line);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  // Windows text output ends its lines with \r\n; the tests compare lines.
  const auto unixLines = [](std::string text) {
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    return text;
  };
  return {static_cast<int>(status), unixLines(out), unixLines(ReadFile("kupdate-stderr.txt"))};
}

bool TypeOnTerminal(const std::string&) {
  return false;
}

}  // namespace testing_support
