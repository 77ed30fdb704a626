// How a profile text reads, line by line, and which names and values a write
// can store: shared by the parsed form of a profile text and by both
// backends, so that they all agree on what each line means.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace profile::lines {

bool IsBlank(char c);
std::string_view Trim(std::string_view s);
std::string_view SkipBom(std::string_view text);

// One line of a profile text, classified once so that reading and editing
// agree on what each line means.
struct Line {
  enum class Kind { Other, Section, Entry };
  Kind kind = Kind::Other;
  std::string_view name;   // section name or key, trimmed
  std::string_view value;  // entry value, trimmed, quotes not yet removed
};
Line Classify(std::string_view raw);

// The value without one pair of matching quotes around it.
std::string Unquote(std::string_view v);

// Splits a text into lines without their line ends; a final line without a
// line end is kept, an empty tail is not.
std::vector<std::string_view> SplitLines(std::string_view text);

// Adds the name unless the list holds it in some letter case already.
void AppendUnique(std::vector<std::string>& names, std::string name);

// An integer value as the Windows function reads it: leading blanks, an
// optional sign and decimal digits, wrapping around in 32 bits; the default
// when the value does not start with a number.
int ReadInt(std::string_view value, int defaultValue);

// The names a write uses, trimmed as the reader trims them; nothing when the
// text would break the line structure of the file (a line break, "=" in a
// key, "]" in a section name) or change what a line means.
struct WriteNames {
  std::string section;
  std::optional<std::string> key;
};
std::optional<WriteNames> CheckWrite(const std::string& section,
                                     const std::optional<std::string>& key,
                                     const std::optional<std::string>& value);

}  // namespace profile::lines
