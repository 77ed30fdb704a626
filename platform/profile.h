// Profile ("INI") files with the semantics of the Windows profile-file
// functions: section and key names match without regard to letter case,
// blanks around names and values are dropped, one pair of matching quotes
// around a value is removed, the first of duplicate keys wins, lines that
// begin with ";" are comments, and an absent file, section or key gives the
// default. Every call reads the file anew; writes replace the file
// atomically.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace profile {

// Profile files are small settings files; a larger file is not one, reads as
// empty, and is never read in part.
inline constexpr std::size_t kMaxFileSize = 16u << 20;

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& file);
// Leading blanks, an optional sign and decimal digits, as the Windows function
// reads them; the default when the value is absent or does not start with a
// number.
int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& file);
// Names of the keys of a section in file order (empty when absent).
std::vector<std::string> GetPrivateProfileKeys(const std::string& section, const std::string& file);
std::vector<std::string> GetPrivateProfileSectionNames(const std::string& file);

// Sets key=value, adding the section and key when missing; the file is
// created when missing and keeps its other lines, comments, order and line
// ends. An empty optional value removes the key; an empty optional key
// removes the whole section (every repetition of it, so that none comes to
// light). False when the file cannot be written (a read-only file, a missing
// folder) or the text would break the line structure (a line break, "=" in
// a key, "]" in a section name).
bool WritePrivateProfileString(const std::string& section, const std::optional<std::string>& key,
                               const std::optional<std::string>& value, const std::string& file);

// Parsed form of a profile text, for callers that read many keys at once and
// for the fuzz target.
class ProfileText {
 public:
  explicit ProfileText(const std::string& text);
  std::optional<std::string> Get(const std::string& section, const std::string& key) const;
  std::vector<std::string> Keys(const std::string& section) const;
  std::vector<std::string> Sections() const;

 private:
  struct Entry {
    std::string key, value;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };
  const Section* Find(const std::string& name) const;
  std::vector<Section> sections_;
};

}  // namespace profile
