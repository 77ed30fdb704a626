// The Internet client service on libcurl.
//
// Every transfer is a curl easy handle driven by the multi interface of its
// root handle, so connections are kept and reused per root. The caller pulls
// a body: the write callback keeps one network chunk and pauses the
// transfer while that chunk is unread, so memory never grows with the size
// of the body. "Waiting" means driving the multi handle until the transfer
// in question has data, has ended, or has been silent for longer than the
// receive time-out.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/inet.h"
#include "platform/inet_url.h"

namespace inet {

using detail::Lower;
using detail::ProxyEntry;
using detail::UrlHost;

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kDefaultConnectTimeoutMs = 60000;
constexpr long kDefaultReceiveTimeoutMs = 60000;
// The largest piece curl hands over at once; one of these is all a request
// holds of its body.
constexpr long kChunkSize = 64 * 1024;

thread_local std::string lastResponse;

void Fail(std::uint32_t error) {
  kernel::SetLastError(error);
}

void EnsureCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// ---- Handles --------------------------------------------------------------------------------

enum class Kind { Root, FtpConnection, HttpConnection, Request, Search };

// What a root handle gives every transfer opened from it.
struct Session {
  Session() : multi(curl_multi_init()) {}
  ~Session() {
    if (multi) curl_multi_cleanup(multi);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  CURLM* multi;
  std::string agent;
  std::uint32_t accessType = INTERNET_OPEN_TYPE_PRECONFIG;
  std::vector<ProxyEntry> proxies;
  std::vector<std::string> bypass;
  bool bypassLocal = false;
  long connectTimeoutMs = kDefaultConnectTimeoutMs;
  long receiveTimeoutMs = kDefaultReceiveTimeoutMs;
};

}  // namespace

struct InternetHandle {
  explicit InternetHandle(Kind k, std::shared_ptr<Session> s) : kind(k), session(std::move(s)) {}
  virtual ~InternetHandle() = default;
  Kind kind;
  std::shared_ptr<Session> session;
};

namespace {

detail::LiveHandles liveHandles;

HINTERNET Register(std::unique_ptr<InternetHandle> handle) {
  liveHandles.Add(handle.get());
  return handle.release();
}

// The handle as the kind the caller needs, or nothing with the error set.
template <typename T>
T* As(HINTERNET handle, Kind kind) {
  if (!liveHandles.Contains(handle)) {
    Fail(kernel::ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (handle->kind != kind) {
    Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return nullptr;
  }
  return static_cast<T*>(handle);
}

struct Root : InternetHandle {
  explicit Root(std::shared_ptr<Session> s) : InternetHandle(Kind::Root, std::move(s)) {}
};

// An FTP login and the current directory this side keeps for it: curl
// changes into the directories of each URL itself, so the directory is a
// path prefix of every URL made from the connection.
struct FtpConnection : InternetHandle {
  explicit FtpConnection(std::shared_ptr<Session> s)
      : InternetHandle(Kind::FtpConnection, std::move(s)) {}
  std::string host;  // as it stands in a URL
  INTERNET_PORT port = INTERNET_DEFAULT_FTP_PORT;
  std::string user, password;
  bool passive = false;
  detail::FtpDirectory directory;
  std::uint64_t restartAt = 0;  // from "REST", for the next file opened
};

struct HttpConnection : InternetHandle {
  explicit HttpConnection(std::shared_ptr<Session> s)
      : InternetHandle(Kind::HttpConnection, std::move(s)) {}
  std::string host;
  INTERNET_PORT port = INTERNET_DEFAULT_HTTP_PORT;
};

struct Search : InternetHandle {
  explicit Search(std::shared_ptr<Session> s) : InternetHandle(Kind::Search, std::move(s)) {}
};

// ---- Transfers ------------------------------------------------------------------------------

class Transfer {
 public:
  explicit Transfer(std::shared_ptr<Session> session)
      : session_(std::move(session)), easy_(curl_easy_init()) {
    errorBuffer_[0] = '\0';
  }
  ~Transfer() {
    Detach();
    if (easy_) curl_easy_cleanup(easy_);
    curl_slist_free_all(headers_);
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  CURL* easy() const { return easy_; }
  bool ftp() const { return ftp_; }
  const std::string& lastReply() const { return lastReply_; }

  // Options every transfer has; false when curl could not make a handle.
  bool Setup(const std::string& url, bool ftp) {
    if (!easy_) return false;
    ftp_ = ftp;
    Set(CURLOPT_URL, url.c_str());
    Set(CURLOPT_PRIVATE, static_cast<void*>(this));
    Set(CURLOPT_ERRORBUFFER, errorBuffer_);
    Set(CURLOPT_NOSIGNAL, 1L);
    Set(CURLOPT_WRITEFUNCTION, &Transfer::OnWrite);
    Set(CURLOPT_WRITEDATA, static_cast<void*>(this));
    Set(CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
    Set(CURLOPT_HEADERDATA, static_cast<void*>(this));
    Set(CURLOPT_PREREQFUNCTION, &Transfer::OnPrereq);
    Set(CURLOPT_PREREQDATA, static_cast<void*>(this));
    Set(CURLOPT_BUFFERSIZE, kChunkSize);
    Set(CURLOPT_PROTOCOLS_STR, "http,https,ftp");
    Set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https,ftp");
    Set(CURLOPT_FOLLOWLOCATION, 1L);
    Set(CURLOPT_MAXREDIRS, 10L);
    Set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    Set(CURLOPT_CONNECTTIMEOUT_MS, session_->connectTimeoutMs);
    Set(CURLOPT_ACCEPTTIMEOUT_MS, session_->connectTimeoutMs);
    if (!session_->agent.empty()) Set(CURLOPT_USERAGENT, session_->agent.c_str());
    if (const char* bundle = std::getenv("SSL_CERT_FILE"); bundle && *bundle) {
      Set(CURLOPT_CAINFO, bundle);
      Set(CURLOPT_PROXY_CAINFO, bundle);
    }
    receiveTimeout_ = std::chrono::milliseconds(session_->receiveTimeoutMs);
    return true;
  }

  template <typename T>
  void Set(CURLoption option, T value) {
    curl_easy_setopt(easy_, option, value);
  }

  void AddHeader(const std::string& line) { headers_ = curl_slist_append(headers_, line.c_str()); }
  void ApplyHeaders() {
    if (headers_) Set(CURLOPT_HTTPHEADER, headers_);
  }

  // Starts the transfer and waits for the answer to begin. A failure leaves
  // its error number; an http answer that arrived before the transfer broke
  // still counts as an answer (reading its body then fails).
  bool Start() {
    if (curl_multi_add_handle(session_->multi, easy_) != CURLM_OK) {
      Fail(ERROR_INTERNET_INTERNAL_ERROR);
      return false;
    }
    attached_ = true;
    Wait();
    if (!done_ || result_ == CURLE_OK || HasData()) return true;
    if (!ftp_) {
      long connectCode = 0;
      curl_easy_getinfo(easy_, CURLINFO_HTTP_CONNECTCODE, &connectCode);
      if (connectCode >= 300) {
        // The proxy refused the tunnel: its answer is the status.
        status_ = connectCode;
        result_ = CURLE_OK;
        return true;
      }
      if (StatusCode() != 0) return true;
    }
    SetError();
    return false;
  }

  // Runs a transfer that has no body for the caller (a login, a directory
  // change, a size lookup) to its end.
  bool Run() {
    if (!Start()) return false;
    while (!done_) {
      chunk_.clear();
      chunkPos_ = 0;
      Wait();
    }
    if (result_ != CURLE_OK) {
      SetError();
      return false;
    }
    return true;
  }

  bool Read(void* buffer, std::uint32_t toRead, std::uint32_t& read) {
    read = 0;
    if (toRead == 0) return true;
    Wait();
    if (HasData()) {
      const std::size_t n = std::min<std::size_t>(toRead, chunk_.size() - chunkPos_);
      std::memcpy(buffer, chunk_.data() + chunkPos_, n);
      chunkPos_ += n;
      read = static_cast<std::uint32_t>(n);
      return true;
    }
    if (result_ != CURLE_OK) {
      SetError();
      return false;
    }
    return true;
  }

  long StatusCode() const {
    if (status_) return status_;
    long code = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code);
    return code;
  }

 private:
  bool HasData() const { return chunkPos_ < chunk_.size(); }

  // Drives the root's transfers until this one has data or has ended.
  void Wait() {
    CURLM* multi = session_->multi;
    // Silence counts from now: the time the caller spent between two reads
    // was not the server's.
    lastActivity_ = Clock::now();
    while (!HasData() && !done_) {
      if (paused_) {
        // The chunk was read: take the one curl held back.
        paused_ = false;
        curl_easy_pause(easy_, CURLPAUSE_CONT);
        if (HasData()) break;
      }
      int running = 0;
      if (curl_multi_perform(multi, &running) != CURLM_OK) {
        Abort(CURLE_OUT_OF_MEMORY);
        break;
      }
      CollectFinished(multi);
      if (HasData() || done_) break;
      auto idle = Clock::now() - lastActivity_;
      if (connected_ && idle >= receiveTimeout_) {
        Abort(CURLE_OPERATION_TIMEDOUT);
        break;
      }
      auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(receiveTimeout_ - idle);
      const int waitMs =
          connected_ ? static_cast<int>(std::clamp<long long>(wait.count(), 1, 200)) : 200;
      curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
    }
  }

  // Marks every transfer of the root that curl has finished.
  static void CollectFinished(CURLM* multi) {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      void* owner = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner);
      auto* transfer = static_cast<Transfer*>(owner);
      const CURLcode result = message->data.result;
      if (transfer) {
        transfer->done_ = true;
        transfer->result_ = result;
        transfer->Detach();
      }
    }
  }

  void Abort(CURLcode code) {
    Detach();
    done_ = true;
    result_ = code;
    chunk_.clear();
    chunkPos_ = 0;
  }

  void Detach() {
    if (attached_) {
      curl_multi_remove_handle(session_->multi, easy_);
      attached_ = false;
    }
  }

  void SetError() {
    const std::uint32_t error = ErrorNumber();
    if (error == ERROR_INTERNET_EXTENDED_ERROR) lastResponse = lastReply_;
    Fail(error);
  }

  std::uint32_t ErrorNumber() const {
    const std::string text = Lower(errorBuffer_);
    switch (result_) {
      case CURLE_UNSUPPORTED_PROTOCOL:
        return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
      case CURLE_URL_MALFORMAT:
        return ERROR_INTERNET_INVALID_URL;
      case CURLE_COULDNT_RESOLVE_PROXY:
      case CURLE_COULDNT_RESOLVE_HOST:
        return ERROR_INTERNET_NAME_NOT_RESOLVED;
      case CURLE_COULDNT_CONNECT:
      case CURLE_FTP_ACCEPT_FAILED:
      case CURLE_FTP_PORT_FAILED:
      case CURLE_FTP_CANT_GET_HOST:
        return ERROR_INTERNET_CANNOT_CONNECT;
      case CURLE_OPERATION_TIMEDOUT:
      case CURLE_FTP_ACCEPT_TIMEOUT:
        return ERROR_INTERNET_TIMEOUT;
      case CURLE_PEER_FAILED_VERIFICATION:
        if (text.find("expired") != std::string::npos ||
            text.find("not yet valid") != std::string::npos)
          return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
        if (text.find("name") != std::string::npos && text.find("match") != std::string::npos)
          return ERROR_INTERNET_SEC_CERT_CN_INVALID;
        return ERROR_INTERNET_INVALID_CA;
      case CURLE_SSL_CACERT_BADFILE:
      case CURLE_SSL_ISSUER_ERROR:
        return ERROR_INTERNET_INVALID_CA;
      case CURLE_SSL_CONNECT_ERROR:
      case CURLE_SSL_CERTPROBLEM:
      case CURLE_SSL_CIPHER:
      case CURLE_SSL_ENGINE_NOTFOUND:
      case CURLE_USE_SSL_FAILED:
        return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
      case CURLE_TOO_MANY_REDIRECTS:
        return ERROR_HTTP_REDIRECT_FAILED;
      case CURLE_GOT_NOTHING:
      case CURLE_WEIRD_SERVER_REPLY:
      case CURLE_HTTP2:
      case CURLE_HTTP2_STREAM:
      case CURLE_BAD_CONTENT_ENCODING:
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
      case CURLE_PARTIAL_FILE:
      case CURLE_RECV_ERROR:
      case CURLE_SEND_ERROR:
        return ERROR_INTERNET_CONNECTION_ABORTED;
      case CURLE_ABORTED_BY_CALLBACK:
        return ERROR_INTERNET_OPERATION_CANCELLED;
      case CURLE_OUT_OF_MEMORY:
        return kernel::ERROR_NOT_ENOUGH_MEMORY;
      case CURLE_LOGIN_DENIED:
        return lastReply_.empty() ? ERROR_INTERNET_LOGIN_FAILURE : ERROR_INTERNET_EXTENDED_ERROR;
      case CURLE_REMOTE_ACCESS_DENIED:
      case CURLE_REMOTE_FILE_NOT_FOUND:
      case CURLE_FTP_COULDNT_RETR_FILE:
      case CURLE_FTP_COULDNT_SET_TYPE:
      case CURLE_FTP_COULDNT_USE_REST:
      case CURLE_FTP_WEIRD_PASV_REPLY:
      case CURLE_FTP_WEIRD_227_FORMAT:
      case CURLE_FTP_WEIRD_PASS_REPLY:
      case CURLE_FTP_PRET_FAILED:
      case CURLE_QUOTE_ERROR:
        return lastReply_.empty() ? ERROR_INTERNET_INTERNAL_ERROR : ERROR_INTERNET_EXTENDED_ERROR;
      default:
        return ERROR_INTERNET_INTERNAL_ERROR;
    }
  }

  static std::size_t OnWrite(char* data, std::size_t size, std::size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    const std::size_t length = size * count;
    t->lastActivity_ = Clock::now();
    t->connected_ = true;
    if (t->HasData()) {
      t->paused_ = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    t->chunk_.assign(data, data + length);
    t->chunkPos_ = 0;
    return length;
  }

  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    const std::size_t length = size * count;
    t->lastActivity_ = Clock::now();
    t->connected_ = true;
    if (t->ftp_) t->NoteFtpReply(std::string_view(data, length));
    return length;
  }

  static int OnPrereq(void* self, char*, char*, int, int) {
    auto* t = static_cast<Transfer*>(self);
    t->lastActivity_ = Clock::now();
    t->connected_ = true;
    return CURL_PREREQFUNC_OK;
  }

  // Keeps the server's last complete reply ("550 No such file.", or every
  // line of a multi-line reply); curl passes the reply lines through the
  // header callback, among lines of its own.
  void NoteFtpReply(std::string_view line) {
    const bool coded = line.size() >= 4 && IsDigit(line[0]) && IsDigit(line[1]) &&
                       IsDigit(line[2]) && (line[3] == ' ' || line[3] == '-');
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (coded && line[3] == '-' && replyLines_.empty()) {
      replyLines_.assign(line);
      replyLines_ += "\r\n";
    } else if (coded && line[3] == ' ' &&
               (replyLines_.empty() || replyLines_.compare(0, 3, line.substr(0, 3)) == 0)) {
      lastReply_ = replyLines_;
      lastReply_ += line;
      replyLines_.clear();
    } else if (!replyLines_.empty()) {
      replyLines_ += line;
      replyLines_ += "\r\n";
    }
  }

  std::shared_ptr<Session> session_;
  CURL* easy_;
  curl_slist* headers_ = nullptr;
  char errorBuffer_[CURL_ERROR_SIZE];
  bool ftp_ = false;
  bool attached_ = false;
  bool paused_ = false;
  bool done_ = false;
  CURLcode result_ = CURLE_OK;
  long status_ = 0;
  std::vector<char> chunk_;
  std::size_t chunkPos_ = 0;
  bool connected_ = false;
  Clock::time_point lastActivity_{};
  std::chrono::milliseconds receiveTimeout_{kDefaultReceiveTimeoutMs};
  std::string replyLines_;
  std::string lastReply_;
};

struct Request : InternetHandle {
  explicit Request(std::shared_ptr<Session> s)
      : InternetHandle(Kind::Request, s), transfer(std::move(s)) {}
  Transfer transfer;
  bool http = false;
  bool started = false;
  std::string verb;
  std::string url;
  std::string body;
};

// ---- URLs ---------------------------------------------------------------------------------

using detail::ParsedUrl;

std::optional<ParsedUrl> ParseUrl(const std::string& text) {
  std::uint32_t error = 0;
  auto parsed = detail::ParseUrl(text, error);
  if (!parsed) Fail(error);
  return parsed;
}

// Applies the root's proxy settings for a URL; credentials answer the
// proxy's challenge only.
void ApplyProxy(Transfer& t, const Session& session, const ParsedUrl& url) {
  if (session.accessType == INTERNET_OPEN_TYPE_DIRECT) {
    t.Set(CURLOPT_PROXY, "");
  } else if (session.accessType == INTERNET_OPEN_TYPE_PROXY) {
    std::string proxy;
    for (const ProxyEntry& entry : session.proxies)
      if (entry.scheme == url.scheme || (entry.scheme.empty() && proxy.empty()))
        proxy = entry.proxy;
    const std::string host = Lower(url.host);
    if (session.bypassLocal && host.find('.') == std::string::npos &&
        host.find(':') == std::string::npos)
      proxy.clear();
    for (const std::string& name : session.bypass)
      if (host == name || (name.front() == '.' && host.size() > name.size() &&
                           host.compare(host.size() - name.size(), name.size(), name) == 0))
        proxy.clear();
    t.Set(CURLOPT_PROXY, proxy.c_str());
    // The environment's no_proxy must not undo an explicit choice.
    t.Set(CURLOPT_NOPROXY, "");
  }
  t.Set(CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
  if (!url.user.empty() || !url.password.empty()) {
    t.Set(CURLOPT_PROXYUSERNAME, url.user.c_str());
    t.Set(CURLOPT_PROXYPASSWORD, url.password.c_str());
  }
}

void ApplyRequestFlags(Transfer& t, std::uint32_t flags) {
  // There is no cache here: every request goes to the server, and nothing
  // is written to a cache. Asked for, the no-cache pragma reaches proxies.
  if (flags & INTERNET_FLAG_PRAGMA_NOCACHE) {
    t.AddHeader("Pragma: no-cache");
    t.AddHeader("Cache-Control: no-cache");
  }
  if (!(flags & INTERNET_FLAG_KEEP_CONNECTION)) t.Set(CURLOPT_FORBID_REUSE, 1L);
}

void AddHeaderLines(Transfer& t, const std::string& headers) {
  for (const std::string& line : detail::HeaderLines(headers)) t.AddHeader(line);
}

std::string FtpUrl(const FtpConnection& c, const detail::FtpDirectory& directory,
                   const std::string& name) {
  std::string url = "ftp://" + c.host + ":" + std::to_string(c.port) + "/";
  if (directory.absolute) url += "%2F";
  for (const std::string& segment : directory.segments) url += detail::Escape(segment) + "/";
  return url + detail::Escape(name);
}

void ApplyFtpLogin(Transfer& t, const FtpConnection& c) {
  t.Set(CURLOPT_PROXY, "");
  if (!c.user.empty()) {
    t.Set(CURLOPT_USERNAME, c.user.c_str());
    t.Set(CURLOPT_PASSWORD, c.password.c_str());
  }
  if (!c.passive) t.Set(CURLOPT_FTPPORT, "-");
}

}  // namespace

// ---- Root handle --------------------------------------------------------------------

HINTERNET InternetOpen(const std::string& agent, std::uint32_t accessType, const std::string& proxy,
                       const std::string& bypass, std::uint32_t flags) {
  EnsureCurl();
  auto session = std::make_shared<Session>();
  if (!session->multi) {
    Fail(ERROR_INTERNET_INTERNAL_ERROR);
    return nullptr;
  }
  session->agent = agent;
  session->accessType = accessType;
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
      session->proxies = std::move(*entries);
      std::size_t pos = 0;
      while (pos < bypass.size()) {
        std::size_t end = bypass.find_first_of(" ;,", pos);
        if (end == std::string::npos) end = bypass.size();
        std::string name = Lower(bypass.substr(pos, end - pos));
        pos = end + 1;
        if (name == "<local>")
          session->bypassLocal = true;
        else if (name.size() > 1 && name[0] == '*' && name[1] == '.')
          session->bypass.push_back(name.substr(1));
        else if (!name.empty())
          session->bypass.push_back(name);
      }
      break;
    }
    default:
      Fail(kernel::ERROR_INVALID_PARAMETER);
      return nullptr;
  }
  return Register(std::make_unique<Root>(std::move(session)));
}

bool InternetSetOption(HINTERNET handle, std::uint32_t option, std::uint32_t value) {
  Root* root = As<Root>(handle, Kind::Root);
  if (!root) return false;
  const long ms = value == 0 ? -1 : static_cast<long>(std::min<std::uint32_t>(value, 0x7FFFFFFF));
  switch (option) {
    case INTERNET_OPTION_CONNECT_TIMEOUT:
      root->session->connectTimeoutMs = ms < 0 ? kDefaultConnectTimeoutMs : ms;
      return true;
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
      root->session->receiveTimeoutMs = ms < 0 ? kDefaultReceiveTimeoutMs : ms;
      return true;
    default:
      Fail(ERROR_INTERNET_INVALID_OPTION);
      return false;
  }
}

// ---- URLs ---------------------------------------------------------------------------------

HINTERNET InternetOpenUrl(HINTERNET handle, const std::string& url, const std::string& headers,
                          std::uint32_t flags, std::uintptr_t) {
  Root* root = As<Root>(handle, Kind::Root);
  if (!root) return nullptr;
  auto parsed = ParseUrl(url);
  if (!parsed) return nullptr;
  auto request = std::make_unique<Request>(root->session);
  Transfer& t = request->transfer;
  const bool ftp = parsed->scheme == "ftp";
  if (!t.Setup(parsed->url, ftp)) {
    Fail(ERROR_INTERNET_OUT_OF_HANDLES);
    return nullptr;
  }
  if (ftp) {
    // The user information of an ftp URL is its login.
    if (!parsed->user.empty()) {
      t.Set(CURLOPT_USERNAME, parsed->user.c_str());
      t.Set(CURLOPT_PASSWORD, parsed->password.c_str());
    }
    ParsedUrl noCredentials = *parsed;
    noCredentials.user.clear();
    noCredentials.password.clear();
    ApplyProxy(t, *root->session, noCredentials);
  } else {
    ApplyProxy(t, *root->session, *parsed);
    AddHeaderLines(t, headers);
    ApplyRequestFlags(t, flags);
    t.AddHeader("Expect:");
    t.ApplyHeaders();
  }
  request->http = !ftp;
  request->started = true;
  if (!t.Start()) return nullptr;
  return Register(std::move(request));
}

namespace {

// The http request a query is about; nothing (with the error set) for any
// other handle, or one not sent yet.
Request* HttpRequestOf(HINTERNET handle) {
  Request* request = As<Request>(handle, Kind::Request);
  if (request && (!request->http || !request->started)) {
    Fail(request->http ? ERROR_INTERNET_INCORRECT_HANDLE_STATE
                       : ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return nullptr;
  }
  return request;
}

}  // namespace

bool HttpQueryInfo(HINTERNET handle, std::uint32_t infoLevel, std::uint32_t& number) {
  Request* request = HttpRequestOf(handle);
  if (!request) return false;
  switch (infoLevel & ~HTTP_QUERY_FLAG_NUMBER) {
    case HTTP_QUERY_STATUS_CODE: {
      const long code = request->transfer.StatusCode();
      if (code <= 0) break;
      number = static_cast<std::uint32_t>(code);
      return true;
    }
    case HTTP_QUERY_CONTENT_LENGTH: {
      curl_off_t length = -1;
      curl_easy_getinfo(request->transfer.easy(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
      if (length < 0) break;
      number = static_cast<std::uint32_t>(length);
      return true;
    }
    default:
      Fail(ERROR_INTERNET_INVALID_OPTION);
      return false;
  }
  Fail(ERROR_HTTP_HEADER_NOT_FOUND);
  return false;
}

bool HttpQueryInfo(HINTERNET handle, std::uint32_t infoLevel, std::string& text) {
  Request* request = HttpRequestOf(handle);
  if (!request) return false;
  const char* name = nullptr;
  switch (infoLevel) {
    case HTTP_QUERY_LAST_MODIFIED:
      name = "Last-Modified";
      break;
    case HTTP_QUERY_CONTENT_RANGE:
      name = "Content-Range";
      break;
    case HTTP_QUERY_ETAG:
      name = "ETag";
      break;
    default:
      Fail(ERROR_INTERNET_INVALID_OPTION);
      return false;
  }
  // Only the final answer counts, not a redirect on the way to it.
  curl_header* header = nullptr;
  if (curl_easy_header(request->transfer.easy(), name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK) {
    Fail(ERROR_HTTP_HEADER_NOT_FOUND);
    return false;
  }
  text = header->value;
  return true;
}

bool InternetReadFile(HINTERNET handle, void* buffer, std::uint32_t toRead, std::uint32_t& read) {
  read = 0;
  Request* request = As<Request>(handle, Kind::Request);
  if (!request) return false;
  if (!request->started) {
    Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return false;
  }
  return request->transfer.Read(buffer, toRead, read);
}

// ---- Connections -------------------------------------------------------------------------------

HINTERNET InternetConnect(HINTERNET handle, const std::string& server, INTERNET_PORT port,
                          const std::string& user, const std::string& password,
                          std::uint32_t service, std::uint32_t flags, std::uintptr_t) {
  Root* root = As<Root>(handle, Kind::Root);
  if (!root) return nullptr;
  auto host = UrlHost(server);
  if (!host) {
    Fail(ERROR_INTERNET_INVALID_URL);
    return nullptr;
  }
  if (service == INTERNET_SERVICE_HTTP) {
    auto connection = std::make_unique<HttpConnection>(root->session);
    connection->host = *host;
    connection->port = port ? port : INTERNET_DEFAULT_HTTP_PORT;
    return Register(std::move(connection));
  }
  if (service != INTERNET_SERVICE_FTP) {
    Fail(kernel::ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto connection = std::make_unique<FtpConnection>(root->session);
  connection->host = *host;
  connection->port = port ? port : INTERNET_DEFAULT_FTP_PORT;
  connection->user = user;
  connection->password = password;
  connection->passive = (flags & INTERNET_FLAG_PASSIVE) != 0;
  // Log in now, as the Windows library does; the login stays in the root's
  // connection cache for the transfers that follow.
  Transfer login(root->session);
  if (!login.Setup(FtpUrl(*connection, {}, ""), true)) {
    Fail(ERROR_INTERNET_OUT_OF_HANDLES);
    return nullptr;
  }
  ApplyFtpLogin(login, *connection);
  login.Set(CURLOPT_NOBODY, 1L);
  if (!login.Run()) return nullptr;
  return Register(std::move(connection));
}

// ---- HTTP requests with a body -------------------------------------------------------------

HINTERNET HttpOpenRequest(HINTERNET handle, const std::string& verb, const std::string& objectName,
                          const std::string&, const std::string& referrer, std::uint32_t flags,
                          std::uintptr_t) {
  HttpConnection* connection = As<HttpConnection>(handle, Kind::HttpConnection);
  if (!connection) return nullptr;
  if (const std::uint32_t error = detail::CheckRequest(verb, objectName)) {
    Fail(error);
    return nullptr;
  }
  auto request = std::make_unique<Request>(connection->session);
  request->http = true;
  request->verb = verb.empty() ? "GET" : verb;
  std::string path = objectName;
  if (path.empty() || path[0] != '/') path.insert(0, "/");
  request->url = "http://" + connection->host + ":" + std::to_string(connection->port) + path;
  auto parsed = ParseUrl(request->url);
  if (!parsed) return nullptr;
  Transfer& t = request->transfer;
  if (!t.Setup(parsed->url, false)) {
    Fail(ERROR_INTERNET_OUT_OF_HANDLES);
    return nullptr;
  }
  ApplyProxy(t, *connection->session, *parsed);
  ApplyRequestFlags(t, flags | INTERNET_FLAG_KEEP_CONNECTION);
  if (!referrer.empty()) t.Set(CURLOPT_REFERER, referrer.c_str());
  return Register(std::move(request));
}

bool HttpSendRequest(HINTERNET handle, const std::string& headers, std::string_view body) {
  Request* request = As<Request>(handle, Kind::Request);
  if (!request) return false;
  if (request->started || request->url.empty()) {
    Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    return false;
  }
  Transfer& t = request->transfer;
  request->body.assign(body);
  if (request->verb == "GET") {
    t.Set(CURLOPT_HTTPGET, 1L);
  } else if (request->verb == "HEAD") {
    t.Set(CURLOPT_NOBODY, 1L);
  } else {
    if (request->verb != "POST") t.Set(CURLOPT_CUSTOMREQUEST, request->verb.c_str());
  }
  if (request->verb != "GET" && request->verb != "HEAD") {
    t.Set(CURLOPT_POSTFIELDS, request->body.data());
    t.Set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request->body.size()));
  }
  AddHeaderLines(t, headers);
  t.AddHeader("Expect:");
  t.ApplyHeaders();
  request->started = true;
  return t.Start();
}

// ---- FTP ----------------------------------------------------------------------------------

bool FtpSetCurrentDirectory(HINTERNET handle, const std::string& directory) {
  FtpConnection* connection = As<FtpConnection>(handle, Kind::FtpConnection);
  if (!connection) return false;
  detail::FtpDirectory changed = detail::ChangeFtpDirectory(connection->directory, directory);
  // Ask the server: curl changes into each directory of the URL.
  Transfer check(connection->session);
  if (!check.Setup(FtpUrl(*connection, changed, ""), true)) {
    Fail(ERROR_INTERNET_OUT_OF_HANDLES);
    return false;
  }
  ApplyFtpLogin(check, *connection);
  check.Set(CURLOPT_NOBODY, 1L);
  if (!check.Run()) return false;
  connection->directory = std::move(changed);
  return true;
}

std::string FtpCurrentDirectory(HINTERNET handle) {
  FtpConnection* connection = As<FtpConnection>(handle, Kind::FtpConnection);
  return connection ? detail::FtpDirectoryText(connection->directory) : std::string();
}

HINTERNET FtpFindFirstFile(HINTERNET handle, const std::string& name, WIN32_FIND_DATA& data,
                           std::uint32_t, std::uintptr_t) {
  FtpConnection* connection = As<FtpConnection>(handle, Kind::FtpConnection);
  if (!connection) return nullptr;
  if (name.empty() || name.find('/') != std::string::npos) {
    Fail(kernel::ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Transfer lookup(connection->session);
  if (!lookup.Setup(FtpUrl(*connection, connection->directory, name), true)) {
    Fail(ERROR_INTERNET_OUT_OF_HANDLES);
    return nullptr;
  }
  ApplyFtpLogin(lookup, *connection);
  lookup.Set(CURLOPT_NOBODY, 1L);
  lookup.Set(CURLOPT_FILETIME, 1L);
  curl_off_t size = -1;
  if (lookup.Run()) curl_easy_getinfo(lookup.easy(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size);
  if (size < 0) {
    Fail(kernel::ERROR_NO_MORE_FILES);
    return nullptr;
  }
  data = WIN32_FIND_DATA{};
  data.dwFileAttributes = kernel::FILE_ATTRIBUTE_NORMAL;
  data.nFileSizeHigh = static_cast<std::uint32_t>(static_cast<std::uint64_t>(size) >> 32);
  data.nFileSizeLow = static_cast<std::uint32_t>(size);
  data.cFileName = name;
  curl_off_t time = -1;
  curl_easy_getinfo(lookup.easy(), CURLINFO_FILETIME_T, &time);
  if (time >= 0) data.ftLastWriteTime = kernel::FileTime(std::chrono::seconds(time));
  return Register(std::make_unique<Search>(connection->session));
}

bool FtpCommand(HINTERNET handle, bool, std::uint32_t, const std::string& command, std::uintptr_t,
                HINTERNET* ftpCommand) {
  if (ftpCommand) *ftpCommand = nullptr;
  FtpConnection* connection = As<FtpConnection>(handle, Kind::FtpConnection);
  if (!connection) return false;
  // Each curl transfer logs in afresh, so the restart point is kept for the
  // next file opened rather than sent now.
  const auto at = detail::RestartPoint(command);
  if (!at) {
    Fail(kernel::ERROR_INVALID_PARAMETER);
    return false;
  }
  connection->restartAt = *at;
  return true;
}

HINTERNET FtpOpenFile(HINTERNET handle, const std::string& name, std::uint32_t access,
                      std::uint32_t flags, std::uintptr_t) {
  FtpConnection* connection = As<FtpConnection>(handle, Kind::FtpConnection);
  if (!connection) return nullptr;
  if (access != GENERIC_READ || name.empty() || name.find('/') != std::string::npos) {
    Fail(kernel::ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto request = std::make_unique<Request>(connection->session);
  Transfer& t = request->transfer;
  if (!t.Setup(FtpUrl(*connection, connection->directory, name), true)) {
    Fail(ERROR_INTERNET_OUT_OF_HANDLES);
    return nullptr;
  }
  ApplyFtpLogin(t, *connection);
  if ((flags & 0x3) == FTP_TRANSFER_TYPE_ASCII) t.Set(CURLOPT_TRANSFERTEXT, 1L);
  if (const std::uint64_t at = std::exchange(connection->restartAt, 0))
    t.Set(CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(at));
  request->started = true;
  if (!t.Start()) return nullptr;
  return Register(std::move(request));
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
  error = 0;
  text = lastResponse;
  return true;
}

std::string FormatMessage(std::uint32_t error) {
  return detail::ErrorText(error);
}

}  // namespace inet
