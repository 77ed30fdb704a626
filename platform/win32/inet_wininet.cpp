// The Internet client service on WinINet.
//
// Every platform handle wraps a WinINet handle. The wrapper exists because
// WinINet closes the children of a handle it closes, while this service
// promises that requests outlive their root: a wrapper keeps the WinINet
// handles it was opened from, and a WinINet handle is closed when the last
// wrapper that needs it is gone. The rest is a pass-through, plus the few
// checks the platform header promises and WinINet leaves out (proxy texts,
// server names, a body cut short, the FTP directory relative to the login),
// and what Wine's WinINet needs to keep the same promises (an http URL is
// opened step by step so that its receive time-out holds, a proxy's Basic
// challenge is answered at once).
#include "platform/win32/sdk.h"
// clang-format off
#include "platform/base64.h"
#include "platform/inet.h"
#include "platform/inet_url.h"
// clang-format on

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace inet {

namespace {

constexpr DWORD kDefaultTimeoutMs = 60000;

void Fail(std::uint32_t error) {
  kernel::SetLastError(error);
}

// Hands WinINet's error on to the service's callers. Wine's WinINet lets
// the socket's time-out through as it is; this service names it as WinINet
// on Windows does.
void FailFromSdk() {
  constexpr DWORD kSocketTimedOut = 10060;  // WSAETIMEDOUT
  const DWORD error = ::GetLastError();
  Fail(error == kSocketTimedOut ? std::uint32_t{ERROR_INTERNET_TIMEOUT} : error);
}

const char* OrNull(const std::string& text) {
  return text.empty() ? nullptr : text.c_str();
}

class Native {
 public:
  explicit Native(::HINTERNET handle) : handle_(handle) {}
  ~Native() { ::InternetCloseHandle(handle_); }
  Native(const Native&) = delete;
  Native& operator=(const Native&) = delete;
  ::HINTERNET get() const { return handle_; }

 private:
  ::HINTERNET handle_;
};
using NativeRef = std::shared_ptr<Native>;

enum class Kind { Root, FtpConnection, HttpConnection, Request, Search };

}  // namespace

struct InternetHandle {
  InternetHandle(Kind k, ::HINTERNET h, const InternetHandle* from)
      : kind(k), native(std::make_shared<Native>(h)) {
    if (!from) return;
    parents = from->parents;
    parents.push_back(from->native);
    receiveTimeoutMs = from->receiveTimeoutMs;
  }
  ::HINTERNET get() const { return native->get(); }
  Kind kind;
  NativeRef native;
  std::vector<NativeRef> parents;  // what this handle was opened from
  // How long requests opened from this handle wait for data.
  DWORD receiveTimeoutMs = kDefaultTimeoutMs;
  // A root with a proxy: the direct root its FTP connections use.
  std::shared_ptr<InternetHandle> direct;
  // An FTP connection.
  detail::FtpDirectory directory;
  // A request.
  bool http = false;
  bool head = false;
  bool started = false;
  std::optional<std::uint64_t> expected;  // the announced length of the body
  std::uint64_t received = 0;
};

namespace {

detail::LiveHandles liveHandles;

bool SetTimeout(::HINTERNET handle, std::uint32_t option, DWORD ms) {
  return ::InternetSetOptionA(handle, option, &ms, sizeof ms) != FALSE;
}

// Takes the WinINet handle into a platform handle; nothing, with WinINet's
// error, when there is none.
HINTERNET Register(Kind kind, ::HINTERNET handle, const InternetHandle* from = nullptr) {
  if (!handle) {
    FailFromSdk();
    return nullptr;
  }
  auto* wrapper = new InternetHandle(kind, handle, from);
  // A request waits for its data as long as its root said when it was
  // opened; WinINet only reads that value from the request itself.
  if (kind == Kind::Request)
    SetTimeout(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, wrapper->receiveTimeoutMs);
  liveHandles.Add(wrapper);
  return wrapper;
}

// The handle as the kind the caller needs, or nothing with the error set.
InternetHandle* As(HINTERNET handle, Kind kind) {
  if (!liveHandles.Contains(handle)) {
    Fail(kernel::ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (handle->kind != kind) {
    Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return nullptr;
  }
  return handle;
}

std::string JoinHeaders(const std::string& headers) {
  std::string joined;
  for (const std::string& line : detail::HeaderLines(headers)) joined += line + "\r\n";
  return joined;
}

// Notes how long the body of an http request is announced to be, so that
// one cut short fails instead of ending early as WinINet lets it.
void NoteExpectedLength(InternetHandle& request) {
  DWORD status = 0, length = 0, size = sizeof status;
  if (!::HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                        &size, nullptr))
    return;
  size = sizeof length;
  if (request.head || status == 204 || status == 304 ||
      !::HttpQueryInfoA(request.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length,
                        &size, nullptr))
    return;
  request.expected = length;
}

// A name without folders, as FTP lookups and reads take it.
bool PlainFtpName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos;
}

kernel::FileTime FromFileTime(const FILETIME& time) {
  const std::uint64_t ticks = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  // 100-nanosecond ticks since 1601; the Unix epoch is this many of them later.
  constexpr std::uint64_t kUnixEpoch = 116444736000000000ULL;
  if (ticks < kUnixEpoch) return {};
  return kernel::FileTime(std::chrono::duration_cast<kernel::FileTime::duration>(
      std::chrono::microseconds((ticks - kUnixEpoch) / 10)));
}

}  // namespace

// ---- Root handle --------------------------------------------------------------------

HINTERNET InternetOpen(const std::string& agent, std::uint32_t accessType, const std::string& proxy,
                       const std::string& bypass, std::uint32_t flags) {
  // This service is synchronous; an asynchronous root would break it.
  flags &= ~static_cast<std::uint32_t>(INTERNET_FLAG_ASYNC);
  std::string proxyList, bypassList;
  switch (accessType) {
    case INTERNET_OPEN_TYPE_PRECONFIG:
    case INTERNET_OPEN_TYPE_DIRECT:
      break;
    case INTERNET_OPEN_TYPE_PROXY: {
      auto entries = detail::ParseProxyList(proxy);
      if (!entries) {
        Fail(kernel::ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      // WinINet separates the entries by blanks only and reads no "/"
      // after the port.
      for (detail::ProxyEntry& entry : *entries) {
        if (entry.proxy.back() == '/') entry.proxy.pop_back();
        if (!proxyList.empty()) proxyList += ' ';
        proxyList += entry.scheme.empty() ? entry.proxy : entry.scheme + "=" + entry.proxy;
      }
      std::size_t pos = 0;
      while (pos < bypass.size()) {
        std::size_t end = bypass.find_first_of(" ;,", pos);
        if (end == std::string::npos) end = bypass.size();
        if (end > pos)
          bypassList += (bypassList.empty() ? "" : ";") + bypass.substr(pos, end - pos);
        pos = end + 1;
      }
      break;
    }
    default:
      Fail(kernel::ERROR_INVALID_PARAMETER);
      return nullptr;
  }
  HINTERNET root = Register(
      Kind::Root,
      ::InternetOpenA(agent.c_str(), accessType, OrNull(proxyList), OrNull(bypassList), flags));
  if (!root) return nullptr;
  if (accessType == INTERNET_OPEN_TYPE_PROXY) {
    // FTP connections never go through a proxy.
    ::HINTERNET direct =
        ::InternetOpenA(agent.c_str(), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, flags);
    if (!direct) {
      FailFromSdk();
      InternetCloseHandle(root);
      return nullptr;
    }
    root->direct = std::make_shared<InternetHandle>(Kind::Root, direct, nullptr);
  }
  for (std::uint32_t option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
    InternetSetOption(root, option, 0);
  return root;
}

bool InternetSetOption(HINTERNET handle, std::uint32_t option, std::uint32_t value) {
  InternetHandle* root = As(handle, Kind::Root);
  if (!root) return false;
  if (option != INTERNET_OPTION_CONNECT_TIMEOUT && option != INTERNET_OPTION_RECEIVE_TIMEOUT) {
    Fail(ERROR_INTERNET_INVALID_OPTION);
    return false;
  }
  const DWORD ms = value ? value : kDefaultTimeoutMs;
  if (!SetTimeout(root->get(), option, ms) ||
      (root->direct && !SetTimeout(root->direct->get(), option, ms))) {
    FailFromSdk();
    return false;
  }
  if (option == INTERNET_OPTION_RECEIVE_TIMEOUT) {
    root->receiveTimeoutMs = ms;
    if (root->direct) root->direct->receiveTimeoutMs = ms;
  }
  return true;
}

// ---- URLs ---------------------------------------------------------------------------------

namespace {

// Closes a request that failed, keeping the error of the failure.
HINTERNET CloseFailed(HINTERNET request) {
  const DWORD error = ::GetLastError();
  InternetCloseHandle(request);
  Fail(error);
  return nullptr;
}

// Whether the proxy that refused the request offers Basic authentication.
bool ProxyOffersBasic(::HINTERNET request) {
  for (DWORD index = 0;;) {
    std::string challenge(256, '\0');
    DWORD size = static_cast<DWORD>(challenge.size()), at = index;
    if (!::HttpQueryInfoA(request, HTTP_QUERY_PROXY_AUTHENTICATE, challenge.data(), &size, &at)) {
      if (::GetLastError() != sdk::ERROR_INSUFFICIENT_BUFFER_) return false;
      challenge.assign(size + 1, '\0');
      size = static_cast<DWORD>(challenge.size());
      at = index;
      if (!::HttpQueryInfoA(request, HTTP_QUERY_PROXY_AUTHENTICATE, challenge.data(), &size, &at))
        return false;
    }
    index = at > index ? at : index + 1;
    challenge.resize(size);
    if (challenge.size() >= 5 && _strnicmp(challenge.c_str(), "Basic", 5) == 0 &&
        (challenge.size() == 5 || challenge[5] == ' '))
      return true;
  }
}

// Opens an http or https URL as InternetOpenUrl does (a connection, a GET
// request for the path and query, sent with the headers), but sets the
// request's time-outs before it is sent: Wine's WinINet ignores those of
// the root and reads the request's only when it sends, for the answer and
// every read after it.
HINTERNET OpenHttpUrl(InternetHandle& root, const detail::ParsedUrl& url, const std::string& lines,
                      std::uint32_t flags, std::uintptr_t context) {
  const bool secure = url.scheme == "https";
  std::string host = url.host;
  if (host.front() == '[') host = host.substr(1, host.size() - 2);
  const INTERNET_PORT port = url.port ? url.port
                             : secure ? INTERNET_DEFAULT_HTTPS_PORT
                                      : INTERNET_DEFAULT_HTTP_PORT;
  ::HINTERNET connection = ::InternetConnectA(root.get(), host.c_str(), port, nullptr, nullptr,
                                              INTERNET_SERVICE_HTTP, 0, context);
  if (!connection) {
    FailFromSdk();
    return nullptr;
  }
  // Not one of the caller's handles: the request keeps it open.
  const InternetHandle session(Kind::HttpConnection, connection, &root);
  const char* accept[] = {"*/*", nullptr};
  HINTERNET request =
      Register(Kind::Request,
               ::HttpOpenRequestA(connection, "GET", url.path.c_str(), nullptr, nullptr, accept,
                                  flags | (secure ? INTERNET_FLAG_SECURE : 0), context),
               &session);
  if (!request) return nullptr;
  request->http = true;
  request->started = true;
  if (!::HttpSendRequestA(request->get(), OrNull(lines), static_cast<DWORD>(lines.size()), nullptr,
                          0)) {
    FailFromSdk();
    return CloseFailed(request);
  }
  return request;
}

}  // namespace

HINTERNET InternetOpenUrl(HINTERNET handle, const std::string& url, const std::string& headers,
                          std::uint32_t flags, std::uintptr_t context) {
  InternetHandle* root = As(handle, Kind::Root);
  if (!root) return nullptr;
  std::uint32_t error = 0;
  auto parsed = detail::ParseUrl(url, error);
  if (!parsed) {
    Fail(error);
    return nullptr;
  }
  const std::string lines = JoinHeaders(headers);
  if (parsed->scheme == "ftp") {
    HINTERNET request = Register(
        Kind::Request,
        ::InternetOpenUrlA(root->get(), url.c_str(), OrNull(lines),
                           static_cast<DWORD>(lines.size()), flags | INTERNET_FLAG_NO_UI, context),
        root);
    if (request) request->started = true;
    return request;
  }
  HINTERNET request = OpenHttpUrl(*root, *parsed, lines, flags | INTERNET_FLAG_NO_UI, context);
  if (!request) return nullptr;
  // The credentials of an http URL answer the proxy, never the server (those
  // of an ftp URL are its login and stay in it). A Basic challenge is
  // answered by sending the request again with them, so the proxy is asked
  // twice in all: Wine's WinINet, given them as options, would ask without
  // them once more first. Other schemes are left to WinINet, which takes the
  // credentials from the request.
  DWORD status = 0, size = sizeof status;
  if ((!parsed->user.empty() || !parsed->password.empty()) &&
      ::HttpQueryInfoA(request->get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                       &size, nullptr) &&
      status == HTTP_STATUS_PROXY_AUTH_REQ) {
    std::string answer;
    if (ProxyOffersBasic(request->get())) {
      answer = "Proxy-Authorization: Basic " + Base64Encode(parsed->user + ":" + parsed->password) +
               "\r\n";
    } else {
      ::InternetSetOptionA(request->get(), INTERNET_OPTION_PROXY_USERNAME, parsed->user.data(),
                           static_cast<DWORD>(parsed->user.size()));
      ::InternetSetOptionA(request->get(), INTERNET_OPTION_PROXY_PASSWORD, parsed->password.data(),
                           static_cast<DWORD>(parsed->password.size()));
    }
    char drain[4096];
    DWORD read = 0;
    while (::InternetReadFile(request->get(), drain, sizeof drain, &read) && read > 0) {
    }
    if (!::HttpSendRequestA(request->get(), OrNull(answer), static_cast<DWORD>(answer.size()),
                            nullptr, 0)) {
      FailFromSdk();
      return CloseFailed(request);
    }
  }
  NoteExpectedLength(*request);
  return request;
}

namespace {

// The http request a query is about; nothing (with the error set) for any
// other handle, or one not sent yet.
InternetHandle* HttpRequestOf(HINTERNET handle) {
  InternetHandle* request = As(handle, Kind::Request);
  if (request && (!request->http || !request->started)) {
    Fail(request->http ? ERROR_INTERNET_INCORRECT_HANDLE_STATE
                       : ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return nullptr;
  }
  return request;
}

}  // namespace

bool HttpQueryInfo(HINTERNET handle, std::uint32_t infoLevel, std::uint32_t& number) {
  InternetHandle* request = HttpRequestOf(handle);
  if (!request) return false;
  DWORD value = 0, size = sizeof value;
  if (!::HttpQueryInfoA(request->get(), infoLevel | HTTP_QUERY_FLAG_NUMBER, &value, &size,
                        nullptr)) {
    FailFromSdk();
    return false;
  }
  number = value;
  return true;
}

bool HttpQueryInfo(HINTERNET handle, std::uint32_t infoLevel, std::string& text) {
  InternetHandle* request = HttpRequestOf(handle);
  if (!request) return false;
  if (infoLevel != HTTP_QUERY_LAST_MODIFIED && infoLevel != HTTP_QUERY_CONTENT_RANGE &&
      infoLevel != HTTP_QUERY_ETAG) {
    Fail(ERROR_INTERNET_INVALID_OPTION);
    return false;
  }
  std::string value(256, '\0');
  DWORD size = static_cast<DWORD>(value.size());
  if (!::HttpQueryInfoA(request->get(), infoLevel, value.data(), &size, nullptr)) {
    if (::GetLastError() != sdk::ERROR_INSUFFICIENT_BUFFER_) {
      FailFromSdk();
      return false;
    }
    value.assign(size + 1, '\0');
    size = static_cast<DWORD>(value.size());
    if (!::HttpQueryInfoA(request->get(), infoLevel, value.data(), &size, nullptr)) {
      FailFromSdk();
      return false;
    }
  }
  value.resize(size);
  text = value;
  return true;
}

bool InternetReadFile(HINTERNET handle, void* buffer, std::uint32_t toRead, std::uint32_t& read) {
  read = 0;
  InternetHandle* request = As(handle, Kind::Request);
  if (!request) return false;
  if (!request->started) {
    Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return false;
  }
  DWORD got = 0;
  if (!::InternetReadFile(request->get(), buffer, toRead, &got)) {
    FailFromSdk();
    return false;
  }
  request->received += got;
  if (got == 0 && toRead > 0 && request->expected && request->received < *request->expected) {
    Fail(ERROR_INTERNET_CONNECTION_ABORTED);
    return false;
  }
  read = got;
  return true;
}

// ---- Connections -------------------------------------------------------------------------------

HINTERNET InternetConnect(HINTERNET handle, const std::string& server, INTERNET_PORT port,
                          const std::string& user, const std::string& password,
                          std::uint32_t service, std::uint32_t flags, std::uintptr_t context) {
  InternetHandle* root = As(handle, Kind::Root);
  if (!root) return nullptr;
  auto host = detail::UrlHost(server);
  if (!host) {
    Fail(ERROR_INTERNET_INVALID_URL);
    return nullptr;
  }
  if (service != INTERNET_SERVICE_HTTP && service != INTERNET_SERVICE_FTP) {
    Fail(kernel::ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const bool ftp = service == INTERNET_SERVICE_FTP;
  if (host->front() == '[') *host = host->substr(1, host->size() - 2);
  const InternetHandle& from = ftp && root->direct ? *root->direct : *root;
  // WinINet logs in to an FTP server here, anonymously without a user.
  ::HINTERNET connection =
      ::InternetConnectA(from.get(), host->c_str(), port, OrNull(user),
                         user.empty() ? nullptr : password.c_str(), service, flags, context);
  if (!connection && ftp) {
    // Wine reports a refused login without an error number; either way the
    // server's answer tells the caller more than a bare login failure.
    const DWORD error = ::GetLastError();
    std::uint32_t ignored = 0;
    std::string reply;
    InternetGetLastResponseInfo(ignored, reply);
    const bool refused = error == 0 || error == ERROR_INTERNET_LOGIN_FAILURE ||
                         error == ERROR_INTERNET_INCORRECT_USER_NAME ||
                         error == ERROR_INTERNET_INCORRECT_PASSWORD;
    ::SetLastError(refused && !reply.empty() ? DWORD{ERROR_INTERNET_EXTENDED_ERROR} : error);
  }
  return Register(ftp ? Kind::FtpConnection : Kind::HttpConnection, connection, &from);
}

// ---- HTTP requests with a body -------------------------------------------------------------

HINTERNET HttpOpenRequest(HINTERNET handle, const std::string& verb, const std::string& objectName,
                          const std::string& version, const std::string& referrer,
                          std::uint32_t flags, std::uintptr_t context) {
  InternetHandle* connection = As(handle, Kind::HttpConnection);
  if (!connection) return nullptr;
  if (const std::uint32_t error = detail::CheckRequest(verb, objectName)) {
    Fail(error);
    return nullptr;
  }
  std::string path = objectName;
  if (path.empty() || path[0] != '/') path.insert(0, "/");
  const std::string method = verb.empty() ? "GET" : verb;
  HINTERNET request = Register(
      Kind::Request,
      ::HttpOpenRequestA(connection->get(), method.c_str(), path.c_str(), OrNull(version),
                         OrNull(referrer), nullptr,
                         flags | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_UI, context),
      connection);
  if (!request) return nullptr;
  request->http = true;
  request->head = method == "HEAD";
  return request;
}

bool HttpSendRequest(HINTERNET handle, const std::string& headers, std::string_view body) {
  InternetHandle* request = As(handle, Kind::Request);
  if (!request) return false;
  if (request->started || !request->http) {
    Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return false;
  }
  request->started = true;
  const std::string lines = JoinHeaders(headers);
  if (!::HttpSendRequestA(request->get(), OrNull(lines), static_cast<DWORD>(lines.size()),
                          const_cast<char*>(body.data()), static_cast<DWORD>(body.size()))) {
    FailFromSdk();
    return false;
  }
  NoteExpectedLength(*request);
  return true;
}

// ---- FTP ----------------------------------------------------------------------------------

bool FtpSetCurrentDirectory(HINTERNET handle, const std::string& directory) {
  InternetHandle* connection = As(handle, Kind::FtpConnection);
  if (!connection) return false;
  // The server walks the path; this side only keeps track of where it led.
  std::string path = directory;
  std::replace(path.begin(), path.end(), '\\', '/');
  if (!path.empty() && !::FtpSetCurrentDirectoryA(connection->get(), path.c_str())) {
    FailFromSdk();
    return false;
  }
  connection->directory = detail::ChangeFtpDirectory(connection->directory, path);
  return true;
}

std::string FtpCurrentDirectory(HINTERNET handle) {
  InternetHandle* connection = As(handle, Kind::FtpConnection);
  return connection ? detail::FtpDirectoryText(connection->directory) : std::string();
}

HINTERNET FtpFindFirstFile(HINTERNET handle, const std::string& name, WIN32_FIND_DATA& data,
                           std::uint32_t flags, std::uintptr_t context) {
  InternetHandle* connection = As(handle, Kind::FtpConnection);
  if (!connection) return nullptr;
  if (!PlainFtpName(name)) {
    Fail(kernel::ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  WIN32_FIND_DATAA found{};
  ::HINTERNET search = ::FtpFindFirstFileA(connection->get(), name.c_str(), &found, flags, context);
  // A name that is a folder lists what is in it; that is no such file.
  if (search && _stricmp(found.cFileName, name.c_str()) != 0) {
    ::InternetCloseHandle(search);
    search = nullptr;
    ::SetLastError(sdk::ERROR_NO_MORE_FILES_);
  }
  if (!search) {
    // A missing name ends the listing at once: Windows says so with
    // ERROR_NO_MORE_FILES, Wine with no error at all, and some servers
    // refuse to list it ("550 No such file").
    const DWORD error = ::GetLastError();
    std::uint32_t ignored = 0;
    std::string reply;
    if (error == ERROR_INTERNET_EXTENDED_ERROR) InternetGetLastResponseInfo(ignored, reply);
    const bool missing = error == 0 || error == sdk::ERROR_NO_MORE_FILES_ ||
                         error == sdk::ERROR_FILE_NOT_FOUND_ || reply.rfind("550", 0) == 0;
    Fail(missing ? std::uint32_t{kernel::ERROR_NO_MORE_FILES} : error);
    return nullptr;
  }
  data = WIN32_FIND_DATA{};
  data.dwFileAttributes = found.dwFileAttributes;
  data.nFileSizeHigh = found.nFileSizeHigh;
  data.nFileSizeLow = found.nFileSizeLow;
  data.ftLastWriteTime = FromFileTime(found.ftLastWriteTime);
  data.cFileName = found.cFileName;
  return Register(Kind::Search, search, connection);
}

bool FtpCommand(HINTERNET handle, bool expectResponse, std::uint32_t flags,
                const std::string& command, std::uintptr_t context, HINTERNET* ftpCommand) {
  if (ftpCommand) *ftpCommand = nullptr;
  InternetHandle* connection = As(handle, Kind::FtpConnection);
  if (!connection) return false;
  // Only a restart point: a command that opens a data connection would need
  // a handle this service does not hand out.
  if (!detail::RestartPoint(command)) {
    Fail(kernel::ERROR_INVALID_PARAMETER);
    return false;
  }
  // The library sends the transfer type only when it opens a file, after
  // the restart point; a server in its default ASCII type refuses one.
  const char* type = (flags & 0x3) == FTP_TRANSFER_TYPE_ASCII ? "TYPE A" : "TYPE I";
  if (!::FtpCommandA(connection->get(), FALSE, flags, type, context, nullptr) ||
      !::FtpCommandA(connection->get(), expectResponse ? TRUE : FALSE, flags, command.c_str(),
                     context, nullptr)) {
    FailFromSdk();
    return false;
  }
  return true;
}

HINTERNET FtpOpenFile(HINTERNET handle, const std::string& name, std::uint32_t access,
                      std::uint32_t flags, std::uintptr_t context) {
  InternetHandle* connection = As(handle, Kind::FtpConnection);
  if (!connection) return nullptr;
  if (access != GENERIC_READ || !PlainFtpName(name)) {
    Fail(kernel::ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HINTERNET file =
      Register(Kind::Request,
               ::FtpOpenFileA(connection->get(), name.c_str(), sdk::GENERIC_READ_, flags, context),
               connection);
  if (file) file->started = true;
  return file;
}

// ---- Handles and errors ----------------------------------------------------------------

bool InternetCloseHandle(HINTERNET handle) {
  if (!liveHandles.Remove(handle)) {
    Fail(kernel::ERROR_INVALID_HANDLE);
    return false;
  }
  delete handle;
  return true;
}

bool InternetGetLastResponseInfo(std::uint32_t& error, std::string& text) {
  DWORD code = 0;
  DWORD size = 512;
  text.assign(size, '\0');
  if (!::InternetGetLastResponseInfoA(&code, text.data(), &size)) {
    if (::GetLastError() != sdk::ERROR_INSUFFICIENT_BUFFER_) {
      text.clear();
      error = 0;
      return true;
    }
    text.assign(++size, '\0');
    if (!::InternetGetLastResponseInfoA(&code, text.data(), &size)) size = 0;
  }
  text.resize(size);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '\0'))
    text.pop_back();
  error = code;
  return true;
}

std::string FormatMessage(std::uint32_t error) {
  const std::string shared = detail::ErrorText(error);
  if (shared.empty()) return shared;
  // Reading a text is no failure of the caller's: the system's lookup sets
  // its own error when wininet.dll has no text (Wine's has none), which must
  // not replace the one the caller is about to report.
  const DWORD lastError = ::GetLastError();
  char text[1024];
  const DWORD length =
      ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                       ::GetModuleHandleA("wininet.dll"), error, 0, text, sizeof text, nullptr);
  ::SetLastError(lastError);
  std::string result(text, length);
  while (!result.empty() &&
         (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
    result.pop_back();
  return result.empty() ? shared : result;
}

}  // namespace inet
