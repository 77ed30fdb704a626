#include "widgets/levelprogressbar.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/ui.h"

namespace {

constexpr TColor kL0 = clRed, kL1 = clLime, kL2 = clBlue, kL3 = clPurple;
constexpr TColor kBorder = clGray, kBack = clWhite;

// A bar on a form, as the launcher holds it. The form outlives the bar.
struct Placed {
  ui::Form form{"TTestForm"};
  TLevelProgressBar bar{nullptr};
  Placed() { bar.SetParent(&form); }
};

// Solid, distinct level colours and no text, so that every pixel tells
// which part of the routine drew it.
void MakeSolid(TLevelProgressBar& bar, int width, int height) {
  bar.SetBounds(0, 0, width, height);
  bar.SetShowGradient(false);
  bar.SetShowPosition(false);
  bar.SetLevel0Color(kL0);
  bar.SetLevel1Color(kL1);
  bar.SetLevel2Color(kL2);
  bar.SetLevel3Color(kL3);
}

TCanvas Draw(const TLevelProgressBar& bar) {
  TCanvas canvas(bar.Width(), bar.Height());
  DrawGauge(canvas, bar.ClientRect(), bar.Settings());
  return canvas;
}

// Compares every pixel of the area with the expectation; reports the first
// few differences.
void ExpectArea(const TCanvas& c, int x1, int y1, int x2, int y2,
                const std::function<TColor(int, int)>& want) {
  int wrong = 0;
  for (int y = y1; y < y2; ++y)
    for (int x = x1; x < x2; ++x)
      if (c.Pixel(x, y) != want(x, y) && ++wrong <= 5)
        ADD_FAILURE() << "pixel " << x << "," << y << " is " << std::hex << c.Pixel(x, y)
                      << ", expected " << want(x, y);
  EXPECT_EQ(wrong, 0);
}

bool In(long x, long from, long to) {
  return x >= from && x < to;
}

// Runs of one colour along a row: (first x, length).
std::vector<std::pair<int, int>> RowRuns(const TCanvas& c, int y, TColor color) {
  std::vector<std::pair<int, int>> runs;
  for (int x = 0; x < c.Width(); ++x)
    if (c.Pixel(x, y) == color) {
      if (!runs.empty() && runs.back().first + runs.back().second == x)
        ++runs.back().second;
      else
        runs.push_back({x, 1});
    }
  return runs;
}

std::string PngDir() {
  const char* env = std::getenv("KESTREL_WIDGETS_PNG_DIR");
  std::filesystem::path dir =
      env && *env ? std::filesystem::path(env)
                  : std::filesystem::path(testing::TempDir()) / "kestrel-widgets-png";
  std::filesystem::create_directories(dir);
  return dir.string();
}

// The launcher's bar as its window stores it.
const char* kLauncherBar = R"(object LevelProgressBar1: TLevelProgressBar
  Left = 18
  Top = 202
  Width = 335
  Height = 13
  Font.Charset = DEFAULT_CHARSET
  Font.Color = clWindowText
  Font.Height = -13
  Font.Name = 'Verdana'
  Font.Style = []
  Level0Color = 16174957
  Level0ColorTo = 9773073
  Level1Color = 16174957
  Level1ColorTo = 9773073
  Level2Color = 16174957
  Level2ColorTo = 9773073
  Level3Color = 16174957
  Level3ColorTo = 9773073
  Level1Perc = 70
  Level2Perc = 90
  Position = 0
  ShowBorder = True
  ShowPercentage = False
  ShowPosition = False
  Steps = 5
end
)";

// ---- Properties ------------------------------------------------------------------------

TEST(LevelProgressBar, ValuesAtCreation) {
  TLevelProgressBar bar(nullptr);
  EXPECT_EQ(bar.Width(), 128);
  EXPECT_EQ(bar.Height(), 18);
  EXPECT_FALSE(bar.Animated());
  EXPECT_EQ(bar.BackgroundColor(), 0xFFFFFFu);
  EXPECT_EQ(bar.BorderColor(), 0x808080u);
  EXPECT_FALSE(bar.CompletionSmooth());
  EXPECT_EQ(bar.Font().Name(), "Verdana");
  EXPECT_EQ(bar.Font().Size(), 10);
  EXPECT_EQ(bar.Format(), "");
  EXPECT_FALSE(bar.Infinite());
  EXPECT_EQ(bar.InfiniteInterval(), 50);
  EXPECT_EQ(bar.Level0Color(), 0x00FF00u);
  EXPECT_EQ(bar.Level0ColorTo(), 0xE1FFE1u);
  EXPECT_EQ(bar.Level1Color(), 0x00FFFFu);
  EXPECT_EQ(bar.Level1ColorTo(), 0xCAFFFFu);
  EXPECT_EQ(bar.Level2Color(), 0x53A9FFu);
  EXPECT_EQ(bar.Level2ColorTo(), 0xA8D3FFu);
  EXPECT_EQ(bar.Level3Color(), 0x0000FFu);
  EXPECT_EQ(bar.Level3ColorTo(), 0xCACAFFu);
  EXPECT_EQ(bar.Level1Perc(), 70);
  EXPECT_EQ(bar.Level2Perc(), 90);
  EXPECT_EQ(bar.Level0BkColor(), 0x1FFFFFFFu);
  EXPECT_EQ(bar.Level1BkColor(), clNone);
  EXPECT_EQ(bar.Level2BkColor(), clNone);
  EXPECT_EQ(bar.Min(), 0);
  EXPECT_EQ(bar.Max(), 100);
  EXPECT_EQ(bar.Orientation(), goHorizontal);
  EXPECT_EQ(bar.Position(), 50);
  EXPECT_TRUE(bar.Rounded());
  EXPECT_TRUE(bar.ShowBorder());
  EXPECT_TRUE(bar.ShowGradient());
  EXPECT_TRUE(bar.ShowPercentage());
  EXPECT_TRUE(bar.ShowPosition());
  EXPECT_FALSE(bar.Stacked());
  EXPECT_EQ(bar.Steps(), 8);
  EXPECT_EQ(bar.Version(), "1.2.0.1");
  EXPECT_TRUE(bar.Visible());
  EXPECT_FALSE(bar.InfiniteTimer().Enabled());
  EXPECT_EQ(bar.InfiniteTimer().Interval(), 50u);
  EXPECT_EQ(bar.InfinitePos(), 0);
  EXPECT_FALSE(bar.InfiniteRising());
  EXPECT_EQ(bar.RepaintStep(), 1);
}

TEST(LevelProgressBar, PublishedPropertiesInOrderAndVersionIsReadOnly) {
  TLevelProgressBar bar(nullptr);
  std::vector<std::string> names;
  const PropertyList list = bar.Properties();
  for (const auto& p : list.properties()) names.push_back(p.name);
  const std::vector<std::string> expected = {"Left",
                                             "Top",
                                             "Width",
                                             "Height",
                                             "Align",
                                             "Anchors",
                                             "Constraints.MaxHeight",
                                             "Constraints.MaxWidth",
                                             "Constraints.MinHeight",
                                             "Constraints.MinWidth",
                                             "Animated",
                                             "BackgroundColor",
                                             "BorderColor",
                                             "CompletionSmooth",
                                             "Font.Charset",
                                             "Font.Color",
                                             "Font.Height",
                                             "Font.Name",
                                             "Font.Style",
                                             "Format",
                                             "Infinite",
                                             "InfiniteInterval",
                                             "Level0Color",
                                             "Level0ColorTo",
                                             "Level1Color",
                                             "Level1ColorTo",
                                             "Level2Color",
                                             "Level2ColorTo",
                                             "Level3Color",
                                             "Level3ColorTo",
                                             "Level1Perc",
                                             "Level2Perc",
                                             "Level0BkColor",
                                             "Level1BkColor",
                                             "Level2BkColor",
                                             "Min",
                                             "Max",
                                             "Orientation",
                                             "Position",
                                             "Rounded",
                                             "ShowBorder",
                                             "ShowGradient",
                                             "ShowPercentage",
                                             "ShowPosition",
                                             "Stacked",
                                             "Steps",
                                             "ShowHint",
                                             "Version",
                                             "Visible",
                                             "OnMouseDown",
                                             "OnMouseUp",
                                             "OnMouseMove"};
  EXPECT_EQ(names, expected);

  SetProperty(bar, "Version", "'9.9.9.9'");
  EXPECT_EQ(bar.Version(), "1.2.0.1");
}

TEST(LevelProgressBar, LoadsAndStoresTheLaunchersDefinition) {
  TLevelProgressBar bar(nullptr);
  LoadComponent(bar, kLauncherBar);
  EXPECT_EQ(bar.Name, "LevelProgressBar1");
  EXPECT_EQ(bar.Left(), 18);
  EXPECT_EQ(bar.Width(), 335);
  EXPECT_EQ(bar.Height(), 13);
  EXPECT_EQ(bar.Font().Height(), -13);
  EXPECT_EQ(bar.Level2Color(), RGB(109, 207, 246));
  EXPECT_EQ(bar.Level3ColorTo(), RGB(17, 32, 149));
  EXPECT_EQ(bar.Position(), 0);
  EXPECT_FALSE(bar.ShowPosition());
  EXPECT_EQ(bar.Steps(), 5);

  const std::string stored = StoreComponent(bar);
  EXPECT_EQ(stored.find("Animated"), std::string::npos);  // still at its default
  TLevelProgressBar copy(nullptr);
  LoadComponent(copy, stored);
  EXPECT_EQ(StoreComponent(copy), stored);

  EXPECT_THROW(SetProperty(bar, "Orientation", "goDiagonal"), EReadError);
  EXPECT_THROW(SetProperty(bar, "Level0Color", "'blue'"), EReadError);
  EXPECT_THROW(SetProperty(bar, "Steps", "99999999999"), EReadError);
}

TEST(LevelProgressBar, PercentageRoundsHalfToEvenOverTheRange) {
  EXPECT_EQ(GaugePercentage(50, 0, 100), 50);
  EXPECT_EQ(GaugePercentage(1, 0, 200), 0);       // 0.5
  EXPECT_EQ(GaugePercentage(3, 0, 200), 2);       // 1.5
  EXPECT_EQ(GaugePercentage(5, 0, 200), 2);       // 2.5
  EXPECT_EQ(GaugePercentage(7, 0, 1000), 1);      // 0.7
  EXPECT_EQ(GaugePercentage(7, 7, 7), 0);         // Max = Min
  EXPECT_EQ(GaugePercentage(100, 50, 150), 100);  // the position itself over the range
  EXPECT_EQ(GaugePercentage(50, 50, 150), 50);
  EXPECT_EQ(GaugePercentage(-5, -10, 0), -50);
  EXPECT_EQ(GaugePercentage(INT_MAX, INT_MIN, INT_MAX), 50);
  EXPECT_EQ(GaugePercentage(INT_MAX, INT_MAX - 1, INT_MAX), INT_MAX);  // held at the end
}

TEST(LevelProgressBar, FormatTakesPositionThenMax) {
  EXPECT_EQ(FormatGaugeText("%d of %d", 30, 200), "30 of 200");
  EXPECT_EQ(FormatGaugeText("%d%%", 30, 200), "30%");
  EXPECT_EQ(FormatGaugeText("[%5d|%-4d]", 30, 200), "[   30|200 ]");
  EXPECT_EQ(FormatGaugeText("%.3d/%x/%X", 7, 255), "007/ff/%X");  // no third argument
  EXPECT_EQ(FormatGaugeText("%u", -1, 0), "4294967295");
  EXPECT_EQ(FormatGaugeText("%ld", 12, 0), "12");
  EXPECT_EQ(FormatGaugeText("%s and %d", 1, 2), "%s and 1");
  EXPECT_EQ(FormatGaugeText("%999999999d", 1, 2), "%999999999d");
  EXPECT_EQ(FormatGaugeText("100%", 1, 2), "100%");
  EXPECT_EQ(FormatGaugeText("", 1, 2), "");
}

// ---- Setters and painting -------------------------------------------------------------

TEST(LevelProgressBar, SettersAskForOnePaintThroughTheMessageLoop) {
  Placed p;
  ui::ProcessMessages();
  const long long before = p.bar.PaintCount();
  p.bar.SetStacked(true);
  p.bar.SetSteps(3);
  p.bar.SetBorderColor(clRed);
  EXPECT_EQ(p.bar.PaintCount(), before);  // not yet
  ui::ProcessMessages();
  EXPECT_EQ(p.bar.PaintCount(), before + 1);

  // Zone colours ask only when they change.
  p.bar.SetLevel1BkColor(clNone);
  ui::ProcessMessages();
  EXPECT_EQ(p.bar.PaintCount(), before + 1);
  p.bar.SetLevel1BkColor(clYellow);
  ui::ProcessMessages();
  EXPECT_EQ(p.bar.PaintCount(), before + 2);

  // The interval only goes to the timer.
  p.bar.SetInfiniteInterval(20);
  ui::ProcessMessages();
  EXPECT_EQ(p.bar.PaintCount(), before + 2);
  EXPECT_EQ(p.bar.InfiniteTimer().Interval(), 20u);

  // Any change of the font repaints.
  p.bar.Font().SetColor(clRed);
  ui::ProcessMessages();
  EXPECT_EQ(p.bar.PaintCount(), before + 3);
}

TEST(LevelProgressBar, RangeSetsTheRepaintStepAndLeavesThePosition) {
  TLevelProgressBar bar(nullptr);
  bar.SetMax(250);
  EXPECT_EQ(bar.RepaintStep(), 2);
  bar.SetMin(-50);
  bar.SetMax(149);
  EXPECT_EQ(bar.RepaintStep(), 1);
  bar.SetMax(10);
  EXPECT_EQ(bar.RepaintStep(), 0);
  EXPECT_EQ(bar.Position(), 50);  // outside the range now, but untouched
  bar.SetMin(INT_MIN);
  bar.SetMax(INT_MAX);
  EXPECT_EQ(bar.RepaintStep(), 42949672);
  bar.SetMin(100);
  bar.SetMax(-100);
  EXPECT_EQ(bar.RepaintStep(), -2);
  bar.SetPosition(0);  // no position fits an inverted range
  EXPECT_EQ(bar.Position(), 100);
}

TEST(LevelProgressBar, PositionOutsideTheRangeIsHeldWithoutPainting) {
  Placed p;
  ui::ProcessMessages();
  const long long before = p.bar.PaintCount();
  p.bar.SetPosition(-3);
  EXPECT_EQ(p.bar.Position(), 0);
  p.bar.SetPosition(101);
  EXPECT_EQ(p.bar.Position(), 100);
  ui::ProcessMessages();
  EXPECT_EQ(p.bar.PaintCount(), before);
}

TEST(LevelProgressBar, EveryPositionOfASmallRangePaintsAtOnce) {
  Placed p;
  for (int v = 0; v <= 100; ++v) {
    const long long before = p.bar.PaintCount();
    p.bar.SetPosition(v);
    EXPECT_EQ(p.bar.PaintCount(), before + 1) << v;
  }
}

TEST(LevelProgressBar, AMillionPositionsPaintAboutOncePerPercent) {
  Placed p;
  p.bar.SetMax(1'000'000);
  ui::ProcessMessages();
  const long long before = p.bar.PaintCount();
  for (int v = 0; v <= 1'000'000; ++v) p.bar.SetPosition(v);
  const long long paints = p.bar.PaintCount() - before;
  EXPECT_GE(paints, 100);
  EXPECT_LE(paints, 300);
  EXPECT_EQ(p.bar.Position(), 1'000'000);
}

TEST(LevelProgressBar, PaintsOnlyWhenVisibleAndPlaced) {
  TLevelProgressBar loose(nullptr);
  loose.SetPosition(10);
  loose.Paint();
  EXPECT_EQ(loose.PaintCount(), 0);

  Placed p;
  p.bar.SetVisible(false);
  p.bar.SetPosition(10);
  ui::ProcessMessages();
  EXPECT_EQ(p.bar.PaintCount(), 0);
  p.bar.SetVisible(true);
  ui::ProcessMessages();
  EXPECT_EQ(p.bar.PaintCount(), 1);
  EXPECT_EQ(p.bar.Surface().Width(), 128);
}

TEST(LevelProgressBar, PaintedSurfaceIsTheDrawingWithTransparentCorners) {
  Placed p;
  p.bar.ParentColor = RGB(12, 34, 56);
  p.bar.Paint();
  const TCanvas drawn = Draw(p.bar);
  const TCanvas& shown = p.bar.Surface();
  ASSERT_EQ(shown.Width(), 128);
  ASSERT_EQ(shown.Height(), 18);
  for (int y = 0; y < 18; ++y)
    for (int x = 0; x < 128; ++x) {
      const TColor want = drawn.Pixel(x, y) == clFuchsia ? RGB(12, 34, 56) : drawn.Pixel(x, y);
      ASSERT_EQ(shown.Pixel(x, y), want) << x << "," << y;
    }
  // The three pixels of each corner outside the ellipse show the parent.
  for (auto [x, y] : {std::pair{0, 0},
                      {1, 0},
                      {0, 1},
                      {127, 0},
                      {126, 0},
                      {127, 1},
                      {0, 17},
                      {1, 17},
                      {0, 16},
                      {127, 17},
                      {126, 17},
                      {127, 16}})
    EXPECT_EQ(shown.Pixel(x, y), RGB(12, 34, 56)) << x << "," << y;
  EXPECT_EQ(shown.Pixel(2, 0), clGray);
  EXPECT_EQ(shown.Pixel(1, 1), clGray);

  // Square corners belong to the frame.
  p.bar.SetRounded(false);
  p.bar.Paint();
  EXPECT_EQ(p.bar.Surface().Pixel(0, 0), clGray);
  EXPECT_EQ(p.bar.Surface().Pixel(127, 17), clGray);
}

// ---- Animation -----------------------------------------------------------------------------

TEST(LevelProgressBar, AnimationRunsOnlyWhenInfiniteAndAnimated) {
  TLevelProgressBar bar(nullptr);
  bar.SetAnimated(true);
  EXPECT_FALSE(bar.InfiniteTimer().Enabled());
  bar.SetInfinite(true);
  EXPECT_TRUE(bar.InfiniteTimer().Enabled());
  bar.SetAnimated(false);
  EXPECT_FALSE(bar.InfiniteTimer().Enabled());
  bar.SetAnimated(true);
  EXPECT_TRUE(bar.InfiniteTimer().Running());
  bar.SetInfinite(false);
  EXPECT_FALSE(bar.InfiniteTimer().Running());
}

TEST(LevelProgressBar, TicksTurnFirstThenSweepAndPaintEachTime) {
  Placed p;
  p.bar.SetInfinite(true);
  const auto tick = [&] { p.bar.InfiniteTimer().OnTimer(); };
  const long long before = p.bar.PaintCount();
  tick();  // only turns the direction
  EXPECT_EQ(p.bar.InfinitePos(), 0);
  EXPECT_TRUE(p.bar.InfiniteRising());
  for (int i = 1; i <= 25; ++i) {
    tick();
    EXPECT_EQ(p.bar.InfinitePos(), 4 * i);
  }
  EXPECT_FALSE(p.bar.InfiniteRising());  // reached 100
  tick();
  EXPECT_EQ(p.bar.InfinitePos(), 96);
  EXPECT_EQ(p.bar.PaintCount(), before + 27);

  p.bar.SetInfinite(true);  // starts over from the left
  EXPECT_EQ(p.bar.InfinitePos(), 0);
  EXPECT_FALSE(p.bar.InfiniteRising());
}

TEST(LevelProgressBar, TimerTicksThroughTheMessageLoop) {
  Placed p;
  p.bar.SetInfiniteInterval(10);
  p.bar.SetInfinite(true);
  p.bar.SetAnimated(true);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (p.bar.InfinitePos() < 8 && std::chrono::steady_clock::now() < deadline) {
    ui::ProcessMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_GE(p.bar.InfinitePos(), 8);
  p.bar.SetAnimated(false);
  const int stopped = p.bar.InfinitePos();
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  ui::ProcessMessages();
  EXPECT_EQ(p.bar.InfinitePos(), stopped);
}

// ---- Drawing -------------------------------------------------------------------------------

TEST(DrawGauge, BlocksOf335PixelsAtHalf) {
  TLevelProgressBar bar(nullptr);
  MakeSolid(bar, 335, 13);
  // s = 333, t = Round(166.5) = 166: 18 blocks of 7 and one of 3 (r = 4).
  const TCanvas c = Draw(bar);
  auto inBlock = [](int x) {
    for (int k = 0; k < 18; ++k)
      if (In(x, 2 + 9 * k, 9 + 9 * k)) return true;
    return In(x, 164, 167);
  };
  ExpectArea(c, 2, 1, 333, 12,
             [&](int x, int y) { return In(y, 2, 11) && inBlock(x) ? kL0 : kBack; });
  const auto runs = RowRuns(c, 6, kL0);
  ASSERT_EQ(runs.size(), 19u);
  EXPECT_EQ(runs.back(), (std::pair{164, 3}));
}

TEST(DrawGauge, OneAndTwoPixelsOfBar) {
  TLevelProgressBar bar(nullptr);
  MakeSolid(bar, 102, 13);  // s = 100, so t is the percentage
  bar.SetPosition(1);
  ExpectArea(Draw(bar), 2, 1, 100, 12, [](int, int) { return kBack; });
  bar.SetPosition(2);
  ExpectArea(Draw(bar), 2, 1, 100, 12,
             [](int x, int y) { return x == 2 && In(y, 2, 11) ? kL0 : kBack; });
  bar.SetPosition(9);  // the largest single block: 8 pixels
  EXPECT_EQ(RowRuns(Draw(bar), 5, kL0), (std::vector<std::pair<int, int>>{{2, 8}}));
  bar.SetPosition(10);  // a 7-pixel block and nothing for r = 1
  EXPECT_EQ(RowRuns(Draw(bar), 5, kL0), (std::vector<std::pair<int, int>>{{2, 7}}));
}

TEST(DrawGauge, LevelIsChosenAtItsThresholdNotBelow) {
  TLevelProgressBar bar(nullptr);
  MakeSolid(bar, 102, 13);
  bar.SetCompletionSmooth(true);
  const std::pair<int, TColor> cases[] = {{69, kL0}, {70, kL1}, {89, kL1},
                                          {90, kL2}, {99, kL2}, {100, kL3}};
  for (auto [position, color] : cases) {
    bar.SetPosition(position);
    const TCanvas c = Draw(bar);
    // Smooth: (left + 2, top + 2, left + a, bottom - 2) with a = the percentage here.
    ExpectArea(c, 2, 1, 100, 12,
               [&](int x, int y) { return In(x, 2, position) && In(y, 2, 11) ? color : kBack; });
  }
}

TEST(DrawGauge, StackedFullBarEndsAtTheUsableLength) {
  TLevelProgressBar bar(nullptr);
  MakeSolid(bar, 50, 13);
  bar.SetStacked(true);
  bar.SetPosition(100);
  // s = 48: a0 = Round(33.6) = 34, a1 = Round(9.6) = 10, and the last takes
  // the remaining 4 (its own rounding would give 5 and run into the frame).
  ExpectArea(Draw(bar), 2, 1, 48, 12, [](int x, int y) {
    if (!In(y, 1, 12)) return kBack;
    return In(x, 2, 34) ? kL0 : In(x, 34, 44) ? kL1 : In(x, 44, 48) ? kL2 : kBack;
  });

  bar.SetPosition(80);  // stops inside level 1: a1 = Round(48 * 10 / 100) = 5
  ExpectArea(Draw(bar), 2, 1, 48, 12, [](int x, int y) {
    if (!In(y, 1, 12)) return kBack;
    return In(x, 2, 34) ? kL0 : In(x, 34, 39) ? kL1 : kBack;
  });
}

TEST(DrawGauge, VerticalStackedFillsUpwardsToTheTop) {
  TLevelProgressBar bar(nullptr);
  MakeSolid(bar, 13, 50);
  bar.SetOrientation(goVertical);
  bar.SetStacked(true);
  bar.SetPosition(100);
  // Segment 0 (1, 50 - 34 + 1, 12, 48), segment 1 above it, segment 2 one
  // row further up, ending at top + 2.
  ExpectArea(Draw(bar), 1, 2, 12, 48, [](int x, int y) {
    if (!In(x, 1, 12)) return kBack;
    return In(y, 17, 48) ? kL0 : In(y, 7, 17) ? kL1 : In(y, 2, 6) ? kL2 : kBack;
  });
}

TEST(DrawGauge, ZeroStepsDrawOneBandPerHalf) {
  TLevelProgressBar bar(nullptr);
  MakeSolid(bar, 102, 13);
  bar.SetShowGradient(true);
  bar.SetLevel0ColorTo(clYellow);
  bar.SetSteps(0);
  bar.SetPosition(20);
  // Blocks span rows 2 ... 10; the middle is row 6.
  ExpectArea(Draw(bar), 2, 2, 9, 11, [](int, int y) { return y < 6 ? clYellow : kL0; });
}

TEST(DrawGauge, GradientBandsOfTheLaunchersBar) {
  TLevelProgressBar bar(nullptr);
  LoadComponent(bar, kLauncherBar);
  bar.SetPosition(50);
  const TCanvas c = Draw(bar);
  // Upper half rows 2 ... 5: four rows, five bands of 0.8 pixel from
  // RGB(17, 32, 149) towards RGB(109, 207, 246); band 2 is covered by band 3.
  // Lower half rows 6 ... 10: one band per row back towards the edge colour.
  const TColor rows[] = {RGB(17, 32, 149),  RGB(35, 67, 168),   RGB(72, 137, 207),
                         RGB(91, 172, 227), RGB(109, 207, 246), RGB(91, 172, 227),
                         RGB(72, 137, 207), RGB(54, 102, 188),  RGB(35, 67, 168)};
  ExpectArea(c, 2, 2, 9, 11, [&](int, int y) { return rows[y - 2]; });
  ExpectArea(c, 164, 2, 167, 11, [&](int, int y) { return rows[y - 2]; });
  EXPECT_EQ(c.Pixel(167, 6), kBack);
}

TEST(DrawGauge, ManyMoreStepsThanPixelsMatchTheBandByBandRule) {
  TLevelProgressBar bar(nullptr);
  bar.SetBounds(0, 0, 60, 40);
  bar.SetShowPosition(false);
  bar.SetCompletionSmooth(true);
  bar.SetPosition(80);
  for (int steps : {37, 1000, INT_MAX}) {
    bar.SetSteps(steps);
    const TCanvas c = Draw(bar);
    // The upper half of the smooth bar, band by band as the rule states it
    // (only affordable here for the smaller counts).
    const int top = 2, bottom = 2 + (36 / 2);
    const TColor a = bar.Level1ColorTo(), b = bar.Level1Color();
    if (steps <= 1000) {
      TCanvas want(60, 40);
      const double h = static_cast<double>(bottom - top) / steps;
      for (int i = 0; i < steps; ++i) {
        auto channel = [&](int from, int to) {
          const double d = (to - from) / static_cast<double>(steps);  // the rule's order
          return from + static_cast<int>(std::nearbyint(i * d));
        };
        want.Brush.SetColor(RGB(channel(GetRValue(a), GetRValue(b)),
                                channel(GetGValue(a), GetGValue(b)),
                                channel(GetBValue(a), GetBValue(b))));
        const long o = std::lrint(i * h);
        want.FillRect(2, top + o, 46, std::min<long>(top + o + static_cast<long>(h) + 1, bottom));
      }
      ExpectArea(c, 2, top, 46, bottom, [&](int x, int y) { return want.Pixel(x, y); });
    } else {
      // Every row of the half shows a colour between the two ends.
      for (int y = top; y < bottom; ++y) {
        const int blue = GetBValue(c.Pixel(10, y));
        EXPECT_GE(blue, std::min(GetBValue(a), GetBValue(b)));
        EXPECT_LE(blue, std::max(GetBValue(a), GetBValue(b)));
      }
    }
  }
}

TEST(DrawGauge, MaxEqualToMinDrawsNoBar) {
  TLevelProgressBar bar(nullptr);
  MakeSolid(bar, 102, 13);
  bar.SetMin(5);
  bar.SetMax(5);
  bar.SetPosition(5);
  EXPECT_EQ(bar.Percentage(), 0);
  ExpectArea(Draw(bar), 2, 1, 100, 12, [](int, int) { return kBack; });
}

TEST(DrawGauge, PositionOverTheRangeDrawsFullInLevelThree) {
  TLevelProgressBar bar(nullptr);
  MakeSolid(bar, 102, 13);
  bar.SetMin(50);
  bar.SetMax(150);
  bar.SetPosition(100);
  EXPECT_EQ(bar.Percentage(), 100);
  // Blocks: t = 100, eleven blocks of 7 and a last one of 0 (r = 1 is too small).
  const auto runs = RowRuns(Draw(bar), 6, kL3);
  ASSERT_EQ(runs.size(), 11u);
  EXPECT_EQ(runs.back(), (std::pair{92, 7}));
  bar.SetCompletionSmooth(true);
  ExpectArea(Draw(bar), 2, 1, 100, 12,
             [](int x, int y) { return In(x, 2, 100) && In(y, 2, 11) ? kL3 : kBack; });
}

TEST(DrawGauge, InfiniteWindowPositions) {
  TLevelProgressBar bar(nullptr);
  MakeSolid(bar, 335, 13);
  bar.SetCompletionSmooth(true);
  bar.SetLevel3Color(clBlack);  // must not be used: 100 < 101 keeps level 0
  bar.SetInfinite(true);
  for (int step = 0; step <= 25; ++step) {
    Placed p;  // a fresh bar with the same settings at this window position
    MakeSolid(p.bar, 335, 13);
    p.bar.SetCompletionSmooth(true);
    p.bar.SetLevel3Color(clBlack);
    p.bar.SetInfinite(true);
    p.bar.InfiniteTimer().OnTimer();
    for (int k = 0; k < step; ++k) p.bar.InfiniteTimer().OnTimer();
    ASSERT_EQ(p.bar.InfinitePos(), 4 * step);
    // w = 335, p = Round(pos / 100 * 331); visible: x = p - 10 ... p + 11.
    const long pos = std::lrint(4 * step / 100.0 * 331);
    ExpectArea(Draw(p.bar), 2, 1, 333, 12, [&](int x, int y) {
      return In(y, 2, 11) && In(x, pos - 10, pos + 12) && In(x, 2, 333) ? kL0 : kBack;
    });
  }
  bar.SetOrientation(goVertical);
  bar.SetBounds(0, 0, 13, 335);
  // InfinitePos 0 after SetInfinite: the window is at the top, rows 2 ... 11.
  bar.SetInfinite(true);
  ExpectArea(Draw(bar), 1, 2, 12, 333,
             [](int x, int y) { return In(x, 2, 11) && In(y, 2, 12) ? kL0 : kBack; });
}

TEST(DrawGauge, VerticalBarsFillFromTheBottom) {
  TLevelProgressBar bar(nullptr);
  MakeSolid(bar, 13, 335);
  bar.SetOrientation(goVertical);
  // Blocks: the first at (2, 326, 11, 333), each further one 9 rows up, the
  // last of 3 rows.
  const TCanvas c = Draw(bar);
  auto inBlock = [](int y) {
    for (int k = 0; k < 18; ++k)
      if (In(y, 326 - 9 * k, 333 - 9 * k)) return true;
    return In(y, 168, 171);
  };
  ExpectArea(c, 1, 2, 12, 333,
             [&](int x, int y) { return In(x, 2, 11) && inBlock(y) ? kL0 : kBack; });

  bar.SetCompletionSmooth(true);  // a = 166: rows 335 - 166 ... 332
  ExpectArea(Draw(bar), 1, 2, 12, 333,
             [](int x, int y) { return In(x, 2, 11) && In(y, 169, 333) ? kL0 : kBack; });
}

TEST(DrawGauge, ZoneBackgroundsBehindTheBar) {
  TLevelProgressBar bar(nullptr);
  MakeSolid(bar, 102, 13);
  bar.SetLevel0BkColor(clSilver);
  bar.SetLevel2BkColor(clYellow);  // zone 1 stays clear
  bar.SetPosition(0);
  // s = 100: zone 0 (2 ... 69), zone 1 (70 ... 89), zone 2 (90 ... 99), rows 1 ... 11.
  ExpectArea(Draw(bar), 2, 1, 100, 12, [](int x, int) {
    return In(x, 2, 70) ? clSilver : In(x, 90, 100) ? clYellow : kBack;
  });
}

// ---- Text ------------------------------------------------------------------------------------

struct InkBox {
  int left = INT_MAX, top = INT_MAX, right = INT_MIN, bottom = INT_MIN, count = 0;
};

// Dark pixels: the text (the bar colours and frame are all light or saturated).
InkBox TextInk(const TCanvas& c) {
  InkBox box;
  for (int y = 0; y < c.Height(); ++y)
    for (int x = 0; x < c.Width(); ++x) {
      const TColor p = c.Pixel(x, y);
      if (GetRValue(p) + GetGValue(p) + GetBValue(p) < 200) {
        box.left = std::min(box.left, x);
        box.right = std::max(box.right, x);
        box.top = std::min(box.top, y);
        box.bottom = std::max(box.bottom, y);
        ++box.count;
      }
    }
  return box;
}

TEST(DrawGauge, TextIsCentredAndFollowsItsSettings) {
  TLevelProgressBar bar(nullptr);  // 128 x 18, "50%" in black
  InkBox ink = TextInk(Draw(bar));
  ASSERT_GT(ink.count, 10);
  EXPECT_NEAR((ink.left + ink.right) / 2.0, 64, 3);
  EXPECT_NEAR((ink.top + ink.bottom) / 2.0, 9, 3);
  const int percentWidth = ink.right - ink.left;

  bar.SetFormat("%d of %d");  // "50 of 100"
  ink = TextInk(Draw(bar));
  EXPECT_GT(ink.right - ink.left, 2 * percentWidth);
  EXPECT_NEAR((ink.left + ink.right) / 2.0, 64, 3);

  bar.SetFormat("");
  bar.SetShowPercentage(false);
  bar.SetPosition(7);  // "7"
  ink = TextInk(Draw(bar));
  EXPECT_LT(ink.right - ink.left, percentWidth / 2);

  bar.SetShowPosition(false);
  bar.SetFormat("%d");
  EXPECT_EQ(TextInk(Draw(bar)).count, 0);
}

TEST(DrawGauge, VerticalTextRunsUpwardsCentred) {
  TLevelProgressBar bar(nullptr);
  bar.SetOrientation(goVertical);
  bar.SetBounds(0, 0, 20, 120);
  const InkBox ink = TextInk(Draw(bar));
  ASSERT_GT(ink.count, 10);
  EXPECT_GT(ink.bottom - ink.top, 2 * (ink.right - ink.left));
  EXPECT_NEAR((ink.top + ink.bottom) / 2.0, 60, 3);
  EXPECT_NEAR((ink.left + ink.right) / 2.0, 10, 3);
}

// ---- Robustness ------------------------------------------------------------------------------

TEST(DrawGauge, ExtremeSettingsDrawWithoutHarm) {
  const int values[] = {INT_MIN, -1000, -1, 0, 1, 2, 3, 50, 99, 100, 101, 1000, INT_MAX};
  const std::pair<int, int> sizes[] = {{0, 0}, {1, 1}, {3, 2}, {5, 5}, {40, 12}, {12, 40}};
  for (auto [w, h] : sizes)
    for (int v : values) {
      TGaugeSettings g = TLevelProgressBar(nullptr).Settings();
      g.Percentage = v;
      g.Level1Perc = v == INT_MIN ? INT_MAX : -v;
      g.Level2Perc = v;
      g.Steps = v;
      g.InfinitePos = v;
      g.Format = "%d %d %d %s %*d";
      for (int mode = 0; mode < 8; ++mode) {
        g.Stacked = mode & 1;
        g.CompletionSmooth = mode & 2;
        g.Infinite = mode & 4;
        g.Orientation = v % 2 ? goVertical : goHorizontal;
        g.Level0BkColor = clGray;
        TCanvas c(w, h);
        DrawGauge(c, {0, 0, w, h}, g);
        DrawGauge(c, {-w, -h, 2 * w, 2 * h}, g);
      }
    }
}

// ---- Pictures to look at -------------------------------------------------------------------

TEST(Pictures, WritesTheBarsAsPng) {
  const std::string dir = PngDir();
  struct Picture {
    const char* name;
    bool launcher;           // starts from the launcher's bar, else from a new one
    const char* properties;  // stored settings on top
    int ticks;               // animation ticks
  };
  const char* zones =
      "Level0BkColor = 15138790\n Level1BkColor = 14483455\n"
      "Level2BkColor = 15132415\n Width = 240\n Height = 22\n Stacked = True\n";
  const Picture pictures[] = {
      {"launcher-0", true, "", 0},
      {"launcher-35", true, "Position = 35\n", 0},
      {"launcher-50", true, "Position = 50\n", 0},
      {"launcher-100", true, "Position = 100\n", 0},
      {"default", false, "", 0},
      {"default-95-smooth", false, "Position = 95\n CompletionSmooth = True\n", 0},
      {"stacked-zones-80", false, "Position = 80\n", 0},
      {"stacked-zones-100", false, "Position = 100\n", 0},
      {"infinite", false, "Width = 240\n Infinite = True\n", 13},
      {"vertical-60", false,
       "Orientation = goVertical\n Width = 22\n Height = 160\n Position = 60\n", 0},
      {"format", false, "Width = 200\n Max = 200\n Position = 150\n Format = '%d of %d'\n", 0},
  };
  for (const auto& picture : pictures) {
    Placed p;
    if (picture.launcher) LoadComponent(p.bar, kLauncherBar);
    std::string extra = picture.properties;
    if (std::string(picture.name).starts_with("stacked")) extra = zones + extra;
    LoadComponent(p.bar, "object Bar: TLevelProgressBar\n " + extra + "end\n");
    for (int i = 0; i < picture.ticks; ++i) p.bar.InfiniteTimer().OnTimer();
    p.bar.Paint();
    const std::string path = dir + "/" + picture.name + ".png";
    p.bar.Surface().SavePng(path);
    EXPECT_EQ(TCanvas::LoadPng(path).Data(), p.bar.Surface().Data()) << path;
  }
  std::printf("bar pictures in %s\n", dir.c_str());
}

}  // namespace
