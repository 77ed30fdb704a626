// The fixture of the tests that show real windows: a virtual display of the
// test's own, the display backend installed for the test, and the helpers
// that let a test look at a window while it runs (also inside a modal loop).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/ui.h"
#include "support/screen_support.h"
#include "support/virtual_display.h"

namespace testing_support {

class DisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!VirtualDisplay::Get()) GTEST_SKIP() << "no virtual display (Xvfb) on this machine";
    ui::ResetMessageLoop();
    ui::SetMainThread();
    auto backend = ui::MakeDisplayBackend();
    ASSERT_TRUE(backend) << "the virtual display cannot be opened";
    previous_ = ui::SetBackend(std::move(backend));
    installed_ = true;
  }

  void TearDown() override {
    ui::ResetMessageLoop();
    if (installed_) ui::SetBackend(std::move(previous_));
  }

  // Pumps the loop until the condition holds or the time is up; a ticking
  // timer keeps the wait from blocking longer than a tick.
  bool WaitUntil(const std::function<bool()>& condition,
                 std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    ui::Form ticker("TTestTicker");
    ticker.SetTimer(1, 20, [] {});
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      ui::ProcessMessages();
      if (condition()) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      ui::WaitMessage();
    }
  }

  // What the window of a form shows now, saved as a screenshot.
  ui::Pixels Shoot(ui::Form& form, const std::string& name) {
    ui::ProcessMessages();
    ui::UpdateWindows();
    const unsigned long window = FindTopLevel(form.ClassName());
    EXPECT_NE(window, 0u) << "no window of class " << form.ClassName();
    ui::Pixels shot = CaptureWindow(window);
    SaveScreenshot(shot, name);
    return shot;
  }

  // Runs `modal` (a ShowModal or MessageBox call) with `inside` running in
  // its loop once; a watchdog ends every loop after a while, so a test that
  // fails to close its window fails instead of hanging.
  template <typename Modal>
  auto WhileModal(Modal modal, std::function<void()> inside) {
    ui::Form watchdog("TTestWatchdog");
    watchdog.SetTimer(1, 30000, [] {
      ADD_FAILURE() << "the window was not closed";
      ui::PostQuitMessage(1);
    });
    ui::PostCall([inside] {
      ui::UpdateWindows();
      inside();
    });
    return modal();
  }

 private:
  std::unique_ptr<ui::Backend> previous_;
  bool installed_ = false;
};

}  // namespace testing_support
