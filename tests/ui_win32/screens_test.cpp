// Every window of the system as the user32 backend shows it on Wine's
// desktop (on_display.sh), kept beside the Linux build's screenshots under
// the same names with "wine-" in front, so the two can be put side by side.
// A second thread looks at the screen, as a user would, while this one runs
// the window's loop: modal forms, the system's own message boxes and the
// blocked loop of RunProgram are all looked at the same way.
#include "platform/win32/sdk.h"
// The canvas has functions of these names.
#undef GetRValue
#undef GetGValue
#undef GetBValue
// clang-format off
#include "archive/login.h"
#include "launcher/mainform.h"
#include "launcher/proxyform.h"
#include "launcher/selfupdate.h"
#include "platform/pngfile.h"
#include "platform/ui.h"
#include "platform/win32/win32_io.h"
#include "support/pixel_probes.h"
#include "support/start_program_bar.h"
#include "support/test_support.h"
#include "ui_win32/user32_fixture.h"
#include "update/progressform.h"
#include "update/textforms.h"
#include "update/updater.h"
#include "widgets/levelprogressbar.h"
// clang-format on

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using namespace testing_support;

// What the window's client area shows on the screen now.
ui::Pixels Capture(HWND window) {
  RECT client{};
  POINT origin{0, 0};
  ::GetClientRect(window, &client);
  ::ClientToScreen(window, &origin);
  ui::Pixels shot;
  shot.width = client.right;
  shot.height = client.bottom;
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP bitmap = win32_io::CreateTopDownBitmap(shot.width, shot.height, &bits);
  if (bitmap) {
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, shot.width, shot.height, screen, origin.x, origin.y, SRCCOPY);
    ::GdiFlush();
    const auto* pixels = static_cast<const std::uint32_t*>(bits);
    for (int i = 0; i < shot.width * shot.height; ++i) shot.rgb.push_back(pixels[i] & 0xFFFFFF);
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
  }
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  return shot;
}

bool Blank(const ui::Pixels& shot) {
  for (std::uint32_t p : shot.rgb)
    if (p != shot.rgb.front()) return false;
  return true;
}

// A shown window of that class (and title, in UTF-8), or none after a
// generous while.
HWND WaitForWindow(const std::string& windowClass, const char* title = nullptr) {
  const std::wstring wideClass = win32_io::WidenUtf8(windowClass);
  const std::wstring wideTitle = title ? win32_io::WidenUtf8(title) : L"";
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  for (;;) {
    HWND window = ::FindWindowW(wideClass.c_str(), title ? wideTitle.c_str() : nullptr);
    if (window && ::IsWindowVisible(window)) return window;
    if (std::chrono::steady_clock::now() > deadline) {
      // Ends whatever modal loop waits for us, so the test fails instead of
      // hanging.
      ADD_FAILURE() << "no window " << windowClass;
      ui::PostQuitMessage(1);
      return nullptr;
    }
    std::this_thread::sleep_for(20ms);
  }
}

void Save(const ui::Pixels& shot, const std::string& name) {
  std::filesystem::create_directories(KESTREL_ARTEFACTS_DIR);
  std::vector<std::uint8_t> rgb;
  for (std::uint32_t p : shot.rgb)
    rgb.insert(rgb.end(), {static_cast<std::uint8_t>(p >> 16), static_cast<std::uint8_t>(p >> 8),
                           static_cast<std::uint8_t>(p)});
  const std::string path = KESTREL_ARTEFACTS_DIR "/wine-" + name + ".png";
  EXPECT_EQ(pngfile::Write(path, shot.width, shot.height, rgb.data()), "") << path;
}

// The window once its painting has settled (the same twice in a row, and
// not one plain colour), saved as a screenshot.
ui::Pixels Shoot(HWND window, const std::string& name) {
  ui::Pixels last = Capture(window);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  for (;;) {
    std::this_thread::sleep_for(250ms);
    ui::Pixels now = Capture(window);
    const bool settled = now.rgb == last.rgb && !Blank(now);
    last = std::move(now);
    if (settled || std::chrono::steady_clock::now() > deadline) break;
  }
  EXPECT_FALSE(Blank(last)) << name;
  Save(last, name);
  return last;
}

// Pixels of the bar's place on the screen that differ from what it painted.
int NotAsPainted(const ui::Pixels& shot, const TLevelProgressBar& bar) {
  const TCanvas& surface = bar.Surface();
  int different = 0;
  for (int y = 0; y < surface.Height(); ++y)
    for (int x = 0; x < surface.Width(); ++x) {
      const TColor c = surface.Pixel(x, y);
      different += PixelAt(shot, bar.Left() + x, bar.Top() + y) !=
                   Rgb(GetRValue(c), GetGValue(c), GetBValue(c));
    }
  return different;
}

class Screens : public User32Test {
 protected:
  // Runs `run` (a modal loop, a message box, a blocking call) on this
  // thread while `look` runs on a thread of its own.
  template <typename Run>
  static auto While(Run run, const std::function<void()>& look) {
    std::thread looker(look);
    auto result = run();
    looker.join();
    return result;
  }

  // A shown form, looked at while this thread keeps its loop running.
  static ui::Pixels ShootShown(ui::Form& form, const std::string& name) {
    ui::UpdateWindows();
    ui::Pixels shot;
    std::atomic<bool> done = false;
    While([&] { return WaitUntil([&] { return done.load(); }, 60s); },
          [&] {
            if (HWND window = WaitForWindow(form.ClassName())) shot = Shoot(window, name);
            done = true;
          });
    return shot;
  }

  // A modal form, looked at and then closed with Cancel; its answer.
  static int ShootModal(ui::Form& form, const std::string& name, ui::Pixels& shot) {
    return While([&] { return form.ShowModal(); },
                 [&] {
                   if (HWND window = WaitForWindow(form.ClassName())) shot = Shoot(window, name);
                   ui::PostCall([&form] { form.modalResult = ui::IDCANCEL; });
                 });
  }

  // A message box, looked at and then answered with `answer`.
  static ui::Pixels ShootBox(const std::string& text, const char* title, unsigned type, int answer,
                             const std::string& name) {
    ui::Pixels shot;
    const int got = While([&] { return ui::MessageBox(nullptr, text, title, type); },
                          [&] {
                            HWND box = WaitForWindow("#32770", title);
                            if (!box) return;
                            shot = Shoot(box, name);
                            ::PostMessageA(box, WM_COMMAND, static_cast<WPARAM>(answer), 0);
                          });
    EXPECT_EQ(got, answer);
    return shot;
  }
};

bool Reddish(std::uint32_t p) {
  return (p >> 16) > 150 && ((p >> 8) & 0xFF) < 90 && (p & 0xFF) < 90;
}

bool Bluish(std::uint32_t p) {
  return (p & 0xFF) > 140 && (p >> 16) < 130;
}

TEST_F(Screens, MessageBoxes) {
  const ui::Pixels error =
      ShootBox("Cannot connect to the update server.", "Error", ui::MB_OKCANCEL | ui::MB_ICONERROR,
               ui::IDCANCEL, "messagebox_error");
  EXPECT_GT(CountPixels(error, {0, 0, 60, error.height}, Reddish), 100);
  // The Chinese text in its glyphs: dense ink right of the icon, where
  // missing glyphs would leave a row of hollow boxes.
  const ui::Pixels chinese = ShootBox("無法連線到更新伺服器，要撥號嗎？", "錯誤",
                                      ui::MB_YESNO | ui::MB_ICONQUESTION | ui::MB_DEFBUTTON2,
                                      ui::IDNO, "messagebox_question_chinese");
  EXPECT_GT(InkIn(chinese, {50, 0, chinese.width - 50, chinese.height - 45}), 300);
}

// The start program's main window, as its creation handler leaves it on a
// machine found offline (answered by the scripted interface, so nothing is
// shown), with a package half received.
class MainWindow : public Screens {
 protected:
  std::unique_ptr<launcher::TFormKestrelStart> Make() {
    launcher::InternetConnected = [] { return false; };
    launcher::InternetDial = [] { return false; };
    auto display = ui::SetBackend(std::make_unique<ui::ScriptedBackend>());
    auto form = std::make_unique<launcher::TFormKestrelStart>();
    ui::SetBackend(std::move(display));
    ui::ResetMessageLoop();
    ui::SetMainThread();
    return form;
  }

  void ShowAndShoot(launcher::TFormKestrelStart& form, const std::string& name) {
    form.Show();
    form.Updater2FileProgress(form.Updater2, "C:\\Kestrel\\Cab\\KernelBPL.cab", 600 * 1024,
                              1200 * 1024);
    const ui::Pixels shot = ShootShown(form, name);
    form.Hide();
    ASSERT_EQ(shot.width, 370);
    ASSERT_EQ(shot.height, 233);
    for (const ui::Control* label :
         {&form.lblFileNameCaption, &form.lblTotalFileSize, &form.lblCurrentFileSize,
          &form.lblCurrentFile, &form.lblStatus})
      EXPECT_GT(InkIn(shot, {label->left, label->top, 100, 14}), 30) << label->name;
    EXPECT_EQ(NotAsPainted(shot, *form.LevelProgressBar1), 0);
  }

  TempHome home_;
};

TEST_F(MainWindow, InChinese) {
  auto form = Make();
  ASSERT_EQ(form->lblTotalFileSize.caption, launcher::ChineseMessages().TotalFileSize);
  ShowAndShoot(*form, "main_window_chinese");
}

TEST_F(MainWindow, InEnglish) {
  auto form = Make();
  // The English set goes with code page 936, which a Wine process cannot
  // change once it runs: the window gets the texts the creation handler
  // gives it there.
  const launcher::TMessageSet& english = launcher::EnglishMessages();
  form->Messages = &english;
  form->FileCountCaption = english.FileCountCaption;
  form->ReceivedFilesCaption = english.ReceivedFilesCaption;
  form->lblTotalFileSize.caption = english.TotalFileSize;
  form->lblCurrentFileSize.caption = english.CurrentFileSize;
  form->lblCurrentFile.caption = english.CurrentFileName;
  form->lblStatus.caption = english.CurrentUpdateStatus;
  ShowAndShoot(*form, "main_window_english");
}

TEST_F(Screens, LauncherDialogs) {
  launcher::TFormProxy proxy;
  proxy.edtProxyHost.caption = "proxy.local";
  proxy.edtProxyPort.caption = "8080";
  proxy.edtProxyID.caption = "trader";
  proxy.edtProxyPwd.caption = "secret";
  ui::Pixels shot;
  EXPECT_EQ(ShootModal(proxy, "proxy_dialog", shot), ui::IDCANCEL);
  for (const ui::Control* edit : {&proxy.edtProxyHost, &proxy.edtProxyPort, &proxy.edtProxyID})
    EXPECT_GT(InkIn(shot, {edit->left, edit->top, edit->width, edit->height}), 15) << edit->name;
  // The glyphs: a red cross on Cancel.
  const ui::Control& cancel = proxy.btnCancel;
  EXPECT_GT(CountPixels(shot, {cancel.left, cancel.top, cancel.width, cancel.height}, Reddish), 15);

  launcher::TFormUpdate update;
  update.ProgressBar1.max = 1000;
  update.ProgressBar1.position = 250;
  update.StatusBar1.caption = "File:C:\\Kestrel\\Temp\\KestrelStart.exe Downloading...";
  update.Show();
  shot = ShootShown(update, "self_update_window");
  const ui::Control& bar = update.ProgressBar1;
  EXPECT_NEAR(CountPixels(shot, {bar.left, bar.top + bar.height / 2, bar.width, 1}, Bluish),
              bar.width / 4, 10);
  EXPECT_GT(InkIn(shot, {4, shot.height - 18, 300, 14}), 100);
  update.Hide();
}

TEST_F(Screens, EngineWindows) {
  TQelLoginForm login;
  login.caption = "Connect to update.example";
  login.Edit1.caption = "s3cret";
  login.Edit2.caption = "s3cret";
  ui::Pixels shot;
  EXPECT_EQ(ShootModal(login, "credentials_prompt", shot), ui::IDCANCEL);
  // The same text shows as itself in the user name and masked as the
  // password.
  const ui::Control &user = login.Edit1, &password = login.Edit2;
  EXPECT_NE(Crop(shot, {user.left + 3, user.top + 3, 60, user.height - 6}).rgb,
            Crop(shot, {password.left + 3, password.top + 3, 60, password.height - 6}).rgb);

  TFormWhatsNew whatsNew(
      "{\\rtf1\\ansi{\\colortbl;\\red200\\green0\\blue0;}"
      "\\fs28{\\b Kestrel 2.0}\\par\\fs20 Faster charts and a new order book.\\par"
      "{\\cf1 Please restart the client after the update.}\\par"
      "{\\ul Underlined} and {\\i italic} text.\\par}",
      true, "What's new", "Ok", "Cancel");
  EXPECT_EQ(ShootModal(whatsNew, "whats_new_rtf", shot), ui::IDCANCEL);
  const ui::Control& rich = whatsNew.TextControl();
  EXPECT_GT(CountPixels(shot, {rich.left, rich.top, rich.width, rich.height}, Reddish), 40);

  std::string clauses;
  for (int i = 1; i <= 60; ++i)
    clauses += "Clause " + std::to_string(i) + ". The licensee may use the client.\r\n";
  TFormEULA licence(clauses, false, "Licence", "Ok", "I accept", "I do not accept");
  ui::Click(licence, licence.AcceptButton());
  EXPECT_EQ(ShootModal(licence, "licence_plain", shot), ui::IDCANCEL);
  const ui::Control& memo = licence.TextControl();
  EXPECT_GT(InkIn(shot, {memo.left, memo.top, memo.width - 20, memo.height}), 500);

  TProgressForm progress;
  progress.Label().caption = "Downloading: Kestrel.cab";
  progress.Bar().max = 200;
  progress.Bar().position = 80;
  progress.Show();
  shot = ShootShown(progress, "progress_form");
  const ui::Control& bar = progress.Bar();
  EXPECT_NEAR(CountPixels(shot, {bar.left, bar.top + bar.height / 2, bar.width, 1}, Bluish),
              bar.width * 40 / 100, 10);
  progress.Hide();
}

TEST_F(Screens, RunProgramWaitWindowAnimates) {
  TempHome home;
  const std::string flag = home.Path("go");
  const std::string program = InstallStandIn(home.Path("patch"), "wait $1");
  // The loop is blocked in RunProgram: the animation's own thread must
  // move it on while the program runs, until we let the program end.
  std::atomic<int> frames = 0;
  const bool ran = While(
      [&] {
        TUpdater updater(nullptr);
        return updater.RunProgram("\"" + program + "\" \"" + flag + "\"", false, true,
                                  "Please wait", "Applying the patch...");
      },
      [&] {
        HWND window = WaitForWindow("TForm", "Please wait");
        const Rect clip{10, 10, 272, 60};
        ui::Pixels first;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (window && frames < 2 && std::chrono::steady_clock::now() < deadline) {
          const ui::Pixels now = Capture(window);
          if (frames == 0 && InkIn(now, clip) > 50) {
            first = now;
            Save(now, "runprogram_wait_1");
            frames = 1;
          } else if (frames == 1 && Crop(now, clip).rgb != Crop(first, clip).rgb) {
            Save(now, "runprogram_wait_2");
            frames = 2;
          }
          std::this_thread::sleep_for(20ms);
        }
        std::ofstream(flag).put('x');
      });
  EXPECT_TRUE(ran);
  EXPECT_EQ(frames, 2) << "the animation did not move on while the program ran";
}

TEST_F(Screens, LevelProgressBarOnAForm) {
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
  const ui::Pixels shot = ShootShown(form, "level_progress_bar");
  EXPECT_EQ(NotAsPainted(shot, bar), 0);
  bar.SetParent(nullptr);
  form.Hide();
}

}  // namespace
