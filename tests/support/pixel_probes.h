// Probes of a screenshot, shared by the window tests of both builds (the
// Linux build's X11 captures and the Windows build's GDI captures).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>

#include "platform/ui.h"

namespace testing_support {

struct Rect {
  int left, top, width, height;
};

inline std::uint32_t Rgb(int r, int g, int b) {
  return static_cast<std::uint32_t>((r << 16) | (g << 8) | b);
}

// The pixel, or 0xFF000000 outside the picture.
inline std::uint32_t PixelAt(const ui::Pixels& picture, int x, int y) {
  if (x < 0 || y < 0 || x >= picture.width || y >= picture.height) return 0xFF000000;
  return picture.rgb[static_cast<std::size_t>(y) * picture.width + x];
}

// Pixels of the rectangle for which the test holds.
inline int CountPixels(const ui::Pixels& picture, Rect rect,
                       const std::function<bool(std::uint32_t)>& test) {
  int count = 0;
  for (int y = rect.top; y < rect.top + rect.height; ++y)
    for (int x = rect.left; x < rect.left + rect.width; ++x) {
      std::uint32_t p = PixelAt(picture, x, y);
      if (p != 0xFF000000 && test(p)) ++count;
    }
  return count;
}

// Pixels clearly darker than the window background: text drawn there.
inline int InkIn(const ui::Pixels& picture, Rect rect) {
  return CountPixels(picture, rect, [](std::uint32_t p) {
    const int r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
    return r + g + b < 3 * 140;
  });
}

// True when the colour is within tolerance of the wanted one per channel.
inline bool Near(std::uint32_t color, std::uint32_t wanted, int tolerance = 24) {
  for (int shift : {16, 8, 0}) {
    int a = (color >> shift) & 0xFF, b = (wanted >> shift) & 0xFF;
    if (std::abs(a - b) > tolerance) return false;
  }
  return true;
}

// The part of a picture inside a rectangle.
inline ui::Pixels Crop(const ui::Pixels& picture, Rect rect) {
  ui::Pixels part;
  part.width = rect.width;
  part.height = rect.height;
  for (int y = rect.top; y < rect.top + rect.height; ++y)
    for (int x = rect.left; x < rect.left + rect.width; ++x)
      part.rgb.push_back(PixelAt(picture, x, y));
  return part;
}

}  // namespace testing_support
