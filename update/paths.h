// Places and facts of the machine that the update component works with:
// temporary and special folders, path helpers, file versions and sizes, LZ
// expansion and the HTML page dialog.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel.h"
#include "platform/profile.h"

// The native path separator; every function here also accepts "\" in its
// input, since control files are written for Windows.
inline constexpr char kPathDelim = kernel::PATH_SEPARATOR;

// A file version as two 32-bit words: MS = major << 16 | minor,
// LS = release << 16 | build. (-1, -1) means "no version". Compared as
// signed values, MS first.
struct TVersionPair {
  std::int32_t MS = -1;
  std::int32_t LS = -1;
  bool IsNone() const { return MS == -1 && LS == -1; }
  auto operator<=>(const TVersionPair&) const = default;
};

// Sets the process-wide temporary-folder override (empty: none).
void SetUpdateTempDir(const std::string& path);
// The override with a trailing separator, else the system temporary folder.
std::string GetTempDir();
// Appends a separator unless the path is empty or already ends with one.
std::string AddBackslash(const std::string& path);
// Turns a folder into the form that prefix tokens expand to (see the .cpp).
std::string PathForPrefix(const std::string& path);
// Expands the prefix tokens of a path ("{APP}\a.dll", in any letter case)
// from left to right: the text between the braces, in upper case, goes to
// expand, and what it gives takes the token's place; the scan goes on at the
// inserted text. Past a bound of expansions (a folder whose name holds its
// own token) the rest stands as it is. A text with a token comes back with
// native separators throughout.
std::string ExpandPrefixes(std::string path,
                           const std::function<std::string(const std::string&)>& expand);
bool IsDirectory(const std::string& path);
// 1-based position of needle in text ignoring letter case, 0 when absent.
int PosNoCase(std::string_view needle, std::string_view text);
// Every backslash-n pair becomes a carriage return.
std::string ExpandNewlines(std::string_view text);
// A text as a string list loads it: CR LF, LF or CR end a line, and a line
// end at the very end adds no empty line.
std::vector<std::string> SplitLines(const std::string& text);
// The folder part of a path, with its trailing separator ("" when none).
std::string ExtractFilePath(const std::string& path);
// The name after the last separator.
std::string ExtractFileName(const std::string& path);

std::string GetPersonalFolder();
std::string GetProgramFilesDir();
// Throws std::runtime_error "Could not find Local Application Data folder
// location." when the system cannot name it.
std::string GetLocalAppDataDir();

TVersionPair GetFileVersion(const std::string& path);
TVersionPair ParseVersion(std::string_view text);
std::string VersionToString(TVersionPair version);
// Low 32 bits of the size, -1 when the file cannot be opened.
std::int32_t GetFileSizeOf(const std::string& path);
// Expands an SZDD file next to itself under its original name, then deletes
// the compressed file (in every case). True when the expanded file is in
// place with the length the compressed file declares.
bool ExpandLZFile(const std::string& path);
// A profile file parsed once, for readers of many keys; empty when it cannot
// be read or is larger than a profile file may be.
profile::ProfileText LoadProfileText(const std::string& path);
// Writes the bytes as a new file under the path in one rename, so that no
// half file is left and whatever was under the name (a link included) is
// replaced, never written through. Throws std::runtime_error when it fails.
void WriteNewFile(const std::string& path, std::span<const unsigned char> bytes);
bool HasNewShell();
// Shows a page in the system's HTML dialog; this system has no HTML dialog
// library on POSIX, so nothing is shown.
void ShowHTMLPage(const std::string& url);

// A decimal integer with an optional sign in the 32-bit range, nothing
// otherwise (no blanks, no other bases).
std::optional<std::int32_t> ParseDecimal(std::string_view text);
// An integer as the system converts text: decimal with an optional sign in
// the signed 32-bit range, or hexadecimal after "$", "x", "X", "0x" or "0X"
// using all 32 bits; nothing when the text does not convert.
std::optional<std::int32_t> ParseInteger(std::string_view text);
