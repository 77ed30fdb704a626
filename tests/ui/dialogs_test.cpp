// The system's own windows on a real (virtual) display: message boxes, the
// credentials prompt, the what's-new and licence windows, the download
// progress window and the wait window of RunProgram. Each test looks at the
// pixels where the design puts things and answers the window with real
// keyboard or mouse input.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "archive/login.h"
#include "platform/kernel.h"
#include "ui/display_fixture.h"
#include "update/progressform.h"
#include "update/textforms.h"
#include "update/updater.h"
#include "widgets/canvas.h"

namespace {

using namespace testing_support;

// The layout of a message box, as the backend draws it: buttons of 75 x 23
// centred 12 pixels above the bottom, 6 apart.
Rect BoxButton(const ui::Pixels& box, int count, int index) {
  const int all = count * 75 + (count - 1) * 6;
  return {(box.width - all) / 2 + index * 81, box.height - 12 - 23, 75, 23};
}

bool Reddish(std::uint32_t p) {
  const int r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
  return r > 150 && g < 90 && b < 90;
}

bool Bluish(std::uint32_t p) {
  const int r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
  return b > 150 && r < 100 && g < 170;
}

class Dialogs : public DisplayTest {};

TEST_F(Dialogs, MessageBoxShowsCaptionIconButtonsAndEscapeAnswersCancel) {
  ui::Pixels shot;
  std::string title;
  const int answer = WhileModal(
      [] {
        return ui::MessageBox(nullptr, "Cannot connect to the update server.", "Error",
                              ui::MB_OKCANCEL | ui::MB_ICONERROR);
      },
      [&] {
        const unsigned long box = FindTopLevel("TMessageBox");
        ASSERT_NE(box, 0u);
        title = WindowTitle(box);
        shot = CaptureWindow(box);
        SaveScreenshot(shot, "messagebox_error");
        PressKey("Escape");
      });
  EXPECT_EQ(answer, ui::IDCANCEL);
  EXPECT_EQ(title, "Error");
  // The error icon, red, at the top left; the text beside it.
  EXPECT_GT(CountPixels(shot, {12, 12, 32, 32}, Reddish), 300);
  EXPECT_GT(InkIn(shot, {56, 12, shot.width - 68, 32}), 40);
  // Two labelled buttons; the default one (OK) has a dark frame.
  const Rect ok = BoxButton(shot, 2, 0), cancel = BoxButton(shot, 2, 1);
  EXPECT_GT(InkIn(shot, {ok.left + 20, ok.top + 5, 35, 13}), 10);
  EXPECT_GT(InkIn(shot, {cancel.left + 12, cancel.top + 5, 51, 13}), 20);
  EXPECT_TRUE(Near(PixelAt(shot, ok.left, ok.top + 11), Rgb(0, 0, 0), 40));
}

TEST_F(Dialogs, MessageBoxAnswersEnterWithTheDefaultButtonAndShowsChinese) {
  ui::Pixels shot;
  const int answer = WhileModal(
      [] {
        return ui::MessageBox(nullptr, "無法連線到更新伺服器，要撥號嗎？", "錯誤",
                              ui::MB_YESNO | ui::MB_ICONQUESTION | ui::MB_DEFBUTTON2);
      },
      [&] {
        const unsigned long box = FindTopLevel("TMessageBox");
        ASSERT_NE(box, 0u);
        EXPECT_EQ(WindowTitle(box), "錯誤");
        shot = CaptureWindow(box);
        SaveScreenshot(shot, "messagebox_question_chinese");
        PressKey("Return");
      });
  EXPECT_EQ(answer, ui::IDNO);
  EXPECT_GT(CountPixels(shot, {12, 12, 32, 32}, Bluish), 300);
  // Chinese text is drawn (the CJK font has the glyphs: they are dense).
  EXPECT_GT(InkIn(shot, {56, 12, shot.width - 68, 32}), 150);
}

TEST_F(Dialogs, CredentialsPromptTakesTypedTextAndHidesThePassword) {
  TQelLoginForm form;
  form.caption = "Connect to update.example";
  ui::Pixels shot;
  const int result =
      WhileModal([&] { return form.ShowModal(); },
                 [&] {
                   // The focus starts in the user name.
                   TypeText("s3cret");
                   PressKey("Tab");
                   TypeText("s3cret");
                   ASSERT_TRUE(WaitUntil([&] {
                     return form.Edit1.caption == "s3cret" && form.Edit2.caption == "s3cret";
                   }));
                   shot = Shoot(form, "credentials_prompt");
                   ClickAt(FindTopLevel("TQelLoginForm"), 144 + 37, 152 + 12);
                 });
  EXPECT_EQ(result, ui::IDOK);
  EXPECT_EQ(form.Edit1.caption, "s3cret");
  EXPECT_EQ(form.Edit2.caption, "s3cret");
  ASSERT_EQ(shot.width, 320);
  ASSERT_EQ(shot.height, 189);

  // The banner across the top is the LOGINBANNER picture, pixel for pixel.
  TCanvas banner = TCanvas::LoadPng(KESTREL_SOURCE_DIR "/resources/loginbanner.png");
  int same = 0;
  for (int y = 0; y < 60; y += 3)
    for (int x = 0; x < 320; x += 3) {
      TColor c = banner.Pixel(x, y);
      same += Near(PixelAt(shot, x, y), Rgb(GetRValue(c), GetGValue(c), GetBValue(c)), 2);
    }
  EXPECT_EQ(same, 20 * 107);
  // The two labels, the two buttons' captions.
  EXPECT_GT(InkIn(shot, {16, 80, 80, 14}), 40);
  EXPECT_GT(InkIn(shot, {16, 112, 70, 14}), 30);
  EXPECT_GT(InkIn(shot, {144 + 25, 152 + 6, 25, 13}), 10);
  EXPECT_GT(InkIn(shot, {224 + 12, 152 + 6, 51, 13}), 20);
  // The same text shows as itself in the user name and masked in the
  // password field.
  const ui::Pixels user = Crop(shot, {106, 83, 80, 15}), pass = Crop(shot, {106, 115, 80, 15});
  EXPECT_GT(InkIn(user, {0, 0, 80, 15}), 20);
  EXPECT_GT(InkIn(pass, {0, 0, 80, 15}), 10);
  EXPECT_NE(user.rgb, pass.rgb);
}

TEST_F(Dialogs, CredentialsPromptAnswersEscapeWithCancelAndEnterWithOk) {
  {
    TQelLoginForm form;
    EXPECT_EQ(WhileModal([&] { return form.ShowModal(); }, [] { PressKey("Escape"); }),
              ui::IDCANCEL);
  }
  {
    TQelLoginForm form;
    EXPECT_EQ(WhileModal([&] { return form.ShowModal(); }, [] { PressKey("Return"); }), ui::IDOK);
  }
}

TEST_F(Dialogs, WhatsNewWindowShowsFormattedRichText) {
  const std::string rtf =
      "{\\rtf1\\ansi{\\colortbl;\\red200\\green0\\blue0;}"
      "\\fs28{\\b Kestrel 2.0}\\par\\fs20 Faster charts and a new order book.\\par"
      "{\\cf1 Please restart the client after the update.}\\par"
      "{\\ul Underlined} and {\\i italic} text.\\par}";
  TFormWhatsNew form(rtf, true, "What's new", "Ok", "Cancel");
  ui::Pixels shot;
  const int result =
      WhileModal([&] { return form.ShowModal(); },
                 [&] {
                   shot = Shoot(form, "whats_new_rtf");
                   ClickAt(FindTopLevel("TFormWhatsNew"), form.CancelButton().left + 30,
                           form.CancelButton().top + 12);
                 });
  EXPECT_EQ(result, ui::IDCANCEL);
  const ui::Control& text = form.TextControl();
  EXPECT_EQ(shot.width, form.ClientWidth());
  // A white text box with text in it, and the red line of the colour table.
  EXPECT_TRUE(Near(PixelAt(shot, text.left + text.width - 30, text.top + text.height - 10),
                   Rgb(255, 255, 255), 4));
  EXPECT_GT(InkIn(shot, {text.left, text.top, text.width, 24}), 80);
  EXPECT_GT(CountPixels(shot, {text.left, text.top, text.width, 90}, Reddish), 40);
  EXPECT_GT(InkIn(shot, {form.OkButton().left + 25, form.OkButton().top + 6, 25, 13}), 8);
}

TEST_F(Dialogs, LicenceWindowShowsPlainTextAndItsRadioButtons) {
  std::string text;
  for (int i = 1; i <= 60; ++i)
    text += "Clause " + std::to_string(i) + ". The licensee may use the client.\r\n";
  TFormEULA form(text, false, "Licence", "Ok", "I accept", "I do not accept");
  ui::Pixels shot;
  WhileModal([&] { return form.ShowModal(); },
             [&] {
               const unsigned long window = FindTopLevel("TFormEULA");
               ClickAt(window, form.AcceptButton().left + 8, form.AcceptButton().top + 8);
               ASSERT_TRUE(WaitUntil([&] { return form.Accepted(); }));
               shot = Shoot(form, "licence_plain");
               ClickAt(window, form.OkButton().left + 30, form.OkButton().top + 12);
             });
  EXPECT_TRUE(form.Accepted());
  EXPECT_FALSE(form.NotAcceptButton().checked);
  const ui::Control& memo = form.TextControl();
  EXPECT_GT(InkIn(shot, {memo.left, memo.top, memo.width - 20, memo.height}), 500);
  // The radio buttons' captions.
  EXPECT_GT(InkIn(shot, {form.AcceptButton().left + 20, form.AcceptButton().top, 60, 17}), 20);
  EXPECT_GT(InkIn(shot, {form.NotAcceptButton().left + 20, form.NotAcceptButton().top, 80, 17}),
            30);
}

TEST_F(Dialogs, ProgressFormShowsTheFileAndTheBar) {
  TProgressForm form;
  form.Label().caption = "Downloading: Kestrel.cab";
  form.Bar().max = 200;
  form.Bar().position = 80;
  form.Show();
  const ui::Pixels shot = Shoot(form, "progress_form");
  EXPECT_EQ(WindowTitle(FindTopLevel("TProgressForm")), "Downloading...");
  EXPECT_GT(InkIn(shot, {10, 10, 150, 14}), 60);
  // 40 % of the bar is filled in blue, the rest is white.
  const ui::Control& bar = form.Bar();
  const int row = bar.top + bar.height / 2;
  const int blue = CountPixels(shot, {bar.left, row, bar.width, 1}, Bluish);
  EXPECT_NEAR(blue, bar.width * 40 / 100, 6);
  EXPECT_TRUE(Near(PixelAt(shot, bar.left + bar.width - 10, row), Rgb(255, 255, 255), 4));
  form.Hide();
}

TEST_F(Dialogs, RunProgramWaitWindowAnimatesWhileTheProgramRuns) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kestrel-wait-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string flag = (dir / "go").string(), script = (dir / "wait.sh").string();
  {
    std::ofstream out(script);
    out << "#!/bin/sh\nwhile [ ! -e \"$1\" ]; do sleep 0.05; done\n";
  }
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);

  // The user-interface thread is blocked in RunProgram: this thread looks at
  // the screen, waits for the animation to show two different frames, and
  // then lets the program end.
  std::atomic<int> frames{0};
  ui::Pixels first;
  std::thread watcher([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    unsigned long window = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      if (!window) window = FindTopLevel("TForm");
      if (window) {
        ui::Pixels shot = CaptureWindow(window);
        ui::Pixels clip = Crop(shot, {10, 10, 272, 60});
        if (frames == 0 && InkIn(clip, {0, 0, 272, 60}) > 50) {
          first = clip;
          SaveScreenshot(shot, "runprogram_wait_1");
          frames = 1;
        } else if (frames == 1 && clip.rgb != first.rgb) {
          SaveScreenshot(shot, "runprogram_wait_2");
          frames = 2;
          break;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::ofstream(flag).put('x');
  });
  TUpdater updater(nullptr);
  const bool ok =
      updater.RunProgram(script + " " + flag, false, true, "Please wait", "Applying the patch...");
  watcher.join();
  std::filesystem::remove_all(dir);
  EXPECT_TRUE(ok);
  EXPECT_EQ(frames, 2) << "the animation did not advance while the program ran";
}

}  // namespace
