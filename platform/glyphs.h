// Text rasterisation for code that draws text itself: the metrics of a
// font, the advance width of a horizontal run, and the run's coverage as an
// 8-bit mask the caller turns, colours and blends as it likes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace glyphs {

struct Font {
  std::string family;
  // Pixels, as the Windows font services take them: negative is the
  // character (em) height, positive the whole cell, 0 the default of -13.
  int height = 0;
  bool bold = false, italic = false;
};

struct Metrics {
  int ascent = 0, descent = 0;               // the cell around the baseline
  int underlinePosition = 1, thickness = 1;  // pixels below the baseline, at least 1
};

// Coverage of a run, 0 (none) to 255 (full), rows top to bottom. The mask
// is the run's cell: width its advance, height ascent + descent.
struct Mask {
  int width = 0, height = 0;
  std::vector<std::uint8_t> coverage;
};

// Nothing when no font can be had at all; a family the system lacks gives
// the nearest one it has.
std::optional<Metrics> FontMetrics(const Font& font);
// Texts are UTF-8, as every text a window shows; a byte that starts no
// valid sequence stands for U+FFFD.
//
// The sum of the advance widths, without kerning.
int TextWidth(const Font& font, std::string_view text);
// The run drawn from the top-left corner of its cell; glyph parts beyond
// the cell are cut off.
Mask Rasterize(const Font& font, std::string_view text);

}  // namespace glyphs
