// What every registry backend shares: the typed queries, and reading and
// writing the ".reg" export text that holds a hive on POSIX. The reader is
// strict: a line it does not understand makes the whole text unreadable, so
// that the backend refuses to rewrite (and so lose) a file it did not fully
// understand.
#include "platform/registry.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "platform/text.h"

namespace registry {

namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Reads a quoted string with \\ and \" escapes from the front of s.
std::optional<std::string> ReadQuoted(std::string_view& s) {
  if (s.empty() || s.front() != '"') return std::nullopt;
  std::string out;
  std::size_t i = 1;
  for (; i < s.size(); ++i) {
    char c = s[i];
    if (c == '"') break;
    if (c == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) return std::nullopt;
      c = s[++i];
    }
    out += c;
  }
  if (i >= s.size()) return std::nullopt;  // no closing quote
  s.remove_prefix(i + 1);
  return out;
}

std::optional<std::uint32_t> ReadDWord(std::string_view s) {
  std::uint32_t v = 0;
  if (s.empty() || s.size() > 8) return std::nullopt;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

// One `"Name"=value` or `@=value` line.
std::optional<std::pair<std::string, Value>> ReadValueLine(std::string_view s) {
  std::string name;
  if (s.front() == '@') {
    s.remove_prefix(1);
  } else {
    auto quoted = ReadQuoted(s);
    if (!quoted) return std::nullopt;
    name = std::move(*quoted);
  }
  s = Trim(s);
  if (s.empty() || s.front() != '=') return std::nullopt;
  s = Trim(s.substr(1));
  if (!s.empty() && s.front() == '"') {
    auto text = ReadQuoted(s);
    if (!text || !Trim(s).empty()) return std::nullopt;
    return std::pair<std::string, Value>{std::move(name), Value{std::move(*text)}};
  }
  constexpr std::string_view kDWord = "dword:";
  if (s.size() >= kDWord.size() && SameText(s.substr(0, kDWord.size()), kDWord)) {
    auto v = ReadDWord(s.substr(kDWord.size()));
    if (!v) return std::nullopt;
    return std::pair<std::string, Value>{std::move(name), Value{*v}};
  }
  return std::nullopt;  // other value types (hex:, deletions) are not ours
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + '"';
}

}  // namespace

// The typed queries are the same on every backend: a value of the other
// type is not converted.
std::optional<std::string> Key::QueryString(std::string_view name) const {
  auto v = Query(name);
  if (!v || !std::holds_alternative<std::string>(*v)) return std::nullopt;
  return std::get<std::string>(*v);
}

std::optional<std::uint32_t> Key::QueryDWord(std::string_view name) const {
  auto v = Query(name);
  if (!v || !std::holds_alternative<std::uint32_t>(*v)) return std::nullopt;
  return std::get<std::uint32_t>(*v);
}

bool Key::ValueExists(std::string_view name) const {
  return Query(name).has_value();
}

std::optional<HiveData> ParseHive(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  HiveData data;
  bool header = false;
  HiveData::KeyData* current = nullptr;
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::string_view line = Trim(text.substr(0, nl));
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (line.empty() || line.front() == ';') continue;
    if (!header) {
      if (line != kHeader5 && line != kHeader4) return std::nullopt;
      header = true;
      continue;
    }
    if (line.front() == '[') {
      if (line.size() < 3 || line.back() != ']' || line[1] == '-') return std::nullopt;
      std::string_view path = line.substr(1, line.size() - 2);
      // A key listed twice is one key, as an import would merge it.
      auto it = std::find_if(data.keys.begin(), data.keys.end(),
                             [&](const HiveData::KeyData& k) { return SameText(k.path, path); });
      if (it == data.keys.end()) {
        data.keys.push_back({std::string(path), {}});
        current = &data.keys.back();
      } else {
        current = &*it;
      }
      continue;
    }
    if (!current || (line.front() != '"' && line.front() != '@')) return std::nullopt;
    auto value = ReadValueLine(line);
    if (!value) return std::nullopt;
    auto& values = current->values;
    auto it = std::find_if(values.begin(), values.end(),
                           [&](const auto& v) { return SameText(v.first, value->first); });
    if (it == values.end())
      values.push_back(std::move(*value));
    else
      it->second = std::move(value->second);  // the later line wins, as on import
  }
  if (!header) return std::nullopt;
  return data;
}

std::string FormatHive(const HiveData& data) {
  std::string out(kHeader5);
  out += "\n\n";
  for (const auto& key : data.keys) {
    out += "[" + key.path + "]\n";
    for (const auto& [name, value] : key.values) {
      out += name.empty() ? std::string("@") : Quote(name);
      out += '=';
      if (const auto* s = std::get_if<std::string>(&value)) {
        out += Quote(*s);
      } else {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08x",
                      static_cast<unsigned>(std::get<std::uint32_t>(value)));
        out += "dword:";
        out += hex;
      }
      out += '\n';
    }
    out += '\n';
  }
  return out;
}

}  // namespace registry
