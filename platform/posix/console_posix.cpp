// POSIX backend of console input: read(2) on standard input, and the
// terminal's echo turned off for secrets.
#include <errno.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "platform/console.h"

namespace console {

std::optional<std::string> ReadLine(std::size_t longest) {
  std::string line;
  bool any = false;
  for (;;) {
    char c;
    // One byte at a time: what follows the line belongs to the next prompt.
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (!any) return std::nullopt;
      return line;
    }
    any = true;
    if (c == '\n') return line;
    if (c != '\r' && line.size() < longest) line.push_back(c);
  }
}

std::optional<std::string> ReadSecretLine(std::size_t longest) {
  termios old{};
  const bool quiet = tcgetattr(STDIN_FILENO, &old) == 0;
  if (quiet) {
    termios silent = old;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &silent);
  }
  std::optional<std::string> line = ReadLine(longest);
  if (quiet) {
    tcsetattr(STDIN_FILENO, TCSANOW, &old);
    std::fputs("\n", stderr);
    std::fflush(stderr);
  }
  return line;
}

}  // namespace console
