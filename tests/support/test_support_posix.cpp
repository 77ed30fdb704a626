// Child processes and users for the tests, through the POSIX shell.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "support/test_support.h"

namespace testing_support {

std::string AsUser(unsigned uid) {
  const std::string id = std::to_string(uid);
  return "setpriv --reuid=" + id + " --regid=" + id + " --clear-groups ";
}

ProcessOutput RunKupdate(const std::string& args, const std::string& before) {
  const std::string command = before + std::string(KESTREL_BIN_DIR) + "/kupdate " + args +
                              " </dev/null 2>kupdate-stderr.txt";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + command);
  std::string out;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, ReadFile("kupdate-stderr.txt")};
}

bool TypeOnTerminal(const std::string& typed) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  if (slave < 0 || dup2(slave, STDIN_FILENO) < 0) return false;
  // The master stays open: a terminal whose other end is closed hangs up.
  return write(master, typed.data(), typed.size()) == static_cast<ssize_t>(typed.size());
}

}  // namespace testing_support
