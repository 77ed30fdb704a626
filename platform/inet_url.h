// What both backends of the Internet client service read the same way: URLs
// and host names, proxy lists, request header lines, the FTP directory a
// connection tracks, and the texts of the service's error numbers. Internal
// to the platform layer; callers use platform/inet.h.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace inet::detail {

std::string Lower(std::string text);

// A host name or an IP address as it may stand in a URL; IPv6 addresses
// come back in brackets. Nothing when the text is something else.
std::optional<std::string> UrlHost(const std::string& host);

// Percent-encodes every byte but the unreserved ones (letters, digits, "-._~").
std::string Escape(const std::string& text);

struct ParsedUrl {
  std::string scheme;          // lower case: http, https or ftp
  std::string host;            // as it stands in the URL (IPv6 in brackets)
  std::string url;             // the URL without its user information
  std::string user, password;  // decoded
  std::uint16_t port = 0;      // 0: none given, the scheme's own
  std::string path;            // "/" and what follows, with the query, without a fragment
};

// Reads an http, https or ftp URL; nothing, with the error number in error,
// when it cannot be read (ERROR_INTERNET_UNRECOGNIZED_SCHEME without a
// known scheme, ERROR_INTERNET_INVALID_URL otherwise).
std::optional<ParsedUrl> ParseUrl(const std::string& text, std::uint32_t& error);

struct ProxyEntry {
  std::string scheme;  // empty: every scheme
  std::string proxy;   // "[scheme://]host[:port]"
};

// "[scheme://]host[:port][/]" with a scheme a proxy can speak.
bool ValidProxy(std::string text);
// The entries of a proxy text (see inet::InternetOpen); nothing when one of
// them cannot be read or there is none.
std::optional<std::vector<ProxyEntry>> ParseProxyList(const std::string& text);

// The lines of a block of request headers; blank lines are dropped.
std::vector<std::string> HeaderLines(const std::string& headers);

// The current directory of an FTP connection, relative to the login
// directory unless absolute.
struct FtpDirectory {
  bool absolute = false;
  std::vector<std::string> segments;
};
// The directory after a change to path ("\" or "/" between the names, "/"
// at the start: from the server's root, ".." goes up).
FtpDirectory ChangeFtpDirectory(FtpDirectory directory, const std::string& path);
// "pub/sub", "/pub/sub", or "" for the login directory.
std::string FtpDirectoryText(const FtpDirectory& directory);
// The offset of an FTP "REST n" command (the only one FtpCommand takes), or
// nothing for any other text.
std::optional<std::uint64_t> RestartPoint(const std::string& command);

// The error number HttpOpenRequest gives a verb or object name it cannot
// send (ERROR_INTERNET_INVALID_URL for blanks or control characters in the
// name), 0 when both can be sent.
std::uint32_t CheckRequest(const std::string& verb, const std::string& objectName);

// The handles a backend has given out and not yet taken back, so that a
// stale pointer fails with ERROR_INVALID_HANDLE instead of being used.
class LiveHandles {
 public:
  void Add(const void* handle);
  bool Contains(const void* handle) const;
  // False when the handle was not there.
  bool Remove(const void* handle);

 private:
  mutable std::mutex mutex_;
  std::unordered_set<const void*> handles_;
};

// The text of an error number of the service; empty for others.
std::string ErrorText(std::uint32_t error);

}  // namespace inet::detail
