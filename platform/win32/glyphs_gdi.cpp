// Windows backend of text rasterisation: GDI's own fonts and font mapper,
// the text drawn white on black into a DIB section whose brightness is the
// coverage.
#include "platform/win32/sdk.h"
// clang-format off
#include "platform/glyphs.h"
#include "platform/win32/win32_io.h"
// clang-format on

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

namespace glyphs {
namespace {

struct Face {
  HFONT font = nullptr;
  Metrics metrics;
};

// One memory device context and one font a description, shared by every
// caller; the lock keeps a stray other thread off the shared context.
class Gdi {
 public:
  static Gdi& Instance() {
    static Gdi gdi;
    return gdi;
  }

  std::mutex mutex;

  // The font selected into the context, or null when the system gives none.
  const Face* Select(const Font& font) {
    if (!dc_) return nullptr;
    const auto key = std::make_tuple(font.family, font.height, font.bold, font.italic);
    auto found = faces_.find(key);
    if (found == faces_.end()) found = faces_.emplace(key, Create(font)).first;
    if (!found->second.font) return nullptr;
    ::SelectObject(dc_, found->second.font);
    return &found->second;
  }

  HDC Context() const { return dc_; }

 private:
  Gdi() : dc_(::CreateCompatibleDC(nullptr)) {}
  ~Gdi() {
    if (dc_) ::DeleteDC(dc_);
    for (auto& [key, face] : faces_)
      if (face.font) ::DeleteObject(face.font);
  }

  Face Create(const Font& font) {
    Face face;
    // The sizes TFont means: negative the em, positive the cell, as
    // CreateFont takes them; far beyond any screen font they are capped.
    const int height = std::clamp(font.height == 0 ? -13 : font.height, -2048, 2048);
    std::wstring family = win32_io::WidenUtf8(font.family);
    family.resize(std::min<std::size_t>(family.size(), LF_FACESIZE - 1));
    face.font = ::CreateFontW(height, 0, 0, 0, font.bold ? FW_BOLD : FW_NORMAL, font.italic, FALSE,
                              FALSE, DEFAULT_CHARSET, OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS,
                              ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_DONTCARE, family.c_str());
    TEXTMETRICW text{};
    if (!face.font || !::SelectObject(dc_, face.font) || !::GetTextMetricsW(dc_, &text)) {
      if (face.font) ::DeleteObject(face.font);
      return {};
    }
    face.metrics.ascent = text.tmAscent;
    face.metrics.descent = text.tmDescent;
    face.metrics.underlinePosition = std::max(1, static_cast<int>(text.tmDescent / 2));
    // Only outline fonts say where their underline goes (above the
    // baseline is positive there).
    if (const UINT size = ::GetOutlineTextMetricsW(dc_, 0, nullptr);
        size >= sizeof(OUTLINETEXTMETRICW)) {
      std::vector<unsigned char> buffer(size);
      auto* outline = reinterpret_cast<OUTLINETEXTMETRICW*>(buffer.data());
      if (::GetOutlineTextMetricsW(dc_, size, outline)) {
        face.metrics.underlinePosition = std::max(1, -outline->otmsUnderscorePosition);
        face.metrics.thickness = std::max(1, static_cast<int>(outline->otmsUnderscoreSize));
      }
    }
    return face;
  }

  HDC dc_ = nullptr;
  std::map<std::tuple<std::string, int, bool, bool>, Face> faces_;
};

int Width(HDC dc, const std::wstring& text) {
  SIZE size{};
  if (text.empty() ||
      !::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size))
    return 0;
  return size.cx;
}

}  // namespace

std::optional<Metrics> FontMetrics(const Font& font) {
  Gdi& gdi = Gdi::Instance();
  std::lock_guard lock(gdi.mutex);
  const Face* face = gdi.Select(font);
  if (!face) return std::nullopt;
  return face->metrics;
}

int TextWidth(const Font& font, std::string_view text) {
  Gdi& gdi = Gdi::Instance();
  std::lock_guard lock(gdi.mutex);
  return gdi.Select(font) ? Width(gdi.Context(), win32_io::WidenUtf8(text)) : 0;
}

Mask Rasterize(const Font& font, std::string_view text) {
  Gdi& gdi = Gdi::Instance();
  std::lock_guard lock(gdi.mutex);
  Mask mask;
  const Face* face = gdi.Select(font);
  if (!face) return mask;
  const HDC dc = gdi.Context();
  const std::wstring wide = win32_io::WidenUtf8(text);
  const int width = Width(dc, wide);
  const int height = face->metrics.ascent + face->metrics.descent;
  if (width <= 0 || height <= 0) return mask;
  void* bits = nullptr;
  const HBITMAP bitmap = win32_io::CreateTopDownBitmap(width, height, &bits);
  if (!bitmap) return mask;
  const std::size_t pixels = static_cast<std::size_t>(width) * height;
  std::memset(bits, 0, pixels * 4);
  const HGDIOBJ previous = ::SelectObject(dc, bitmap);
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, 0xFFFFFF);  // white
  ::SetTextAlign(dc, TA_LEFT | TA_TOP | TA_NOUPDATECP);
  ::TextOutW(dc, 0, 0, wide.c_str(), static_cast<int>(wide.size()));
  ::GdiFlush();
  mask.width = width;
  mask.height = height;
  mask.coverage.resize(pixels);
  // Anti-aliased text is grey, so any channel is the coverage.
  const auto* drawn = static_cast<const std::uint32_t*>(bits);
  for (std::size_t i = 0; i < pixels; ++i)
    mask.coverage[i] = static_cast<std::uint8_t>((drawn[i] >> 8) & 0xFF);
  ::SelectObject(dc, previous);
  ::DeleteObject(bitmap);
  return mask;
}

}  // namespace glyphs
