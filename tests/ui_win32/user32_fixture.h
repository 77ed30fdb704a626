// The fixture of the tests of the native windows: the display backend
// installed for the test (they run through on_display.sh, on a Wine desktop
// of their own), and a wait that keeps the message loop running.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "platform/ui.h"

namespace testing_support {

class User32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ui::ResetMessageLoop();
    ui::SetMainThread();
    auto backend = ui::MakeDisplayBackend();
    if (!backend) GTEST_SKIP() << "no display: these tests run through on_display.sh";
    previous_ = ui::SetBackend(std::move(backend));
    installed_ = true;
  }

  void TearDown() override {
    ui::ResetMessageLoop();
    if (installed_) ui::SetBackend(std::move(previous_));
  }

  // Pumps the loop until the condition holds or the time is up.
  static bool WaitUntil(const std::function<bool()>& condition,
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

 private:
  std::unique_ptr<ui::Backend> previous_;
  bool installed_ = false;
};

}  // namespace testing_support
