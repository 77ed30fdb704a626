// Text in both languages and the level progress bar, drawn in a real
// window: what the canvas paints must be what the screen shows.
#include <gtest/gtest.h>

#include "support/start_program_bar.h"
#include "ui/display_fixture.h"
#include "widgets/levelprogressbar.h"

namespace {

using namespace testing_support;

class Drawing : public DisplayTest {};

ui::Control& AddLabel(ui::Form& form, const char* name, int left, int top, const char* text) {
  ui::Control label = ui::MakeControl(ui::ControlKind::Label, name, left, top, 0, 0, text);
  label.autoSize = true;
  return form.Add(std::move(label));
}

TEST_F(Drawing, EnglishAndChineseTextComeOutInRealGlyphs) {
  ui::Form form("TFormTextTest");
  form.caption = "文字 Text";
  form.clientWidth = 300;
  form.clientHeight = 120;
  form.borderStyle = ui::BorderStyle::Dialog;
  form.fontName = "細明體";
  form.fontHeight = 16;
  AddLabel(form, "English", 10, 10, "Current File Name");
  AddLabel(form, "Chinese", 10, 40, "目前檔案名稱");
  // Two different characters alone: a font without them would draw the
  // same empty box for both.
  AddLabel(form, "One", 10, 80, "檔");
  AddLabel(form, "Two", 40, 80, "案");
  ui::Control right =
      ui::MakeControl(ui::ControlKind::Label, "Right", 100, 80, 190, 20, "12 KBytes");
  right.rightAligned = true;
  form.Add(right);
  form.Show();
  const ui::Pixels shot = Shoot(form, "text_english_chinese");
  EXPECT_EQ(WindowTitle(FindTopLevel("TFormTextTest")), "文字 Text");

  EXPECT_GT(InkIn(shot, {10, 10, 150, 20}), 80);
  EXPECT_GT(InkIn(shot, {10, 40, 110, 20}), 150);
  const ui::Pixels one = Crop(shot, {10, 80, 18, 20}), two = Crop(shot, {40, 80, 18, 20});
  EXPECT_GT(InkIn(one, {0, 0, 18, 20}), 25);
  EXPECT_GT(InkIn(two, {0, 0, 18, 20}), 25);
  EXPECT_NE(one.rgb, two.rgb);
  // A right-aligned label's text ends at its right edge.
  EXPECT_GT(InkIn(shot, {250, 80, 40, 20}), 20);
  EXPECT_EQ(InkIn(shot, {100, 80, 100, 20}), 0);
  form.Hide();
}

TEST_F(Drawing, LevelProgressBarShowsOnItsFormAsItPaintsIt) {
  ui::Form form("TFormBarTest");
  form.caption = "Data Download";
  form.clientWidth = 370;
  form.clientHeight = 233;
  form.borderStyle = ui::BorderStyle::Single;
  TLevelProgressBar bar(nullptr);
  bar.Name = "LevelProgressBar1";
  bar.SetBounds(18, 202, 335, 13);
  StyleAsStartProgramBar(bar);
  bar.SetParent(&form);
  bar.SetPosition(50);
  form.Show();
  ASSERT_TRUE(WaitUntil([&] { return form.Find("LevelProgressBar1") != nullptr; }));
  const ui::Pixels shot = Shoot(form, "level_progress_bar");

  // Every pixel of the bar's place is what the bar painted.
  const TCanvas& surface = bar.Surface();
  ASSERT_EQ(surface.Width(), 335);
  int different = 0;
  for (int y = 0; y < 13; ++y)
    for (int x = 0; x < 335; ++x) {
      const TColor c = surface.Pixel(x, y);
      different += PixelAt(shot, 18 + x, 202 + y) != Rgb(GetRValue(c), GetGValue(c), GetBValue(c));
    }
  EXPECT_EQ(different, 0);
  // Half of it holds blue blocks, the other half is white.
  EXPECT_GT(
      CountPixels(shot, {20, 206, 160, 4},
                  [](std::uint32_t p) { return (p & 0xFF) > 140 && ((p >> 16) & 0xFF) < 120; }),
      300);
  EXPECT_TRUE(Near(PixelAt(shot, 18 + 300, 208), Rgb(255, 255, 255), 2));

  // A new position reaches the screen.
  bar.SetPosition(100);
  ui::ProcessMessages();
  const ui::Pixels full = Shoot(form, "level_progress_bar_full");
  EXPECT_FALSE(Near(PixelAt(full, 18 + 300, 208), Rgb(255, 255, 255), 2));
  bar.SetParent(nullptr);
  form.Hide();
}

}  // namespace
