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
#include "platform/text.h"

namespace profile {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view SkipBom(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return text;
}

// One line of a profile text, classified once so that reading and editing
// agree on what each line means.
struct Line {
  enum class Kind { Other, Section, Entry };
  Kind kind = Kind::Other;
  std::string_view name;   // section name or key, trimmed
  std::string_view value;  // entry value, trimmed, quotes not yet removed
};

Line Classify(std::string_view raw) {
  Line line;
  std::string_view s = Trim(raw);
  if (s.empty() || s.front() == ';') return line;
  if (s.front() == '[') {
    // The name runs to the last "]"; a header without one still opens a
    // section named by the rest of the line.
    std::string_view inner = s.substr(1);
    std::size_t close = inner.rfind(']');
    if (close != std::string_view::npos) inner = inner.substr(0, close);
    line.kind = Line::Kind::Section;
    line.name = Trim(inner);
    return line;
  }
  std::size_t eq = s.find('=');
  if (eq == std::string_view::npos) return line;
  line.name = Trim(s.substr(0, eq));
  if (line.name.empty()) return line;
  line.kind = Line::Kind::Entry;
  line.value = Trim(s.substr(eq + 1));
  return line;
}

std::string Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return std::string(v);
}

// Splits a text into lines without their line ends; a final line without a
// line end is kept, an empty tail is not.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return lines;
}

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

bool HasLineBreak(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos ||
         s.find('\0') != std::string_view::npos;
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

// ---- ProfileText -----------------------------------------------------------

ProfileText::ProfileText(const std::string& text) {
  Section* current = nullptr;
  for (std::string_view raw : SplitLines(SkipBom(text))) {
    Line line = Classify(raw);
    if (line.kind == Line::Kind::Section) {
      sections_.push_back({std::string(line.name), {}});
      current = &sections_.back();
    } else if (line.kind == Line::Kind::Entry && current) {
      current->entries.push_back({std::string(line.name), Unquote(line.value)});
    }
  }
}

const ProfileText::Section* ProfileText::Find(const std::string& name) const {
  for (const auto& s : sections_)
    if (SameText(s.name, name)) return &s;
  return nullptr;
}

std::optional<std::string> ProfileText::Get(const std::string& section,
                                            const std::string& key) const {
  const Section* s = Find(section);
  if (!s) return std::nullopt;
  for (const auto& e : s->entries)
    if (SameText(e.key, key)) return e.value;
  return std::nullopt;
}

std::vector<std::string> ProfileText::Keys(const std::string& section) const {
  std::vector<std::string> keys;
  const Section* s = Find(section);
  if (!s) return keys;
  for (const auto& e : s->entries) {
    bool seen = std::any_of(keys.begin(), keys.end(),
                            [&](const std::string& k) { return SameText(k, e.key); });
    if (!seen) keys.push_back(e.key);
  }
  return keys;
}

std::vector<std::string> ProfileText::Sections() const {
  std::vector<std::string> names;
  for (const auto& s : sections_) {
    bool seen = std::any_of(names.begin(), names.end(),
                            [&](const std::string& n) { return SameText(n, s.name); });
    if (!seen) names.push_back(s.name);
  }
  return names;
}

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
  if (!value) return defaultValue;
  std::string_view s = *value;
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || s.front() < '0' || s.front() > '9') return defaultValue;
  // Too many digits wrap around in 32 bits, as the system's conversion does.
  std::uint32_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    n = n * 10u + static_cast<std::uint32_t>(c - '0');
  }
  if (negative) n = 0u - n;
  return static_cast<int>(n);
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
  // Names and values that would break the line structure (or change what a
  // line means) cannot be written faithfully; blanks around names would be
  // dropped by the reader, so they are dropped here.
  std::string sectionName(Trim(section));
  if (HasLineBreak(sectionName) || sectionName.find(']') != std::string::npos) return false;
  std::optional<std::string> keyName;
  if (key) {
    keyName = std::string(Trim(*key));
    if (keyName->empty() || HasLineBreak(*keyName) || keyName->find('=') != std::string::npos ||
        keyName->front() == ';' || keyName->front() == '[')
      return false;
    if (value && HasLineBreak(*value)) return false;
  }
  if (file.empty()) return false;

  std::string path = kernel::ResolveLetterCase(file);
  std::string text;
  ReadResult read = ReadWholeFile(path, text);
  if (read == ReadResult::Failed) return false;
  if (read == ReadResult::Missing && (!key || !value)) return true;  // nothing to remove
  auto edited = EditText(text, sectionName, keyName, key ? value : std::nullopt);
  if (!edited) return true;
  return ReplaceFile(path, *edited);
}

}  // namespace profile
