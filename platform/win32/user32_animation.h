// The file-copy animation: a strip of frames side by side, played into a
// child window from a thread of its own, so that it goes on while the
// user-interface thread is blocked (waiting for a program it started).
#pragma once

#include "platform/win32/sdk.h"
// clang-format off
#include "platform/ui.h"
// clang-format on

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace ui::user32 {

class AnimationPlayer {
 public:
  // Frames of frameWidth pixels, one after the other, into the target's
  // top-left corner until the player is destroyed.
  AnimationPlayer(HWND target, std::shared_ptr<const Pixels> strip, int frameWidth);
  ~AnimationPlayer();
  AnimationPlayer(const AnimationPlayer&) = delete;
  AnimationPlayer& operator=(const AnimationPlayer&) = delete;

 private:
  void Run(HWND target, std::shared_ptr<const Pixels> strip, int frameWidth);
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace ui::user32
