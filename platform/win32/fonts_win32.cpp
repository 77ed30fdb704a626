// Windows backend of the font lookup: the fonts the system lists in the
// registry, else the files the families ship in, in the Windows Fonts
// folder.
#include "platform/win32/sdk.h"
// clang-format off
#include "platform/fonts.h"
#include "platform/text.h"
// clang-format on

#include <string>
#include <string_view>
#include <vector>

namespace fonts {
namespace {

// The files of the families a program of this system names, regular, bold,
// italic and bold italic (empty: the family has no such face).
struct Family {
  const char* name;
  const char* files[4];
  int index;
};
constexpr Family kFamilies[] = {
    {"Tahoma", {"tahoma.ttf", "tahomabd.ttf", "", ""}, 0},
    {"Verdana", {"verdana.ttf", "verdanab.ttf", "verdanai.ttf", "verdanaz.ttf"}, 0},
    {"Arial", {"arial.ttf", "arialbd.ttf", "ariali.ttf", "arialbi.ttf"}, 0},
    {"Microsoft Sans Serif", {"micross.ttf", "", "", ""}, 0},
    {"MS Sans Serif", {"micross.ttf", "", "", ""}, 0},
    {"Segoe UI", {"segoeui.ttf", "segoeuib.ttf", "segoeuii.ttf", "segoeuiz.ttf"}, 0},
    {"Times New Roman", {"times.ttf", "timesbd.ttf", "timesi.ttf", "timesbi.ttf"}, 0},
    {"Courier New", {"cour.ttf", "courbd.ttf", "couri.ttf", "courbi.ttf"}, 0},
    {"MingLiU", {"mingliu.ttc", "", "", ""}, 0},
    {"\xE7\xB4\xB0\xE6\x98\x8E\xE9\xAB\x94", {"mingliu.ttc", "", "", ""}, 0},  // 細明體
    {"PMingLiU", {"mingliu.ttc", "", "", ""}, 1},
    {"\xE6\x96\xB0\xE7\xB4\xB0\xE6\x98\x8E\xE9\xAB\x94",
     {"mingliu.ttc", "", "", ""},
     1},  // 新細明體
    {"SimSun", {"simsun.ttc", "", "", ""}, 0},
    {"\xE5\xAE\x8B\xE4\xBD\x93", {"simsun.ttc", "", "", ""}, 0},  // 宋体
    {"NSimSun", {"simsun.ttc", "", "", ""}, 1},
    {"Microsoft JhengHei", {"msjh.ttc", "msjhbd.ttc", "", ""}, 0},
    {"Microsoft YaHei", {"msyh.ttc", "msyhbd.ttc", "", ""}, 0},
};
// Where a family is missing: the faces every Windows has.
constexpr const char* kDefaultFamilies[] = {"Microsoft Sans Serif", "Tahoma", "Arial", "Segoe UI"};

std::string FontsFolder() {
  char windows[MAX_PATH] = {};
  const UINT length = ::GetWindowsDirectoryA(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return "C:\\Windows\\Fonts";
  std::string folder(windows, length);
  if (folder.back() != '\\') folder += '\\';
  return folder + "Fonts";
}

std::optional<FontFile> Existing(const std::string& file, int index) {
  if (file.empty()) return std::nullopt;
  const bool whole = file.find_first_of("\\/:") != std::string::npos;
  std::string path = whole ? file : FontsFolder() + "\\" + file;
  if (!kernel::FileExists(path)) return std::nullopt;
  return FontFile{std::move(path), index};
}

// The registry's list of installed fonts: "Arial Bold (TrueType)" names
// "arialbd.ttf"; a collection lists its faces in order, "SimSun & NSimSun
// (TrueType)". Without a face: the first listed font whose file exists.
std::optional<FontFile> FromRegistry(const std::string* face) {
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts",
                      0, KEY_READ, &key) != 0)
    return std::nullopt;
  std::optional<FontFile> found;
  std::vector<char> name(16384);
  std::vector<char> data(4 * MAX_PATH);
  for (DWORD i = 0; !found; ++i) {
    DWORD nameSize = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size() - 1);
    DWORD type = 0;
    const LONG status = ::RegEnumValueA(key, i, name.data(), &nameSize, nullptr, &type,
                                        reinterpret_cast<BYTE*>(data.data()), &dataSize);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != 0 || type != sdk::REG_SZ_) continue;
    std::string_view faces(name.data(), nameSize);
    if (const auto kind = faces.rfind(" ("); kind != std::string_view::npos)
      faces = faces.substr(0, kind);
    std::string file(data.data(), dataSize);
    while (!file.empty() && file.back() == '\0') file.pop_back();
    for (int index = 0; !faces.empty() && !found; ++index) {
      const auto amp = faces.find(" & ");
      if (!face || SameText(TrimAscii(faces.substr(0, amp)), *face)) found = Existing(file, index);
      faces = amp == std::string_view::npos ? std::string_view() : faces.substr(amp + 3);
    }
  }
  ::RegCloseKey(key);
  return found;
}

std::optional<FontFile> FromTable(const std::string& family, int style) {
  for (const Family& f : kFamilies)
    if (SameText(f.name, family))
      if (auto file = Existing(f.files[style], f.index)) return file;
  return std::nullopt;
}

// The face in that style, from the registry or the table.
std::optional<FontFile> Face(const std::string& family, bool bold, bool italic) {
  static constexpr const char* kSuffix[] = {"", " Bold", " Italic", " Bold Italic"};
  const int style = (bold ? 1 : 0) + (italic ? 2 : 0);
  const std::string face = family + kSuffix[style];
  if (auto file = FromRegistry(&face)) return file;
  return FromTable(family, style);
}

}  // namespace

std::optional<FontFile> FindFontFile(const std::string& family, bool bold, bool italic) {
  std::vector<std::string> families{family};
  families.insert(families.end(), std::begin(kDefaultFamilies), std::end(kDefaultFamilies));
  for (const std::string& name : families) {
    auto file = Face(name, bold, italic);
    if (file) return file;
    // A family without that style gives its regular face.
    if ((bold || italic) && (file = Face(name, false, false))) return file;
  }
  // A system without any of them (Wine brings few fonts) still has some.
  return FromRegistry(nullptr);
}

}  // namespace fonts
