// What the benchmarks share.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

// The middle of the rounds' times: one slow round (a page-cache miss, the
// other core busy) does not move it.
inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// What a loopback test server prints first (its port), waiting at most 30 s
// for it; empty when it ends or stays silent.
inline std::string ReadFirstLine(int fd) {
  std::string line;
  while (line.find('\n') == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) break;
    char buffer[64];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<std::size_t>(n));
  }
  return line;
}

// Starts a program found on PATH with its stdout on the descriptor (when
// given); quiet sends what it would print otherwise to /dev/null. Its pid,
// or -1.
inline pid_t SpawnProgram(const std::vector<std::string>& argv, int stdoutFd = -1,
                          bool quiet = false) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int null = quiet ? open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
  if (stdoutFd >= 0 || null >= 0)
    posix_spawn_file_actions_adddup2(&actions, stdoutFd >= 0 ? stdoutFd : null, 1);
  if (null >= 0) posix_spawn_file_actions_adddup2(&actions, null, 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (null >= 0) close(null);
  return spawned == 0 ? pid : -1;
}

// Starts the loopback test server on any free port; its pid and port.
inline bool StartTestServer(const std::string& root, const std::string& log, pid_t& pid,
                            int& port) {
  const std::string script =
      (std::filesystem::path(__FILE__).parent_path().parent_path() / "tests/servers/http_server.py")
          .string();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  pid = SpawnProgram({"/usr/bin/python3", script, root, log}, fds[1]);
  close(fds[1]);
  const std::string line = pid > 0 ? ReadFirstLine(fds[0]) : std::string();
  close(fds[0]);
  port = std::atoi(line.c_str());
  return pid > 0 && port > 0;
}
