// The widgets of the display backend, one class for each kind of control,
// and the pictures they show.
#pragma once

// Our headers come first: X11's macros (None, Status, ...) would break them.
#include "platform/posix/fltk_text.h"
#include "platform/posix/x11_windows.h"
#include "platform/ui.h"

// (the toolkit, with X11, after them)
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Secret_Input.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ui::fltk {

// A picture of the program's resources ("PNG" type), decoded once; nothing
// when there is none.
std::shared_ptr<Fl_RGB_Image> Picture(const std::string& name);
// A part of a picture as a picture of its own.
std::unique_ptr<Fl_RGB_Image> Crop(const Fl_RGB_Image& image, int x, int y, int w, int h);

// A label: text at the top, left or right aligned, not clipped.
class LabelWidget : public Fl_Box {
 public:
  LabelWidget() : Fl_Box(0, 0, 0, 0) {
    box(FL_NO_BOX);
    labeltype(kPrefixLabel);
  }
};

// The status bar: one sunken panel across it with the text.
class StatusWidget : public Fl_Widget {
 public:
  StatusWidget() : Fl_Widget(0, 0, 0, 0) { labeltype(kPlainLabel); }
  void draw() override {
    fl_push_clip(x(), y(), w(), h());
    fl_color(FL_BACKGROUND_COLOR);
    fl_rectf(x(), y(), w(), h());
    fl_draw_box(FL_THIN_DOWN_BOX, x() + 1, y() + 2, w() - 2, h() - 3, FL_BACKGROUND_COLOR);
    draw_label(x() + 5, y() + 2, w() - 10, h() - 3,
               static_cast<Fl_Align>(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP));
    fl_pop_clip();
  }
};

class ButtonWidget : public Fl_Button {
 public:
  ButtonWidget() : Fl_Button(0, 0, 0, 0) {
    labeltype(kPrefixLabel);
    align(FL_ALIGN_CENTER | FL_ALIGN_INSIDE | FL_ALIGN_IMAGE_NEXT_TO_TEXT);
  }
  bool isDefault = false;
  std::string glyph;
  std::unique_ptr<Fl_RGB_Image> normal, disabled;
  void draw() override {
    Fl_Button::draw();
    // The default button has a dark frame, as on the system's dialogs.
    if (isDefault) {
      fl_color(FL_BLACK);
      fl_rect(x(), y(), w(), h());
    }
  }
};

class CheckWidget : public Fl_Check_Button {
 public:
  CheckWidget() : Fl_Check_Button(0, 0, 0, 0) { labeltype(kPrefixLabel); }
};

class RadioWidget : public Fl_Round_Button {
 public:
  RadioWidget() : Fl_Round_Button(0, 0, 0, 0) { labeltype(kPrefixLabel); }
};

class EditWidget : public Fl_Input {
 public:
  EditWidget() : Fl_Input(0, 0, 0, 0) {}
};

// A password field: the toolkit edits it, but every character shows as
// "*" (the toolkit's own secret field shows dots).
class PasswordWidget : public Fl_Secret_Input {
 public:
  PasswordWidget() : Fl_Secret_Input(0, 0, 0, 0) {}
  void draw() override;
};

class ProgressWidget : public Fl_Progress {
 public:
  ProgressWidget() : Fl_Progress(0, 0, 0, 0) {
    box(FL_THIN_DOWN_BOX);
    color(FL_WHITE);
    selection_color(fl_rgb_color(0, 120, 215));
    labeltype(FL_NO_LABEL);
  }
};

class PictureWidget : public Fl_Widget {
 public:
  PictureWidget() : Fl_Widget(0, 0, 0, 0) {}
  std::string resource;
  std::shared_ptr<Fl_RGB_Image> picture;
  void draw() override {
    if (!picture) return;
    picture->draw(x(), y(), std::min(w(), picture->w()), std::min(h(), picture->h()), 0, 0);
  }
};

// Shows one frame of a strip of frames laid side by side, each as wide as
// the control. A thread of its own plays the strip on the window, so the
// animation runs on while the user-interface thread waits, as the system's
// animation control does.
class AnimationWidget : public Fl_Widget {
 public:
  AnimationWidget() : Fl_Widget(0, 0, 0, 0) {}
  ~AnimationWidget() override { Stop(); }
  std::string resource;
  std::shared_ptr<Fl_RGB_Image> strip;
  std::shared_ptr<std::atomic<int>> frame = std::make_shared<std::atomic<int>>(0);

  int FrameWidth() const { return w() > 0 ? w() : (strip ? strip->h() : 0); }
  int Frames() const {
    int fw = FrameWidth();
    return strip && fw > 0 ? std::max(1, strip->w() / fw) : 0;
  }
  void draw() override {
    if (!strip) return;
    const int fw = FrameWidth();
    const int index = frame->load() % std::max(1, Frames());
    strip->draw(x(), y(), std::min(fw, strip->w()), std::min(h(), strip->h()), index * fw, 0);
  }

  // Starts the player on the shown window (again after a move).
  void Play(x11::XWindow target);
  void Stop();
  bool Playing() const { return player_.joinable(); }
  bool unplayable = false;

 private:
  void Run(x11::XWindow target, int x, int y, int w, int h, std::vector<std::uint32_t> pixels,
           int frames, int stripWidth);
  std::thread player_;
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;
};

// A sunken panel; a thin one is a separator line.
class PanelWidget : public Fl_Widget {
 public:
  PanelWidget() : Fl_Widget(0, 0, 0, 0) {}
  void draw() override {
    fl_color(FL_DARK3);
    fl_xyline(x(), y(), x() + w() - 1);
    fl_yxline(x(), y(), y() + h() - 1);
    fl_color(FL_WHITE);
    fl_xyline(x(), y() + h() - 1, x() + w() - 1);
    fl_yxline(x() + w() - 1, y(), y() + h() - 1);
  }
};

// Custom controls: the pixels their owner painted.
class PixelsWidget : public Fl_Widget {
 public:
  PixelsWidget() : Fl_Widget(0, 0, 0, 0) {}
  std::shared_ptr<const Pixels> pixels;
  std::vector<uchar> rgb;
  void SetPixels(std::shared_ptr<const Pixels> p) {
    pixels = std::move(p);
    rgb.clear();
    if (!pixels) return;
    rgb.reserve(pixels->rgb.size() * 3);
    for (std::uint32_t value : pixels->rgb) {
      rgb.push_back(static_cast<uchar>(value >> 16));
      rgb.push_back(static_cast<uchar>(value >> 8));
      rgb.push_back(static_cast<uchar>(value));
    }
  }
  void draw() override {
    if (!pixels || pixels->width <= 0 || pixels->height <= 0 ||
        rgb.size() < static_cast<std::size_t>(pixels->width) * pixels->height * 3)
      return;
    fl_push_clip(x(), y(), w(), h());
    fl_draw_image(rgb.data(), x(), y(), pixels->width, pixels->height, 3);
    fl_pop_clip();
  }
};
class IconWidget : public Fl_Widget {
 public:
  explicit IconWidget(unsigned icon) : Fl_Widget(0, 0, 32, 32), icon_(icon) {}
  void draw() override;

 private:
  unsigned icon_;
};
}  // namespace ui::fltk
