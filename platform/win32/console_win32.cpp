// Windows backend of console input: ReadFile on the standard input handle,
// whether that is a console or a pipe, and the console's echo turned off
// for secrets.
//
// ReadFile rather than ReadConsoleA: on a console it reads the same cooked
// line in the console's code page, and it turns Ctrl+Z at the start of a
// line into the end of input, as a pipe's end is.
#include "platform/win32/sdk.h"
// clang-format off
#include "platform/console.h"
// clang-format on

#include <cstdio>

namespace console {

std::optional<std::string> ReadLine(std::size_t longest) {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string line;
  bool any = false;
  for (;;) {
    char c;
    DWORD n = 0;
    // One byte at a time: what follows the line belongs to the next prompt.
    if (!::ReadFile(input, &c, 1, &n, nullptr) || n == 0) {
      if (!any) return std::nullopt;
      return line;
    }
    any = true;
    if (c == '\n') return line;
    if (c != '\r' && line.size() < longest) line.push_back(c);
  }
}

std::optional<std::string> ReadSecretLine(std::size_t longest) {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  const bool quiet = input != nullptr && input != INVALID_HANDLE_VALUE &&
                     ::GetConsoleMode(input, &mode) &&
                     ::SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  std::optional<std::string> line = ReadLine(longest);
  if (quiet) {
    ::SetConsoleMode(input, mode);
    std::fputs("\n", stderr);
    std::fflush(stderr);
  }
  return line;
}

}  // namespace console
