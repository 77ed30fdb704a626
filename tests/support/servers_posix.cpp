// The loopback servers as child processes of the test program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "support/servers.h"

extern char** environ;

namespace testing_support {

ServerProcess::ServerProcess(const std::vector<std::string>& argv, const std::string& logFile)
    : logFile_(logFile) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (spawned != 0) {
    close(fds[0]);
    throw std::runtime_error("cannot start " + argv[0]);
  }
  // The first line is the port; a server that does not come up in time
  // fails the test instead of hanging it.
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buffer[64];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  port_ = std::atoi(line.c_str());
  if (port_ <= 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    throw std::runtime_error("server did not report a port: " + argv[1]);
  }
  handle_ = pid;
}

ServerProcess::~ServerProcess() {
  const auto pid = static_cast<pid_t>(handle_);
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

TrustedRoot::TrustedRoot(const std::string& certificate) : certificate_(certificate) {
  if (const char* value = std::getenv("SSL_CERT_FILE")) saved_ = value;
  setenv("SSL_CERT_FILE", certificate.c_str(), 1);
}

TrustedRoot::~TrustedRoot() {
  if (saved_)
    setenv("SSL_CERT_FILE", saved_->c_str(), 1);
  else
    unsetenv("SSL_CERT_FILE");
}

int RunShell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testing_support
