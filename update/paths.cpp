#include "update/paths.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <mutex>

#include "archive/cabinet.h"
#include "platform/kernel.h"
#include "platform/lfile.h"
#include "platform/lz.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "platform/shell.h"

namespace {

bool IsDelim(char c) {
  return c == '/' || c == '\\';
}

// The override is process-wide and may be read by a worker thread's
// hand-over while the launcher sets it, so it is guarded.
std::mutex tempDirMutex;
std::string tempDirOverride;

}  // namespace

void SetUpdateTempDir(const std::string& path) {
  std::lock_guard lock(tempDirMutex);
  tempDirOverride = path;
}

std::string GetTempDir() {
  {
    std::lock_guard lock(tempDirMutex);
    if (!tempDirOverride.empty()) return AddBackslash(tempDirOverride);
  }
  return AddBackslash(kernel::GetTempPath());
}

std::string AddBackslash(const std::string& path) {
  if (path.empty() || IsDelim(path.back())) return path;
  return path + kPathDelim;
}

std::string PathForPrefix(const std::string& path) {
  std::string result = AddBackslash(path);
  // A Windows folder with a drive letter loses its separator again; every
  // other folder (a drive root, a network share, any POSIX folder) gains a
  // "." so that "{TOKEN}\name" joins to a valid path either way.
  if (result.size() > 3 && result[1] == ':') {
    result.pop_back();
    return result;
  }
  if (result.empty()) return ".";
  return result + ".";
}

std::string ExpandPrefixes(std::string path,
                           const std::function<std::string(const std::string&)>& expand) {
  // An expansion may itself hold tokens, so a folder whose name holds its
  // own token would expand for ever.
  constexpr int kMaxExpansions = 64;
  std::size_t scan = 0;
  int expansions = 0;
  for (; expansions < kMaxExpansions; ++expansions) {
    const std::size_t open = path.find('{', scan);
    if (open == std::string::npos) break;
    const std::size_t close = path.find('}', open + 1);
    if (close == std::string::npos) break;
    std::string token = path.substr(open + 1, close - open - 1);
    for (char& c : token) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    path.replace(open, close - open + 1, expand(token));
    scan = open;
  }
  // A text that a token made into a path of this machine (a command line
  // with its arguments too) is written with this machine's separators, so
  // a program given it and a reader of the log see one path, not two halves.
  return expansions > 0 ? kernel::NativePath(path) : path;
}

bool IsDirectory(const std::string& path) {
  std::uint32_t attributes = kernel::GetFileAttributes(path);
  return attributes != kernel::INVALID_FILE_ATTRIBUTES &&
         (attributes & kernel::FILE_ATTRIBUTE_DIRECTORY);
}

int PosNoCase(std::string_view needle, std::string_view text) {
  auto upper = [](std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
  };
  auto at = upper(text).find(upper(needle));
  return at == std::string::npos ? 0 : static_cast<int>(at) + 1;
}

std::string ExpandNewlines(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
      out += '\r';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) {
      lines.push_back(text.substr(pos));
      break;
    }
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
    if (text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
  }
  return lines;
}

std::string ExtractFilePath(const std::string& path) {
  auto at = path.find_last_of("/\\");
  return at == std::string::npos ? std::string() : path.substr(0, at + 1);
}

std::string ExtractFileName(const std::string& path) {
  auto at = path.find_last_of("/\\");
  return at == std::string::npos ? path : path.substr(at + 1);
}

std::string GetPersonalFolder() {
  // Windows gives every account its documents folder; a new POSIX account
  // may not have one yet, and the user-directory rules expect it to be
  // made by whoever needs it first. One that cannot be made counts as none.
  std::string folder = shell::GetSpecialFolder(shell::SpecialFolder::Personal);
  if (folder.empty() || IsDirectory(folder)) return folder;
  archive::ForceDirectories(folder);
  return IsDirectory(folder) ? folder : std::string();
}

std::string GetProgramFilesDir() {
  auto key = registry::Key::Open(registry::Hive::LocalMachine,
                                 "\\Software\\Microsoft\\Windows\\CurrentVersion");
  if (!key) return {};
  return key->QueryString("ProgramFilesDir").value_or("");
}

std::string GetLocalAppDataDir() {
  std::string folder = shell::GetSpecialFolder(shell::SpecialFolder::LocalAppData);
  if (folder.empty())
    throw std::runtime_error("Could not find Local Application Data folder location.");
  return folder;
}

TVersionPair GetFileVersion(const std::string& path) {
  auto info = kernel::GetFileVersionInfo(path);
  if (!info || info->signature != kernel::kFixedFileInfoSignature) return {};
  return {static_cast<std::int32_t>(info->fileVersionMS),
          static_cast<std::int32_t>(info->fileVersionLS)};
}

std::optional<std::int32_t> ParseDecimal(std::string_view text) {
  // from_chars takes a "-" but no "+".
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  std::int32_t value = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || p != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::int32_t> ParseInteger(std::string_view text) {
  std::string_view t = text;
  bool negative = false;
  if (!t.empty() && (t.front() == '-' || t.front() == '+')) {
    negative = t.front() == '-';
    t.remove_prefix(1);
  }
  std::size_t prefix = 0;
  if (!t.empty() && (t.front() == '$' || t.front() == 'x' || t.front() == 'X'))
    prefix = 1;
  else if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
    prefix = 2;
  if (prefix) {
    t.remove_prefix(prefix);
    if (t.empty()) return std::nullopt;
    std::uint32_t value = 0;
    auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value, 16);
    if (ec != std::errc() || end != t.data() + t.size()) return std::nullopt;
    // The 32 bits as they stand: 80000000 and up read as negative.
    std::uint32_t bits = static_cast<std::uint32_t>(value);
    if (negative) bits = 0u - bits;
    return static_cast<int>(bits);
  }
  if (t.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > 2147483648LL) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > 2147483647LL) return std::nullopt;
  return static_cast<int>(value);
}

TVersionPair ParseVersion(std::string_view text) {
  // A part that is not a number counts as 0. The low part is not cut to 16
  // bits: a minor number above 65535 carries into the major one.
  auto number = [](std::string_view s) {
    return static_cast<std::uint32_t>(ParseDecimal(s).value_or(0));
  };
  auto valid = [](std::string_view s) { return ParseDecimal(s).has_value(); };
  auto word = [](std::uint32_t high, std::uint32_t low) {
    return static_cast<std::int32_t>((high << 16) | low);
  };

  char sep = text.find(',') != std::string_view::npos   ? ','
             : text.find('.') != std::string_view::npos ? '.'
                                                        : '\0';
  TVersionPair result;
  if (!sep) {
    if (valid(text)) result = {word(number(text), 0), 0};
    return result;
  }
  // Takes the text before the next separator off the front of rest.
  auto take = [sep](std::string_view& rest) {
    auto at = rest.find(sep);
    std::string_view part = rest.substr(0, at);
    rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
    return part;
  };
  std::string_view rest = text;
  std::string_view p1 = take(rest);
  if (rest.find(sep) == std::string_view::npos || !valid(p1)) {
    result.MS = word(number(p1), number(rest));
    result.LS = 0;
    return result;
  }
  std::string_view p2 = take(rest);
  result.MS = word(number(p1), number(p2));
  if (rest.find(sep) == std::string_view::npos || !valid(p2)) {
    result.LS = word(number(rest), 0);
    return result;
  }
  std::string_view p3 = take(rest);
  if (valid(rest)) result.LS = word(number(p3), number(rest));
  return result;
}

std::string VersionToString(TVersionPair version) {
  auto ms = static_cast<std::uint32_t>(version.MS);
  auto ls = static_cast<std::uint32_t>(version.LS);
  return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
         std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
}

std::int32_t GetFileSizeOf(const std::string& path) {
  if (IsDirectory(path)) return -1;
  auto size = kernel::GetFileSize(path);
  if (!size) return -1;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(*size));
}

bool ExpandLZFile(const std::string& path) {
  bool expandedInPlace = false;
  bool whole = false;
  lz::Handle source = lz::LZOpenFile(path, lz::OpenMode::Read);
  if (source >= 0) {
    std::string expanded;
    if (lz::GetExpandedName(path, expanded) == 1) {
      // A file that is not compressed "expands" onto itself; deleting the
      // source afterwards would then delete the only copy.
      expandedInPlace = kernel::NativePath(expanded) == kernel::NativePath(path);
      lz::Handle target = lz::LZOpenFile(expanded, lz::OpenMode::Create);
      if (target >= 0) {
        const long written = lz::LZCopy(source, target);
        lz::LZClose(target);
        // The expansion is put in place only when it is closed.
        whole =
            written >= 0 && kernel::GetFileSize(expanded) == static_cast<std::uint64_t>(written);
      }
    }
    lz::LZClose(source);
  }
  if (!expandedInPlace) kernel::DeleteFile(path);
  return whole;
}

profile::ProfileText LoadProfileText(const std::string& path) {
  std::ifstream in(kernel::ResolveLetterCase(path), std::ios::binary);
  std::string text;
  if (in) {
    in.seekg(0, std::ios::end);
    const auto size = in.tellg();
    if (size > 0 && static_cast<std::uintmax_t>(size) <= profile::kMaxFileSize) {
      text.resize(static_cast<std::size_t>(size));
      in.seekg(0);
      in.read(text.data(), size);
      text.resize(static_cast<std::size_t>(in.gcount()));
    }
  }
  return profile::ProfileText(text);
}

void WriteNewFile(const std::string& path, std::span<const unsigned char> bytes) {
  auto file = kernel::TemporaryFile::Beside(path);
  if (!file ||
      kernel::_lwrite(file->Handle(), bytes.data(), static_cast<unsigned>(bytes.size())) !=
          bytes.size() ||
      !file->MoveTo(path))
    throw std::runtime_error("Cannot write " + path);
}

bool HasNewShell() {
  // The "new shell" is the desktop's opener, which StartCommand hands
  // documents and URLs to; without it commands run as plain command lines.
  return shell::HasDesktopOpener();
}

void ShowHTMLPage(const std::string& url) {
  // No HTML dialog library exists on this platform; as when the library is
  // missing, nothing is shown.
}
