#include "widgets/canvas.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

// The bounding box of the pixels that differ from the background.
struct Ink {
  int left = INT_MAX, top = INT_MAX, right = INT_MIN, bottom = INT_MIN;  // inclusive
  int count = 0;
  int Width() const { return right - left + 1; }
  int Height() const { return bottom - top + 1; }
};

Ink InkOf(const TCanvas& c, TColor background) {
  Ink ink;
  for (int y = 0; y < c.Height(); ++y)
    for (int x = 0; x < c.Width(); ++x)
      if (c.Pixel(x, y) != background) {
        ink.left = std::min(ink.left, x);
        ink.right = std::max(ink.right, x);
        ink.top = std::min(ink.top, y);
        ink.bottom = std::max(ink.bottom, y);
        ++ink.count;
      }
  return ink;
}

TEST(Colors, SystemColorsResolveAndNamesRoundTrip) {
  EXPECT_EQ(ColorToRGB(clBtnFace), RGB(240, 240, 240));
  EXPECT_EQ(ColorToRGB(0x8000000F), RGB(240, 240, 240));  // the older system colour form
  EXPECT_EQ(ColorToRGB(clWindowText), clBlack);
  EXPECT_EQ(ColorToRGB(0x952011), 0x952011u);
  EXPECT_EQ(ColorToRGB(clNone), clNone);
  EXPECT_EQ(RGB(109, 207, 246), 0xF6CF6Du);
  EXPECT_EQ(ColorToIdent(clGray), "clGray");
  EXPECT_EQ(IdentToColor("CLBTNFACE"), clBtnFace);
  EXPECT_FALSE(IdentToColor("clNoSuchColour"));
  EXPECT_FALSE(ColorToIdent(0x123456));
}

TEST(Font, SizeAndHeightAndChangeNotification) {
  TFont font;
  int changes = 0;
  font.OnChange = [&] { ++changes; };
  font.SetSize(10);
  EXPECT_EQ(font.Height(), -13);
  EXPECT_EQ(font.Size(), 10);
  font.SetHeight(-13);  // unchanged: no notification
  font.SetName("Verdana");
  font.SetStyle(fsBold | 0x100);  // unknown bits are dropped
  EXPECT_EQ(font.Style(), TFontStyles{fsBold});
  EXPECT_EQ(changes, 3);

  TFont copy = font;  // a copy describes the font but is nobody's
  EXPECT_TRUE(copy.SameAs(font));
  EXPECT_FALSE(copy.OnChange);
  TFont other;
  font.Assign(other);
  EXPECT_EQ(changes, 4);
  EXPECT_TRUE(font.SameAs(other));
}

TEST(Font, StoredFormReadsCharsetNamesAndStyles) {
  TFont font;
  SetProperty(font, "Charset", "CHINESEBIG5_CHARSET");
  SetProperty(font, "Style", "[fsBold, fsItalic]");
  SetProperty(font, "Color", "clRed");
  SetProperty(font, "Height", "-13");
  EXPECT_EQ(font.Charset(), 136);
  EXPECT_EQ(font.Style(), TFontStyles{fsBold | fsItalic});
  EXPECT_EQ(font.Color(), clRed);
  EXPECT_THROW(SetProperty(font, "Charset", "NO_CHARSET"), EReadError);
  EXPECT_THROW(SetProperty(font, "Style", "[fsHeavy]"), EReadError);
  EXPECT_THROW(SetProperty(font, "Color", "'red'"), EReadError);
}

TEST(Canvas, FillRectCoversRightAndBottomExclusiveAndClips) {
  TCanvas c(10, 6);
  c.Brush.SetColor(clRed);
  c.FillRect(2, 1, 5, 3);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 10; ++x)
      EXPECT_EQ(c.Pixel(x, y), (x >= 2 && x < 5 && y >= 1 && y < 3) ? clRed : clWhite)
          << x << "," << y;

  c.Brush.SetColor(clBlue);
  c.FillRect(5, 3, 5, 6);  // empty
  c.FillRect(9, 5, 3, 2);  // inverted: empty
  c.FillRect(-(1LL << 40), 5, 1LL << 40, 1LL << 40);
  EXPECT_EQ(InkOf(c, clWhite).count, 6 + 10);
  EXPECT_EQ(c.Pixel(0, 5), clBlue);
  EXPECT_EQ(c.Pixel(-1, 0), clNone);

  c.Brush.SetStyle(TBrushStyle::bsClear);
  c.FillRect(0, 0, 10, 6);
  EXPECT_EQ(c.Pixel(0, 0), clWhite);
  c.Brush.SetColor(clGreen);  // a colour makes a hollow brush solid again
  EXPECT_EQ(c.Brush.Style(), TBrushStyle::bsSolid);
}

TEST(Canvas, RectangleDrawsOutlineInsideWithPenAndFillsWithBrush) {
  TCanvas c(8, 6);
  c.Pen.Color = clBlack;
  c.Brush.SetColor(clRed);
  c.Rectangle(1, 1, 7, 5);
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) {
      const bool inside = x >= 1 && x < 7 && y >= 1 && y < 5;
      const bool edge = inside && (x == 1 || x == 6 || y == 1 || y == 4);
      EXPECT_EQ(c.Pixel(x, y), edge ? clBlack : inside ? clRed : clWhite) << x << "," << y;
    }
  c.Brush.SetStyle(TBrushStyle::bsClear);
  c.Pen.Color = clBlue;
  c.Rectangle(1, 1, 7, 5);
  EXPECT_EQ(c.Pixel(1, 1), clBlue);
  EXPECT_EQ(c.Pixel(3, 2), clRed);  // a hollow brush leaves the inside alone
}

TEST(Canvas, RoundRectCutsThreePixelsAtEachCornerOfASixBySixEllipse) {
  TCanvas c(20, 10);
  c.Clear(clFuchsia);
  c.Pen.Color = clBlack;
  c.Brush.SetColor(clWhite);
  c.RoundRect(0, 0, 20, 10, 6, 6);
  // Top-left corner, mirrored to the others.
  const char* corner[] = {
      "..#",
      ".# ",
      "#  ",
  };
  for (int dy = 0; dy < 3; ++dy)
    for (int dx = 0; dx < 3; ++dx) {
      const TColor want = corner[dy][dx] == '.'   ? clFuchsia
                          : corner[dy][dx] == '#' ? clBlack
                                                  : clWhite;
      EXPECT_EQ(c.Pixel(dx, dy), want) << dx << "," << dy;
      EXPECT_EQ(c.Pixel(19 - dx, dy), want) << "top right " << dx << "," << dy;
      EXPECT_EQ(c.Pixel(dx, 9 - dy), want) << "bottom left " << dx << "," << dy;
      EXPECT_EQ(c.Pixel(19 - dx, 9 - dy), want) << "bottom right " << dx << "," << dy;
    }
  // Straight edges and the inside.
  for (int x = 3; x < 17; ++x) {
    EXPECT_EQ(c.Pixel(x, 0), clBlack);
    EXPECT_EQ(c.Pixel(x, 9), clBlack);
    EXPECT_EQ(c.Pixel(x, 5), x == 0 || x == 19 ? clBlack : clWhite);
  }
  for (int y = 3; y < 7; ++y) {
    EXPECT_EQ(c.Pixel(0, y), clBlack);
    EXPECT_EQ(c.Pixel(19, y), clBlack);
  }
  EXPECT_EQ(InkOf(c, clFuchsia).count, 200 - 12);
}

TEST(Canvas, DrawSkipsTheTransparentColour) {
  TCanvas source(3, 1);
  source.SetPixel(0, 0, clFuchsia);
  source.SetPixel(1, 0, clRed);
  TCanvas target(4, 2);
  target.Clear(clBlue);
  target.Draw(1, 1, source, clFuchsia);
  EXPECT_EQ(target.Pixel(1, 1), clBlue);
  EXPECT_EQ(target.Pixel(2, 1), clRed);
  EXPECT_EQ(target.Pixel(3, 1), clWhite);
  target.Draw(-2, 0, source);  // partly off the canvas; no transparent colour
  EXPECT_EQ(target.Pixel(0, 0), clWhite);
}

TEST(Canvas, RefusesSizesThatAreNegativeOrTooLarge) {
  EXPECT_THROW(TCanvas(-1, 5), ECanvasSize);
  EXPECT_THROW(TCanvas(TCanvas::kMaxSide + 1, 1), ECanvasSize);
  EXPECT_THROW(TCanvas(20000, 20000), ECanvasSize);
  EXPECT_NO_THROW(TCanvas(0, 0));
}

TEST(Canvas, PngRoundTripsDropsTransparencyOntoWhiteAndReportsErrors) {
  testing_support::TempHome home;
  TCanvas c(5, 3);
  c.SetPixel(0, 0, RGB(1, 2, 3));
  c.SetPixel(4, 2, RGB(250, 128, 7));
  const std::string path = home.Path("out.png");
  c.SavePng(path);
  const TCanvas back = TCanvas::LoadPng(path);
  ASSERT_EQ(back.Width(), 5);
  ASSERT_EQ(back.Height(), 3);
  EXPECT_EQ(back.Data(), c.Data());
  const TCanvas clear = TCanvas::LoadPng(KESTREL_TEST_DATA "/png/clear-red-then-blue.png");
  EXPECT_EQ(clear.Pixel(0, 0), clWhite);
  EXPECT_EQ(clear.Pixel(1, 0), clBlue);

  const std::string unwritable = home.Path("missing-folder/out.png");
  try {
    c.SavePng(unwritable);
    FAIL() << "no error for an unwritable path";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(unwritable), std::string::npos);
  }
  EXPECT_THROW(TCanvas().SavePng(home.Path("empty.png")), std::runtime_error);
  testing_support::WriteFile(home.Path("bad.png"), "not a picture");
  EXPECT_THROW(TCanvas::LoadPng(home.Path("bad.png")), std::runtime_error);
}

TEST(Text, ExtentAndHorizontalPlacement) {
  TCanvas c(120, 40);
  c.Font.SetName("Verdana");
  c.Font.SetHeight(-13);
  const TSize one = c.TextExtent("5");
  const TSize three = c.TextExtent("50%");
  EXPECT_GT(one.cx, 3);
  EXPECT_GE(three.cy, 13);
  EXPECT_LE(three.cy, 20);
  EXPECT_GT(three.cx, 2 * one.cx);
  EXPECT_EQ(c.TextExtent("").cx, 0);

  c.Brush.SetStyle(TBrushStyle::bsClear);
  c.TextOut(30, 10, "50%");
  const Ink ink = InkOf(c, clWhite);
  ASSERT_GT(ink.count, 10);
  // Inside the text cell, filling most of its width.
  EXPECT_GE(ink.left, 30);
  EXPECT_LT(ink.right, 30 + three.cx);
  EXPECT_GE(ink.top, 10);
  EXPECT_LT(ink.bottom, 10 + three.cy);
  EXPECT_GT(ink.Width(), three.cx * 2 / 3);
  EXPECT_GT(ink.Width(), ink.Height());
}

TEST(Text, QuarterTurnRunsUpwardsFromTheReferencePoint) {
  TCanvas c(40, 120);
  c.Font.SetName("Verdana");
  c.Font.SetHeight(-13);
  const TSize extent = c.TextExtent("50%");
  c.Font.SetOrientation(900);
  c.Brush.SetStyle(TBrushStyle::bsClear);
  c.TextOut(10, 90, "50%");
  const Ink ink = InkOf(c, clWhite);
  ASSERT_GT(ink.count, 10);
  // The cell turns about (10, 90): x from 10 to 10 + height, y from 90 - width up to 90.
  EXPECT_GE(ink.left, 10);
  EXPECT_LT(ink.right, 10 + extent.cy);
  EXPECT_GE(ink.top, 90 - extent.cx);
  EXPECT_LT(ink.bottom, 90);
  EXPECT_GT(ink.Height(), ink.Width());

  // The same text turned reads the same: the horizontal rendering turned
  // by a quarter gives the same pixels.
  TCanvas flat(extent.cx, extent.cy);
  flat.Font.SetName("Verdana");
  flat.Font.SetHeight(-13);
  flat.Brush.SetStyle(TBrushStyle::bsClear);
  flat.TextOut(0, 0, "50%");
  for (int v = 0; v < extent.cy; ++v)
    for (int u = 0; u < extent.cx; ++u)
      ASSERT_EQ(c.Pixel(10 + v, 90 - u - 1), flat.Pixel(u, v)) << u << "," << v;
}

// Rows the font colour covers along the whole advance.
std::vector<int> FullRows(const TCanvas& c, int width) {
  std::vector<int> rows;
  for (int y = 0; y < c.Height(); ++y) {
    int x = 0;
    while (x < width && c.Pixel(x, y) == clBlack) ++x;
    if (x == width) rows.push_back(y);
  }
  return rows;
}

TEST(Text, DescendersAndUnderlineGoBelowTheBaselineStrikeOutThroughTheFigures) {
  TCanvas blank(60, 30);
  blank.Font.SetName("Verdana");
  blank.Font.SetHeight(-13);
  blank.Font.SetColor(clBlack);
  blank.Brush.SetStyle(TBrushStyle::bsClear);
  const TSize extent = blank.TextExtent("50");
  TCanvas plain = blank;
  plain.TextOut(0, 0, "50");
  const Ink figures = InkOf(plain, clWhite);  // figures stand on the baseline
  ASSERT_GT(figures.count, 10);
  ASSERT_TRUE(FullRows(plain, extent.cx).empty());

  TCanvas descender = blank;
  descender.TextOut(0, 0, "p");
  EXPECT_GT(InkOf(descender, clWhite).bottom, figures.bottom);

  auto linesOf = [&](TFontStyles style) {
    TCanvas c = blank;
    c.Font.SetStyle(style);
    c.TextOut(0, 0, "50");
    return FullRows(c, extent.cx);
  };
  const std::vector<int> under = linesOf(fsUnderline);
  ASSERT_FALSE(under.empty());
  EXPECT_GT(under.front(), figures.bottom);
  EXPECT_LT(under.back(), extent.cy);
  const std::vector<int> through = linesOf(fsStrikeOut);
  ASSERT_FALSE(through.empty());
  EXPECT_GT(through.front(), figures.top);
  EXPECT_LT(through.back(), figures.bottom);
}

TEST(Text, SolidBrushFillsTheCellAndBadUtf8IsDrawnNotFatal) {
  TCanvas c(100, 30);
  c.Font.SetHeight(-12);
  c.Brush.SetColor(clYellow);
  const std::string text = "a\xff\xc3(b\xe6\x9c";
  const TSize extent = c.TextExtent(text);
  EXPECT_GT(extent.cx, 0);
  c.TextOut(2, 3, text);
  EXPECT_EQ(c.Pixel(2, 3), clYellow);
  EXPECT_EQ(c.Pixel(2 + extent.cx - 1, 3 + extent.cy - 1), clYellow);
  EXPECT_EQ(c.Pixel(2 + extent.cx, 3), clWhite);
  EXPECT_EQ(c.Pixel(1, 3), clWhite);
}

}  // namespace
