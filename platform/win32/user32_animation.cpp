#include "platform/win32/user32_animation.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/win32/user32_pictures.h"

namespace ui::user32 {
namespace {

constexpr auto kFrameTime = std::chrono::milliseconds(70);

}  // namespace

AnimationPlayer::AnimationPlayer(HWND target, std::shared_ptr<const Pixels> strip, int frameWidth)
    : thread_(&AnimationPlayer::Run, this, target, std::move(strip), frameWidth) {}

AnimationPlayer::~AnimationPlayer() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  stopped_.notify_all();
  thread_.join();
}

void AnimationPlayer::Run(HWND target, std::shared_ptr<const Pixels> strip, int frameWidth) {
  // A bitmap of this thread's own: one bitmap is in one device context at
  // a time, and the user-interface thread paints with the shared ones.
  HBITMAP bitmap = BitmapOf(*strip);
  if (!bitmap) return;
  HDC source = ::CreateCompatibleDC(nullptr);
  HGDIOBJ old = ::SelectObject(source, bitmap);
  const int frames = std::max(1, strip->width / frameWidth);
  std::unique_lock lock(mutex_);
  for (int index = 0; !stop_; index = (index + 1) % frames) {
    lock.unlock();
    if (HDC dc = ::GetDC(target)) {
      ::BitBlt(dc, 0, 0, frameWidth, strip->height, source, index * frameWidth, 0, SRCCOPY);
      ::ReleaseDC(target, dc);
    }
    ::GdiFlush();
    lock.lock();
    stopped_.wait_for(lock, kFrameTime, [this] { return stop_; });
  }
  ::SelectObject(source, old);
  ::DeleteDC(source);
  ::DeleteObject(bitmap);
}

}  // namespace ui::user32
