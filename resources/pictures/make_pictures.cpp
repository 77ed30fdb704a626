// Draws the pictures the programs carry as resources and writes them as PNG
// files into the folder given on the command line (resources/ of the
// source tree; the files there are committed, so a build never runs this):
//
//   banner.png        "BANNER"       340 x 60  main window and self-update window
//   loginbanner.png   "LOGINBANNER"  320 x 60  credentials prompt
//   filecopy.png      "FILECOPY"     frames of 272 x 60 side by side
//   glyphok.png       "GLYPHOK"      two 18 x 18 states: normal, disabled
//   glyphcancel.png   "GLYPHCANCEL"  two 18 x 18 states: normal, disabled
//
// Everything is drawn from code (shapes, anti-aliased lines, DejaVu text),
// so the output is the same on every machine with the same fonts.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "widgets/canvas.h"

namespace {

struct Point {
  double x, y;
};

constexpr TColor kFace = RGB(240, 240, 240);  // the window background

TColor Mix(TColor a, TColor b, double t) {
  t = std::clamp(t, 0.0, 1.0);
  auto channel = [t](int x, int y) { return static_cast<int>(std::lround(x + (y - x) * t)); };
  return RGB(channel(GetRValue(a), GetRValue(b)), channel(GetGValue(a), GetGValue(b)),
             channel(GetBValue(a), GetBValue(b)));
}

void Blend(TCanvas& canvas, int x, int y, TColor color, double alpha) {
  TColor under = canvas.Pixel(x, y);
  if (under == clNone) return;
  canvas.SetPixel(x, y, Mix(under, color, alpha));
}

double SegmentDistance(Point p, Point a, Point b) {
  const double dx = b.x - a.x, dy = b.y - a.y;
  const double length = dx * dx + dy * dy;
  double t = length > 0 ? ((p.x - a.x) * dx + (p.y - a.y) * dy) / length : 0;
  t = std::clamp(t, 0.0, 1.0);
  const double ex = a.x + t * dx - p.x, ey = a.y + t * dy - p.y;
  return std::sqrt(ex * ex + ey * ey);
}

// An anti-aliased polyline of the given width: each pixel is covered by how
// far its centre lies inside the stroke.
void Polyline(TCanvas& canvas, const std::vector<Point>& points, double width, TColor color,
              double alpha = 1.0) {
  double minX = 1e9, minY = 1e9, maxX = -1e9, maxY = -1e9;
  for (const Point& p : points) {
    minX = std::min(minX, p.x);
    minY = std::min(minY, p.y);
    maxX = std::max(maxX, p.x);
    maxY = std::max(maxY, p.y);
  }
  const double reach = width / 2 + 1;
  for (int y = static_cast<int>(minY - reach); y <= static_cast<int>(maxY + reach); ++y)
    for (int x = static_cast<int>(minX - reach); x <= static_cast<int>(maxX + reach); ++x) {
      double distance = 1e9;
      for (std::size_t i = 1; i < points.size(); ++i)
        distance =
            std::min(distance, SegmentDistance({x + 0.5, y + 0.5}, points[i - 1], points[i]));
      const double coverage = std::clamp(width / 2 + 0.5 - distance, 0.0, 1.0);
      if (coverage > 0) Blend(canvas, x, y, color, coverage * alpha);
    }
}

// The height of the polyline at x (the points run from left to right).
double HeightAt(const std::vector<Point>& points, double x) {
  for (std::size_t i = 1; i < points.size(); ++i)
    if (x <= points[i].x) {
      const double t = (x - points[i - 1].x) / (points[i].x - points[i - 1].x);
      return points[i - 1].y + t * (points[i].y - points[i - 1].y);
    }
  return points.back().y;
}

void Text(TCanvas& canvas, int x, int y, const std::string& text, int height, bool bold,
          TColor color) {
  canvas.Font.SetName("DejaVu Sans");
  canvas.Font.SetHeight(-height);
  canvas.Font.SetStyle(bold ? TFontStyles{fsBold} : TFontStyles{0});
  canvas.Font.SetColor(color);
  canvas.Brush.SetStyle(TBrushStyle::bsClear);
  canvas.TextOut(x, y, text);
}

// A trading client's banner: a deep blue field with a faint grid, a rising
// price line with the area under it lit, a few candles, and the name.
TCanvas Banner(int width, const std::string& tagline) {
  const int height = 60;
  TCanvas canvas(width, height);
  const TColor top = RGB(17, 32, 149), bottom = RGB(6, 14, 70);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) canvas.SetPixel(x, y, Mix(top, bottom, y / double(height - 1)));
  // The chart fills the right part; the name keeps the left.
  const double left = width - 170.0, span = 166.0;
  auto at = [&](double share) { return left + share * span; };
  // Grid.
  const TColor grid = RGB(60, 90, 190);
  for (int x = static_cast<int>(left); x < width; x += 17)
    for (int y = 0; y < height; ++y) Blend(canvas, x, y, grid, 0.35);
  for (int y = 10; y < height; y += 12)
    for (int x = static_cast<int>(left); x < width; ++x) Blend(canvas, x, y, grid, 0.35);
  // Candles under the line.
  const int candles[][3] = {{0, 36, 50}, {1, 30, 46}, {2, 33, 48}, {3, 24, 41},
                            {4, 20, 37}, {5, 25, 39}, {6, 14, 30}, {7, 10, 26}};
  for (const auto& c : candles) {
    const int x = static_cast<int>(at(0.04 + c[0] * 0.12));
    const bool up = c[0] % 3 != 2;
    const TColor body = up ? RGB(109, 207, 246) : RGB(246, 140, 120);
    for (int y = c[1] - 4; y < c[2] + 4; ++y) Blend(canvas, x + 3, y, body, 0.45);
    for (int y = c[1]; y < c[2]; ++y)
      for (int dx = 1; dx < 6; ++dx) Blend(canvas, x + dx, y, body, 0.30);
  }
  // The price line and the light under it.
  std::vector<Point> line = {{at(0), 50},    {at(0.13), 44}, {at(0.25), 47},
                             {at(0.39), 36}, {at(0.51), 39}, {at(0.64), 27},
                             {at(0.75), 30}, {at(0.87), 16}, {at(0.98), 9}};
  for (int x = static_cast<int>(left); x < width; ++x) {
    const double y0 = HeightAt(line, x + 0.5);
    for (int y = static_cast<int>(y0); y < height; ++y)
      Blend(canvas, x, y, RGB(109, 207, 246), 0.28 * (1.0 - (y - y0) / (height - y0 + 1)));
  }
  Polyline(canvas, line, 5, RGB(109, 207, 246), 0.25);
  Polyline(canvas, line, 2.2, RGB(200, 240, 255));
  // Last price marker.
  Polyline(canvas, {line.back(), line.back()}, 6, RGB(255, 255, 255));
  // Name and line under it.
  Text(canvas, 14, 6, "Kestrel", 30, true, RGB(255, 255, 255));
  Text(canvas, 16, 40, tagline, 11, false, RGB(170, 215, 250));
  Polyline(canvas, {{16, 38.5}, {126, 38.5}}, 1, RGB(109, 207, 246), 0.8);
  return canvas;
}

// A folder drawn at (x, y), 44 x 34.
void Folder(TCanvas& canvas, int x, int y, bool open) {
  const TColor back = RGB(214, 160, 40), front = RGB(250, 206, 90), edge = RGB(150, 100, 20);
  canvas.Pen.Color = edge;
  canvas.Brush.SetColor(back);
  canvas.Rectangle(x, y + 4, x + 18, y + 10);  // tab
  canvas.Rectangle(x, y + 8, x + 44, y + 34);
  canvas.Brush.SetColor(front);
  if (open)
    canvas.Rectangle(x + 4, y + 14, x + 44, y + 34);
  else
    canvas.Rectangle(x, y + 12, x + 44, y + 34);
}

// A sheet of paper with text lines, 14 x 18, its centre at (cx, cy).
void Sheet(TCanvas& canvas, double cx, double cy) {
  const int x = static_cast<int>(std::lround(cx - 7)), y = static_cast<int>(std::lround(cy - 9));
  canvas.Pen.Color = RGB(110, 110, 110);
  canvas.Brush.SetColor(RGB(255, 255, 255));
  canvas.Rectangle(x, y, x + 14, y + 18);
  for (int row = 0; row < 4; ++row) {
    canvas.Brush.SetColor(RGB(60, 90, 190));
    canvas.FillRect(x + 3, y + 4 + row * 3, x + (row == 3 ? 8 : 11), y + 5 + row * 3);
  }
}

// The file-copy animation: a sheet flies in an arc from one folder into
// the other.
TCanvas FileCopy(int frames) {
  const int w = 272, h = 60;
  TCanvas strip(w * frames, h);
  strip.Clear(kFace);
  for (int f = 0; f < frames; ++f) {
    TCanvas frame(w, h);
    frame.Clear(kFace);
    Folder(frame, 24, 18, true);
    Folder(frame, 204, 18, true);
    const double t = f / double(frames - 1);
    const double x = 52 + (226 - 52) * t;
    const double y = 30 - std::sin(t * 3.14159265358979) * 20;
    Sheet(frame, x, y);
    // The front of the folders covers a sheet that is inside them.
    frame.Pen.Color = RGB(150, 100, 20);
    frame.Brush.SetColor(RGB(250, 206, 90));
    frame.Rectangle(28, 32, 68, 52);
    frame.Rectangle(208, 32, 248, 52);
    strip.Draw(f * w, 0, frame);
  }
  return strip;
}

// Two 18 x 18 states side by side: the mark in colour, then embossed grey.
TCanvas Glyph(const std::vector<std::vector<Point>>& strokes, TColor color) {
  TCanvas canvas(36, 18);
  canvas.Clear(kFace);
  for (const auto& stroke : strokes) Polyline(canvas, stroke, 2.6, color);
  for (const auto& stroke : strokes) {
    std::vector<Point> light = stroke, dark = stroke;
    for (Point& p : light) p = {p.x + 19, p.y + 1};
    for (Point& p : dark) p = {p.x + 18, p.y};
    Polyline(canvas, light, 2.6, RGB(255, 255, 255));
    Polyline(canvas, dark, 2.6, RGB(160, 160, 160));
  }
  return canvas;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  const std::string folder = std::string(argv[1]) + "/";
  try {
    Banner(340, "Start and update").SavePng(folder + "banner.png");
    Banner(320, "Server sign-in").SavePng(folder + "loginbanner.png");
    FileCopy(16).SavePng(folder + "filecopy.png");
    Glyph({{{3.5, 9.5}, {7.5, 13.5}, {14.5, 4.5}}}, RGB(0, 140, 40))
        .SavePng(folder + "glyphok.png");
    Glyph({{{4.5, 4.5}, {13.5, 13.5}}, {{13.5, 4.5}, {4.5, 13.5}}}, RGB(200, 30, 30))
        .SavePng(folder + "glyphcancel.png");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
