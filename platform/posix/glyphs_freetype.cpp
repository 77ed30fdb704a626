// POSIX backend of text rasterisation: the font files fontconfig finds,
// rasterised by FreeType with anti-aliasing, and measured the way the
// Windows text services measure them (advance widths without kerning, a
// cell from the font's Windows ascent and descent).
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <climits>
#include <cmath>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "platform/glyphs.h"
#include "platform/posix/fonts.h"

namespace glyphs {
namespace {

// One FreeType library and one face per font file, shared by every caller.
// Text is drawn on the user-interface thread; the lock only keeps a stray
// other caller from corrupting the shared faces.
class FontEngine {
 public:
  static FontEngine& Instance() {
    static FontEngine engine;
    return engine;
  }

  std::mutex mutex;

  // The face for the font at its pixel size, or null when no font can be
  // loaded at all.
  FT_Face Select(const Font& font, Metrics& metrics) {
    FT_Face face = FaceFor(font.family, font.bold, font.italic);
    if (!face || !FT_IS_SCALABLE(face)) return nullptr;
    const TT_OS2* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
    double ascentUnits = face->ascender, descentUnits = -face->descender;
    if (os2 && os2->version != 0xFFFF && os2->usWinAscent + os2->usWinDescent > 0) {
      ascentUnits = os2->usWinAscent;
      descentUnits = os2->usWinDescent;
    }
    const double units = face->units_per_EM > 0 ? face->units_per_EM : 2048;
    const int height = font.height == 0 ? -13 : font.height;
    double em = height < 0 ? -static_cast<double>(height)
                           : height * units / std::max(1.0, ascentUnits + descentUnits);
    em = std::clamp(std::round(em), 1.0, 2048.0);
    if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(em)) != 0) return nullptr;
    const double scale = em / units;
    metrics.ascent = static_cast<int>(std::lround(ascentUnits * scale));
    metrics.descent = static_cast<int>(std::lround(descentUnits * scale));
    metrics.thickness =
        std::max(1, static_cast<int>(std::lround(face->underline_thickness * scale)));
    metrics.underlinePosition =
        std::max(1, static_cast<int>(std::lround(-face->underline_position * scale)));
    return face;
  }

 private:
  FontEngine() {
    if (FT_Init_FreeType(&library_) != 0) library_ = nullptr;
  }
  ~FontEngine() {
    for (auto& [path, face] : faces_)
      if (face) FT_Done_Face(face);
    if (library_) FT_Done_FreeType(library_);
  }

  FT_Face FaceFor(const std::string& family, bool bold, bool italic) {
    if (!library_) return nullptr;
    const auto key = std::make_tuple(family, bold, italic);
    auto found = chosen_.find(key);
    if (found != chosen_.end()) return found->second;
    FT_Face face = nullptr;
    if (auto file = fonts::FindFontFile(family, bold, italic)) face = Open(file->path, file->index);
    chosen_[key] = face;
    return face;
  }

  FT_Face Open(const std::string& path, int index) {
    const auto key = path + "#" + std::to_string(index);
    auto found = faces_.find(key);
    if (found != faces_.end()) return found->second;
    FT_Face face = nullptr;
    if (FT_New_Face(library_, path.c_str(), index, &face) != 0) face = nullptr;
    if (face) FT_Select_Charmap(face, FT_ENCODING_UNICODE);
    faces_[key] = face;
    return face;
  }

  FT_Library library_ = nullptr;
  std::map<std::string, FT_Face> faces_;
  std::map<std::tuple<std::string, bool, bool>, FT_Face> chosen_;
};

// Code points of UTF-8 text; a byte that does not start a valid sequence
// stands for U+FFFD.
std::vector<char32_t> DecodeUtf8(std::string_view text) {
  std::vector<char32_t> out;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    int length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    char32_t cp = length == 1 ? c : length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
    bool valid = length > 0 && i + length <= n;
    for (int k = 1; valid && k < length; ++k) {
      if ((s[i + k] & 0xC0) != 0x80)
        valid = false;
      else
        cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (valid && (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
      valid = false;
    out.push_back(valid ? cp : 0xFFFD);
    i += valid ? length : 1;
  }
  return out;
}

// The advance of a glyph in whole pixels, as the hinted rasteriser places it.
int Advance(FT_Face face, char32_t cp) {
  if (FT_Load_Char(face, cp, FT_LOAD_DEFAULT) != 0) return 0;
  return static_cast<int>((face->glyph->advance.x + 32) >> 6);
}

int Width(FT_Face face, const std::vector<char32_t>& codes) {
  long long width = 0;
  for (char32_t cp : codes) width += Advance(face, cp);
  return static_cast<int>(std::min<long long>(width, INT_MAX));
}

}  // namespace

std::optional<Metrics> FontMetrics(const Font& font) {
  FontEngine& engine = FontEngine::Instance();
  std::lock_guard lock(engine.mutex);
  Metrics metrics;
  if (!engine.Select(font, metrics)) return std::nullopt;
  return metrics;
}

int TextWidth(const Font& font, std::string_view text) {
  FontEngine& engine = FontEngine::Instance();
  std::lock_guard lock(engine.mutex);
  Metrics metrics;
  FT_Face face = engine.Select(font, metrics);
  return face ? Width(face, DecodeUtf8(text)) : 0;
}

Mask Rasterize(const Font& font, std::string_view text) {
  FontEngine& engine = FontEngine::Instance();
  std::lock_guard lock(engine.mutex);
  Metrics metrics;
  FT_Face face = engine.Select(font, metrics);
  Mask mask;
  if (!face) return mask;
  const std::vector<char32_t> codes = DecodeUtf8(text);
  mask.width = Width(face, codes);
  mask.height = metrics.ascent + metrics.descent;
  mask.coverage.assign(static_cast<std::size_t>(mask.width) * mask.height, 0);
  long long pen = 0;
  for (char32_t cp : codes) {
    if (FT_Load_Char(face, cp, FT_LOAD_RENDER) != 0) continue;
    const FT_GlyphSlot g = face->glyph;
    const FT_Bitmap& bitmap = g->bitmap;
    for (unsigned row = 0; row < bitmap.rows; ++row) {
      const long long v = metrics.ascent - g->bitmap_top + static_cast<long long>(row);
      if (v < 0 || v >= mask.height) continue;
      const unsigned char* line = bitmap.buffer + static_cast<long long>(row) * bitmap.pitch;
      for (unsigned col = 0; col < bitmap.width; ++col) {
        const long long u = pen + g->bitmap_left + col;
        if (u < 0 || u >= mask.width) continue;
        int alpha = 0;
        if (bitmap.pixel_mode == FT_PIXEL_MODE_GRAY)
          alpha = line[col] * 255 / std::max(1, bitmap.num_grays - 1);
        else if (bitmap.pixel_mode == FT_PIXEL_MODE_MONO)
          alpha = (line[col / 8] >> (7 - col % 8)) & 1 ? 255 : 0;
        // Where neighbouring glyphs overlap, their coverage adds up as two
        // blends of the same colour would.
        std::uint8_t& cell = mask.coverage[static_cast<std::size_t>(v) * mask.width + u];
        cell = static_cast<std::uint8_t>(cell + alpha - (cell * alpha + 127) / 255);
      }
    }
    pen += (g->advance.x + 32) >> 6;
  }
  return mask;
}

}  // namespace glyphs
