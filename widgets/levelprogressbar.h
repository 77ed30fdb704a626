// TLevelProgressBar: a progress bar in a bordered, optionally rounded frame
// whose colours follow the level the percentage has reached. Two thresholds
// and the 100 % mark give four levels, each with a colour pair drawn as a
// two-sided gradient across the bar's thickness. The bar is a row of 7-pixel
// blocks or one smooth bar, optionally stacked (each level's share in its own
// colours), over optional zone backgrounds, with an optional centred text
// and an indeterminate mode in which a window moves back and forth.
#pragma once

#include <string>

#include "widgets/canvas.h"
#include "widgets/control.h"

enum TGaugeOrientation { goHorizontal, goVertical };

// What one paint draws: a snapshot of the bar's settings.
struct TGaugeSettings {
  TColor Level0Color = 0, Level0ColorTo = 0;
  TColor Level1Color = 0, Level1ColorTo = 0;
  TColor Level2Color = 0, Level2ColorTo = 0;
  TColor Level3Color = 0, Level3ColorTo = 0;
  int Level1Perc = 0, Level2Perc = 0;
  TColor BorderColor = 0;
  TColor Level0BkColor = clNone, Level1BkColor = clNone, Level2BkColor = clNone;
  bool ShowBorder = false, Stacked = false, ShowPercentage = false, ShowPosition = false;
  TFont Font;
  bool CompletionSmooth = false, ShowGradient = false;
  int Steps = 0;
  int Percentage = 0, Position = 0, Max = 0;
  TColor BackgroundColor = 0;
  TGaugeOrientation Orientation = goHorizontal;
  bool Rounded = false;
  std::string Format;
  bool Infinite = false;
  int InfinitePos = 0;
};

// Round(Position / (Max - Min) * 100) in floating point, half to even; 0
// when Max = Min. The numerator is the position itself, not its distance
// from Min. Values beyond the integer range are held at its ends.
int GaugePercentage(int position, int min, int max);

// The text that Format gives for the position and the maximum, printf-style:
// the first conversion takes the position, the second the maximum. Integer
// conversions (d i u o x X, with flags, width and precision) are formatted;
// "%%" is a percent sign; any other item, an item beyond the second, and a
// width or precision over 255 are copied as written.
std::string FormatGaugeText(const std::string& format, int position, int max);

// Draws the bar for the settings into R on the canvas.
void DrawGauge(TCanvas& canvas, const TRect& R, TGaugeSettings settings);

class TLevelProgressBar : public TGraphicControl {
 public:
  explicit TLevelProgressBar(TComponent* owner);
  ~TLevelProgressBar() override;
  std::string ClassName() const override { return "TLevelProgressBar"; }

  bool Animated() const { return animated_; }
  void SetAnimated(bool value);
  TColor BackgroundColor() const { return backgroundColor_; }
  void SetBackgroundColor(TColor value);
  TColor BorderColor() const { return borderColor_; }
  void SetBorderColor(TColor value);
  bool CompletionSmooth() const { return completionSmooth_; }
  void SetCompletionSmooth(bool value);
  // The owned font; any change of it repaints.
  TFont& Font() { return font_; }
  const TFont& Font() const { return font_; }
  void SetFont(const TFont& value) { font_.Assign(value); }
  const std::string& Format() const { return format_; }
  void SetFormat(const std::string& value);
  bool Infinite() const { return infinite_; }
  void SetInfinite(bool value);
  int InfiniteInterval() const { return infiniteInterval_; }
  void SetInfiniteInterval(int value);
  TColor Level0Color() const { return levelColor_[0]; }
  void SetLevel0Color(TColor value) { SetLevelColor(levelColor_[0], value); }
  TColor Level0ColorTo() const { return levelColorTo_[0]; }
  void SetLevel0ColorTo(TColor value) { SetLevelColor(levelColorTo_[0], value); }
  TColor Level1Color() const { return levelColor_[1]; }
  void SetLevel1Color(TColor value) { SetLevelColor(levelColor_[1], value); }
  TColor Level1ColorTo() const { return levelColorTo_[1]; }
  void SetLevel1ColorTo(TColor value) { SetLevelColor(levelColorTo_[1], value); }
  TColor Level2Color() const { return levelColor_[2]; }
  void SetLevel2Color(TColor value) { SetLevelColor(levelColor_[2], value); }
  TColor Level2ColorTo() const { return levelColorTo_[2]; }
  void SetLevel2ColorTo(TColor value) { SetLevelColor(levelColorTo_[2], value); }
  TColor Level3Color() const { return levelColor_[3]; }
  void SetLevel3Color(TColor value) { SetLevelColor(levelColor_[3], value); }
  TColor Level3ColorTo() const { return levelColorTo_[3]; }
  void SetLevel3ColorTo(TColor value) { SetLevelColor(levelColorTo_[3], value); }
  int Level1Perc() const { return level1Perc_; }
  void SetLevel1Perc(int value);
  int Level2Perc() const { return level2Perc_; }
  void SetLevel2Perc(int value);
  TColor Level0BkColor() const { return levelBkColor_[0]; }
  void SetLevel0BkColor(TColor value) { SetZoneColor(levelBkColor_[0], value); }
  TColor Level1BkColor() const { return levelBkColor_[1]; }
  void SetLevel1BkColor(TColor value) { SetZoneColor(levelBkColor_[1], value); }
  TColor Level2BkColor() const { return levelBkColor_[2]; }
  void SetLevel2BkColor(TColor value) { SetZoneColor(levelBkColor_[2], value); }
  int Min() const { return min_; }
  void SetMin(int value);
  int Max() const { return max_; }
  void SetMax(int value);
  TGaugeOrientation Orientation() const { return orientation_; }
  void SetOrientation(TGaugeOrientation value);
  int Position() const { return position_; }
  // Paints at once (not through the message loop) when the step index or
  // the percentage changed; a value outside Min ... Max is held at the
  // nearer bound without painting.
  void SetPosition(int value);
  bool Rounded() const { return rounded_; }
  void SetRounded(bool value);
  bool ShowBorder() const { return showBorder_; }
  void SetShowBorder(bool value);
  bool ShowGradient() const { return showGradient_; }
  void SetShowGradient(bool value);
  bool ShowPercentage() const { return showPercentage_; }
  void SetShowPercentage(bool value);
  bool ShowPosition() const { return showPosition_; }
  void SetShowPosition(bool value);
  bool Stacked() const { return stacked_; }
  void SetStacked(bool value);
  int Steps() const { return steps_; }
  void SetSteps(int value);
  std::string Version() const { return "1.2.0.1"; }
  void SetVersion(const std::string&) {}

  // The percentage the bar shows now.
  int Percentage() const { return GaugePercentage(position_, min_, max_); }
  // The snapshot a paint draws.
  TGaugeSettings Settings() const;

  void Paint() override;
  // Paints so far that reached the surface.
  long long PaintCount() const { return paintCount_; }

  // Working state of the animation and of the position setter.
  const TTimer& InfiniteTimer() const { return infiniteTimer_; }
  int InfinitePos() const { return infinitePos_; }
  bool InfiniteRising() const { return infiniteRising_; }
  int RepaintStep() const { return repaintStep_; }

  void DefineProperties(PropertyList& properties) override;

 private:
  void SetLevelColor(TColor& field, TColor value);
  void SetZoneColor(TColor& field, TColor value);
  void SetRangeStep();
  void UpdateTimer();
  void InfiniteTimerTick();

  bool animated_ = false;
  TColor backgroundColor_ = 0xFFFFFF;
  TColor borderColor_ = 0x808080;
  bool completionSmooth_ = false;
  TFont font_;
  std::string format_;
  bool infinite_ = false;
  int infiniteInterval_ = 50;
  TColor levelColor_[4] = {0x00FF00, 0x00FFFF, 0x53A9FF, 0x0000FF};
  TColor levelColorTo_[4] = {0xE1FFE1, 0xCAFFFF, 0xA8D3FF, 0xCACAFF};
  int level1Perc_ = 70;
  int level2Perc_ = 90;
  TColor levelBkColor_[3] = {clNone, clNone, clNone};
  int min_ = 0;
  int max_ = 100;
  TGaugeOrientation orientation_ = goHorizontal;
  int position_ = 50;
  bool rounded_ = true;
  bool showBorder_ = true;
  bool showGradient_ = true;
  bool showPercentage_ = true;
  bool showPosition_ = true;
  bool stacked_ = false;
  int steps_ = 8;

  TTimer infiniteTimer_;
  int infinitePos_ = 0;
  bool infiniteRising_ = false;
  int repaintStep_ = 1;
  int lastStepIndex_ = 0;
  int lastPercentage_ = 0;
  long long paintCount_ = 0;
};
