// The Windows display backend on a real desktop (Wine's X11 driver on a
// virtual display, see on_display.sh): forms are windows another program
// finds, restores and raises with the system's calls, and what a user does
// to the native controls reaches the model. The other program is the
// robot of app/, which acts through the system as a user would.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/kernel.h"
#include "platform/richtext.h"
#include "platform/ui.h"
#include "ui_win32/user32_fixture.h"

namespace {

using namespace std::chrono_literals;

// A form of that client size and frame in the middle of the screen.
void Shape(ui::Form& form, const std::string& caption, int width, int height,
           ui::BorderStyle style = ui::BorderStyle::Single) {
  form.caption = caption;
  form.clientWidth = width;
  form.clientHeight = height;
  form.borderStyle = style;
  form.position = ui::FormPosition::ScreenCenter;
}

class User32Display : public testing_support::User32Test {
 protected:
  static std::optional<kernel::Process> StartRobot(const std::string& steps) {
    return kernel::CreateProcess("\"" KESTREL_BIN_DIR "/ui_win32_robot.exe\" " + steps,
                                 kernel::ShowWindow::Hidden);
  }

  static int Finish(kernel::Process& robot) {
    kernel::WaitForProcess(robot, 30s);
    return static_cast<int>(kernel::GetExitCodeProcess(robot).value_or(999));
  }

  // Shows the form modally while the robot does its steps; the robot's exit
  // code goes to `robotExit`. A form the robot's input did not close ends
  // with -1 one full round after the robot ended: everything it posted is
  // in our queue by then.
  static int ShowModalWith(ui::Form& form, const std::string& steps, int& robotExit) {
    auto robot = StartRobot(form.ClassName() + " " + steps);
    if (!robot) return -2;
    bool ended = false;
    form.SetTimer(99, 20, [&] {
      if (ended && form.modalResult == 0) form.modalResult = -1;
      ended = kernel::WaitForProcess(*robot, 0ms);
    });
    const int result = form.ShowModal();
    form.KillTimer(99);
    robotExit = Finish(*robot);
    return result;
  }

  // Runs the robot to its end while this thread keeps answering its calls
  // on our windows; its exit code (0: every step done).
  static int Robot(const std::string& steps) {
    auto robot = StartRobot(steps);
    if (!robot) return -1;
    WaitUntil([&] { return kernel::WaitForProcess(*robot, 0ms); });
    return Finish(*robot);
  }
};

TEST_F(User32Display, AFormIsAWindowOtherProgramsFindRestoreAndRaise) {
  ui::Form form("TFormUiLookup");
  Shape(form, "Lookup", 240, 80);
  form.Add(ui::MakeControl(ui::ControlKind::Label, "Label1", 16, 30, 200, 16, "Find me"));
  // The program's own picture at its own size, and pixels its owner drew.
  form.Add(ui::MakeControl(ui::ControlKind::Image, "Banner", 0, 0)).resource = "BANNER";
  auto drawn = std::make_shared<ui::Pixels>();
  drawn->width = 30;
  drawn->height = 8;
  drawn->rgb.assign(30 * 8, 0x0000FF);
  form.Add(ui::MakeControl(ui::ControlKind::Custom, "Bar", 16, 56)).pixels = drawn;
  // Formatted text in the system's rich-text control.
  ui::Control& memo = form.Add(ui::MakeControl(ui::ControlKind::Memo, "Memo", 60, 50, 170, 28));
  memo.richText =
      std::make_shared<richtext::Document>(richtext::ParseRTF(R"({\rtf1 {\b Bold}{\i Plain}})"));
  int activations = 0;
  form.onActivate = [&] { ++activations; };
  form.Show();
  EXPECT_EQ(Robot("TFormUiLookup client:240x80 pictures:340x60,30x8 richtext:BoldPlain"), 0);
  EXPECT_NE(ui::FindWindow("TFormUiLookup"), 0u);

  ui::MinimizeForm(form);
  ASSERT_TRUE(WaitUntil([] { return ui::IsIconic(ui::FindWindow("TFormUiLookup")); }));
  const int before = activations;
  EXPECT_EQ(Robot("TFormUiLookup restore"), 0);
  EXPECT_FALSE(ui::IsIconic(ui::FindWindow("TFormUiLookup")));
  EXPECT_TRUE(WaitUntil([&] { return activations > before; }));

  // Closed through its frame, the form is hidden and leaves nothing for a
  // second copy to find.
  EXPECT_EQ(Robot("TFormUiLookup close"), 0);
  EXPECT_TRUE(WaitUntil([&] { return !form.Visible(); }));
  EXPECT_EQ(Robot("TFormUiLookup gone"), 0);
}

struct InputForm : ui::Form {
  InputForm() : ui::Form("TFormUiInput") {
    Shape(*this, "Input", 260, 120, ui::BorderStyle::Dialog);
    Add(ui::MakeControl(ui::ControlKind::Label, "Label1", 8, 12, 60, 16, "&Password:"));
    password = &Add(ui::MakeControl(ui::ControlKind::Edit, "Edit1", 80, 8, 160, 21, "", 0));
    password->password = true;
    check = &Add(ui::MakeControl(ui::ControlKind::CheckBox, "Check1", 80, 36, 160, 17, "&Keep", 1));
    ui::Control& ok = Add(ui::MakeControl(ui::ControlKind::Button, "OK", 80, 84, 75, 25, "OK", 2));
    ok.defaultButton = true;
    ok.modalResult = ui::IDOK;
    ui::Control& cancel =
        Add(ui::MakeControl(ui::ControlKind::Button, "Cancel", 165, 84, 75, 25, "Cancel", 3));
    cancel.cancel = true;
    cancel.modalResult = ui::IDCANCEL;
    cancel.glyph = "GLYPHCANCEL";
  }
  ui::Control* password;
  ui::Control* check;
};

TEST_F(User32Display, TypedTextClicksAndKeysReachTheModel) {
  // Shown modally from another form, it belongs to that one.
  ui::Form main("TFormUiMain");
  Shape(main, "Main", 100, 50);
  main.Show();
  InputForm form;
  int robotExit = -1;
  // Enter with the focus on the check box presses the default button.
  EXPECT_EQ(ShowModalWith(form, "owned type:secret masked click:&Keep key:enter", robotExit),
            ui::IDOK);
  EXPECT_EQ(robotExit, 0);
  EXPECT_EQ(form.password->caption, "secret");
  EXPECT_TRUE(form.check->checked);
  EXPECT_EQ(form.Focused(), form.check);

  // Shown again, the focus is where the model left it; Tab moves it on.
  EXPECT_EQ(ShowModalWith(form, "key:tab key:escape", robotExit), ui::IDCANCEL);
  EXPECT_EQ(robotExit, 0);
  EXPECT_EQ(form.Focused(), form.Find("OK"));
  // What the model holds is shown again, not typed again.
  EXPECT_EQ(form.password->caption, "secret");

  // A button with a glyph is drawn by us and clicked like any other.
  EXPECT_EQ(ShowModalWith(form, "click:Cancel", robotExit), ui::IDCANCEL);
  EXPECT_EQ(robotExit, 0);
}

TEST_F(User32Display, TheAnimationPlaysWhileTheLoopIsBlocked) {
  ui::Form form("TFormUiAnimation");
  Shape(form, "Animation", 200, 80);
  // The first control: its child has the first id.
  form.Add(ui::MakeControl(ui::ControlKind::Animation, "Copy", 10, 10)).resource = "FILECOPY";
  form.Show();
  ui::UpdateWindows();
  // As a program started and waited for blocks it: no message is handled.
  auto robot = StartRobot("TFormUiAnimation animates:100");
  ASSERT_TRUE(robot);
  EXPECT_EQ(Finish(*robot), 0);
}

TEST_F(User32Display, MessageBoxesAreTheSystemsAndTheLoopRunsMeanwhile) {
  // The robot answers the box only once a hand-over from another thread has
  // run while the box was up.
  std::atomic<bool> handedOver = false;
  std::atomic<int> robotResult = -1;
  std::thread worker([&] {
    ui::Synchronize([&] { handedOver = true; });
    auto robot = StartRobot("- box:Kestrel_box_test:&No");
    robotResult = robot ? Finish(*robot) : -1;
  });
  const int answer = ui::MessageBox(nullptr, "Proceed?", "Kestrel_box_test", ui::MB_YESNO);
  worker.join();
  EXPECT_TRUE(handedOver);
  EXPECT_EQ(robotResult, 0);
  EXPECT_EQ(answer, ui::IDNO);

  // A quit request that comes while a box is up ends it with its Escape
  // answer.
  std::thread quitter([] {
    ui::Synchronize([] {});
    ui::PostQuitMessage(0);
  });
  EXPECT_EQ(ui::MessageBox(nullptr, "Proceed?", "Kestrel_box_test", ui::MB_OKCANCEL), ui::IDCANCEL);
  quitter.join();
}

}  // namespace
