#include "support/servers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testing_support {

namespace {

// Debian's interpreter: pyftpdlib comes from a Debian package, which other
// interpreters on PATH may not see.
constexpr const char* kPython = "/usr/bin/python3";

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t pos = 0;
  while (true) {
    const std::size_t end = line.find('\t', pos);
    fields.push_back(line.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return fields;
}

std::vector<LoggedRequest> ParseRequests(const std::vector<std::string>& lines) {
  std::vector<LoggedRequest> requests;
  for (const std::string& line : lines) {
    const auto fields = SplitTabs(line);
    if (fields.size() < 3) continue;
    LoggedRequest request;
    request.method = fields[0];
    request.target = fields[1];
    request.field = fields[2];
    for (std::size_t i = 3; i < fields.size(); ++i) {
      const auto colon = fields[i].find(": ");
      if (colon == std::string::npos) continue;
      std::string name = fields[i].substr(0, colon);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      request.headers[name] = fields[i].substr(colon + 2);
    }
    requests.push_back(std::move(request));
  }
  return requests;
}

}  // namespace

std::string ServersDir() {
  return std::string(KESTREL_TEST_DATA) + "/../servers";
}

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
  const int spawned = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (spawned != 0) {
    close(fds[0]);
    pid_ = -1;
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
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    throw std::runtime_error("server did not report a port: " + argv[1]);
  }
}

ServerProcess::~ServerProcess() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::vector<std::string> ServerProcess::LogLines() const {
  std::vector<std::string> lines;
  std::ifstream in(logFile_);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

HttpServer::HttpServer(const std::string& root, const std::string& logFile, int port,
                       std::optional<Tls> tls)
    : process_(
          [&] {
            std::vector<std::string> argv = {kPython,  ServersDir() + "/http_server.py",
                                             root,     logFile,
                                             "--port", std::to_string(port)};
            if (tls) {
              argv.push_back("--tls");
              argv.push_back(tls->certificate);
              argv.push_back(tls->key);
            }
            return argv;
          }(),
          logFile),
      tls_(tls.has_value()) {}

std::string HttpServer::Url(const std::string& path) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port()) + "/" +
         path;
}

std::vector<LoggedRequest> HttpServer::Requests() const {
  return ParseRequests(process_.LogLines());
}

FtpServer::FtpServer(const std::string& root, const std::string& logFile, const std::string& user,
                     const std::string& password)
    : process_(
          [&] {
            std::vector<std::string> argv = {kPython, ServersDir() + "/ftp_server.py", root,
                                             logFile};
            if (!user.empty()) {
              argv.insert(argv.end(), {"--user", user, "--password", password});
            }
            return argv;
          }(),
          logFile) {}

ProxyServer::ProxyServer(const std::string& user, const std::string& password,
                         const std::string& logFile)
    : process_({kPython, ServersDir() + "/proxy_server.py", user, password, logFile}, logFile) {}

std::string ProxyServer::Address() const {
  return "127.0.0.1:" + std::to_string(port());
}

std::vector<LoggedRequest> ProxyServer::Requests() const {
  return ParseRequests(process_.LogLines());
}

bool MakeCertificate(const std::string& certificate, const std::string& key,
                     const std::string& subjectAltName) {
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=kestrel-test -addext "
      "subjectAltName=" +
      subjectAltName + " -keyout '" + key + "' -out '" + certificate + "' >/dev/null 2>&1";
  return RunShell(command) == 0;
}

int RunShell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testing_support
