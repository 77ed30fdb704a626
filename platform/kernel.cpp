// The parts of the kernel service that are the same on every backend: the
// Windows command-line rules, the locale to OEM code page table, the
// translation of errno values, the program's resource table and the owners
// of file handles.
#include "platform/kernel.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string_view>
#include <utility>

#include "platform/lfile.h"

namespace kernel {

// ---- Command line -------------------------------------------------------------------

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

// Follows the rules of CommandLineToArgvW, including its treatment of the
// program name (no backslash processing there) and of "" inside quotes, which
// gives a literal quote and ends the quoted part.
std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> result;
  const std::size_t n = commandLine.size();
  if (n == 0) return result;

  std::size_t i = 0;
  std::string program;
  if (commandLine[0] == '"') {
    for (i = 1; i < n && commandLine[i] != '"'; ++i) program += commandLine[i];
    if (i < n) ++i;  // the closing quote
  } else {
    for (; i < n && !IsBlank(commandLine[i]); ++i) program += commandLine[i];
  }
  result.push_back(std::move(program));
  while (i < n && IsBlank(commandLine[i])) ++i;

  std::string arg;
  bool inArg = false;
  int quotes = 0;               // 1 inside a quoted part
  std::size_t backslashes = 0;  // run of backslashes just copied to arg
  while (i < n) {
    const char c = commandLine[i];
    if (IsBlank(c) && quotes == 0) {
      if (inArg) result.push_back(std::move(arg));
      arg.clear();
      inArg = false;
      backslashes = 0;
      ++i;
      continue;
    }
    inArg = true;
    if (c == '\\') {
      arg += c;
      ++backslashes;
      ++i;
      continue;
    }
    if (c != '"') {
      arg += c;
      backslashes = 0;
      ++i;
      continue;
    }
    // A quote: 2n backslashes before it become n and the quote toggles the
    // quoted part; 2n+1 become n and a literal quote.
    if (backslashes % 2 == 0) {
      arg.resize(arg.size() - backslashes / 2);
      ++quotes;
    } else {
      arg.resize(arg.size() - backslashes / 2 - 1);
      arg += '"';
    }
    backslashes = 0;
    ++i;
    // Further quotes in a row: every third one is literal.
    for (; i < n && commandLine[i] == '"'; ++i) {
      if (++quotes == 3) {
        arg += '"';
        quotes = 0;
      }
    }
    if (quotes == 2) quotes = 0;
  }
  if (inArg) result.push_back(std::move(arg));
  return result;
}

std::string QuoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out += c;
  }
  // Backslashes before the closing quote are doubled so it stays a quote.
  out.append(backslashes * 2, '\\');
  out += '"';
  return out;
}

// ---- OEM code page ----------------------------------------------------------------------

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

struct LanguagePage {
  const char* language;
  unsigned page;
};

// Languages whose OEM code page does not depend on the territory or script.
constexpr LanguagePage kLanguagePages[] = {
    // Western European
    {"af", 850},
    {"an", 850},
    {"ast", 850},
    {"br", 850},
    {"ca", 850},
    {"co", 850},
    {"cy", 850},
    {"da", 850},
    {"de", 850},
    {"es", 850},
    {"eu", 850},
    {"fi", 850},
    {"fo", 850},
    {"fr", 850},
    {"fy", 850},
    {"ga", 850},
    {"gd", 850},
    {"gl", 850},
    {"id", 850},
    {"is", 850},
    {"it", 850},
    {"kl", 850},
    {"lb", 850},
    {"ms", 850},
    {"mt", 850},
    {"nb", 850},
    {"nl", 850},
    {"nn", 850},
    {"no", 850},
    {"oc", 850},
    {"pt", 850},
    {"rm", 850},
    {"se", 850},
    {"sv", 850},
    {"wa", 850},
    {"xh", 850},
    {"zu", 850},
    {"tn", 850},
    {"nso", 850},
    {"wo", 850},
    // Central European
    {"cs", 852},
    {"hr", 852},
    {"hu", 852},
    {"pl", 852},
    {"ro", 852},
    {"sk", 852},
    {"sl", 852},
    {"sq", 852},
    {"tk", 852},
    // Cyrillic
    {"ba", 866},
    {"be", 866},
    {"bg", 866},
    {"kk", 866},
    {"ky", 866},
    {"mk", 866},
    {"mn", 866},
    {"ru", 866},
    {"sah", 866},
    {"tg", 866},
    {"tt", 866},
    {"uk", 866},
    // Baltic
    {"et", 775},
    {"lt", 775},
    {"lv", 775},
    // Others with a code page of their own
    {"el", 737},
    {"tr", 857},
    {"he", 862},
    {"iw", 862},
    {"ar", 720},
    {"fa", 720},
    {"ur", 720},
    {"ug", 720},
    {"ps", 720},
    {"ckb", 720},
    {"th", 874},
    {"vi", 1258},
    {"ja", 932},
    {"ko", 949},
};

}  // namespace

unsigned OEMCodePageForLocale(const std::string& locale) {
  // language[_territory][.codeset][@modifier], or the BCP 47 form with "-".
  std::string_view name = locale;
  std::string_view modifier;
  if (auto at = name.find('@'); at != std::string_view::npos) {
    modifier = name.substr(at + 1);
    name = name.substr(0, at);
  }
  if (auto dot = name.find('.'); dot != std::string_view::npos) name = name.substr(0, dot);
  if (name.empty() || name == "C" || name == "POSIX") return 437;

  std::string language;
  std::string territory;
  std::string script = Lower(modifier);  // glibc spells the script as a modifier
  std::size_t start = 0;
  for (int part = 0; start <= name.size(); ++part) {
    std::size_t end = name.find_first_of("_-", start);
    if (end == std::string_view::npos) end = name.size();
    std::string_view piece = name.substr(start, end - start);
    if (part == 0) {
      language = Lower(piece);
    } else if (piece.size() == 4) {
      script = Lower(piece);
    } else if (!piece.empty()) {
      territory = Upper(piece);
    }
    start = end + 1;
  }
  const bool latin = script == "latin" || script == "latn";
  const bool cyrillic = script == "cyrillic" || script == "cyrl";

  if (language == "zh") {
    if (territory == "TW" || territory == "HK" || territory == "MO" || script == "hant") return 950;
    return 936;
  }
  if (language == "en") {
    static constexpr const char* kEnglish850[] = {"GB", "AU", "CA", "NZ", "IE",
                                                  "JM", "BZ", "TT", "029"};
    for (const char* t : kEnglish850)
      if (territory == t) return 850;
    return 437;
  }
  if (language == "sr") return latin ? 852 : 855;  // Serbian is Cyrillic unless marked Latin
  if (language == "bs") return cyrillic ? 855 : 852;
  if (language == "uz" || language == "az") return cyrillic ? 866 : 857;
  for (const LanguagePage& entry : kLanguagePages)
    if (language == entry.language) return entry.page;
  return 437;
}

// ---- Last error -------------------------------------------------------------------------

// The C library of either platform reports in errno; mingw knows no EDQUOT.
std::uint32_t ErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENOEXEC:
      return ERROR_BAD_EXE_FORMAT;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
    case EFBIG:
      return ERROR_DISK_FULL;
    case ERANGE:
      return ERROR_INSUFFICIENT_BUFFER;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EXDEV:
      return ERROR_NOT_SAME_DEVICE;
    default:
      return kErrnoErrorBase | static_cast<std::uint32_t>(err);
  }
}

// ---- Resources -------------------------------------------------------------------------

namespace {

struct Resource {
  std::string type;
  std::string name;
  std::span<const unsigned char> data;
};

struct ResourceTable {
  std::mutex mutex;
  std::vector<Resource> entries;
};

// Built on first use: registrations run from static initialisers of other
// translation units, in no particular order.
ResourceTable& Resources() {
  static ResourceTable table;
  return table;
}

}  // namespace

// The backend's part of FindResource: what the program file itself carries
// beyond the registered resources. Sets the last error when there is none.
std::optional<std::span<const unsigned char>> FindProgramResource(const std::string& type,
                                                                  const std::string& name);

void RegisterResource(const char* type, const char* name, const unsigned char* data,
                      std::size_t size) {
  ResourceTable& table = Resources();
  std::lock_guard lock(table.mutex);
  std::string t = Upper(type);
  std::string n = Upper(name);
  std::span<const unsigned char> bytes(data, size);
  for (Resource& r : table.entries) {
    if (r.type == t && r.name == n) {
      r.data = bytes;
      return;
    }
  }
  table.entries.push_back({std::move(t), std::move(n), bytes});
}

std::optional<std::span<const unsigned char>> FindResource(const std::string& type,
                                                           const std::string& name) {
  {
    ResourceTable& table = Resources();
    std::lock_guard lock(table.mutex);
    const std::string t = Upper(type);
    const std::string n = Upper(name);
    for (const Resource& r : table.entries)
      if (r.type == t && r.name == n) return r.data;
  }
  return FindProgramResource(type, name);
}

std::string LoadString(int id) {
  auto table = FindResource("STRINGTABLE", "MESSAGES");
  if (!table) return LoadModuleString(id);
  std::string_view text(reinterpret_cast<const char*>(table->data()), table->size());
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);

    std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;
    line = line.substr(first);
    int lineId = 0;
    auto [rest, ec] = std::from_chars(line.data(), line.data() + line.size(), lineId);
    if (ec != std::errc() || lineId != id) continue;
    std::string_view tail(rest, line.data() + line.size() - rest);
    std::size_t open = tail.find('"');
    std::size_t close = tail.rfind('"');
    if (open == std::string_view::npos || close == open) continue;
    return std::string(tail.substr(open + 1, close - open - 1));
  }
  return {};
}

// ---- Temporary names -------------------------------------------------------------------

// Tries the names "<folder><3 letters of prefix><hex>.tmp" as GetTempFileNameA
// does: from the tick count up within 1..FFFF, giving up when every one is
// taken. claim makes the file under a name: true when it did, false with the
// last error set (ERROR_FILE_EXISTS or ERROR_ALREADY_EXISTS: the name is
// taken, try the next). Nothing, with the last error set, when no name could
// be had. The backends declare it where they use it.
std::optional<std::string> ClaimNumberedName(const std::string& folder, const std::string& prefix,
                                             const std::function<bool(const std::string&)>& claim) {
  const char separator = NativePath("/")[0];
  std::string base = ResolveLetterCase(folder);
  if (!base.empty() && base.back() != separator) base += separator;
  base += NativePath(prefix.substr(0, 3));
  std::uint32_t number = GetTickCount() & 0xFFFF;
  if (number == 0) number = 1;
  for (std::uint32_t attempt = 0; attempt < 0xFFFF; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%X.tmp", static_cast<unsigned>(number));
    std::string path = base + suffix;
    if (claim(path)) return path;
    const std::uint32_t error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return std::nullopt;
    number = number % 0xFFFF + 1;
  }
  SetLastError(ERROR_FILE_EXISTS);
  return std::nullopt;
}

// ---- Owned file handles ----------------------------------------------------------------

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    file_ = other.Release();
  }
  return *this;
}

HFILE FileHandle::Release() {
  return std::exchange(file_, HFILE_ERROR);
}

bool FileHandle::Close() {
  if (file_ == HFILE_ERROR) return false;
  return _lclose(Release()) == 0;
}

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : path_(std::exchange(other.path_, std::string())),
      file_(std::exchange(other.file_, HFILE_ERROR)) {}

TemporaryFile& TemporaryFile::operator=(TemporaryFile&& other) noexcept {
  if (this != &other) {
    Discard();
    path_ = std::exchange(other.path_, std::string());
    file_ = std::exchange(other.file_, HFILE_ERROR);
  }
  return *this;
}

TemporaryFile::~TemporaryFile() {
  Discard();
}

std::optional<TemporaryFile> TemporaryFile::Continue(const std::string& path) {
  // Exclusive: two writers appending to one file would interleave.
  HFILE file = _lopen(path, OF_READWRITE | OF_SHARE_EXCLUSIVE);
  if (file == HFILE_ERROR) return std::nullopt;
  if (_llseek(file, 0, FILE_END) < 0) {
    _lclose(file);
    return std::nullopt;
  }
  return TemporaryFile(path, file);
}

bool TemporaryFile::Keep() {
  const bool closed = file_ == HFILE_ERROR || _lclose(std::exchange(file_, HFILE_ERROR)) == 0;
  path_.clear();
  return closed;
}

}  // namespace kernel
