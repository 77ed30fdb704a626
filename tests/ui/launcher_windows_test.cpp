// The start program's windows on a real (virtual) display: the main window
// "Data Download" in both languages with a file under way, the proxy
// dialog and the self-update progress window.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "launcher/mainform.h"
#include "launcher/proxyform.h"
#include "launcher/selfupdate.h"
#include "support/test_support.h"
#include "ui/display_fixture.h"
#include "widgets/canvas.h"

namespace {

using namespace testing_support;

bool Bluish(std::uint32_t p) {
  const int r = (p >> 16) & 0xFF, b = p & 0xFF;
  return b > 140 && r < 130;
}

// How many sampled pixels of a picture file the screenshot shows at (x, y).
int SamePixels(const ui::Pixels& shot, int x, int y, const char* file) {
  TCanvas picture = TCanvas::LoadPng(std::string(KESTREL_SOURCE_DIR "/resources/") + file);
  int same = 0;
  for (int py = 0; py < picture.Height(); py += 4)
    for (int px = 0; px < picture.Width(); px += 4) {
      TColor c = picture.Pixel(px, py);
      same += Near(PixelAt(shot, x + px, y + py), Rgb(GetRValue(c), GetGValue(c), GetBValue(c)), 2);
    }
  return same;
}

class LauncherWindows : public DisplayTest {
 protected:
  // The main window as the start program builds it, under a locale that
  // picks its message set. Its creation handler runs in the constructor:
  // it finds the machine offline (answered by the scripted interface, so
  // nothing is shown) and gives up, which leaves a window to look at.
  std::unique_ptr<launcher::TFormKestrelStart> MainWindow(const char* locale) {
    const char* old = std::getenv("LC_ALL");
    std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("LC_ALL", locale, 1);
    launcher::InternetConnected = [] { return false; };
    launcher::InternetDial = [] { return false; };
    auto display = ui::SetBackend(std::make_unique<ui::ScriptedBackend>());
    auto form = std::make_unique<launcher::TFormKestrelStart>();
    ui::SetBackend(std::move(display));
    if (saved)
      ::setenv("LC_ALL", saved->c_str(), 1);
    else
      ::unsetenv("LC_ALL");
    // Forget the quit request of the offline machine.
    ui::ResetMessageLoop();
    ui::SetMainThread();
    return form;
  }

  // A package half received: the labels of a new file and the bar.
  void ShowProgress(launcher::TFormKestrelStart& form) {
    form.Show();
    form.Updater2FileProgress(form.Updater2, "/opt/kestrel/Cab/KernelBPL.cab", 600 * 1024,
                              1200 * 1024);
    ui::ProcessMessages();
  }

  void CheckMainWindow(const ui::Pixels& shot, launcher::TFormKestrelStart& form) {
    ASSERT_EQ(shot.width, 370);
    ASSERT_EQ(shot.height, 233);
    EXPECT_EQ(WindowTitle(FindTopLevel("TFormKestrelStart")), "Data Download");
    // The banner at 16, 16.
    EXPECT_EQ(SamePixels(shot, 16, 16, "banner.png"), 85 * 15);
    // The captions on the left, the values against the right edge.
    for (const ui::Control* label :
         {&form.lblFileNameCaption, &form.lblTotalFileSize, &form.lblCurrentFileSize,
          &form.lblCurrentFile, &form.lblStatus})
      EXPECT_GT(InkIn(shot, {label->left, label->top, 100, 14}), 30) << label->name;
    for (int top : {88, 106, 124, 142, 179}) EXPECT_GT(InkIn(shot, {300, top, 53, 14}), 15) << top;
    EXPECT_EQ(InkIn(shot, {354, 80, 16, 110}), 0);
    EXPECT_EQ(form.lblPer.caption, "50%");
    // The sunken separator and the bar: half of it blue blocks.
    EXPECT_FALSE(Near(PixelAt(shot, 100, 161), Rgb(240, 240, 240), 10));
    EXPECT_GT(CountPixels(shot, {20, 206, 160, 4}, Bluish), 300);
    EXPECT_TRUE(Near(PixelAt(shot, 18 + 300, 208), Rgb(255, 255, 255), 2));
  }

  TempHome home_;
};

TEST_F(LauncherWindows, MainWindowInEnglish) {
  auto form = MainWindow("zh_CN.UTF-8");  // code page 936: the English set
  EXPECT_EQ(form->lblTotalFileSize.caption, launcher::EnglishMessages().TotalFileSize);
  ShowProgress(*form);
  const ui::Pixels shot = Shoot(*form, "main_window_english");
  CheckMainWindow(shot, *form);
}

TEST_F(LauncherWindows, MainWindowInChinese) {
  auto form = MainWindow("zh_TW.UTF-8");
  EXPECT_EQ(form->lblTotalFileSize.caption, launcher::ChineseMessages().TotalFileSize);
  ShowProgress(*form);
  const ui::Pixels shot = Shoot(*form, "main_window_chinese");
  CheckMainWindow(shot, *form);
}

TEST_F(LauncherWindows, ProxyDialogShowsItsFieldsAndGlyphsAndEscapeCancels) {
  launcher::TFormProxy dialog;
  dialog.edtProxyHost.caption = "proxy.local";
  dialog.edtProxyPort.caption = "8080";
  dialog.edtProxyID.caption = "trader";
  dialog.edtProxyPwd.caption = "secret";
  ui::Pixels shot;
  const int result = WhileModal([&] { return dialog.ShowModal(); },
                                [&] {
                                  shot = Shoot(dialog, "proxy_dialog");
                                  PressKey("Escape");
                                });
  EXPECT_EQ(result, ui::IDCANCEL);
  ASSERT_EQ(shot.width, 267);
  ASSERT_EQ(shot.height, 166);
  EXPECT_EQ(WindowTitle(FindTopLevel("TFormProxy")), "Kestrel - Proxy Setting");
  for (int top : {18, 42, 66, 90}) EXPECT_GT(InkIn(shot, {16, top, 60, 14}), 30) << top;
  for (int top : {16, 40, 64, 88}) EXPECT_GT(InkIn(shot, {82, top + 3, 120, 15}), 15) << top;
  // The glyphs: a green tick on OK, a red cross on Cancel.
  EXPECT_GT(CountPixels(shot, {64, 128, 40, 25},
                        [](std::uint32_t p) { return ((p >> 8) & 0xFF) > 100 && (p >> 16) < 60; }),
            15);
  EXPECT_GT(CountPixels(shot, {144, 128, 40, 25},
                        [](std::uint32_t p) { return (p >> 16) > 150 && ((p >> 8) & 0xFF) < 80; }),
            15);
  // The password is masked: its field differs from one showing the text.
  EXPECT_NE(Crop(shot, {82, 91, 60, 15}).rgb, Crop(shot, {82, 67, 60, 15}).rgb);
}

TEST_F(LauncherWindows, ProxyDialogEnterWalksTheFieldsAndPressesOk) {
  launcher::TFormProxy dialog;
  dialog.edtProxyHost.caption = "proxy.local";
  const int result =
      WhileModal([&] { return dialog.ShowModal(); },
                 [&] {
                   // Host, port, ID, password, then OK.
                   PressKey("Return");
                   TypeText("3128");
                   PressKey("Return");
                   PressKey("Return");
                   TypeText("pw");
                   ASSERT_TRUE(WaitUntil([&] { return dialog.edtProxyPwd.caption == "pw"; }));
                   PressKey("Return");
                   ASSERT_TRUE(WaitUntil([&] { return dialog.Focused() == &dialog.btnOk; }));
                   PressKey("Return");
                 });
  EXPECT_EQ(result, ui::IDOK);
  EXPECT_EQ(dialog.edtProxyPort.caption, "3128");
  EXPECT_EQ(dialog.edtProxyID.caption, "");
  EXPECT_EQ(dialog.edtProxyPwd.caption, "pw");
}

TEST_F(LauncherWindows, SelfUpdateWindowShowsBannerBarAndStatus) {
  launcher::TFormUpdate form;
  form.ProgressBar1.max = 1000;
  form.ProgressBar1.position = 250;
  form.StatusBar1.caption = "File:/opt/kestrel/Temp/KestrelStart.exe Downloading...";
  form.Show();
  const ui::Pixels shot = Shoot(form, "self_update_window");
  ASSERT_EQ(shot.width, 385);
  ASSERT_EQ(shot.height, 193);
  EXPECT_EQ(WindowTitle(FindTopLevel("TFormUpdate")), "Orvel Version Update");
  EXPECT_EQ(SamePixels(shot, 24, 32, "banner.png"), 85 * 15);
  EXPECT_GT(InkIn(shot, {24, 112, 120, 14}), 40);
  const int row = 136 + 8;
  EXPECT_NEAR(CountPixels(shot, {24, row, 340, 1}, Bluish), 340 / 4, 8);
  EXPECT_GT(InkIn(shot, {4, 193 - 18, 300, 14}), 100);
  form.Hide();
}

}  // namespace
