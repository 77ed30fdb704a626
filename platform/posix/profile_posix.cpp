#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "platform/kernel.h"
#include "platform/posix/posix_io.h"
#include "platform/profile.h"
#include "platform/profile_lines.h"
#include "platform/text.h"

namespace profile {

using namespace lines;

namespace {

enum class ReadResult { Ok, Missing, Failed };

ReadResult ReadWholeFile(const std::string& path, std::string& out) {
  out.clear();
  if (path.empty()) return ReadResult::Missing;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? ReadResult::Missing : ReadResult::Failed;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uint64_t>(st.st_size) > kMaxFileSize) {
    ::close(fd);
    return ReadResult::Failed;
  }
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || out.size() + static_cast<std::size_t>(n) > kMaxFileSize) {
      ::close(fd);
      out.clear();
      return ReadResult::Failed;
    }
    if (n == 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return ReadResult::Ok;
}

// Replaces the file with the text: a temporary file in the same folder is
// written, flushed and renamed over it, so a reader sees the old or the new
// file and never half of one. The file keeps its permissions; a link is
// followed so that the linked file is the one that changes.
bool ReplaceFile(const std::string& path, std::string_view text) {
  std::string target = path;
  char resolved[PATH_MAX];
  struct stat lst {};
  if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode) &&
      ::realpath(path.c_str(), resolved))
    target = resolved;

  mode_t mode = 0;
  struct stat st {};
  bool existed = ::stat(target.c_str(), &st) == 0;
  if (existed) {
    // A read-only file stays as it is, as it would on Windows.
    if (!(st.st_mode & S_IWUSR)) return false;
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }

  std::string temp = target + ".XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  bool ok = posix_io::WriteAll(fd, text) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(temp.c_str(), target.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
}

// The text with the change applied, or nothing when nothing changes.
std::optional<std::string> EditText(std::string_view original, const std::string& section,
                                    const std::optional<std::string>& key,
                                    const std::optional<std::string>& value) {
  bool bom = original.substr(0, 3) == "\xEF\xBB\xBF";
  std::string_view body = SkipBom(original);
  // New lines follow the file's own line ends; a new file gets the
  // system's.
  std::size_t firstNl = body.find('\n');
  std::string eol =
      (firstNl == std::string_view::npos || (firstNl > 0 && body[firstNl - 1] == '\r')) ? "\r\n"
                                                                                        : "\n";

  std::vector<std::string_view> raw = SplitLines(body);
  std::vector<Line> lines;
  lines.reserve(raw.size());
  for (auto r : raw) lines.push_back(Classify(r));

  // Extent [begin, end) of each section of the given name; the first one is
  // the one readers see.
  struct Range {
    std::size_t header, end;
  };
  std::vector<Range> ranges;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind != Line::Kind::Section || !SameText(lines[i].name, section)) continue;
    std::size_t j = i + 1;
    while (j < lines.size() && lines[j].kind != Line::Kind::Section) ++j;
    ranges.push_back({i, j});
  }

  std::vector<std::string> out(raw.begin(), raw.end());
  std::vector<bool> drop(raw.size(), false);
  bool changed = false;

  if (!key) {
    // Every section of that name goes, so that a later duplicate does not
    // come to light.
    for (const auto& r : ranges)
      for (std::size_t i = r.header; i < r.end; ++i) drop[i] = true;
    changed = !ranges.empty();
  } else if (!value) {
    if (!ranges.empty()) {
      for (std::size_t i = ranges[0].header + 1; i < ranges[0].end; ++i)
        if (lines[i].kind == Line::Kind::Entry && SameText(lines[i].name, *key))
          drop[i] = true, changed = true;
    }
  } else if (ranges.empty()) {
    if (!out.empty() && !Trim(out.back()).empty()) out.emplace_back();
    out.push_back("[" + section + "]");
    out.push_back(*key + "=" + *value);
    drop.resize(out.size(), false);
    changed = true;
  } else {
    const Range& r = ranges[0];
    std::optional<std::size_t> found;
    for (std::size_t i = r.header + 1; i < r.end && !found; ++i)
      if (lines[i].kind == Line::Kind::Entry && SameText(lines[i].name, *key)) found = i;
    if (found) {
      // The key keeps the spelling it has in the file.
      std::string line = std::string(lines[*found].name) + "=" + *value;
      if (line != out[*found]) out[*found] = line, changed = true;
    } else {
      // After the last non-blank line of the section, so that the blank
      // line before the next section stays where it is.
      std::size_t at = r.end;
      while (at > r.header + 1 && Trim(out[at - 1]).empty()) --at;
      out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), *key + "=" + *value);
      drop.insert(drop.begin() + static_cast<std::ptrdiff_t>(at), false);
      changed = true;
    }
  }
  if (!changed) return std::nullopt;

  std::string text = bom ? "\xEF\xBB\xBF" : "";
  for (std::size_t i = 0; i < out.size(); ++i)
    if (!drop[i]) text += out[i] + eol;
  return text;
}

}  // namespace

// ---- File functions ----------------------------------------------------------

namespace {

std::optional<ProfileText> Load(const std::string& file) {
  std::string text;
  if (ReadWholeFile(kernel::ResolveLetterCase(file), text) != ReadResult::Ok) return std::nullopt;
  return ProfileText(text);
}

}  // namespace

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& file) {
  auto profile = Load(file);
  if (!profile) return defaultValue;
  return profile->Get(section, key).value_or(defaultValue);
}

int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& file) {
  auto profile = Load(file);
  if (!profile) return defaultValue;
  auto value = profile->Get(section, key);
  return value ? ReadInt(*value, defaultValue) : defaultValue;
}

std::vector<std::string> GetPrivateProfileKeys(const std::string& section,
                                               const std::string& file) {
  auto profile = Load(file);
  return profile ? profile->Keys(section) : std::vector<std::string>{};
}

std::vector<std::string> GetPrivateProfileSectionNames(const std::string& file) {
  auto profile = Load(file);
  return profile ? profile->Sections() : std::vector<std::string>{};
}

bool WritePrivateProfileString(const std::string& section, const std::optional<std::string>& key,
                               const std::optional<std::string>& value, const std::string& file) {
  auto names = CheckWrite(section, key, value);
  if (!names) return false;
  if (file.empty()) return false;

  std::string path = kernel::ResolveLetterCase(file);
  std::string text;
  ReadResult read = ReadWholeFile(path, text);
  if (read == ReadResult::Failed) return false;
  if (read == ReadResult::Missing && (!key || !value)) return true;  // nothing to remove
  auto edited = EditText(text, names->section, names->key, key ? value : std::nullopt);
  if (!edited) return true;
  return ReplaceFile(path, *edited);
}

}  // namespace profile
