// The platform-free parts of the Internet client service, read the same on
// every backend so that a URL or a proxy text one of them accepts is never
// refused by the other.
#include "platform/inet_url.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/inet.h"

namespace inet::detail {

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool IsIPv4(const std::string& text) {
  int parts = 0;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('.', pos);
    if (end == std::string::npos) end = text.size();
    const std::string part = text.substr(pos, end - pos);
    if (part.empty() || part.size() > 3 || !std::all_of(part.begin(), part.end(), IsDigit) ||
        std::atoi(part.c_str()) > 255)
      return false;
    ++parts;
    pos = end + 1;
  }
  return parts == 4;
}

// Colon-separated groups of up to four hex digits, the last of which may be
// an IPv4 address worth two groups; an empty text has none.
bool HexGroups(const std::string& text, bool last, int& groups) {
  groups = 0;
  std::size_t pos = 0;
  while (pos < text.size() || (pos == text.size() && pos > 0)) {
    std::size_t end = text.find(':', pos);
    if (end == std::string::npos) end = text.size();
    const std::string group = text.substr(pos, end - pos);
    if (last && end == text.size() && IsIPv4(group)) {
      groups += 2;
    } else if (group.empty() || group.size() > 4 ||
               !std::all_of(group.begin(), group.end(), [](char c) { return HexValue(c) >= 0; })) {
      return false;
    } else {
      ++groups;
    }
    if (end == text.size()) break;
    pos = end + 1;
  }
  return true;
}

bool IsIPv6(const std::string& text) {
  const std::size_t gap = text.find("::");
  int left = 0, right = 0;
  if (gap == std::string::npos) return HexGroups(text, true, left) && left == 8;
  if (text.find("::", gap + 1) != std::string::npos) return false;
  return HexGroups(text.substr(0, gap), false, left) &&
         HexGroups(text.substr(gap + 2), true, right) && left + right <= 7;
}

std::string Unescape(const std::string& text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      result += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      result += text[i];
    }
  }
  return result;
}

// A port as it stands after a colon: 1 to 65535.
bool ValidPort(const std::string& port) {
  if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), IsDigit))
    return false;
  const long number = std::strtol(port.c_str(), nullptr, 10);
  return number >= 1 && number <= 65535;
}

}  // namespace

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::optional<std::string> UrlHost(const std::string& host) {
  if (host.empty()) return std::nullopt;
  std::string bare = host;
  if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']')
    bare = bare.substr(1, bare.size() - 2);
  if (IsIPv6(bare)) return "[" + bare + "]";
  for (char c : host)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_')
      return std::nullopt;
  return host;
}

std::string Escape(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string result;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
      result += c;
    } else {
      result += '%';
      result += kHex[byte >> 4];
      result += kHex[byte & 0xF];
    }
  }
  return result;
}

std::optional<ParsedUrl> ParseUrl(const std::string& text, std::uint32_t& error) {
  const std::size_t separator = text.find("://");
  error = ERROR_INTERNET_UNRECOGNIZED_SCHEME;
  if (separator == std::string::npos) return std::nullopt;
  ParsedUrl parsed;
  parsed.scheme = Lower(text.substr(0, separator));
  error = ERROR_INTERNET_INVALID_URL;
  if (parsed.scheme.empty() || !std::isalpha(static_cast<unsigned char>(parsed.scheme[0])) ||
      !std::all_of(parsed.scheme.begin(), parsed.scheme.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
      }))
    return std::nullopt;
  if (parsed.scheme != "http" && parsed.scheme != "https" && parsed.scheme != "ftp") {
    error = ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    return std::nullopt;
  }
  const std::size_t start = separator + 3;
  std::size_t end = text.find_first_of("/?#", start);
  if (end == std::string::npos) end = text.size();
  std::string authority = text.substr(start, end - start);
  std::string path = text.substr(end);
  if (auto fragment = path.find('#'); fragment != std::string::npos) path.erase(fragment);
  for (char c : text)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return std::nullopt;
  if (auto at = authority.rfind('@'); at != std::string::npos) {
    const std::string userInfo = authority.substr(0, at);
    authority.erase(0, at + 1);
    const std::size_t colon = userInfo.find(':');
    parsed.user = Unescape(userInfo.substr(0, colon));
    if (colon != std::string::npos) parsed.password = Unescape(userInfo.substr(colon + 1));
  }
  std::string port;
  if (!authority.empty() && authority[0] == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string::npos) return std::nullopt;
    parsed.host = authority.substr(0, close + 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return std::nullopt;
      port = authority.substr(close + 2);
    }
  } else {
    const std::size_t colon = authority.find(':');
    parsed.host = authority.substr(0, colon);
    if (colon != std::string::npos) port = authority.substr(colon + 1);
    // A bare IPv6 address cannot stand in a URL.
    if (parsed.host.find(':') != std::string::npos) return std::nullopt;
  }
  auto host = UrlHost(parsed.host);
  if (!host || (!port.empty() && !ValidPort(port))) return std::nullopt;
  parsed.host = *host;
  if (path.empty() || path[0] != '/') path.insert(0, "/");
  parsed.url = parsed.scheme + "://" + parsed.host + (port.empty() ? "" : ":" + port) + path;
  if (!port.empty())
    parsed.port = static_cast<std::uint16_t>(std::strtol(port.c_str(), nullptr, 10));
  parsed.path = path;
  error = 0;
  return parsed;
}

bool ValidProxy(std::string text) {
  if (auto at = text.find("://"); at != std::string::npos) {
    static const char* const kSchemes[] = {"http",    "https",  "socks4",
                                           "socks4a", "socks5", "socks5h"};
    const std::string scheme = Lower(text.substr(0, at));
    if (std::find(std::begin(kSchemes), std::end(kSchemes), scheme) == std::end(kSchemes))
      return false;
    text = text.substr(at + 3);
  }
  if (!text.empty() && text.back() == '/') text.pop_back();
  std::string host = text;
  if (auto colon = text.rfind(':'); colon != std::string::npos && text.back() != ']') {
    host = text.substr(0, colon);
    if (!ValidPort(text.substr(colon + 1))) return false;
  }
  return UrlHost(host).has_value();
}

std::optional<std::vector<ProxyEntry>> ParseProxyList(const std::string& text) {
  std::vector<ProxyEntry> entries;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find_first_of(" ;", pos);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(pos, end - pos);
    pos = end + 1;
    if (item.empty()) continue;
    ProxyEntry entry;
    const auto equals = item.find('=');
    if (equals != std::string::npos && equals < item.find("://")) {
      entry.scheme = Lower(item.substr(0, equals));
      item = item.substr(equals + 1);
    }
    if (!ValidProxy(item)) return std::nullopt;
    entry.proxy = item;
    entries.push_back(std::move(entry));
  }
  if (entries.empty()) return std::nullopt;
  return entries;
}

std::vector<std::string> HeaderLines(const std::string& headers) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < headers.size()) {
    std::size_t end = headers.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = headers.size();
    if (end > pos) lines.push_back(headers.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

FtpDirectory ChangeFtpDirectory(FtpDirectory directory, const std::string& path) {
  std::string normal = path;
  std::replace(normal.begin(), normal.end(), '\\', '/');
  if (!normal.empty() && normal[0] == '/') {
    directory.absolute = true;
    directory.segments.clear();
  }
  std::vector<std::string>& segments = directory.segments;
  std::size_t pos = 0;
  while (pos <= normal.size()) {
    std::size_t end = normal.find('/', pos);
    if (end == std::string::npos) end = normal.size();
    std::string segment = normal.substr(pos, end - pos);
    pos = end + 1;
    if (segment.empty() || segment == ".") continue;
    if (segment == ".." && !segments.empty() && segments.back() != "..")
      segments.pop_back();
    else
      segments.push_back(segment);
  }
  return directory;
}

std::string FtpDirectoryText(const FtpDirectory& directory) {
  std::string path = directory.absolute ? "/" : "";
  for (std::size_t i = 0; i < directory.segments.size(); ++i)
    path += (i ? "/" : "") + directory.segments[i];
  return path;
}

std::uint32_t CheckRequest(const std::string& verb, const std::string& objectName) {
  for (char c : objectName)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return ERROR_INTERNET_INVALID_URL;
  for (char c : verb)
    if (!std::isalpha(static_cast<unsigned char>(c))) return kernel::ERROR_INVALID_PARAMETER;
  return 0;
}

void LiveHandles::Add(const void* handle) {
  std::lock_guard lock(mutex_);
  handles_.insert(handle);
}

bool LiveHandles::Contains(const void* handle) const {
  std::lock_guard lock(mutex_);
  return handle && handles_.count(handle);
}

bool LiveHandles::Remove(const void* handle) {
  std::lock_guard lock(mutex_);
  return handle && handles_.erase(handle);
}

std::string ErrorText(std::uint32_t error) {
  switch (error) {
    case ERROR_INTERNET_OUT_OF_HANDLES:
      return "No more handles could be generated at this time.";
    case ERROR_INTERNET_TIMEOUT:
      return "The operation timed out.";
    case ERROR_INTERNET_EXTENDED_ERROR:
      return "The server returned extended information.";
    case ERROR_INTERNET_INTERNAL_ERROR:
      return "An internal error occurred in the Internet client.";
    case ERROR_INTERNET_INVALID_URL:
      return "The URL is invalid.";
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
      return "The URL does not use a recognized protocol.";
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      return "The server name or address could not be resolved.";
    case ERROR_INTERNET_INVALID_OPTION:
      return "The option is not valid.";
    case ERROR_INTERNET_LOGIN_FAILURE:
      return "The login attempt failed.";
    case ERROR_INTERNET_OPERATION_CANCELLED:
      return "The operation was cancelled.";
    case ERROR_INTERNET_INCORRECT_HANDLE_TYPE:
      return "The handle is of the wrong type for this operation.";
    case ERROR_INTERNET_INCORRECT_HANDLE_STATE:
      return "The handle is not in the right state for this operation.";
    case ERROR_INTERNET_CANNOT_CONNECT:
      return "A connection with the server could not be established.";
    case ERROR_INTERNET_CONNECTION_ABORTED:
      return "The connection with the server was terminated abnormally.";
    case ERROR_INTERNET_CONNECTION_RESET:
      return "The connection with the server was reset.";
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
      return "The server's security certificate has expired or is not yet valid.";
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
      return "The server's security certificate was issued for another host name.";
    case ERROR_INTERNET_INVALID_CA:
      return "The server's security certificate is not issued by a trusted authority.";
    case ERROR_INTERNET_SEC_CERT_ERRORS:
      return "The server's security certificate has errors.";
    case ERROR_FTP_TRANSFER_IN_PROGRESS:
      return "A file transfer is in progress on this connection.";
    case ERROR_HTTP_HEADER_NOT_FOUND:
      return "The requested header was not found.";
    case ERROR_HTTP_INVALID_SERVER_RESPONSE:
      return "The server response could not be parsed.";
    case ERROR_HTTP_REDIRECT_FAILED:
      return "The redirection failed.";
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
      return "A secure connection with the server could not be established.";
    default:
      return {};
  }
}

std::optional<std::uint64_t> RestartPoint(const std::string& command) {
  if (command.size() < 6 || Lower(command.substr(0, 5)) != "rest ") return std::nullopt;
  const std::string digits = command.substr(5);
  if (digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return std::stoull(digits);
}

}  // namespace inet::detail
