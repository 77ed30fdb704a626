// The parsed form of a profile text and the line rules that both backends
// share with it.
#include "platform/profile.h"

#include <algorithm>
#include <cstdint>

#include "platform/profile_lines.h"
#include "platform/text.h"

namespace profile {

namespace lines {

namespace {

bool HasLineBreak(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos ||
         s.find('\0') != std::string_view::npos;
}

}  // namespace

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

void AppendUnique(std::vector<std::string>& names, std::string name) {
  if (std::none_of(names.begin(), names.end(),
                   [&](const std::string& n) { return SameText(n, name); }))
    names.push_back(std::move(name));
}

int ReadInt(std::string_view s, int defaultValue) {
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

std::optional<WriteNames> CheckWrite(const std::string& section,
                                     const std::optional<std::string>& key,
                                     const std::optional<std::string>& value) {
  // Blanks around names would be dropped by the reader, so they are dropped
  // here.
  WriteNames names;
  names.section = std::string(Trim(section));
  if (HasLineBreak(names.section) || names.section.find(']') != std::string::npos)
    return std::nullopt;
  if (key) {
    names.key = std::string(Trim(*key));
    if (names.key->empty() || HasLineBreak(*names.key) ||
        names.key->find('=') != std::string::npos || names.key->front() == ';' ||
        names.key->front() == '[')
      return std::nullopt;
    if (value && HasLineBreak(*value)) return std::nullopt;
  }
  return names;
}

}  // namespace lines

using namespace lines;

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
  for (const auto& e : s->entries) AppendUnique(keys, e.key);
  return keys;
}

std::vector<std::string> ProfileText::Sections() const {
  std::vector<std::string> names;
  for (const auto& s : sections_) AppendUnique(names, s.name);
  return names;
}

}  // namespace profile
