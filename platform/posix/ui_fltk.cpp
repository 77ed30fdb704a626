// The user-interface backend for a real display (X11 through FLTK).
//
// It draws the Form model generically: every Control becomes one toolkit
// widget of its kind, and the widgets follow the model, which is compared
// with them before the toolkit waits or handles events. Input goes back the
// way the headless code expects it: clicks through ui::Click, keys through
// ui::KeyDown, typed text into Control::caption, focus through
// Form::SetFocus. No window logic lives here.
//
// Top-level windows are found across processes by their WM_CLASS, which our
// forms set to their class name.

// Our headers come first: X11's macros (None, Status, ...) would break them.
#include "platform/kernel.h"
#include "platform/richtext.h"
#include "platform/ui.h"

namespace ui {
namespace {
// X11 defines None as a macro.
constexpr BorderStyle kBorderNone = BorderStyle::None;
}  // namespace
}  // namespace ui

// (the toolkit and X11 after them)
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_PNG_Image.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Scrollbar.H>
#include <FL/Fl_Secret_Input.H>
#include <FL/fl_draw.H>
#include <FL/fl_utf8.h>
#include <FL/x.H>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ui {
namespace {

// ---- Fonts -----------------------------------------------------------------------------

// The free fonts that stand in for the designers' faces.
enum class Face { Sans, Serif, Mono, Cjk };
constexpr const char* kFamilies[] = {"DejaVu Sans Condensed", "DejaVu Serif", "DejaVu Sans Mono",
                                     "WenQuanYi Zen Hei"};

bool HasNonAscii(const std::string& text) {
  for (unsigned char c : text)
    if (c >= 0x80) return true;
  return false;
}

bool Contains(const std::string& text, const char* part) {
  std::string lower;
  for (char c : text)
    lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return lower.find(part) != std::string::npos;
}

// The face for a designer's font name and the text drawn in it: any text
// beyond ASCII, and the Chinese faces, take the CJK font, which has Latin
// letters too.
Face FaceFor(const std::string& name, const std::string& text) {
  if (HasNonAscii(text) || HasNonAscii(name) || Contains(name, "ming") || Contains(name, "song") ||
      Contains(name, "hei") || Contains(name, "kai"))
    return Face::Cjk;
  if (Contains(name, "mono") || Contains(name, "courier") || Contains(name, "consol") ||
      Contains(name, "fixed"))
    return Face::Mono;
  if (Contains(name, "sans") || Contains(name, "arial") || Contains(name, "tahoma") ||
      Contains(name, "verdana") || Contains(name, "helvetica"))
    return Face::Sans;
  if (Contains(name, "serif") || Contains(name, "times") || Contains(name, "roman") ||
      Contains(name, "georgia"))
    return Face::Serif;
  return Face::Sans;
}

// The toolkit's font number for a face and style; the four styles of the
// four faces take the free font numbers from FL_FREE_FONT on.
Fl_Font FontOf(Face face, bool bold = false, bool italic = false) {
  static bool registered[16] = {};
  const int style = (bold ? 1 : 0) + (italic ? 2 : 0);
  const int index = static_cast<int>(face) * 4 + style;
  const Fl_Font font = FL_FREE_FONT + index;
  if (!registered[index]) {
    // The first character of the name is the style for the Xft font code.
    static const char kStyle[] = {' ', 'B', 'I', 'P'};
    std::string name = std::string(1, kStyle[style]) + kFamilies[static_cast<int>(face)];
    Fl::set_font(font, strdup(name.c_str()));  // the toolkit keeps the pointer
    registered[index] = true;
  }
  return font;
}

// ---- Label drawing --------------------------------------------------------------------

// Our label types draw the text as it is ("@" is no symbol) with or without
// the "&" accelerator prefix.
constexpr Fl_Labeltype kPlainLabel = FL_FREE_LABELTYPE;
constexpr Fl_Labeltype kPrefixLabel = static_cast<Fl_Labeltype>(FL_FREE_LABELTYPE + 1);

void DrawLabel(const Fl_Label* label, int x, int y, int w, int h, Fl_Align align, bool prefix) {
  fl_font(label->font, label->size);
  fl_color(static_cast<Fl_Color>(label->color));
  char saved = fl_draw_shortcut;
  fl_draw_shortcut = prefix ? 1 : 0;
  fl_draw(label->value, x, y, w, h, align, label->image, 0);
  fl_draw_shortcut = saved;
}

void DrawPlainLabel(const Fl_Label* label, int x, int y, int w, int h, Fl_Align align) {
  DrawLabel(label, x, y, w, h, align, false);
}

void DrawPrefixLabel(const Fl_Label* label, int x, int y, int w, int h, Fl_Align align) {
  DrawLabel(label, x, y, w, h, align, true);
}

void MeasureLabel(const Fl_Label* label, int& w, int& h) {
  fl_font(label->font, label->size);
  fl_measure(label->value, w, h, 0);
  if (label->image) {
    w += label->image->w();
    h = std::max(h, label->image->h());
  }
}

// ---- X helpers -------------------------------------------------------------------------

// Catches the errors of requests about windows that may be gone, instead of
// the toolkit's handler reporting them.
class ErrorTrap {
 public:
  explicit ErrorTrap(Display* display) : display_(display) {
    XSync(display_, False);
    errors_ = 0;
    previous_ = XSetErrorHandler(&ErrorTrap::Handler);
  }
  ~ErrorTrap() {
    XSync(display_, False);
    XSetErrorHandler(previous_);
  }
  bool Failed() {
    XSync(display_, False);
    return errors_ != 0;
  }

 private:
  static int Handler(Display*, XErrorEvent*) {
    ++errors_;
    return 0;
  }
  static inline int errors_ = 0;
  Display* display_;
  XErrorHandler previous_;
};

Atom AtomOf(const char* name) {
  return XInternAtom(fl_display, name, False);
}

// A window manager owns the selection WM_Sn of its screen.
bool WindowManagerRunning() {
  std::string name = "WM_S" + std::to_string(fl_screen);
  return XGetSelectionOwner(fl_display, AtomOf(name.c_str())) != None;
}

std::vector<unsigned long> CardinalProperty(Window window, Atom property, Atom type) {
  std::vector<unsigned long> values;
  Atom actualType;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(fl_display, window, property, 0, 1024, False, type, &actualType, &format,
                         &count, &after, &data) == Success &&
      data) {
    if (format == 32) {
      auto* longs = reinterpret_cast<unsigned long*>(data);
      values.assign(longs, longs + count);
    }
    XFree(data);
  }
  return values;
}

constexpr long kNormalState = 1;
constexpr long kIconicState = 3;

void SetWmState(Window window, long state) {
  long data[2] = {state, None};
  Atom wmState = AtomOf("WM_STATE");
  XChangeProperty(fl_display, window, wmState, wmState, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(data), 2);
}

// ---- Pictures --------------------------------------------------------------------------

// Pictures of the program's resources ("PNG" type), decoded once.
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

// A part of a picture as a picture of its own.
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

// ---- Widgets ---------------------------------------------------------------------------

class FltkBackend;

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
  void draw() override {
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
  void Play(Window target);
  void Stop();
  bool Playing() const { return player_.joinable(); }
  bool unplayable = false;

 private:
  void Run(Window target, int x, int y, int w, int h, std::vector<std::uint32_t> pixels, int frames,
           int stripWidth);
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

// ---- Rich text memo -------------------------------------------------------------------

// A read-only, word-wrapping text with a vertical scroll bar, formatted by
// runs (bold, italic, underline, size, colour, face, paragraph alignment).
class MemoWidget : public Fl_Group {
 public:
  MemoWidget() : Fl_Group(0, 0, 0, 0), bar_(0, 0, 0, 0) {
    end();
    box(FL_DOWN_BOX);
    color(FL_WHITE);
    bar_.type(FL_VERTICAL);
    bar_.linesize(16);
    bar_.callback([](Fl_Widget*, void* self) { static_cast<MemoWidget*>(self)->redraw(); }, this);
    add(bar_);
  }

  // The document shown, and the form font used where the document names no
  // size (plain text).
  void SetDocument(std::shared_ptr<const richtext::Document> document, bool formatted,
                   std::string fontName, int fontHeight) {
    document_ = std::move(document);
    formatted_ = formatted;
    fontName_ = std::move(fontName);
    fontHeight_ = fontHeight;
    laidOutWidth_ = -1;
    redraw();
  }
  const richtext::Document* Document() const { return document_.get(); }

  void resize(int x, int y, int w, int h) override {
    Fl_Widget::resize(x, y, w, h);
    bar_.resize(x + w - kBar - Fl::box_dx(box()), y + Fl::box_dy(box()), kBar,
                h - Fl::box_dh(box()));
    laidOutWidth_ = -1;
  }

  int handle(int event) override {
    if (event == FL_MOUSEWHEEL && Fl::event_inside(this)) return bar_.handle(event);
    if (event == FL_FOCUS || event == FL_UNFOCUS) return visible_focus() ? 1 : 0;
    if (event == FL_KEYBOARD && Fl::focus() == this) {
      int step = 0;
      switch (Fl::event_key()) {
        case FL_Up:
          step = -16;
          break;
        case FL_Down:
          step = 16;
          break;
        case FL_Page_Up:
          step = -TextHeight();
          break;
        case FL_Page_Down:
          step = TextHeight();
          break;
        default:
          break;
      }
      if (step) {
        ScrollBy(step);
        return 1;
      }
    }
    return Fl_Group::handle(event);
  }

  void draw() override {
    Layout();
    draw_box();
    const int tx = x() + Fl::box_dx(box()) + kMargin;
    const int ty = y() + Fl::box_dy(box()) + kMargin;
    fl_push_clip(x() + Fl::box_dx(box()), y() + Fl::box_dy(box()), w() - Fl::box_dw(box()) - kBar,
                 h() - Fl::box_dh(box()));
    const int offset = static_cast<int>(bar_.value());
    for (const Line& line : lines_) {
      const int top = ty + line.y - offset;
      if (top > y() + h() || top + line.height < y()) continue;
      for (const Piece& piece : line.pieces) {
        fl_font(piece.font, piece.size);
        fl_color(piece.color);
        const int baseline = top + line.ascent;
        fl_draw(piece.text.c_str(), static_cast<int>(piece.text.size()), tx + piece.x, baseline);
        if (piece.underline) fl_xyline(tx + piece.x, baseline + 1, tx + piece.x + piece.width - 1);
      }
    }
    fl_pop_clip();
    draw_child(bar_);
  }

 private:
  static constexpr int kBar = 16;
  static constexpr int kMargin = 3;

  struct Piece {
    std::string text;
    int x = 0, width = 0;
    Fl_Font font = FL_HELVETICA;
    int size = 12;
    Fl_Color color = FL_BLACK;
    bool underline = false;
  };
  struct Line {
    int y = 0, height = 0, ascent = 0;
    std::vector<Piece> pieces;
  };

  int TextWidth() const { return w() - Fl::box_dw(box()) - kBar - 2 * kMargin; }
  int TextHeight() const { return h() - Fl::box_dh(box()) - 2 * kMargin; }

  void ScrollBy(int step) {
    int top = static_cast<int>(bar_.value()) + step;
    top = std::clamp(top, 0, std::max(0, total_ - TextHeight()));
    bar_.value(top);
    redraw();
  }

  // A run's look: its face, size and colour, or the form's where it has none.
  Piece Style(const richtext::CharFormat& format, const std::string& text) const {
    Piece piece;
    const std::string faceName = formatted_ && !format.font.empty() ? format.font : fontName_;
    piece.font = FontOf(FaceFor(faceName, text), format.bold, format.italic);
    piece.size = formatted_ ? std::max(6, (format.halfPoints * 96 + 72) / 144) : fontHeight_;
    piece.color = format.color
                      ? fl_rgb_color(format.color->red, format.color->green, format.color->blue)
                      : FL_BLACK;
    piece.underline = format.underline;
    return piece;
  }

  static bool IsWide(std::uint32_t code) {
    return (code >= 0x2E80 && code <= 0x9FFF) || (code >= 0xAC00 && code <= 0xD7AF) ||
           (code >= 0xF900 && code <= 0xFAFF) || (code >= 0xFF00 && code <= 0xFFEF) ||
           (code >= 0x3000 && code <= 0x303F);
  }

  // Cuts a run into the pieces a line may end after: a word with the blanks
  // after it, one wide (CJK) character, a tab, or a line break ("\n").
  static std::vector<std::string> Tokens(const std::string& text) {
    std::vector<std::string> tokens;
    std::string current;
    bool inBlanks = false;
    auto flush = [&] {
      if (!current.empty()) tokens.push_back(current);
      current.clear();
      inBlanks = false;
    };
    for (std::size_t i = 0; i < text.size();) {
      unsigned char c = static_cast<unsigned char>(text[i]);
      int length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
      if (i + length > text.size()) length = 1;
      std::uint32_t code = c;
      if (length > 1) {
        code = c & (0xFF >> (length + 1));
        for (int k = 1; k < length; ++k) code = (code << 6) | (text[i + k] & 0x3F);
      }
      std::string ch = text.substr(i, length);
      i += length;
      if (ch == "\n" || ch == "\t") {
        flush();
        tokens.push_back(ch);
      } else if (IsWide(code)) {
        flush();
        tokens.push_back(ch);
      } else if (ch == " ") {
        current += ch;
        inBlanks = true;
      } else {
        if (inBlanks) flush();
        current += ch;
      }
    }
    flush();
    return tokens;
  }

  void Layout() {
    const int width = std::max(1, TextWidth());
    if (laidOutWidth_ == width) return;
    laidOutWidth_ = width;
    lines_.clear();
    int y = 0;
    if (document_) {
      for (const richtext::Paragraph& paragraph : document_->paragraphs) {
        std::vector<Line> lines;
        Line line;
        int x = 0;
        richtext::CharFormat lastFormat;
        auto finish = [&](const richtext::CharFormat& format) {
          if (line.pieces.empty()) {
            Piece style = Style(format, "");
            fl_font(style.font, style.size);
            line.height = fl_height();
            line.ascent = fl_height() - fl_descent();
          }
          lines.push_back(std::move(line));
          line = Line();
          x = 0;
        };
        for (const richtext::Run& run : paragraph.runs) {
          lastFormat = run.format;
          for (const std::string& token : Tokens(run.text)) {
            if (token == "\n") {
              finish(run.format);
              continue;
            }
            Piece piece = Style(run.format, token);
            fl_font(piece.font, piece.size);
            if (token == "\t") {
              const int tab = std::max(1, static_cast<int>(fl_width("0")) * 8);
              x = (x / tab + 1) * tab;
              continue;
            }
            std::string text = token;
            for (;;) {
              int full = static_cast<int>(fl_width(text.c_str()));
              std::string trimmed = text;
              while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
              int visible = static_cast<int>(fl_width(trimmed.c_str()));
              if (x + visible <= width || (x == 0 && visible <= width)) {
                piece.text = text;
                piece.x = x;
                piece.width = full;
                Place(line, piece);
                x += full;
                break;
              }
              if (x > 0) {
                finish(run.format);
                fl_font(piece.font, piece.size);
                continue;
              }
              // A word longer than the line: as many characters as fit.
              std::size_t cut = 0;
              for (std::size_t i = 1; i <= text.size(); ++i) {
                if (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
                  continue;
                if (fl_width(text.c_str(), static_cast<int>(i)) > width) break;
                cut = i;
              }
              if (cut == 0) cut = std::min<std::size_t>(text.size(), 1);
              while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
                ++cut;
              piece.text = text.substr(0, cut);
              piece.x = 0;
              piece.width = static_cast<int>(fl_width(piece.text.c_str()));
              Place(line, piece);
              text = text.substr(cut);
              finish(run.format);
              fl_font(piece.font, piece.size);
              if (text.empty()) break;
            }
          }
        }
        if (!line.pieces.empty() || lines.empty()) finish(lastFormat);
        for (Line& l : lines) {
          Align(l, paragraph.alignment, width);
          l.y = y;
          y += l.height;
          lines_.push_back(std::move(l));
        }
      }
    }
    total_ = y;
    const int visible = TextHeight();
    const int top = std::clamp(static_cast<int>(bar_.value()), 0, std::max(0, total_ - visible));
    bar_.value(top, std::max(1, visible), 0, std::max(visible, total_));
  }

  static void Place(Line& line, const Piece& piece) {
    fl_font(piece.font, piece.size);
    const int height = fl_height();
    const int ascent = height - fl_descent();
    const int descent = std::max(line.height - line.ascent, height - ascent);
    line.ascent = std::max(line.ascent, ascent);
    line.height = line.ascent + descent;
    line.pieces.push_back(piece);
  }

  static void Align(Line& line, richtext::Alignment alignment, int width) {
    if (line.pieces.empty() || alignment == richtext::Alignment::Left ||
        alignment == richtext::Alignment::Justify)
      return;
    const Piece& last = line.pieces.back();
    std::string trimmed = last.text;
    while (!trimmed.empty() && trimmed.back() == ' ') trimmed.pop_back();
    fl_font(last.font, last.size);
    const int used = last.x + static_cast<int>(fl_width(trimmed.c_str()));
    int shift = width - used;
    if (alignment == richtext::Alignment::Center) shift /= 2;
    if (shift <= 0) return;
    for (Piece& piece : line.pieces) piece.x += shift;
  }

  Fl_Scrollbar bar_;
  std::shared_ptr<const richtext::Document> document_;
  bool formatted_ = false;
  std::string fontName_;
  int fontHeight_ = 11;
  int laidOutWidth_ = -1;
  int total_ = 0;
  std::vector<Line> lines_;
};

// ---- Animation player -----------------------------------------------------------------

constexpr auto kFrameTime = std::chrono::milliseconds(70);

void AnimationWidget::Play(Window target) {
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

void AnimationWidget::Run(Window target, int x, int y, int w, int h,
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

// ---- Windows ---------------------------------------------------------------------------

// One control's widget and what it was last made to show.
struct Slot {
  ControlKind kind;
  bool password = false;
  Fl_Widget* widget = nullptr;
  std::shared_ptr<const richtext::Document> richText;
  std::string memoText;
  std::string fontKey;
  int tabOrder = -2;
};

class FormWindow : public Fl_Double_Window {
 public:
  FormWindow(FltkBackend& backend, Form& form)
      : Fl_Double_Window(0, 0, std::max(1, form.ClientWidth()), std::max(1, form.ClientHeight())),
        backend_(backend),
        handle_(form.Handle()),
        className_(form.ClassName()) {
    end();
    xclass(className_.c_str());
    callback([](Fl_Widget* w, void*) { static_cast<FormWindow*>(w)->CloseRequested(); });
  }
  ~FormWindow() override { StopAnimations(); }

  WindowHandle Handle() const { return handle_; }
  std::map<Control*, Slot>& Slots() { return slots_; }
  std::string caption;
  bool placed = false;
  std::pair<int, int> range{-1, -1};

  Control* ControlOf(Fl_Widget* widget) {
    for (Fl_Widget* w = widget; w && w != this; w = w->parent())
      for (auto& [control, slot] : slots_)
        if (slot.widget == w) return control;
    return nullptr;
  }

  void StopAnimations() {
    for (auto& [control, slot] : slots_)
      if (slot.kind == ControlKind::Animation) static_cast<AnimationWidget*>(slot.widget)->Stop();
  }

  void CloseRequested();

 private:
  FltkBackend& backend_;
  WindowHandle handle_;
  std::string className_;
  std::map<Control*, Slot> slots_;
};

// A message box: icon, text, and the buttons of its type.
class BoxWindow : public Fl_Double_Window {
 public:
  BoxWindow(int w, int h) : Fl_Double_Window(w, h) {}
  int answer = 0;
  int onEscape = 0;
  int handle(int event) override {
    if ((event == FL_KEYBOARD || event == FL_SHORTCUT) && Fl::event_key() == FL_Escape) {
      if (onEscape) answer = onEscape;
      return 1;
    }
    if ((event == FL_KEYBOARD || event == FL_SHORTCUT) &&
        (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter)) {
      if (Fl_Widget* focus = Fl::focus(); focus && focus->window() == this && focus->user_data()) {
        answer = static_cast<int>(reinterpret_cast<std::intptr_t>(focus->user_data()));
        return 1;
      }
    }
    return Fl_Double_Window::handle(event);
  }
};

class IconWidget : public Fl_Widget {
 public:
  explicit IconWidget(unsigned icon) : Fl_Widget(0, 0, 32, 32), icon_(icon) {}
  void draw() override {
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

 private:
  unsigned icon_;
};

// ---- The backend -----------------------------------------------------------------------

class FltkBackend : public Backend {
 public:
  FltkBackend() {
    instance_ = this;
    Fl::lock();  // makes Fl::awake usable from other threads
    Fl::scheme("base");
    Fl::background(240, 240, 240);
    Fl::background2(255, 255, 255);
    Fl::foreground(0, 0, 0);
    Fl::visible_focus(1);
    Fl::set_labeltype(kPlainLabel, DrawPlainLabel, MeasureLabel);
    Fl::set_labeltype(kPrefixLabel, DrawPrefixLabel, MeasureLabel);
    Fl::event_dispatch(&FltkBackend::Dispatch);
  }

  ~FltkBackend() override {
    Fl::event_dispatch(nullptr);
    for (auto& [handle, window] : windows_) {
      window->StopAnimations();
      window->hide();
      Fl::delete_widget(window);
    }
    windows_.clear();
    Fl::check();
    if (instance_ == this) instance_ = nullptr;
  }

  // ---- Message boxes ----

  int MessageBox(Form* owner, const std::string& text, const std::string& caption,
                 unsigned type) override {
    const std::vector<int> buttons = ButtonsOf(type);
    const int byDefault = DefaultButtonOf(type);
    int onEscape = 0;
    for (int id : buttons)
      if (id == IDCANCEL) onEscape = IDCANCEL;
    if (!onEscape && buttons.size() == 1) onEscape = buttons.front();
    const unsigned icon = type & MB_ICONMASK;

    const Fl_Font font = FontOf(FaceFor("", text + caption));
    constexpr int kSize = 12, kMargin = 12, kIcon = 32, kButtonW = 75, kButtonH = 23, kGap = 6;
    fl_font(font, kSize);
    // Long texts wrap at 400 pixels.
    int textW = 400, textH = 0;
    fl_measure(text.c_str(), textW, textH, 0);
    const int textX = kMargin + (icon ? kIcon + kMargin : 0);
    const int bodyH = std::max(textH, icon ? kIcon : 0);
    const int buttonsW =
        static_cast<int>(buttons.size()) * kButtonW + (static_cast<int>(buttons.size()) - 1) * kGap;
    const int width = std::max(textX + textW + kMargin, buttonsW + 2 * kMargin);
    const int height = kMargin + bodyH + 2 * kMargin + kButtonH + kMargin;

    auto box = std::make_unique<BoxWindow>(width, height);
    box->onEscape = onEscape;
    box->copy_label(caption.c_str());
    box->xclass("TMessageBox");
    box->callback([](Fl_Widget* w, void*) {
      auto* b = static_cast<BoxWindow*>(w);
      if (b->onEscape) b->answer = b->onEscape;
    });
    if (icon) {
      auto* iconWidget = new IconWidget(icon);
      iconWidget->position(kMargin, kMargin);
      box->add(iconWidget);
    }
    auto* label = new Fl_Box(textX, kMargin + (bodyH - textH) / 2, textW, textH);
    label->box(FL_NO_BOX);
    label->labeltype(kPlainLabel);
    label->labelfont(font);
    label->labelsize(kSize);
    label->align(FL_ALIGN_INSIDE | FL_ALIGN_TOP_LEFT | FL_ALIGN_WRAP);
    label->copy_label(text.c_str());
    box->add(label);
    int bx = (width - buttonsW) / 2;
    const int by = height - kMargin - kButtonH;
    Fl_Button* focus = nullptr;
    for (int id : buttons) {
      auto* button = new ButtonWidget();
      button->resize(bx, by, kButtonW, kButtonH);
      button->copy_label(ButtonText(id));
      button->labelfont(FontOf(Face::Sans));
      button->labelsize(kSize);
      button->isDefault = id == byDefault;
      button->user_data(reinterpret_cast<void*>(static_cast<std::intptr_t>(id)));
      button->callback([](Fl_Widget* w, void* data) {
        static_cast<BoxWindow*>(w->window())->answer =
            static_cast<int>(reinterpret_cast<std::intptr_t>(data));
      });
      box->add(button);
      if (id == byDefault) focus = button;
      bx += kButtonW + kGap;
    }
    box->end();
    box->set_modal();
    box->size_range(width, height, width, height);
    Center(*box, FrameWidth(BorderStyle::Dialog), CaptionHeight(BorderStyle::Dialog));
    if (!title_.empty()) box->iconlabel(title_.c_str());
    box->show();
    AfterShow(*box, BorderStyle::Dialog, true, false);
    if (focus) focus->take_focus();

    while (box->answer == 0 && box->shown()) {
      if (Terminated()) {
        box->answer = onEscape ? onEscape : byDefault;
        break;
      }
      WaitMessage();
      ProcessMessages();
    }
    const int answer = box->answer ? box->answer : (onEscape ? onEscape : byDefault);
    box->hide();
    Fl::delete_widget(box.release());
    return answer;
  }

  // ---- Forms ----

  void ShowForm(Form& form) override {
    FormWindow& window = WindowFor(form);
    Sync(form, window);
    window.clear_modal_states();
    if (form.Modal()) window.set_modal();
    if (!window.placed) {
      Place(form, window);
      window.placed = true;
    }
    if (!title_.empty()) window.iconlabel(title_.c_str());
    window.show();
    AfterShow(window, form.borderStyle, form.borderIcons, form.stayOnTop);
    StartAnimations(window);
  }

  void HideForm(Form& form) override {
    auto it = windows_.find(form.Handle());
    if (it == windows_.end()) return;
    it->second->StopAnimations();
    it->second->hide();
  }

  void InvalidateForm(Form& form) override {
    auto it = windows_.find(form.Handle());
    if (it == windows_.end()) return;
    Sync(form, *it->second);
    it->second->redraw();
  }

  void DestroyForm(Form& form) override {
    auto it = windows_.find(form.Handle());
    if (it == windows_.end()) return;
    FormWindow* window = it->second;
    windows_.erase(it);
    window->StopAnimations();
    window->hide();
    // Deleted once the toolkit is out of any callback of the window.
    Fl::delete_widget(window);
  }

  void FocusChanged(Form& form) override {
    if (syncingFocus_) return;
    auto it = windows_.find(form.Handle());
    if (it == windows_.end()) return;
    Control* focused = form.Focused();
    auto& slots = it->second->Slots();
    auto slot = focused ? slots.find(focused) : slots.end();
    if (slot != slots.end() && it->second->shown()) slot->second.widget->take_focus();
  }

  void TitleChanged(const std::string& title) override {
    title_ = title;
    for (auto& [handle, window] : windows_) window->iconlabel(title_.c_str());
  }

  void ProcessEvents() override {
    SyncAll();
    Fl::check();
  }

  void UpdateWindows() override {
    SyncAll();
    Fl::flush();
    XSync(fl_display, False);
  }

  void WaitForEvents(std::chrono::milliseconds timeout) override {
    SyncAll();
    wakePending_ = false;
    Fl::wait(static_cast<double>(timeout.count()) / 1000.0);
  }

  void Wake() override {
    if (!wakePending_.exchange(true)) Fl::awake();
  }

  // ---- Window lookup ----

  void RegisterWindow(Form&) override {}
  void UnregisterWindow(Form&) override {}

  TopLevelWindow FindWindow(const std::string& className) override {
    ErrorTrap trap(fl_display);
    const Window root = RootWindow(fl_display, fl_screen);
    std::vector<Window> candidates;
    for (const char* list : {"_NET_CLIENT_LIST_STACKING", "_NET_CLIENT_LIST"}) {
      Atom atom = XInternAtom(fl_display, list, True);
      if (atom == None) continue;
      for (unsigned long w : CardinalProperty(root, atom, XA_WINDOW)) candidates.push_back(w);
      if (!candidates.empty()) {
        std::reverse(candidates.begin(), candidates.end());  // topmost first
        break;
      }
    }
    // Our own windows and those of programs the manager does not list.
    Window rootReturn, parentReturn;
    Window* children = nullptr;
    unsigned count = 0;
    if (XQueryTree(fl_display, root, &rootReturn, &parentReturn, &children, &count)) {
      for (unsigned i = count; i-- > 0;) {
        candidates.push_back(children[i]);
        // A window manager's frame holds the program's window.
        Window* inner = nullptr;
        unsigned innerCount = 0;
        if (XQueryTree(fl_display, children[i], &rootReturn, &parentReturn, &inner, &innerCount)) {
          for (unsigned k = innerCount; k-- > 0;) candidates.push_back(inner[k]);
          if (inner) XFree(inner);
        }
      }
      if (children) XFree(children);
    }
    for (Window w : candidates) {
      XClassHint hint{};
      if (!XGetClassHint(fl_display, w, &hint)) continue;
      bool match = (hint.res_class && className == hint.res_class) ||
                   (hint.res_name && className == hint.res_name);
      if (hint.res_class) XFree(hint.res_class);
      if (hint.res_name) XFree(hint.res_name);
      if (!match) continue;
      XWindowAttributes attributes;
      if (!XGetWindowAttributes(fl_display, w, &attributes)) continue;
      // A withdrawn window (hidden, never shown) is no window to find.
      if (attributes.map_state != IsUnmapped || WmState(w) == kIconicState) return w;
    }
    return 0;
  }

  bool IsIconic(TopLevelWindow window) override {
    ErrorTrap trap(fl_display);
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(fl_display, window, &attributes) || trap.Failed()) return false;
    if (WmState(window) == kIconicState) return true;
    Atom hidden = AtomOf("_NET_WM_STATE_HIDDEN");
    for (unsigned long state : CardinalProperty(window, AtomOf("_NET_WM_STATE"), XA_ATOM))
      if (state == hidden) return true;
    return !WindowManagerRunning() && attributes.map_state == IsUnmapped;
  }

  bool RestoreWindow(TopLevelWindow window) override {
    ErrorTrap trap(fl_display);
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(fl_display, window, &attributes) || trap.Failed()) return false;
    if (WindowManagerRunning()) {
      SendActivate(window);
      XMapRaised(fl_display, window);
    } else {
      SetWmState(window, kNormalState);
      XMapRaised(fl_display, window);
      XSetInputFocus(fl_display, window, RevertToParent, CurrentTime);
    }
    return !trap.Failed();
  }

  bool SetForegroundWindow(TopLevelWindow window) override {
    ErrorTrap trap(fl_display);
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(fl_display, window, &attributes) || trap.Failed()) return false;
    XRaiseWindow(fl_display, window);
    if (WindowManagerRunning()) {
      SendActivate(window);
    } else if (attributes.map_state == IsViewable) {
      XSetInputFocus(fl_display, window, RevertToParent, CurrentTime);
    }
    trap.Failed();
    return true;
  }

  void MinimizeForm(Form& form) override {
    auto it = windows_.find(form.Handle());
    if (it == windows_.end() || !it->second->shown()) return;
    FormWindow& window = *it->second;
    if (WindowManagerRunning()) {
      window.iconize();
    } else {
      // Nobody to ask: the window leaves the screen and says it is iconic,
      // as a manager would.
      window.StopAnimations();
      SetWmState(fl_xid(&window), kIconicState);
      XUnmapWindow(fl_display, fl_xid(&window));
    }
    XSync(fl_display, False);
  }

  // ---- Input ----

  void Clicked(Fl_Widget* widget) {
    auto* window = dynamic_cast<FormWindow*>(widget->window());
    if (!window) return;
    Form* form = FromHandle(window->Handle());
    Control* control = window->ControlOf(widget);
    if (!form || !control) return;
    Click(*form, *control);
    SyncAll();
  }

  void Typed(Fl_Widget* widget) {
    auto* window = dynamic_cast<FormWindow*>(widget->window());
    if (!window) return;
    Control* control = window->ControlOf(widget);
    if (control && FromHandle(window->Handle()))
      control->caption = static_cast<Fl_Input_*>(widget)->value();
  }

  void CloseRequested(FormWindow& window) {
    Form* form = FromHandle(window.Handle());
    // A window without caption buttons cannot be closed from its frame.
    if (!form || !form->borderIcons) return;
    if (Fl::event() == FL_SHORTCUT || Fl::event() == FL_KEYBOARD) return;  // Escape
    form->Close();
  }

 private:
  static int Dispatch(int event, Fl_Window* window) {
    FltkBackend* self = instance_;
    if (!self) return Fl::handle_(event, window);
    if (self->holdInput_ &&
        (event == FL_PUSH || event == FL_RELEASE || event == FL_KEYBOARD || event == FL_KEYUP ||
         event == FL_SHORTCUT || event == FL_DRAG || event == FL_MOUSEWHEEL))
      return 1;
    auto* formWindow = dynamic_cast<FormWindow*>(window);
    if (formWindow && event == FL_KEYBOARD) {
      const int key = Fl::event_key();
      int vk = 0;
      if (key == FL_Escape) vk = VK_ESCAPE;
      if (key == FL_Enter || key == FL_KP_Enter) vk = VK_RETURN;
      if (vk) {
        if (Form* form = FromHandle(formWindow->Handle())) {
          self->SyncFocusFromToolkit();
          KeyDown(*form, vk);
          self->SyncAll();
        }
        return 1;
      }
    }
    const WindowHandle handle = formWindow ? formWindow->Handle() : 0;
    int result = Fl::handle_(event, window);
    if (instance_ == self) {
      self->SyncFocusFromToolkit();
      // The window came to the front from outside.
      if (event == FL_FOCUS && handle) {
        PostCall([handle] {
          Form* form = FromHandle(handle);
          if (form && form->onActivate) {
            auto handler = form->onActivate;
            handler();
          }
        });
      }
    }
    return result;
  }

  void SyncFocusFromToolkit() {
    Fl_Widget* focus = Fl::focus();
    if (!focus) return;
    auto* window = dynamic_cast<FormWindow*>(focus->window());
    if (!window) return;
    Form* form = FromHandle(window->Handle());
    Control* control = window->ControlOf(focus);
    if (!form || !control || form->Focused() == control) return;
    syncingFocus_ = true;
    form->SetFocus(control);
    syncingFocus_ = false;
  }

  FormWindow& WindowFor(Form& form) {
    auto it = windows_.find(form.Handle());
    if (it != windows_.end()) return *it->second;
    auto* window = new FormWindow(*this, form);
    windows_[form.Handle()] = window;
    return *window;
  }

  void SyncAll() {
    for (auto& [handle, window] : windows_)
      if (window->shown())
        if (Form* form = FromHandle(handle)) Sync(*form, *window);
  }

  // Client-area origin for a window of that frame centred on the screen.
  static void Center(Fl_Window& window, int frame, int caption) {
    int sx, sy, sw, sh;
    Fl::screen_xywh(sx, sy, sw, sh);
    const int outerW = window.w() + 2 * frame, outerH = window.h() + 2 * frame + caption;
    window.position(sx + (sw - outerW) / 2 + frame, sy + (sh - outerH) / 2 + frame + caption);
  }

  void Place(Form& form, FormWindow& window) {
    const int frame = FrameWidth(form.borderStyle), caption = CaptionHeight(form.borderStyle);
    if (form.position == FormPosition::Designed)
      window.position(form.left + frame, form.top + frame + caption);
    else
      Center(window, frame, caption);
  }

  // Frame decorations, stacking and focus once the window exists; waits
  // until it is on the screen and drawn, so that a caller that blocks right
  // after showing it still leaves a painted window.
  void AfterShow(Fl_Window& window, BorderStyle style, bool borderIcons, bool stayOnTop) {
    const Window xid = fl_xid(&window);
    if (!xid) return;
    ErrorTrap trap(fl_display);
    // Motif hints: functions move (+ close with a system menu); decorations
    // border and title (+ menu), none at all without a border.
    long hints[5] = {1 | 2, 4 | (borderIcons ? 32 : 0),
                     style == kBorderNone ? 0 : (2 | 8 | (borderIcons ? 16 : 0)), 0, 0};
    Atom motif = AtomOf("_MOTIF_WM_HINTS");
    XChangeProperty(fl_display, xid, motif, motif, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(hints), 5);
    Atom kind = AtomOf(style == BorderStyle::ToolWindow ? "_NET_WM_WINDOW_TYPE_UTILITY"
                                                        : "_NET_WM_WINDOW_TYPE_DIALOG");
    if (style == BorderStyle::Sizeable) kind = AtomOf("_NET_WM_WINDOW_TYPE_NORMAL");
    XChangeProperty(fl_display, xid, AtomOf("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&kind), 1);
    const bool managed = WindowManagerRunning();
    if (stayOnTop) {
      Atom above = AtomOf("_NET_WM_STATE_ABOVE");
      XChangeProperty(fl_display, xid, AtomOf("_NET_WM_STATE"), XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(&above), 1);
      if (managed) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = xid;
        event.xclient.message_type = AtomOf("_NET_WM_STATE");
        event.xclient.format = 32;
        event.xclient.data.l[0] = 1;  // add
        event.xclient.data.l[1] = static_cast<long>(above);
        XSendEvent(fl_display, RootWindow(fl_display, fl_screen), False,
                   SubstructureRedirectMask | SubstructureNotifyMask, &event);
      }
    }
    trap.Failed();
    // Wait (briefly, input held back) until the window is viewable and drawn.
    holdInput_ = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
      XWindowAttributes attributes;
      if (!XGetWindowAttributes(fl_display, xid, &attributes) ||
          attributes.map_state == IsViewable || std::chrono::steady_clock::now() > deadline)
        break;
      Fl::wait(0.01);
    }
    Fl::check();
    holdInput_ = false;
    if (!managed) {
      // Nobody activates new windows: do it, and keep the stay-on-top
      // windows above the others.
      ErrorTrap focusTrap(fl_display);
      XSetInputFocus(fl_display, xid, RevertToParent, CurrentTime);
      for (auto& [handle, other] : windows_) {
        Form* form = FromHandle(handle);
        if (other != &window && other->shown() && form && form->stayOnTop)
          XRaiseWindow(fl_display, fl_xid(other));
      }
      focusTrap.Failed();
    }
    window.redraw();
    Fl::flush();
    XSync(fl_display, False);
  }

  void StartAnimations(FormWindow& window) {
    if (!window.shown()) return;
    for (auto& [control, slot] : window.Slots())
      if (slot.kind == ControlKind::Animation && control->visible) {
        auto* animation = static_cast<AnimationWidget*>(slot.widget);
        if (!animation->Playing()) animation->Play(fl_xid(&window));
      }
  }

  static long WmState(Window window) {
    Atom wmState = AtomOf("WM_STATE");
    std::vector<unsigned long> state = CardinalProperty(window, wmState, wmState);
    return state.empty() ? 0 : static_cast<long>(state[0]);
  }

  static void SendActivate(Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = AtomOf("_NET_ACTIVE_WINDOW");
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2;  // from a pager: the manager obeys
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(fl_display, RootWindow(fl_display, fl_screen), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
  }

  // ---- Model to widgets ----

  Fl_Widget* MakeWidget(ControlKind kind, bool password) {
    switch (kind) {
      case ControlKind::Label:
        return new LabelWidget();
      case ControlKind::Edit: {
        Fl_Input* input = password ? static_cast<Fl_Input*>(new PasswordWidget())
                                   : static_cast<Fl_Input*>(new EditWidget());
        input->when(FL_WHEN_CHANGED);
        input->callback([](Fl_Widget* w, void*) {
          if (instance_) instance_->Typed(w);
        });
        return input;
      }
      case ControlKind::Button:
      case ControlKind::RadioButton:
      case ControlKind::CheckBox: {
        Fl_Button* button = kind == ControlKind::Button ? new ButtonWidget()
                            : kind == ControlKind::RadioButton
                                ? static_cast<Fl_Button*>(new RadioWidget())
                                : static_cast<Fl_Button*>(new CheckWidget());
        button->callback([](Fl_Widget* w, void*) {
          if (instance_) instance_->Clicked(w);
        });
        return button;
      }
      case ControlKind::Memo:
        return new MemoWidget();
      case ControlKind::ProgressBar:
        return new ProgressWidget();
      case ControlKind::StatusBar:
        return new StatusWidget();
      case ControlKind::Image:
        return new PictureWidget();
      case ControlKind::Animation:
        return new AnimationWidget();
      case ControlKind::Panel:
        return new PanelWidget();
      case ControlKind::Custom:
        return new PixelsWidget();
    }
    return new LabelWidget();
  }

  static void SetLabel(Fl_Widget& widget, const std::string& text) {
    const char* now = widget.label();
    if (!now || text != now) {
      widget.copy_label(text.c_str());
      widget.redraw();
    }
  }

  // Brings the window and its widgets in line with the form.
  void Sync(Form& form, FormWindow& window) {
    if (window.caption != form.caption) {
      window.caption = form.caption;
      window.copy_label(form.caption.c_str());
    }
    const int cw = std::max(1, form.ClientWidth()), ch = std::max(1, form.ClientHeight());
    if (window.w() != cw || window.h() != ch || window.range != std::make_pair(cw, ch)) {
      window.size(cw, ch);
      // Fixed in size: the controls have fixed places.
      window.size_range(cw, ch, cw, ch);
      window.range = {cw, ch};
    }

    bool reorder = false;
    bool changed = false;
    auto& slots = window.Slots();
    for (const auto& owned : form.Controls()) {
      Control& control = *owned;
      auto it = slots.find(&control);
      const bool password = control.kind == ControlKind::Edit && control.password;
      if (it != slots.end() &&
          (it->second.kind != control.kind || it->second.password != password)) {
        if (it->second.kind == ControlKind::Animation)
          static_cast<AnimationWidget*>(it->second.widget)->Stop();
        window.remove(it->second.widget);
        Fl::delete_widget(it->second.widget);
        slots.erase(it);
        it = slots.end();
      }
      if (it == slots.end()) {
        Slot slot;
        slot.kind = control.kind;
        slot.password = password;
        slot.widget = MakeWidget(control.kind, password);
        window.add(slot.widget);
        it = slots.emplace(&control, std::move(slot)).first;
        reorder = true;
      }
      if (it->second.tabOrder != control.tabOrder) {
        it->second.tabOrder = control.tabOrder;
        reorder = true;
      }
      changed |= Apply(form, window, control, it->second);
    }
    if (reorder) Reorder(form, window);
    if (changed) window.redraw();
  }

  // The children in tab order (tab stops first), so that the toolkit's
  // keyboard navigation follows Control::tabOrder.
  void Reorder(Form& form, FormWindow& window) {
    std::vector<Control*> order;
    for (const auto& owned : form.Controls()) order.push_back(owned.get());
    std::stable_sort(order.begin(), order.end(), [](Control* a, Control* b) {
      const bool stopA = a->tabOrder >= 0, stopB = b->tabOrder >= 0;
      if (stopA != stopB) return stopA;
      return stopA && a->tabOrder < b->tabOrder;
    });
    int index = 0;
    for (Control* control : order) {
      auto it = window.Slots().find(control);
      if (it == window.Slots().end()) continue;
      window.insert(*it->second.widget, index++);
    }
  }

  // One control; true when something visible changed.
  bool Apply(Form& form, FormWindow& window, Control& control, Slot& slot) {
    Fl_Widget& widget = *slot.widget;
    bool changed = false;
    const std::string fontKey = form.fontName + "/" + std::to_string(form.fontHeight);
    const Fl_Font font = FontOf(FaceFor(form.fontName, control.caption));
    const int size = std::max(6, form.fontHeight);

    int x = control.left, y = control.top, w = control.width, h = control.height;
    switch (control.kind) {
      case ControlKind::Label: {
        SetLabel(widget, control.caption);
        widget.labelfont(font);
        widget.labelsize(size);
        const Fl_Align align =
            static_cast<Fl_Align>(FL_ALIGN_INSIDE | FL_ALIGN_TOP |
                                  (control.rightAligned ? FL_ALIGN_RIGHT : FL_ALIGN_LEFT));
        if (widget.align() != align) {
          widget.align(align);
          changed = true;
        }
        if (control.autoSize || w <= 0 || h <= 0) {
          fl_font(font, size);
          int tw = 0, th = 0;
          fl_measure(WithoutAccelerators(control.caption).c_str(), tw, th, 0);
          if (control.rightAligned && control.autoSize) x = control.left + control.width - tw;
          w = tw;
          h = std::max(th, size + 2);
        }
        break;
      }
      case ControlKind::Edit: {
        auto& input = static_cast<Fl_Input&>(widget);
        if (control.caption != input.value()) {
          input.value(control.caption.c_str());
          changed = true;
        }
        input.textfont(font);
        input.textsize(size);
        break;
      }
      case ControlKind::Button:
      case ControlKind::RadioButton:
      case ControlKind::CheckBox: {
        auto& button = static_cast<Fl_Button&>(widget);
        SetLabel(button, control.caption);
        button.labelfont(font);
        button.labelsize(size);
        if (control.kind != ControlKind::Button && button.value() != (control.checked ? 1 : 0)) {
          button.value(control.checked ? 1 : 0);
          changed = true;
        }
        if (control.kind == ControlKind::Button) {
          auto& push = static_cast<ButtonWidget&>(button);
          const bool isDefault = control.defaultButton;
          if (push.isDefault != isDefault) {
            push.isDefault = isDefault;
            changed = true;
          }
          if (push.glyph != control.glyph) {
            push.glyph = control.glyph;
            push.normal.reset();
            push.disabled.reset();
            std::shared_ptr<Fl_RGB_Image> strip =
                control.glyph.empty() ? nullptr : Picture(control.glyph);
            if (strip) {
              // Two states side by side: normal, then disabled.
              const int gw = strip->w() >= 2 * strip->h() ? strip->w() / 2 : strip->w();
              push.normal = Crop(*strip, 0, 0, gw, strip->h());
              push.disabled = gw < strip->w() ? Crop(*strip, gw, 0, gw, strip->h())
                                              : Crop(*strip, 0, 0, gw, strip->h());
            }
            push.image(push.normal.get());
            push.deimage(push.disabled.get());
            changed = true;
          }
        }
        break;
      }
      case ControlKind::Memo: {
        auto& memo = static_cast<MemoWidget&>(widget);
        if (slot.richText != control.richText ||
            (!control.richText && slot.memoText != control.caption) || slot.fontKey != fontKey ||
            !memo.Document()) {
          slot.richText = control.richText;
          slot.memoText = control.caption;
          slot.fontKey = fontKey;
          if (control.richText)
            memo.SetDocument(control.richText, true, form.fontName, size);
          else
            memo.SetDocument(std::make_shared<richtext::Document>(
                                 richtext::Document::FromPlainText(control.caption)),
                             false, form.fontName, size);
          changed = true;
        }
        break;
      }
      case ControlKind::ProgressBar: {
        auto& bar = static_cast<Fl_Progress&>(widget);
        const float lo = static_cast<float>(control.min), hi = static_cast<float>(control.max);
        const float at =
            static_cast<float>(std::clamp(control.position, std::min(control.min, control.max),
                                          std::max(control.min, control.max)));
        if (bar.minimum() != lo || bar.maximum() != hi || bar.value() != at) {
          bar.minimum(lo);
          bar.maximum(hi);
          bar.value(at);
          changed = true;
        }
        break;
      }
      case ControlKind::StatusBar: {
        SetLabel(widget, control.caption);
        widget.labelfont(font);
        widget.labelsize(size);
        if (h <= 0) h = 21;
        if (w <= 0) {
          x = 0;
          y = window.h() - h;
          w = window.w();
        }
        break;
      }
      case ControlKind::Image: {
        auto& picture = static_cast<PictureWidget&>(widget);
        if (picture.resource != control.resource) {
          picture.resource = control.resource;
          picture.picture = control.resource.empty() ? nullptr : Picture(control.resource);
          changed = true;
        }
        if (picture.picture) {
          if (w <= 0) w = picture.picture->w();
          if (h <= 0) h = picture.picture->h();
        }
        break;
      }
      case ControlKind::Animation: {
        auto& animation = static_cast<AnimationWidget&>(widget);
        if (animation.resource != control.resource) {
          animation.Stop();
          animation.resource = control.resource;
          animation.strip = control.resource.empty() ? nullptr : Picture(control.resource);
          changed = true;
        }
        if (animation.strip && h <= 0) h = animation.strip->h();
        break;
      }
      case ControlKind::Panel:
        break;
      case ControlKind::Custom: {
        auto& pixels = static_cast<PixelsWidget&>(widget);
        if (pixels.pixels != control.pixels) {
          pixels.SetPixels(control.pixels);
          changed = true;
        }
        break;
      }
    }

    if (widget.x() != x || widget.y() != y || widget.w() != w || widget.h() != h) {
      if (slot.kind == ControlKind::Animation) static_cast<AnimationWidget&>(widget).Stop();
      widget.resize(x, y, w, h);
      changed = true;
    }
    const bool focusable = control.tabOrder >= 0 && control.kind != ControlKind::Label &&
                           control.kind != ControlKind::Image &&
                           control.kind != ControlKind::StatusBar;
    if ((widget.visible_focus() != 0) != focusable) {
      if (focusable)
        widget.set_visible_focus();
      else
        widget.clear_visible_focus();
    }
    if ((widget.visible() != 0) != control.visible) {
      if (control.visible) {
        widget.show();
      } else {
        if (slot.kind == ControlKind::Animation) static_cast<AnimationWidget&>(widget).Stop();
        widget.hide();
      }
      changed = true;
    }
    if ((widget.active() != 0) != control.enabled) {
      if (control.enabled)
        widget.activate();
      else
        widget.deactivate();
      changed = true;
    }
    if (slot.kind == ControlKind::Animation && control.visible && window.shown() &&
        !static_cast<AnimationWidget&>(widget).Playing() &&
        !static_cast<AnimationWidget&>(widget).unplayable) {
      XWindowAttributes attributes;
      if (XGetWindowAttributes(fl_display, fl_xid(&window), &attributes) &&
          attributes.map_state == IsViewable)
        static_cast<AnimationWidget&>(widget).Play(fl_xid(&window));
    }
    return changed;
  }

  static inline FltkBackend* instance_ = nullptr;
  std::map<WindowHandle, FormWindow*> windows_;
  std::string title_;
  bool syncingFocus_ = false;
  bool holdInput_ = false;
  std::atomic<bool> wakePending_{false};

  friend class FormWindow;
};

void FormWindow::CloseRequested() {
  backend_.CloseRequested(*this);
}

}  // namespace

std::unique_ptr<Backend> MakeDisplayBackend() {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return nullptr;
  if (!fl_display) {
    Display* display = XOpenDisplay(name);
    if (!display) return nullptr;
    fl_open_display(display);
  }
  return std::make_unique<FltkBackend>();
}

void UseDisplayIfAvailable() {
  if (auto backend = MakeDisplayBackend()) SetBackend(std::move(backend));
}

}  // namespace ui

// In sanitizer builds: the display libraries keep caches (fonts, their
// fontconfig patterns, the connection's tables) for the life of the process
// and never free them; the leak checker is told so for every program that
// shows windows.
#if defined(__SANITIZE_ADDRESS__)
#define KESTREL_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTREL_LEAK_CHECKED 1
#endif
#endif
#ifdef KESTREL_LEAK_CHECKED
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libXft.so\nleak:libX11.so\nleak:libfltk.so\n"
         "leak:libfltk_images.so\n";
}
#endif
