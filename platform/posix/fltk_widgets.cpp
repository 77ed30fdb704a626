#include "platform/posix/fltk_widgets.h"

#include "platform/kernel.h"

// (X11 after our headers: its macros would break them)
#include <FL/Fl_PNG_Image.H>
#include <FL/fl_utf8.h>
#include <FL/x.H>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstring>
#include <map>

namespace ui::fltk {

std::shared_ptr<Fl_RGB_Image> Picture(const std::string& name) {
  // Kept to the end of the process: the toolkit may still draw them then.
  static auto& cache = *new std::map<std::string, std::shared_ptr<Fl_RGB_Image>>;
  std::string key;
  for (char c : name) key.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  std::shared_ptr<Fl_RGB_Image> image;
  if (auto data = kernel::FindResource("PNG", name)) {
    auto png =
        std::make_shared<Fl_PNG_Image>(key.c_str(), data->data(), static_cast<int>(data->size()));
    if (png->w() > 0 && png->h() > 0 && png->count() == 1) image = png;
  }
  cache[key] = image;
  return image;
}

std::unique_ptr<Fl_RGB_Image> Crop(const Fl_RGB_Image& image, int x, int y, int w, int h) {
  const int depth = image.d();
  const int stride = image.ld() ? image.ld() : image.w() * depth;
  auto* bytes = new uchar[static_cast<std::size_t>(w) * h * depth];
  const uchar* source = reinterpret_cast<const uchar*>(image.data()[0]);
  for (int row = 0; row < h; ++row)
    std::memcpy(
        bytes + static_cast<std::size_t>(row) * w * depth,
        source + static_cast<std::size_t>(y + row) * stride + static_cast<std::size_t>(x) * depth,
        static_cast<std::size_t>(w) * depth);
  auto cropped = std::make_unique<Fl_RGB_Image>(bytes, w, h, depth);
  cropped->alloc_array = 1;
  return cropped;
}
void PasswordWidget::draw() {
  const Fl_Boxtype b = box();
  if (damage() & FL_DAMAGE_ALL) draw_box(b, color());
  const int X = x() + Fl::box_dx(b) + 2, Y = y() + Fl::box_dy(b);
  const int W = w() - Fl::box_dw(b) - 4, H = h() - Fl::box_dh(b);
  auto chars = [this](int bytes) {
    return fl_utf_nb_char(reinterpret_cast<const unsigned char*>(value()), bytes);
  };
  const int count = chars(size()), cursor = chars(position()), other = chars(mark());
  fl_font(textfont(), textsize());
  const int star = std::max(1, static_cast<int>(fl_width("*", 1)));
  // Scrolled so that the cursor stays in view.
  const int offset = std::max(0, (cursor + 1) * star - W);
  const bool focused = Fl::focus() == this;
  fl_push_clip(X - 2, Y, W + 4, H);
  fl_color(color());
  fl_rectf(X - 2, Y, W + 4, H);
  if (focused && other != cursor) {
    fl_color(selection_color());
    const int from = std::min(cursor, other), to = std::max(cursor, other);
    fl_rectf(X + from * star - offset, Y + 1, (to - from) * star, H - 2);
  }
  fl_color(active_r() ? textcolor() : fl_inactive(textcolor()));
  const std::string stars(static_cast<std::size_t>(count), '*');
  const int baseline = Y + (H - fl_height()) / 2 + fl_height() - fl_descent();
  fl_draw(stars.c_str(), count, X - offset, baseline);
  if (focused && other == cursor) {
    fl_color(cursor_color());
    fl_rectf(X + cursor * star - offset, Y + 2, 1, H - 4);
  }
  fl_pop_clip();
}

void IconWidget::draw() {
  const int cx = x(), cy = y();
  Fl_Color fill, mark = FL_WHITE;
  const char* sign;
  switch (icon_) {
    case MB_ICONERROR:
      fill = fl_rgb_color(200, 30, 30);
      sign = "X";
      break;
    case MB_ICONQUESTION:
      fill = fl_rgb_color(30, 90, 200);
      sign = "?";
      break;
    case MB_ICONWARNING:
      fill = fl_rgb_color(240, 190, 20);
      mark = FL_BLACK;
      sign = "!";
      break;
    default:
      fill = fl_rgb_color(30, 90, 200);
      sign = "i";
      break;
  }
  fl_color(fill);
  if (icon_ == MB_ICONWARNING) {
    fl_polygon(cx + 16, cy + 1, cx + 31, cy + 30, cx + 1, cy + 30);
  } else {
    fl_pie(cx, cy, 32, 32, 0, 360);
  }
  fl_color(mark);
  fl_font(FontOf(Face::Sans, true), 20);
  fl_draw(sign, cx, cy + (icon_ == MB_ICONWARNING ? 4 : 0), 32, 32, FL_ALIGN_CENTER, nullptr, 0);
}

constexpr auto kFrameTime = std::chrono::milliseconds(70);

void AnimationWidget::Play(x11::XWindow target) {
  Stop();
  if (!strip || Frames() < 1 || w() <= 0 || h() <= 0) return;
  // The player writes 32-bit pixels of the usual true-colour layout.
  Visual* visual = DefaultVisual(fl_display, fl_screen);
  if (DefaultDepth(fl_display, fl_screen) != 24 || visual->red_mask != 0xFF0000 ||
      visual->green_mask != 0x00FF00 || visual->blue_mask != 0x0000FF) {
    // Other displays show the first frame only.
    unplayable = true;
    return;
  }
  const int depth = strip->d();
  const int stride = strip->ld() ? strip->ld() : strip->w() * depth;
  const uchar* data = reinterpret_cast<const uchar*>(strip->data()[0]);
  const int width = strip->w(), height = std::min(h(), strip->h());
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * height);
  for (int row = 0; row < height; ++row)
    for (int col = 0; col < width; ++col) {
      const uchar* p =
          data + static_cast<std::size_t>(row) * stride + static_cast<std::size_t>(col) * depth;
      std::uint32_t r = p[0], g = depth >= 3 ? p[1] : p[0], b = depth >= 3 ? p[2] : p[0];
      // Transparent pixels show the window's background.
      if (depth == 4 || depth == 2) {
        uchar bgr, bgg, bgb;
        Fl::get_color(FL_BACKGROUND_COLOR, bgr, bgg, bgb);
        unsigned a = p[depth - 1];
        r = (r * a + bgr * (255 - a)) / 255;
        g = (g * a + bgg * (255 - a)) / 255;
        b = (b * a + bgb * (255 - a)) / 255;
      }
      pixels[static_cast<std::size_t>(row) * width + col] = (r << 16) | (g << 8) | b;
    }
  {
    std::lock_guard lock(mutex_);
    stop_ = false;
  }
  // Widget coordinates are the window's in this toolkit.
  player_ = std::thread(&AnimationWidget::Run, this, target, x(), y(),
                        std::min(FrameWidth(), width), height, std::move(pixels), Frames(), width);
}

void AnimationWidget::Stop() {
  if (!player_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  stopped_.notify_all();
  player_.join();
}

void AnimationWidget::Run(x11::XWindow target, int x, int y, int w, int h,
                          std::vector<std::uint32_t> pixels, int frames, int stripWidth) {
  // A connection of its own: the toolkit's belongs to the user-interface
  // thread, which may be blocked.
  Display* display = XOpenDisplay(DisplayString(fl_display));
  if (!display) return;
  GC gc = XCreateGC(display, target, 0, nullptr);
  std::vector<std::uint32_t> buffer(static_cast<std::size_t>(w) * h);
  XImage* image = XCreateImage(display, DefaultVisual(display, DefaultScreen(display)), 24, ZPixmap,
                               0, reinterpret_cast<char*>(buffer.data()), w, h, 32, 0);
  if (image) {
    image->byte_order = LSBFirst;
    std::unique_lock lock(mutex_);
    int index = frame->load();
    while (!stop_) {
      for (int row = 0; row < h; ++row)
        std::memcpy(&buffer[static_cast<std::size_t>(row) * w],
                    &pixels[static_cast<std::size_t>(row) * stripWidth +
                            static_cast<std::size_t>(index) * w],
                    static_cast<std::size_t>(w) * 4);
      XPutImage(display, target, gc, image, 0, 0, x, y, w, h);
      XFlush(display);
      frame->store(index);
      stopped_.wait_for(lock, kFrameTime, [this] { return stop_; });
      index = (index + 1) % frames;
    }
    image->data = nullptr;  // the buffer is ours
    XDestroyImage(image);
  }
  XFreeGC(display, gc);
  XCloseDisplay(display);
}
}  // namespace ui::fltk
