#include "widgets/levelprogressbar.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

#include "widgets/properties.h"

namespace {

using i64 = std::int64_t;

// Geometry is worked out in 64 bits from values held well inside that range,
// so that extreme settings cannot overflow; the canvas clips what lies off it.
constexpr double kGeometryLimit = 4.0e15;

// Round half to even, independent of the floating-point rounding mode.
i64 Round(double x) {
  if (!std::isfinite(x)) return 0;
  x = std::clamp(x, -kGeometryLimit, kGeometryLimit);
  const double floor = std::floor(x);
  const double diff = x - floor;
  i64 r = static_cast<i64>(floor);
  if (diff > 0.5 || (diff == 0.5 && (r & 1) != 0)) ++r;
  return r;
}

i64 Trunc(double x) {
  if (!std::isfinite(x)) return 0;
  return static_cast<i64>(std::clamp(x, -kGeometryLimit, kGeometryLimit));
}

struct Box {
  i64 left, top, right, bottom;
};

void Fill(TCanvas& canvas, const Box& b, TColor color) {
  canvas.Brush.SetColor(color);
  canvas.Pen.Color = color;
  canvas.FillRect(b.left, b.top, b.right, b.bottom);
}

// A gradient from colour a to colour b in n bands, stacked from top to
// bottom (bands across a horizontal bar) or from left to right.
void Gradient(TCanvas& canvas, const Box& box, TColor a, TColor b, int steps, bool horizontal) {
  const i64 n = steps == 0 ? 1 : steps;
  a = ColorToRGB(a);
  b = ColorToRGB(b);
  const double dr = static_cast<double>(GetRValue(b) - GetRValue(a)) / static_cast<double>(n);
  const double dg = static_cast<double>(GetGValue(b) - GetGValue(a)) / static_cast<double>(n);
  const double db = static_cast<double>(GetBValue(b) - GetBValue(a)) / static_cast<double>(n);
  const i64 start = horizontal ? box.top : box.left;
  const i64 end = horizontal ? box.bottom : box.right;
  const double h = static_cast<double>(end - start) / static_cast<double>(n);
  const i64 thickness = Trunc(h) + 1;
  // Bands that start where the next one starts are painted over by it
  // (every band has the same length), so only the last band at each offset
  // is drawn: a huge step count costs no more than one band per pixel.
  // Bands only move on, so those past the canvas or the box end the loop,
  // and a run of bands before the canvas is skipped.
  const i64 stop = std::min<i64>(end, horizontal ? canvas.Height() : canvas.Width());
  for (i64 i = 0; i < n;) {
    const i64 o = Round(static_cast<double>(i) * h);
    if (start + o >= stop) break;
    if (start + o + thickness <= 0 && h > 0) {
      const i64 skip = Trunc((static_cast<double>(-start - thickness) - 0.5) / h) - 1;
      if (skip > i + 1) {
        i = std::min(skip, n - 1);
        continue;
      }
    }
    i64 last = i;
    if (h < 1) {
      i64 guess = std::min<i64>(n - 1, Trunc((static_cast<double>(o) + 0.5) / h) + 1);
      guess = std::max(guess, i);
      while (guess > i && Round(static_cast<double>(guess) * h) > o) --guess;
      while (guess + 1 < n && Round(static_cast<double>(guess + 1) * h) == o) ++guess;
      last = guess;
    }
    const double k = static_cast<double>(last);
    const TColor color = RGB(GetRValue(a) + static_cast<int>(Round(k * dr)),
                             GetGValue(a) + static_cast<int>(Round(k * dg)),
                             GetBValue(a) + static_cast<int>(Round(k * db)));
    const i64 bandEnd = std::min(start + o + thickness, end);
    if (horizontal)
      Fill(canvas, {box.left, start + o, box.right, bandEnd}, color);
    else
      Fill(canvas, {start + o, box.top, bandEnd, box.bottom}, color);
    i = last + 1;
  }
}

// A rectangle in a colour pair: the second colour at both edges across the
// bar's thickness, the main colour in the middle.
void FillPair(TCanvas& canvas, const Box& box, TColor color, TColor colorTo,
              const TGaugeSettings& g) {
  if (!g.ShowGradient) return Fill(canvas, box, color);
  if (g.Orientation == goHorizontal) {
    const i64 middle = box.top + (box.bottom - box.top) / 2;
    Gradient(canvas, {box.left, box.top, box.right, middle}, colorTo, color, g.Steps, true);
    Gradient(canvas, {box.left, middle, box.right, box.bottom}, color, colorTo, g.Steps, true);
  } else {
    const i64 middle = box.left + (box.right - box.left) / 2;
    Gradient(canvas, {box.left, box.top, middle, box.bottom}, colorTo, color, g.Steps, false);
    Gradient(canvas, {middle, box.top, box.right, box.bottom}, color, colorTo, g.Steps, false);
  }
}

void DrawZones(TCanvas& canvas, const Box& R, i64 s, const TGaugeSettings& g) {
  const TColor zone[3] = {g.Level0BkColor, g.Level1BkColor, g.Level2BkColor};
  if (zone[0] == clNone && zone[1] == clNone && zone[2] == clNone) return;
  const i64 z0 = Round(g.Level1Perc / 100.0 * static_cast<double>(s));
  const i64 z1 =
      Round(static_cast<double>(s) * static_cast<double>(i64{g.Level2Perc} - g.Level1Perc) / 100);
  const i64 z2 = s - z0 - z1;
  Box box[3];
  if (g.Orientation == goHorizontal) {
    box[0] = {R.left + 2, R.top + 1, R.left + z0, R.bottom - 1};
    box[1] = {box[0].right, R.top + 1, box[0].right + z1, R.bottom - 1};
    box[2] = {box[1].right, R.top + 1, box[1].right + z2, R.bottom - 1};
  } else {
    box[0] = {R.left + 1, R.bottom - z0 + 1, R.right - 1, R.bottom - 2};
    box[1] = {R.left + 1, box[0].top - z1, R.right - 1, box[0].top};
    box[2] = {R.left + 1, box[1].top - 1 - z2, R.right - 1, box[1].top - 1};
  }
  for (int i = 0; i < 3; ++i)
    if (zone[i] != clNone) Fill(canvas, box[i], zone[i]);
}

void DrawStacked(TCanvas& canvas, const Box& R, i64 s, const TGaugeSettings& g) {
  const bool horizontal = g.Orientation == goHorizontal;
  const double P = g.Percentage, ds = static_cast<double>(s);
  const bool past1 = g.Level1Perc <= g.Percentage;
  const i64 a0 = Round((past1 ? g.Level1Perc : P) / 100.0 * ds);
  const Box seg0 = horizontal ? Box{R.left + 2, R.top + 1, R.left + a0, R.bottom - 1}
                              : Box{R.left + 1, R.bottom - a0 + 1, R.right - 1, R.bottom - 2};
  FillPair(canvas, seg0, g.Level0Color, g.Level0ColorTo, g);
  if (!past1) return;

  const bool past2 = g.Level2Perc <= g.Percentage;
  const i64 a1 = Round(
      ds * static_cast<double>((past2 ? i64{g.Level2Perc} : i64{g.Percentage}) - g.Level1Perc) /
      100);
  const Box seg1 = horizontal ? Box{seg0.right, R.top + 1, seg0.right + a1, R.bottom - 1}
                              : Box{R.left + 1, seg0.top - a1, R.right - 1, seg0.top};
  FillPair(canvas, seg1, g.Level1Color, g.Level1ColorTo, g);
  if (!past2) return;

  // At 100 % the last segment takes what the rounding of the others left.
  const i64 a2 = g.Percentage == 100
                     ? s - a0 - a1
                     : Round(ds * static_cast<double>(i64{g.Percentage} - g.Level2Perc) / 100);
  const Box seg2 = horizontal ? Box{seg1.right, R.top + 1, seg1.right + a2, R.bottom - 1}
                              : Box{R.left + 1, seg1.top - 1 - a2, R.right - 1, seg1.top - 1};
  FillPair(canvas, seg2, g.Level2Color, g.Level2ColorTo, g);
}

void DrawLevel(TCanvas& canvas, const Box& R, i64 s, const TGaugeSettings& g) {
  const bool horizontal = g.Orientation == goHorizontal;
  const int level = g.Percentage < g.Level1Perc   ? 0
                    : g.Percentage < g.Level2Perc ? 1
                    : g.Percentage < 100          ? 2
                                                  : 3;
  const TColor pair[4][2] = {{g.Level0Color, g.Level0ColorTo},
                             {g.Level1Color, g.Level1ColorTo},
                             {g.Level2Color, g.Level2ColorTo},
                             {g.Level3Color, g.Level3ColorTo}};
  const TColor color = pair[level][0], colorTo = pair[level][1];

  if (g.CompletionSmooth) {
    const i64 a = Round(g.Percentage / 100.0 * static_cast<double>(s));
    const Box bar = horizontal ? Box{R.left + 2, R.top + 2, R.left + a, R.bottom - 2}
                               : Box{R.left + 2, R.bottom - a, R.right - 2, R.bottom - 2};
    FillPair(canvas, bar, color, colorTo, g);
    return;
  }

  canvas.Brush.SetColor(g.BackgroundColor);
  const i64 t = Round(static_cast<double>(g.Percentage) * static_cast<double>(s) / 100);
  if (t > 9) {
    Box block = horizontal ? Box{R.left + 2, R.top + 2, R.left + 9, R.bottom - 2}
                           : Box{R.left + 2, R.bottom - 9, R.right - 2, R.bottom - 2};
    FillPair(canvas, block, color, colorTo, g);
    // Blocks only move further off the canvas once they have left it.
    auto offCanvas = [&](const Box& b) {
      return horizontal ? b.left >= canvas.Width() : b.bottom <= 0;
    };
    bool off = offCanvas(block);
    for (i64 k = 1; k < t / 9 && !off; ++k) {
      if (horizontal) {
        block.left = block.right + 2;
        block.right = block.left + 7;
      } else {
        block.bottom = block.top - 2;
        block.top = block.bottom - 7;
      }
      off = offCanvas(block);
      if (!off) FillPair(canvas, block, color, colorTo, g);
    }
    const i64 r = t % 9;
    if (r > 2 && !off) {
      if (horizontal) {
        block.left = block.right + 2;
        block.right = block.left + r - 1;
      } else {
        block.bottom = block.top - 2;
        block.top = std::max(R.top + 2, block.bottom - (r - 1));
      }
      FillPair(canvas, block, color, colorTo, g);
    }
    canvas.Brush.SetStyle(TBrushStyle::bsClear);
  } else if (t >= 2) {
    const Box block = horizontal ? Box{R.left + 2, R.top + 2, R.left + 1 + t, R.bottom - 2}
                                 : Box{R.left + 2, R.bottom - 1 - t, R.right - 2, R.bottom - 2};
    FillPair(canvas, block, color, colorTo, g);
  }
}

// Everything but the moving window is erased to the background.
void DrawInfiniteWindow(TCanvas& canvas, const Box& R, const TGaugeSettings& g) {
  canvas.Brush.SetColor(g.BackgroundColor);
  canvas.Pen.Color = g.BackgroundColor;
  if (g.Orientation == goHorizontal) {
    const i64 w = R.right - R.left;
    const i64 p = w <= 4 ? 0 : Round(g.InfinitePos / 100.0 * static_cast<double>(w - 4));
    canvas.FillRect(R.left + 2, R.top + 1, std::max(R.left + 2, R.left + 2 + p - 12), R.bottom - 1);
    canvas.FillRect(std::min(R.right - 2, R.right - 2 - (w - 4 - p) + 10), R.top + 2, R.right - 2,
                    R.bottom - 2);
  } else {
    const i64 h = R.bottom - R.top;
    const i64 p = h <= 4 ? 0 : Round(g.InfinitePos / 100.0 * static_cast<double>(h - 4));
    canvas.FillRect(R.left + 2, R.top + 2, R.right - 2, std::max(R.top + 2, R.top + 2 + p - 12));
    canvas.FillRect(R.left + 2, std::min(R.bottom - 2, R.bottom - 2 - (h - 4 - p) + 10),
                    R.right - 2, R.bottom - 2);
  }
}

int ClampToInt(i64 v) {
  return static_cast<int>(
      std::clamp<i64>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

void DrawText(TCanvas& canvas, const Box& R, const TGaugeSettings& g) {
  canvas.Brush.SetStyle(TBrushStyle::bsClear);
  canvas.Font = g.Font;
  std::string text;
  if (!g.Format.empty())
    text = FormatGaugeText(g.Format, g.Position, g.Max);
  else if (g.ShowPercentage)
    text = std::to_string(g.Percentage) + "%";
  else
    text = std::to_string(g.Position);
  const TSize extent = canvas.TextExtent(text);
  i64 x, y;
  if (g.Orientation == goHorizontal) {
    x = R.left + (R.right - R.left) / 2 - extent.cx / 2;
    y = R.top + (R.bottom - R.top) / 2 - extent.cy / 2;
  } else {
    TFont rotated = g.Font;
    rotated.SetOrientation(900);
    canvas.Font = rotated;
    x = R.left + (R.right - R.left) / 2 - extent.cy / 2;
    y = R.top + (R.bottom - R.top) / 2 + extent.cx / 2;
  }
  canvas.TextOut(ClampToInt(x), ClampToInt(y), text);
}

}  // namespace

int GaugePercentage(int position, int min, int max) {
  if (max == min) return 0;
  const double range = static_cast<double>(max) - static_cast<double>(min);
  return ClampToInt(Round(static_cast<double>(position) / range * 100));
}

std::string FormatGaugeText(const std::string& format, int position, int max) {
  const int args[2] = {position, max};
  int used = 0;
  std::string out;
  const std::size_t n = format.size();
  for (std::size_t i = 0; i < n;) {
    if (format[i] != '%') {
      out += format[i++];
      continue;
    }
    if (i + 1 < n && format[i + 1] == '%') {
      out += '%';
      i += 2;
      continue;
    }
    std::size_t j = i + 1;
    std::string item = "%";
    while (j < n && std::strchr("-+ 0#", format[j]) && format[j] != '\0') item += format[j++];
    auto number = [&](int& value) {
      value = 0;
      while (j < n && format[j] >= '0' && format[j] <= '9') {
        value = std::min(value * 10 + (format[j] - '0'), 100000);
        item += format[j++];
      }
    };
    int width = 0, precision = 0;
    number(width);
    if (j < n && format[j] == '.') {
      item += format[j++];
      number(precision);
    }
    // Length modifiers say nothing here: the arguments are always integers.
    while (j < n && std::strchr("hlLqjzt", format[j]) && format[j] != '\0') ++j;
    const char type = j < n ? format[j] : '\0';
    const bool valid =
        type != '\0' && std::strchr("diouxX", type) && used < 2 && width <= 255 && precision <= 255;
    if (!valid) {
      const std::size_t end = std::min(n, j + 1);
      out.append(format, i, end - i);
      i = end;
      continue;
    }
    item += "ll";
    item += type;
    char buffer[600];
    const int value = args[used++];
    int written;
    if (type == 'd' || type == 'i')
      written = std::snprintf(buffer, sizeof buffer, item.c_str(), static_cast<long long>(value));
    else  // the unsigned conversions see the 32-bit pattern, as on the original platform
      written = std::snprintf(buffer, sizeof buffer, item.c_str(),
                              static_cast<unsigned long long>(static_cast<unsigned>(value)));
    if (written > 0) out.append(buffer, std::min<std::size_t>(written, sizeof buffer - 1));
    i = j + 1;
  }
  return out;
}

void DrawGauge(TCanvas& canvas, const TRect& rect, TGaugeSettings g) {
  const Box R{rect.Left, rect.Top, rect.Right, rect.Bottom};
  const i64 L = g.Orientation == goHorizontal ? R.right - R.left : R.bottom - R.top;
  if (g.Rounded) Fill(canvas, R, clFuchsia);
  if (g.Infinite) {
    g.Percentage = 100;
    g.Level1Perc = g.Level2Perc = 101;
  }
  canvas.Brush.SetColor(g.BackgroundColor);
  canvas.Pen.Color = g.ShowBorder ? g.BorderColor : g.BackgroundColor;
  if (g.Rounded)
    canvas.RoundRect(R.left, R.top, R.right, R.bottom, 6, 6);
  else
    canvas.Rectangle(R.left, R.top, R.right, R.bottom);
  const i64 s = L - 2;
  DrawZones(canvas, R, s, g);
  if (g.Percentage > 0) {
    if (g.Stacked)
      DrawStacked(canvas, R, s, g);
    else
      DrawLevel(canvas, R, s, g);
  }
  if (g.Infinite) DrawInfiniteWindow(canvas, R, g);
  if (g.ShowPosition) DrawText(canvas, R, g);
}

// ---- TLevelProgressBar --------------------------------------------------------------------

TLevelProgressBar::TLevelProgressBar(TComponent* owner) : TGraphicControl(owner) {
  SetBounds(0, 0, 128, 18);
  font_.SetName("Verdana");
  font_.SetSize(10);
  font_.OnChange = [this] { Invalidate(); };
  infiniteTimer_.SetInterval(static_cast<unsigned>(infiniteInterval_));
  infiniteTimer_.OnTimer = [this] { InfiniteTimerTick(); };
}

TLevelProgressBar::~TLevelProgressBar() {
  font_.OnChange = nullptr;
  infiniteTimer_.OnTimer = nullptr;
}

void TLevelProgressBar::SetAnimated(bool value) {
  animated_ = value;
  UpdateTimer();
  Invalidate();
}

void TLevelProgressBar::SetBackgroundColor(TColor value) {
  backgroundColor_ = value;
  Invalidate();
}

void TLevelProgressBar::SetBorderColor(TColor value) {
  borderColor_ = value;
  Invalidate();
}

void TLevelProgressBar::SetCompletionSmooth(bool value) {
  completionSmooth_ = value;
  Invalidate();
}

void TLevelProgressBar::SetFormat(const std::string& value) {
  format_ = value;
  Invalidate();
}

void TLevelProgressBar::SetInfinite(bool value) {
  infinite_ = value;
  if (value) infinitePos_ = 0;
  UpdateTimer();
  Invalidate();
}

void TLevelProgressBar::SetInfiniteInterval(int value) {
  infiniteInterval_ = value;
  infiniteTimer_.SetInterval(static_cast<unsigned>(std::max(value, 0)));
}

void TLevelProgressBar::SetLevelColor(TColor& field, TColor value) {
  field = value;
  Invalidate();
}

void TLevelProgressBar::SetZoneColor(TColor& field, TColor value) {
  if (field == value) return;
  field = value;
  Invalidate();
}

void TLevelProgressBar::SetLevel1Perc(int value) {
  level1Perc_ = value;
  Invalidate();
}

void TLevelProgressBar::SetLevel2Perc(int value) {
  level2Perc_ = value;
  Invalidate();
}

void TLevelProgressBar::SetRangeStep() {
  repaintStep_ = static_cast<int>((i64{max_} - i64{min_}) / 100);
}

void TLevelProgressBar::SetMin(int value) {
  min_ = value;
  SetRangeStep();
  Invalidate();
}

void TLevelProgressBar::SetMax(int value) {
  max_ = value;
  SetRangeStep();
  Invalidate();
}

void TLevelProgressBar::SetOrientation(TGaugeOrientation value) {
  orientation_ = value;
  Invalidate();
}

void TLevelProgressBar::SetPosition(int value) {
  if (value < min_ || value > max_) {
    position_ = value < min_ ? min_ : max_;
    return;
  }
  position_ = value;
  const int percentage = GaugePercentage(value, min_, max_);
  // Only Min <= value <= Max gets here, so the step is never negative.
  if (repaintStep_ == 0 || value % repaintStep_ == 0 || value / repaintStep_ != lastStepIndex_ ||
      percentage != lastPercentage_)
    Paint();
  lastPercentage_ = percentage;
  if (repaintStep_ != 0) lastStepIndex_ = value / repaintStep_;
}

void TLevelProgressBar::SetRounded(bool value) {
  rounded_ = value;
  Invalidate();
}

void TLevelProgressBar::SetShowBorder(bool value) {
  showBorder_ = value;
  Invalidate();
}

void TLevelProgressBar::SetShowGradient(bool value) {
  showGradient_ = value;
  Invalidate();
}

void TLevelProgressBar::SetShowPercentage(bool value) {
  showPercentage_ = value;
  Invalidate();
}

void TLevelProgressBar::SetShowPosition(bool value) {
  showPosition_ = value;
  Invalidate();
}

void TLevelProgressBar::SetStacked(bool value) {
  stacked_ = value;
  Invalidate();
}

void TLevelProgressBar::SetSteps(int value) {
  steps_ = value;
  Invalidate();
}

void TLevelProgressBar::UpdateTimer() {
  infiniteTimer_.SetEnabled(animated_ && infinite_);
}

void TLevelProgressBar::InfiniteTimerTick() {
  if (infiniteRising_) {
    infinitePos_ += 4;
    if (infinitePos_ >= 100) {
      infinitePos_ = 100;
      infiniteRising_ = false;
    }
  } else {
    infinitePos_ -= 4;
    if (infinitePos_ <= 0) {
      infinitePos_ = 0;
      infiniteRising_ = true;
    }
  }
  Paint();
}

TGaugeSettings TLevelProgressBar::Settings() const {
  TGaugeSettings g;
  g.Level0Color = levelColor_[0];
  g.Level0ColorTo = levelColorTo_[0];
  g.Level1Color = levelColor_[1];
  g.Level1ColorTo = levelColorTo_[1];
  g.Level2Color = levelColor_[2];
  g.Level2ColorTo = levelColorTo_[2];
  g.Level3Color = levelColor_[3];
  g.Level3ColorTo = levelColorTo_[3];
  g.Level1Perc = level1Perc_;
  g.Level2Perc = level2Perc_;
  g.BorderColor = borderColor_;
  g.Level0BkColor = levelBkColor_[0];
  g.Level1BkColor = levelBkColor_[1];
  g.Level2BkColor = levelBkColor_[2];
  g.ShowBorder = showBorder_;
  g.Stacked = stacked_;
  g.ShowPercentage = showPercentage_;
  g.ShowPosition = showPosition_;
  g.Font = font_;
  g.CompletionSmooth = completionSmooth_;
  g.ShowGradient = showGradient_;
  g.Steps = steps_;
  g.Percentage = Percentage();
  g.Position = position_;
  g.Max = max_;
  g.BackgroundColor = backgroundColor_;
  g.Orientation = orientation_;
  g.Rounded = rounded_;
  g.Format = format_;
  g.Infinite = infinite_;
  g.InfinitePos = infinitePos_;
  return g;
}

void TLevelProgressBar::Paint() {
  if (!Visible() || !Parent()) return;
  const TRect R = ClientRect();
  // A size no bitmap can be made for paints nothing, as a failed bitmap would.
  if (!TCanvas::SizeFits(R.Width(), R.Height())) return;
  TCanvas bitmap(R.Width(), R.Height());
  DrawGauge(bitmap, R, Settings());
  Present(bitmap, rounded_ ? std::optional<TColor>(clFuchsia) : std::nullopt);
  ++paintCount_;
}

void TLevelProgressBar::DefineProperties(PropertyList& p) {
  using namespace widgets;
  auto color = [&](const char* name, TColor& field, auto setter, TColor def) {
    ColorProperty(
        p, name, [&field] { return field; }, [this, setter](TColor v) { (this->*setter)(v); }, def);
  };
  auto flag = [&](const char* name, bool& field, void (TLevelProgressBar::*setter)(bool),
                  bool def) {
    p.Bool(
        name, [&field] { return field; }, [this, setter](bool v) { (this->*setter)(v); }, def);
  };
  auto integer = [&](const char* name, int& field, void (TLevelProgressBar::*setter)(int),
                     int def) {
    p.Integer(
        name, [&field] { return field; }, [this, setter](int v) { (this->*setter)(v); }, def);
  };
  // Stored defaults are the values at creation, so a stored definition
  // lists only what differs from a new bar.
  DefineBounds(p);
  DefineLayout(p);
  flag("Animated", animated_, &TLevelProgressBar::SetAnimated, false);
  color("BackgroundColor", backgroundColor_, &TLevelProgressBar::SetBackgroundColor, 0xFFFFFF);
  color("BorderColor", borderColor_, &TLevelProgressBar::SetBorderColor, 0x808080);
  flag("CompletionSmooth", completionSmooth_, &TLevelProgressBar::SetCompletionSmooth, false);
  p.Object("Font", font_);
  p.StringAccessor(
      "Format", [this] { return format_; }, [this](const std::string& v) { SetFormat(v); });
  flag("Infinite", infinite_, &TLevelProgressBar::SetInfinite, false);
  integer("InfiniteInterval", infiniteInterval_, &TLevelProgressBar::SetInfiniteInterval, 50);
  color("Level0Color", levelColor_[0], &TLevelProgressBar::SetLevel0Color, 0x00FF00);
  color("Level0ColorTo", levelColorTo_[0], &TLevelProgressBar::SetLevel0ColorTo, 0xE1FFE1);
  color("Level1Color", levelColor_[1], &TLevelProgressBar::SetLevel1Color, 0x00FFFF);
  color("Level1ColorTo", levelColorTo_[1], &TLevelProgressBar::SetLevel1ColorTo, 0xCAFFFF);
  color("Level2Color", levelColor_[2], &TLevelProgressBar::SetLevel2Color, 0x53A9FF);
  color("Level2ColorTo", levelColorTo_[2], &TLevelProgressBar::SetLevel2ColorTo, 0xA8D3FF);
  color("Level3Color", levelColor_[3], &TLevelProgressBar::SetLevel3Color, 0x0000FF);
  color("Level3ColorTo", levelColorTo_[3], &TLevelProgressBar::SetLevel3ColorTo, 0xCACAFF);
  integer("Level1Perc", level1Perc_, &TLevelProgressBar::SetLevel1Perc, 70);
  integer("Level2Perc", level2Perc_, &TLevelProgressBar::SetLevel2Perc, 90);
  color("Level0BkColor", levelBkColor_[0], &TLevelProgressBar::SetLevel0BkColor, clNone);
  color("Level1BkColor", levelBkColor_[1], &TLevelProgressBar::SetLevel1BkColor, clNone);
  color("Level2BkColor", levelBkColor_[2], &TLevelProgressBar::SetLevel2BkColor, clNone);
  integer("Min", min_, &TLevelProgressBar::SetMin, 0);
  integer("Max", max_, &TLevelProgressBar::SetMax, 100);
  p.Enum(
      "Orientation", [this] { return static_cast<int>(orientation_); },
      [this](int v) { SetOrientation(static_cast<TGaugeOrientation>(v)); },
      {"goHorizontal", "goVertical"}, goHorizontal);
  integer("Position", position_, &TLevelProgressBar::SetPosition, 50);
  flag("Rounded", rounded_, &TLevelProgressBar::SetRounded, true);
  flag("ShowBorder", showBorder_, &TLevelProgressBar::SetShowBorder, true);
  flag("ShowGradient", showGradient_, &TLevelProgressBar::SetShowGradient, true);
  flag("ShowPercentage", showPercentage_, &TLevelProgressBar::SetShowPercentage, true);
  flag("ShowPosition", showPosition_, &TLevelProgressBar::SetShowPosition, true);
  flag("Stacked", stacked_, &TLevelProgressBar::SetStacked, false);
  integer("Steps", steps_, &TLevelProgressBar::SetSteps, 8);
  DefineShowHint(p);
  p.StringAccessor(
      "Version", [this] { return Version(); }, [this](const std::string& v) { SetVersion(v); });
  DefineVisible(p);
  DefineMouseEvents(p);
}
