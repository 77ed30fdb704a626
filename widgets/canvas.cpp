#include "widgets/canvas.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "platform/pngfile.h"
#include "platform/text.h"
#include "widgets/properties.h"

// ---- Colours ---------------------------------------------------------------------

namespace {

// The standard desktop scheme, by system colour index.
constexpr TColor kSystemColors[] = {
    RGB(200, 200, 200),  //  0 scroll bar
    RGB(0, 0, 0),        //  1 background
    RGB(153, 180, 209),  //  2 active caption
    RGB(191, 205, 219),  //  3 inactive caption
    RGB(240, 240, 240),  //  4 menu
    RGB(255, 255, 255),  //  5 window
    RGB(100, 100, 100),  //  6 window frame
    RGB(0, 0, 0),        //  7 menu text
    RGB(0, 0, 0),        //  8 window text
    RGB(0, 0, 0),        //  9 caption text
    RGB(180, 180, 180),  // 10 active border
    RGB(244, 247, 252),  // 11 inactive border
    RGB(171, 171, 171),  // 12 application workspace
    RGB(0, 120, 215),    // 13 highlight
    RGB(255, 255, 255),  // 14 highlight text
    RGB(240, 240, 240),  // 15 button face
    RGB(160, 160, 160),  // 16 button shadow
    RGB(109, 109, 109),  // 17 grey text
    RGB(0, 0, 0),        // 18 button text
    RGB(0, 0, 0),        // 19 inactive caption text
    RGB(255, 255, 255),  // 20 button highlight
    RGB(105, 105, 105),  // 21 3-D dark shadow
    RGB(227, 227, 227),  // 22 3-D light
    RGB(0, 0, 0),        // 23 info text
    RGB(255, 255, 225),  // 24 info background
    RGB(0, 0, 0),        // 25 (unused)
    RGB(0, 102, 204),    // 26 hot light
    RGB(185, 209, 234),  // 27 gradient active caption
    RGB(215, 228, 242),  // 28 gradient inactive caption
    RGB(51, 153, 255),   // 29 menu highlight
    RGB(240, 240, 240),  // 30 menu bar
};

struct ColorName {
  TColor color;
  const char* name;
};

constexpr ColorName kColorNames[] = {
    {clBlack, "clBlack"},
    {clMaroon, "clMaroon"},
    {clGreen, "clGreen"},
    {clOlive, "clOlive"},
    {clNavy, "clNavy"},
    {clPurple, "clPurple"},
    {clTeal, "clTeal"},
    {clGray, "clGray"},
    {clSilver, "clSilver"},
    {clRed, "clRed"},
    {clLime, "clLime"},
    {clYellow, "clYellow"},
    {clBlue, "clBlue"},
    {clFuchsia, "clFuchsia"},
    {clAqua, "clAqua"},
    {clWhite, "clWhite"},
    {0xC0DCC0, "clMoneyGreen"},
    {0xF0CAA6, "clSkyBlue"},
    {0xF0FBFF, "clCream"},
    {0xA4A0A0, "clMedGray"},
    {clNone, "clNone"},
    {clDefault, "clDefault"},
    {clSystemColor | 0, "clScrollBar"},
    {clSystemColor | 1, "clBackground"},
    {clSystemColor | 2, "clActiveCaption"},
    {clSystemColor | 3, "clInactiveCaption"},
    {clSystemColor | 4, "clMenu"},
    {clSystemColor | 5, "clWindow"},
    {clSystemColor | 6, "clWindowFrame"},
    {clSystemColor | 7, "clMenuText"},
    {clSystemColor | 8, "clWindowText"},
    {clSystemColor | 9, "clCaptionText"},
    {clSystemColor | 10, "clActiveBorder"},
    {clSystemColor | 11, "clInactiveBorder"},
    {clSystemColor | 12, "clAppWorkSpace"},
    {clSystemColor | 13, "clHighlight"},
    {clSystemColor | 14, "clHighlightText"},
    {clSystemColor | 15, "clBtnFace"},
    {clSystemColor | 16, "clBtnShadow"},
    {clSystemColor | 17, "clGrayText"},
    {clSystemColor | 18, "clBtnText"},
    {clSystemColor | 19, "clInactiveCaptionText"},
    {clSystemColor | 20, "clBtnHighlight"},
    {clSystemColor | 21, "cl3DDkShadow"},
    {clSystemColor | 22, "cl3DLight"},
    {clSystemColor | 23, "clInfoText"},
    {clSystemColor | 24, "clInfoBk"},
    {clSystemColor | 26, "clHotLight"},
    {clSystemColor | 27, "clGradientActiveCaption"},
    {clSystemColor | 28, "clGradientInactiveCaption"},
    {clSystemColor | 29, "clMenuHighlight"},
    {clSystemColor | 30, "clMenuBar"},
};

bool IsSystemColor(TColor color) {
  const TColor high = color & 0xFF000000;
  return high == 0xFF000000 || high == 0x80000000;
}

}  // namespace

TColor ColorToRGB(TColor color) {
  if (!IsSystemColor(color)) return color;
  const TColor index = color & 0xFF;
  return index < std::size(kSystemColors) ? kSystemColors[index] : clBlack;
}

std::optional<std::string> ColorToIdent(TColor color) {
  for (const auto& entry : kColorNames)
    if (entry.color == color) return std::string(entry.name);
  return std::nullopt;
}

std::optional<TColor> IdentToColor(const std::string& ident) {
  for (const auto& entry : kColorNames)
    if (SameText(entry.name, ident)) return entry.color;
  return std::nullopt;
}

// ---- Font ------------------------------------------------------------------------------

TFont::TFont(const TFont& other)
    : TPersistent(),
      name_(other.name_),
      height_(other.height_),
      color_(other.color_),
      style_(other.style_),
      charset_(other.charset_),
      orientation_(other.orientation_) {}

TFont& TFont::operator=(const TFont& other) {
  if (this == &other || SameAs(other)) return *this;
  name_ = other.name_;
  height_ = other.height_;
  color_ = other.color_;
  style_ = other.style_;
  charset_ = other.charset_;
  orientation_ = other.orientation_;
  Changed();
  return *this;
}

bool TFont::SameAs(const TFont& other) const {
  return name_ == other.name_ && height_ == other.height_ && color_ == other.color_ &&
         style_ == other.style_ && charset_ == other.charset_ && orientation_ == other.orientation_;
}

void TFont::Changed() {
  if (OnChange) OnChange();
}

void TFont::SetName(const std::string& name) {
  if (name.empty() || name == name_) return;
  name_ = name;
  Changed();
}

void TFont::SetHeight(int height) {
  if (height == height_) return;
  height_ = height;
  Changed();
}

namespace {
// Windows' MulDiv: a * b / c in 64 bits, rounded half away from zero.
int MulDiv(int a, int b, int c) {
  const long long n = static_cast<long long>(a) * b;
  const long long q = (2 * (n < 0 ? -n : n) + c) / (2 * static_cast<long long>(c));
  return static_cast<int>(n < 0 ? -q : q);
}
constexpr int kPixelsPerInch = 96;
}  // namespace

int TFont::Size() const {
  return -MulDiv(height_, 72, kPixelsPerInch);
}

void TFont::SetSize(int points) {
  // Sizes beyond any sensible font keep the height within 32-bit range.
  points = std::clamp(points, -1'000'000, 1'000'000);
  SetHeight(-MulDiv(points, kPixelsPerInch, 72));
}

void TFont::SetColor(TColor color) {
  if (color == color_) return;
  color_ = color;
  Changed();
}

void TFont::SetStyle(TFontStyles style) {
  style &= fsBold | fsItalic | fsUnderline | fsStrikeOut;
  if (style == style_) return;
  style_ = style;
  Changed();
}

void TFont::SetCharset(int charset) {
  if (charset == charset_) return;
  charset_ = charset;
  Changed();
}

void TFont::SetOrientation(int tenthsOfDegree) {
  if (tenthsOfDegree == orientation_) return;
  orientation_ = tenthsOfDegree;
  Changed();
}

void TFont::DefineProperties(PropertyList& p) {
  // Character sets are written by name where they have one.
  static constexpr std::pair<int, const char*> kCharsets[] = {
      {0, "ANSI_CHARSET"},      {1, "DEFAULT_CHARSET"},    {2, "SYMBOL_CHARSET"},
      {77, "MAC_CHARSET"},      {128, "SHIFTJIS_CHARSET"}, {129, "HANGEUL_CHARSET"},
      {130, "JOHAB_CHARSET"},   {134, "GB2312_CHARSET"},   {136, "CHINESEBIG5_CHARSET"},
      {161, "GREEK_CHARSET"},   {162, "TURKISH_CHARSET"},  {163, "VIETNAMESE_CHARSET"},
      {177, "HEBREW_CHARSET"},  {178, "ARABIC_CHARSET"},   {186, "BALTIC_CHARSET"},
      {204, "RUSSIAN_CHARSET"}, {222, "THAI_CHARSET"},     {238, "EASTEUROPE_CHARSET"},
      {255, "OEM_CHARSET"},
  };
  p.Custom(
      "Charset",
      [this](const StoredValue& v) {
        if (v.kind == StoredValue::Kind::Identifier) {
          for (const auto& [value, name] : kCharsets)
            if (SameText(name, v.text)) return SetCharset(value);
        } else if (v.kind == StoredValue::Kind::Integer && v.integer >= 0 && v.integer <= 255) {
          return SetCharset(static_cast<int>(v.integer));
        }
        throw EReadError("property Charset expects a character set name or a number 0 to 255");
      },
      [this]() -> std::optional<StoredValue> {
        if (charset_ == 1) return std::nullopt;
        for (const auto& [value, name] : kCharsets)
          if (value == charset_) return StoredValue{StoredValue::Kind::Identifier, name, 0, {}};
        return StoredValue{StoredValue::Kind::Integer, {}, charset_, {}};
      });
  widgets::ColorProperty(
      p, "Color", [this] { return color_; }, [this](TColor v) { SetColor(v); }, clWindowText);
  p.Integer(
      "Height", [this] { return height_; }, [this](int v) { SetHeight(v); }, std::nullopt);
  p.StringAccessor(
      "Name", [this] { return name_; }, [this](const std::string& v) { SetName(v); });
  p.FlagSet(
      "Style", [this] { return style_; }, [this](unsigned v) { SetStyle(v); },
      {"fsBold", "fsItalic", "fsUnderline", "fsStrikeOut"}, 0u);
}

// ---- Canvas ----------------------------------------------------------------------------

bool TCanvas::SizeFits(std::int64_t width, std::int64_t height) {
  return width >= 0 && height >= 0 && width <= kMaxSide && height <= kMaxSide &&
         width * height <= kMaxPixels;
}

TCanvas::TCanvas(int width, int height) {
  SetSize(width, height);
}

void TCanvas::SetSize(int width, int height) {
  if (!SizeFits(width, height))
    throw ECanvasSize("canvas size " + std::to_string(width) + " x " + std::to_string(height) +
                      " is negative or too large");
  width_ = width;
  height_ = height;
  pixels_.assign(static_cast<std::size_t>(width) * height * 3, 0xFF);
}

void TCanvas::Clear(TColor color) {
  color = ColorToRGB(color);
  for (std::size_t i = 0; i < pixels_.size(); i += 3) {
    pixels_[i] = static_cast<std::uint8_t>(GetRValue(color));
    pixels_[i + 1] = static_cast<std::uint8_t>(GetGValue(color));
    pixels_[i + 2] = static_cast<std::uint8_t>(GetBValue(color));
  }
}

TColor TCanvas::Pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return clNone;
  const std::uint8_t* p = &pixels_[(static_cast<std::size_t>(y) * width_ + x) * 3];
  return RGB(p[0], p[1], p[2]);
}

void TCanvas::SetPixel(int x, int y, TColor color) {
  FillSpan(y, x, std::int64_t{x} + 1, color);
}

void TCanvas::FillSpan(std::int64_t y, std::int64_t x1, std::int64_t x2, TColor color) {
  if (y < 0 || y >= height_) return;
  x1 = std::max<std::int64_t>(x1, 0);
  x2 = std::min<std::int64_t>(x2, width_);
  if (x2 <= x1) return;
  color = ColorToRGB(color);
  std::uint8_t* p = &pixels_[(static_cast<std::size_t>(y) * width_ + x1) * 3];
  for (std::int64_t x = x1; x < x2; ++x, p += 3) {
    p[0] = static_cast<std::uint8_t>(GetRValue(color));
    p[1] = static_cast<std::uint8_t>(GetGValue(color));
    p[2] = static_cast<std::uint8_t>(GetBValue(color));
  }
}

void TCanvas::Blend(int x, int y, TColor color, int alpha) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_ || alpha <= 0) return;
  color = ColorToRGB(color);
  std::uint8_t* p = &pixels_[(static_cast<std::size_t>(y) * width_ + x) * 3];
  const int channel[3] = {GetRValue(color), GetGValue(color), GetBValue(color)};
  for (int i = 0; i < 3; ++i) {
    const int mixed = p[i] * (255 - alpha) + channel[i] * alpha;
    p[i] = static_cast<std::uint8_t>((mixed + 127) / 255);
  }
}

void TCanvas::FillRect(std::int64_t x1, std::int64_t y1, std::int64_t x2, std::int64_t y2) {
  if (Brush.Style() == TBrushStyle::bsClear) return;
  const std::int64_t top = std::max<std::int64_t>(y1, 0);
  const std::int64_t bottom = std::min<std::int64_t>(y2, height_);
  for (std::int64_t y = top; y < bottom; ++y) FillSpan(y, x1, x2, Brush.Color());
}

void TCanvas::Rectangle(std::int64_t x1, std::int64_t y1, std::int64_t x2, std::int64_t y2) {
  RoundRect(x1, y1, x2, y2, 0, 0);
}

void TCanvas::RoundRect(std::int64_t x1, std::int64_t y1, std::int64_t x2, std::int64_t y2,
                        int ellipseWidth, int ellipseHeight) {
  if (x2 <= x1 || y2 <= y1) return;
  // An ellipse larger than the rectangle is cut down to it.
  const double a =
      static_cast<double>(std::min<std::int64_t>(std::max(ellipseWidth, 0), x2 - x1)) / 2;
  const double b =
      static_cast<double>(std::min<std::int64_t>(std::max(ellipseHeight, 0), y2 - y1)) / 2;
  // Pixels cut off each end of a row: those whose centres lie outside the
  // corner ellipse, taken a quarter pixel inside the nominal one so that a
  // 6 x 6 corner loses the familiar three pixels.
  auto inset = [&](std::int64_t y) -> std::int64_t {
    if (y < y1 || y >= y2) return -1;  // no row: everything is "outside"
    if (a <= 0.25 || b <= 0.25) return 0;
    const double centre = static_cast<double>(y - y1) + 0.5;
    const double fromBottom = static_cast<double>(y2 - y) - 0.5;
    const double dy = std::max({b - centre, b - fromBottom, 0.0});
    if (dy <= 0) return 0;
    const double ra = a - 0.25, rb = b - 0.25;
    const double t = 1 - (dy / rb) * (dy / rb);
    const double dx = t > 0 ? ra * std::sqrt(t) : 0;
    return std::max<std::int64_t>(0, static_cast<std::int64_t>(std::ceil(a - dx - 0.5)));
  };
  const bool fill = Brush.Style() != TBrushStyle::bsClear;
  const TColor pen = Pen.Color, brush = Brush.Color();
  const std::int64_t top = std::max<std::int64_t>(y1, 0);
  const std::int64_t bottom = std::min<std::int64_t>(y2, height_);
  for (std::int64_t y = top; y < bottom; ++y) {
    const std::int64_t in = inset(y), above = inset(y - 1), below = inset(y + 1);
    const std::int64_t left = x1 + in, right = x2 - in;  // the row covers left ... right - 1
    if (y == y1 || y == y2 - 1) {
      FillSpan(y, left, right, pen);
      continue;
    }
    // An outline pixel has a neighbour above, below or beside it outside the shape.
    const std::int64_t edge = std::max(above, below) - in;  // pixels at each end next to a cut
    const std::int64_t edgeLength = std::max<std::int64_t>(edge, 1);
    FillSpan(y, left, std::min(right, left + edgeLength), pen);
    FillSpan(y, std::max(left, right - edgeLength), right, pen);
    if (fill) FillSpan(y, left + edgeLength, right - edgeLength, brush);
  }
}

void TCanvas::Draw(int x, int y, const TCanvas& source, std::optional<TColor> transparent) {
  const bool keyed = transparent.has_value();
  const TColor key = keyed ? ColorToRGB(*transparent) & 0xFFFFFF : 0;
  for (int sy = 0; sy < source.height_; ++sy) {
    const std::int64_t dy = std::int64_t{y} + sy;
    if (dy < 0 || dy >= height_) continue;
    for (int sx = 0; sx < source.width_; ++sx) {
      const std::int64_t dx = std::int64_t{x} + sx;
      if (dx < 0 || dx >= width_) continue;
      if (keyed && source.Pixel(sx, sy) == key) continue;
      std::memcpy(&pixels_[(static_cast<std::size_t>(dy) * width_ + dx) * 3],
                  &source.pixels_[(static_cast<std::size_t>(sy) * source.width_ + sx) * 3], 3);
    }
  }
}

void TCanvas::SavePng(const std::string& path) const {
  if (width_ == 0 || height_ == 0)
    throw std::runtime_error("cannot write " + path + ": a PNG image cannot be empty");
  const std::string error = pngfile::Write(path, width_, height_, pixels_.data());
  if (!error.empty()) throw std::runtime_error("cannot write " + path + ": " + error);
}

TCanvas TCanvas::LoadPng(const std::string& path) {
  TCanvas canvas;
  const std::string error = pngfile::Read(path, [&](std::uint32_t width, std::uint32_t height) {
    if (!SizeFits(width, height))
      throw ECanvasSize("cannot read " + path + ": the picture is too large");
    canvas.SetSize(static_cast<int>(width), static_cast<int>(height));
    return canvas.pixels_.data();
  });
  if (!error.empty()) throw std::runtime_error("cannot read " + path + ": " + error);
  return canvas;
}
