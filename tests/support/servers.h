// Loopback servers for the tests, run as child processes: an HTTP server, an
// FTP server and an HTTP forward proxy that demands credentials (the Python
// scripts in tests/servers/). Each binds 127.0.0.1 on a port the system
// chooses, reports it, logs what its clients send, and is killed when the
// object goes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// The folder of the server scripts.
std::string ServersDir();

// A child process started with its standard output on a pipe whose first
// line is the port. A Windows program under Wine asks the broker
// (tests/servers/broker.py) to start it on the Linux side.
class ServerProcess {
 public:
  ServerProcess(const std::vector<std::string>& argv, const std::string& logFile);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  int port() const { return port_; }
  const std::string& logFile() const { return logFile_; }
  // The lines logged so far.
  std::vector<std::string> LogLines() const;

 private:
  // The child's pid; on Windows the connection to the broker that keeps
  // the server alive.
  std::intptr_t handle_ = -1;
  int port_ = 0;
  std::string logFile_;
};

// One request as the HTTP server or the proxy logged it.
struct LoggedRequest {
  std::string method;
  std::string target;  // path (server) or absolute URL / host:port (proxy)
  std::string field;   // server: the client's port; proxy: "auth" or "noauth"
  std::map<std::string, std::string> headers;  // names in lower case
  bool Has(const std::string& name) const { return headers.count(name) != 0; }
};

// Serves the files of a folder; see tests/servers/http_server.py for the
// paths that ask for behaviour (nolength/, auth/U/P/, status/N, redirect/,
// drop/N/, slow/MS/, stall/MS/, norange/, cut/PERCENT/). port 0: any free
// port.
class HttpServer {
 public:
  struct Tls {
    std::string certificate, key;
  };
  HttpServer(const std::string& root, const std::string& logFile, int port = 0,
             std::optional<Tls> tls = std::nullopt);
  int port() const { return process_.port(); }
  // "http://127.0.0.1:PORT/" + path (https with TLS).
  std::string Url(const std::string& path) const;
  std::vector<LoggedRequest> Requests() const;

 private:
  ServerProcess process_;
  bool tls_;
};

class FtpServer {
 public:
  // Anonymous users and, when user is not empty, that user can read root.
  FtpServer(const std::string& root, const std::string& logFile, const std::string& user = {},
            const std::string& password = {});
  int port() const { return process_.port(); }
  // The commands clients sent, one per line ("PASS ****" for passwords).
  std::vector<std::string> Commands() const { return process_.LogLines(); }

 private:
  ServerProcess process_;
};

class ProxyServer {
 public:
  ProxyServer(const std::string& user, const std::string& password, const std::string& logFile);
  int port() const { return process_.port(); }
  std::string Address() const;  // "127.0.0.1:PORT"
  std::vector<LoggedRequest> Requests() const;

 private:
  ServerProcess process_;
};

// Makes a self-signed certificate and key for the given subjectAltName
// ("IP:127.0.0.1", "DNS:elsewhere.invalid") with the openssl tool; false
// when that fails.
bool MakeCertificate(const std::string& certificate, const std::string& key,
                     const std::string& subjectAltName);

// Trusts a certificate (a PEM file, as MakeCertificate writes it) as a root
// of the HTTPS client until the object goes. On POSIX through SSL_CERT_FILE,
// which the client reads for every connection. On Windows in the current
// user's root store, which WinINet reads once per process: only processes
// started afterwards trust it (Windows itself asks the user to confirm the
// new root; Wine does not).
class TrustedRoot {
 public:
  explicit TrustedRoot(const std::string& certificate);
  ~TrustedRoot();
  TrustedRoot(const TrustedRoot&) = delete;
  TrustedRoot& operator=(const TrustedRoot&) = delete;

#ifdef _WIN32
  static constexpr bool kTrustedInThisProcess = false;
#else
  static constexpr bool kTrustedInThisProcess = true;
#endif

 private:
  void Remove();                      // Windows
  std::string certificate_;           // POSIX: the file; Windows: the certificate (DER)
  std::optional<std::string> saved_;  // POSIX: SSL_CERT_FILE as it was
};

// Runs a command through /bin/sh and returns its exit status (on Windows,
// through the broker on the Linux side, in the current folder).
int RunShell(const std::string& command);

}  // namespace testing_support
