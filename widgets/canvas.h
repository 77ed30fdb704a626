// The small software canvas that widgets draw on: an RGB pixel buffer with
// the handful of drawing operations the level progress bar needs (filled
// rectangles, a plain and a rounded outlined rectangle, text through a real
// font rasteriser, a copy with a transparent colour) and PNG output, so that
// what a widget draws can be looked at and tested pixel by pixel.
//
// The operations follow the conventions of the Windows drawing services the
// widgets were designed against: a rectangle (x1, y1, x2, y2) covers the
// pixels x1 ... x2 - 1 and y1 ... y2 - 1, outlines are drawn inside it with a
// one-pixel pen, and text is placed by the top-left corner of its cell.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/component.h"

// ---- Colours ---------------------------------------------------------------------

// 0x00BBGGRR, red in the low byte. System colours carry 0xFF (or the older
// 0x80) in the high byte and the system colour index in the low byte.
using TColor = std::uint32_t;

inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clMaroon = 0x000080;
inline constexpr TColor clGreen = 0x008000;
inline constexpr TColor clOlive = 0x008080;
inline constexpr TColor clNavy = 0x800000;
inline constexpr TColor clPurple = 0x800080;
inline constexpr TColor clTeal = 0x808000;
inline constexpr TColor clGray = 0x808080;
inline constexpr TColor clSilver = 0xC0C0C0;
inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clLime = 0x00FF00;
inline constexpr TColor clYellow = 0x00FFFF;
inline constexpr TColor clBlue = 0xFF0000;
inline constexpr TColor clFuchsia = 0xFF00FF;
inline constexpr TColor clAqua = 0xFFFF00;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clNone = 0x1FFFFFFF;
inline constexpr TColor clDefault = 0x20000000;

inline constexpr TColor clSystemColor = 0xFF000000;
inline constexpr TColor clWindow = clSystemColor | 5;
inline constexpr TColor clWindowText = clSystemColor | 8;
inline constexpr TColor clBtnFace = clSystemColor | 15;
inline constexpr TColor clBtnText = clSystemColor | 18;
inline constexpr TColor clHighlight = clSystemColor | 13;
inline constexpr TColor clHighlightText = clSystemColor | 14;

inline constexpr TColor RGB(int r, int g, int b) {
  return static_cast<TColor>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}
inline constexpr int GetRValue(TColor c) {
  return static_cast<int>(c & 0xFF);
}
inline constexpr int GetGValue(TColor c) {
  return static_cast<int>((c >> 8) & 0xFF);
}
inline constexpr int GetBValue(TColor c) {
  return static_cast<int>((c >> 16) & 0xFF);
}

// A system colour becomes its RGB value (the standard desktop scheme); any
// other value is returned unchanged.
TColor ColorToRGB(TColor color);
// "clRed", "clBtnFace", ... for the colours that have a name.
std::optional<std::string> ColorToIdent(TColor color);
std::optional<TColor> IdentToColor(const std::string& ident);

// ---- Geometry ----------------------------------------------------------------------

struct TRect {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool operator==(const TRect&) const = default;
};

struct TSize {
  int cx = 0, cy = 0;
  bool operator==(const TSize&) const = default;
};

// ---- Font ------------------------------------------------------------------------------

enum TFontStyle : unsigned { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using TFontStyles = unsigned;

// A font description. Height in pixels: negative is the character (em)
// height, positive the cell height including the internal leading; Size is
// the same in points at 96 pixels per inch. Orientation turns the text
// counter-clockwise in tenths of a degree; quarter turns are drawn exactly,
// other angles go to the nearest quarter turn.
class TFont : public TPersistent {
 public:
  TFont() = default;
  // Copies describe the same font but do not inherit the change handler.
  TFont(const TFont& other);
  TFont& operator=(const TFont& other);
  void Assign(const TFont& other) { *this = other; }

  const std::string& Name() const { return name_; }
  void SetName(const std::string& name);
  int Height() const { return height_; }
  void SetHeight(int height);
  int Size() const;
  void SetSize(int points);
  TColor Color() const { return color_; }
  void SetColor(TColor color);
  TFontStyles Style() const { return style_; }
  void SetStyle(TFontStyles style);
  int Charset() const { return charset_; }
  void SetCharset(int charset);
  int Orientation() const { return orientation_; }
  void SetOrientation(int tenthsOfDegree);

  bool SameAs(const TFont& other) const;

  // Called after every change of the description.
  std::function<void()> OnChange;

  void DefineProperties(PropertyList& properties) override;

 private:
  void Changed();
  std::string name_ = "Tahoma";
  int height_ = -11;
  TColor color_ = clWindowText;
  TFontStyles style_ = 0;
  int charset_ = 1;  // DEFAULT_CHARSET
  int orientation_ = 0;
};

// ---- Canvas ----------------------------------------------------------------------------

enum class TBrushStyle { bsSolid, bsClear };

struct TPen {
  TColor Color = clBlack;
};

class TBrush {
 public:
  TColor Color() const { return color_; }
  // Choosing a colour makes a hollow brush solid again.
  void SetColor(TColor color) {
    color_ = color;
    style_ = TBrushStyle::bsSolid;
  }
  TBrushStyle Style() const { return style_; }
  void SetStyle(TBrushStyle style) { style_ = style; }

 private:
  TColor color_ = clWhite;
  TBrushStyle style_ = TBrushStyle::bsSolid;
};

// Thrown for a canvas size that is negative or too large to allocate.
class ECanvasSize : public std::length_error {
 public:
  using std::length_error::length_error;
};

class TCanvas {
 public:
  // Widths and heights up to this, and areas up to kMaxPixels.
  static constexpr int kMaxSide = 32767;
  static constexpr std::int64_t kMaxPixels = 1 << 24;
  static bool SizeFits(std::int64_t width, std::int64_t height);

  // A white canvas of that size; throws ECanvasSize when it does not fit.
  TCanvas(int width = 0, int height = 0);

  int Width() const { return width_; }
  int Height() const { return height_; }
  // Resizes and clears to white.
  void SetSize(int width, int height);
  void Clear(TColor color);

  // The pixel's RGB colour, or clNone outside the canvas.
  TColor Pixel(int x, int y) const;
  void SetPixel(int x, int y, TColor color);
  // Rows of R, G, B bytes, top row first.
  const std::vector<std::uint8_t>& Data() const { return pixels_; }

  TPen Pen;
  TBrush Brush;
  TFont Font;

  // Coordinates may lie far outside the canvas (what falls outside is
  // clipped); a rectangle whose right or bottom is not beyond its left or
  // top covers nothing.
  //
  // The brush over (x1, y1, x2, y2); nothing with a hollow brush.
  void FillRect(std::int64_t x1, std::int64_t y1, std::int64_t x2, std::int64_t y2);
  // A one-pixel outline in the pen colour along the edge pixels, the inside
  // filled with the brush unless it is hollow.
  void Rectangle(std::int64_t x1, std::int64_t y1, std::int64_t x2, std::int64_t y2);
  // The same with each corner cut along a quarter of an ellipse of the given
  // width and height; the pixels outside the ellipse are left as they were.
  void RoundRect(std::int64_t x1, std::int64_t y1, std::int64_t x2, std::int64_t y2,
                 int ellipseWidth, int ellipseHeight);

  // The text's advance width and cell height in the current font (text in
  // the system code page, UTF-8 on POSIX).
  TSize TextExtent(const std::string& text);
  // Draws the text with the top-left corner of its cell at (x, y), turned by
  // the font's orientation around that corner. A solid brush fills the cell
  // first. With no usable font on the system nothing is drawn.
  void TextOut(int x, int y, const std::string& text);

  // Copies the source with its top-left corner at (x, y); source pixels of
  // the transparent colour leave the destination as it was.
  void Draw(int x, int y, const TCanvas& source, std::optional<TColor> transparent = {});

  // Writes the canvas as an 8-bit RGB PNG file; throws std::runtime_error
  // with the path and the reason when it cannot.
  void SavePng(const std::string& path) const;
  // Reads a PNG file (any colour type; transparency is dropped onto white);
  // throws std::runtime_error when it cannot, ECanvasSize when too large.
  static TCanvas LoadPng(const std::string& path);

 private:
  void FillSpan(std::int64_t y, std::int64_t x1, std::int64_t x2, TColor color);
  void Blend(int x, int y, TColor color, int alpha);
  int width_ = 0, height_ = 0;
  std::vector<std::uint8_t> pixels_;
};
