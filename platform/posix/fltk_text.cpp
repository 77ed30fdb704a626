#include "platform/posix/fltk_text.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace ui::fltk {
namespace {

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

}  // namespace

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
Fl_Font FontOf(Face face, bool bold, bool italic) {
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

namespace {

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

}  // namespace

void RegisterLabelTypes() {
  Fl::set_labeltype(kPlainLabel, DrawPlainLabel, MeasureLabel);
  Fl::set_labeltype(kPrefixLabel, DrawPrefixLabel, MeasureLabel);
}

}  // namespace ui::fltk
