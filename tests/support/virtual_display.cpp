#include "support/virtual_display.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace testing_support {
namespace {

// How long the server may take to come up.
constexpr int kStartTimeoutMs = 20000;

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

}  // namespace

VirtualDisplay* VirtualDisplay::Get() {
  static std::unique_ptr<VirtualDisplay> display = [] {
    std::unique_ptr<VirtualDisplay> d(new VirtualDisplay);
    if (!d->Start()) d.reset();
    return d;
  }();
  return display.get();
}

bool VirtualDisplay::Start() {
  const std::string xvfb = FindProgram("Xvfb");
  if (xvfb.empty()) return false;
  int fds[2];
  if (::pipe(fds) != 0) return false;
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  const std::string fd = std::to_string(fds[1]);
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  if (pid_ == 0) {
    // The server goes when the test process goes, however it ends.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execl(xvfb.c_str(), "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24",
            "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string number;
  bool ok = false;
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, kStartTimeoutMs) <= 0) break;
    char c;
    if (::read(fds[0], &c, 1) != 1) break;
    if (c == '\n') {
      ok = !number.empty();
      break;
    }
    number.push_back(c);
  }
  ::close(fds[0]);
  if (!ok) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return false;
  }
  name_ = ":" + number;
  ::setenv("DISPLAY", name_.c_str(), 1);
  return true;
}

VirtualDisplay::~VirtualDisplay() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

}  // namespace testing_support
