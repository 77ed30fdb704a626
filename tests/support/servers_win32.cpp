// The loopback servers and shell commands for a Windows test program under
// Wine, which cannot start Linux programs itself: the broker
// (tests/servers/broker.py) starts them on the Linux side. Its port is in
// the file KESTREL_BROKER_STATE/port, a Linux path that is Z: + the path
// here.
// clang-format off
#include <winsock2.h>
#include <wincrypt.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "support/servers.h"
#include "support/test_support.h"

namespace testing_support {

namespace {

std::string Json(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      quoted += escaped;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

// A connection to the broker with one request sent on it.
SOCKET Request(const std::string& request) {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  const char* state = std::getenv("KESTREL_BROKER_STATE");
  if (!started || !state) throw std::runtime_error("no broker: KESTREL_BROKER_STATE is not set");
  int port = 0;
  if (!(std::ifstream(std::string("Z:") + state + "/port") >> port))
    throw std::runtime_error(std::string("no broker port in ") + state);
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string line = request + "\n";
  if (s == INVALID_SOCKET ||
      connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      send(s, line.data(), static_cast<int>(line.size()), 0) != static_cast<int>(line.size())) {
    if (s != INVALID_SOCKET) closesocket(s);
    throw std::runtime_error("cannot reach the broker on port " + std::to_string(port));
  }
  return s;
}

// The first line of the broker's answer; empty when it closed without one.
std::string Answer(SOCKET s) {
  std::string line;
  char c;
  while (recv(s, &c, 1, 0) == 1 && c != '\n') line += c;
  return line;
}

std::string CurrentFolder() {
  return Json(std::filesystem::current_path().string());
}

}  // namespace

ServerProcess::ServerProcess(const std::vector<std::string>& argv, const std::string& logFile)
    : logFile_(logFile) {
  std::string list;
  for (const std::string& arg : argv) list += (list.empty() ? "" : ", ") + Json(arg);
  const SOCKET s =
      Request(R"({"op": "spawn", "argv": [)" + list + R"(], "cwd": )" + CurrentFolder() + "}");
  // A server that does not come up in time fails the test instead of
  // hanging it.
  const DWORD timeout = 30000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  port_ = std::atoi(Answer(s).c_str());
  if (port_ <= 0) {
    closesocket(s);
    throw std::runtime_error("server did not report a port: " + argv[1]);
  }
  handle_ = static_cast<std::intptr_t>(s);
}

ServerProcess::~ServerProcess() {
  // The broker kills the server when this side closes and closes its side
  // once the server is gone; waiting for that keeps a server from outliving
  // its test.
  const auto s = static_cast<SOCKET>(handle_);
  shutdown(s, SD_SEND);
  char c;
  while (recv(s, &c, 1, 0) > 0) {
  }
  closesocket(s);
}

namespace {

// The certificate of a PEM file, as the system keeps it (DER).
std::string CertificateOf(const std::string& pemFile) {
  std::ifstream in(pemFile, std::ios::binary);
  const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                            nullptr))
    throw std::runtime_error("no certificate in " + pemFile);
  std::string der(size, '\0');
  CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER,
                       reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr);
  der.resize(size);
  return der;
}

// The current user's root store, open.
class RootStore {
 public:
  RootStore()
      : store_(
            CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "Root")) {
    if (!store_) throw std::runtime_error("cannot open the root certificate store");
  }
  ~RootStore() { CertCloseStore(store_, 0); }
  RootStore(const RootStore&) = delete;
  RootStore& operator=(const RootStore&) = delete;
  HCERTSTORE get() const { return store_; }

 private:
  HCERTSTORE store_;
};

}  // namespace

TrustedRoot::TrustedRoot(const std::string& certificate)
    : certificate_(CertificateOf(certificate)) {
  // The store is the user's, for the test process that fetches.
  WithTheSharedHive([&] {
    RootStore store;
    if (!CertAddEncodedCertificateToStore(
            store.get(), X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(certificate_.data()),
            static_cast<DWORD>(certificate_.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
      throw std::runtime_error("cannot add " + certificate + " to the root store");
  });
}

TrustedRoot::~TrustedRoot() {
  WithTheSharedHive([this] { Remove(); });
}

void TrustedRoot::Remove() {
  try {
    const PCCERT_CONTEXT added = CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(certificate_.data()),
        static_cast<DWORD>(certificate_.size()));
    RootStore store;
    if (const PCCERT_CONTEXT found =
            added ? CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0,
                                               CERT_FIND_EXISTING, added, nullptr)
                  : nullptr)
      CertDeleteCertificateFromStore(found);  // frees found
    if (added) CertFreeCertificateContext(added);
    // Wine's registry store writes a deletion out only when told to.
    CertControlStore(store.get(), CERT_STORE_CTRL_COMMIT_FORCE_FLAG, CERT_STORE_CTRL_COMMIT,
                     nullptr);
  } catch (const std::exception&) {
    // The store cannot be opened: there is nothing to take out.
  }
}

int RunShell(const std::string& command) {
  const SOCKET s = Request(R"({"op": "run", "command": )" + Json(command) + R"(, "cwd": )" +
                           CurrentFolder() + "}");
  const std::string status = Answer(s);
  closesocket(s);
  return status.empty() ? -1 : std::atoi(status.c_str());
}

}  // namespace testing_support
