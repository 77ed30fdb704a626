// Text on the canvas: the platform rasterises a horizontal run into a
// coverage mask; the canvas turns it by the font's orientation, fills the
// cell with the brush, blends the mask in the font's colour and draws the
// underline and strike-out lines itself, so text looks the same on every
// system apart from the glyphs themselves.
#include "platform/glyphs.h"
#include "widgets/canvas.h"

namespace {

glyphs::Font GlyphFont(const TFont& font) {
  return {font.Name(), font.Height(), (font.Style() & fsBold) != 0, (font.Style() & fsItalic) != 0};
}

// Quarter turns counter-clockwise for an orientation in tenths of a degree.
int QuarterTurns(int tenths) {
  long long t = tenths % 3600;
  if (t < 0) t += 3600;
  return static_cast<int>(((t + 450) / 900) % 4);
}

}  // namespace

TSize TCanvas::TextExtent(const std::string& text) {
  const glyphs::Font font = GlyphFont(Font);
  const auto metrics = glyphs::FontMetrics(font);
  if (!metrics) return {};
  return {glyphs::TextWidth(font, text), metrics->ascent + metrics->descent};
}

void TCanvas::TextOut(int x, int y, const std::string& text) {
  const glyphs::Font font = GlyphFont(Font);
  const auto metrics = glyphs::FontMetrics(font);
  if (!metrics) return;
  const glyphs::Mask mask = glyphs::Rasterize(font, text);
  const int turns = QuarterTurns(Font.Orientation());
  // Text space: u along the baseline from the reference point, v downwards
  // from the top of the cell. Each quarter turn maps it onto the canvas.
  auto plot = [&](long long u, long long v, TColor color, int alpha) {
    long long px = 0, py = 0;
    switch (turns) {
      case 0:
        px = x + u, py = y + v;
        break;
      case 1:
        px = x + v, py = y - u - 1;
        break;
      case 2:
        px = x - u - 1, py = y - v - 1;
        break;
      default:
        px = x - v - 1, py = y + u;
        break;
    }
    if (px < 0 || py < 0 || px >= width_ || py >= height_) return;
    Blend(static_cast<int>(px), static_cast<int>(py), color, alpha);
  };
  if (Brush.Style() != TBrushStyle::bsClear)
    for (int v = 0; v < mask.height; ++v)
      for (int u = 0; u < mask.width; ++u) plot(u, v, Brush.Color(), 255);
  for (int v = 0; v < mask.height; ++v)
    for (int u = 0; u < mask.width; ++u)
      if (const int alpha = mask.coverage[static_cast<std::size_t>(v) * mask.width + u])
        plot(u, v, Font.Color(), alpha);
  auto line = [&](int v, int thickness) {
    for (int k = 0; k < thickness; ++k)
      for (int u = 0; u < mask.width; ++u) plot(u, v + k, Font.Color(), 255);
  };
  if (Font.Style() & fsUnderline)
    line(metrics->ascent + metrics->underlinePosition, metrics->thickness);
  if (Font.Style() & fsStrikeOut) line(metrics->ascent - metrics->ascent / 3, metrics->thickness);
}
