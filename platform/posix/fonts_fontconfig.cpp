// POSIX backend of the font lookup: fontconfig's best match, and the
// DejaVu files every desktop installs when fontconfig finds nothing.
#include <fontconfig/fontconfig.h>

#include <mutex>

#include "platform/kernel.h"
#include "platform/posix/fonts.h"

namespace fonts {
namespace {

constexpr const char* kFallbackFiles[][2] = {
    {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
     "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"},
};

// Fontconfig's caches live until released; they are released at exit so
// that the leak checker sees nothing left behind.
class Fontconfig {
 public:
  static Fontconfig& Get() {
    static Fontconfig instance;
    return instance;
  }
  ~Fontconfig() {
    if (started_) FcFini();
  }

  std::optional<FontFile> Match(const std::string& family, bool bold, bool italic) {
    std::lock_guard lock(mutex_);
    std::optional<FontFile> result;
    if (!started_ && !FcInit()) return result;
    started_ = true;
    FcPattern* pattern = FcPatternCreate();
    if (!pattern) return result;
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    FcPatternAddInteger(pattern, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    FcPatternAddInteger(pattern, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult outcome = FcResultNoMatch;
    if (FcPattern* match = FcFontMatch(nullptr, pattern, &outcome)) {
      FcChar8* file = nullptr;
      int index = 0;
      if (FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file) {
        FcPatternGetInteger(match, FC_INDEX, 0, &index);
        result = FontFile{reinterpret_cast<const char*>(file), index};
      }
      FcPatternDestroy(match);
    }
    FcPatternDestroy(pattern);
    return result;
  }

 private:
  Fontconfig() = default;
  std::mutex mutex_;
  bool started_ = false;
};

}  // namespace

std::optional<FontFile> FindFontFile(const std::string& family, bool bold, bool italic) {
  auto match = Fontconfig::Get().Match(family, bold, italic);
  if (match && kernel::FileExists(match->path)) return match;
  for (const auto& files : kFallbackFiles)
    for (const char* path : {files[bold ? 1 : 0], files[0]})
      if (kernel::FileExists(path)) return FontFile{path, 0};
  return std::nullopt;
}

}  // namespace fonts
