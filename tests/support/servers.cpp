#include "support/servers.h"

#include <cctype>
#include <fstream>

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

}  // namespace testing_support
