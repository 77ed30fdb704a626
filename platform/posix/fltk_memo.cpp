#include "platform/posix/fltk_memo.h"

#include <FL/fl_draw.H>

#include <algorithm>
#include <cstdint>

#include "platform/posix/fltk_text.h"

namespace ui::fltk {
namespace {

bool IsWide(std::uint32_t code) {
  return (code >= 0x2E80 && code <= 0x9FFF) || (code >= 0xAC00 && code <= 0xD7AF) ||
         (code >= 0xF900 && code <= 0xFAFF) || (code >= 0xFF00 && code <= 0xFFEF) ||
         (code >= 0x3000 && code <= 0x303F);
}

// Cuts a run into the pieces a line may end after: a word with the blanks
// after it, one wide (CJK) character, a tab, or a line break ("\n").
std::vector<std::string> Tokens(const std::string& text) {
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

}  // namespace

MemoWidget::MemoWidget() : Fl_Group(0, 0, 0, 0), bar_(0, 0, 0, 0) {
  end();
  box(FL_DOWN_BOX);
  color(FL_WHITE);
  bar_.type(FL_VERTICAL);
  bar_.linesize(16);
  bar_.callback([](Fl_Widget*, void* self) { static_cast<MemoWidget*>(self)->redraw(); }, this);
  add(bar_);
}

void MemoWidget::SetDocument(std::shared_ptr<const richtext::Document> document, bool formatted,
                             std::string fontName, int fontHeight) {
  document_ = std::move(document);
  formatted_ = formatted;
  fontName_ = std::move(fontName);
  fontHeight_ = fontHeight;
  laidOutWidth_ = -1;
  redraw();
}

void MemoWidget::resize(int x, int y, int w, int h) {
  Fl_Widget::resize(x, y, w, h);
  bar_.resize(x + w - kBar - Fl::box_dx(box()), y + Fl::box_dy(box()), kBar, h - Fl::box_dh(box()));
  laidOutWidth_ = -1;
}

int MemoWidget::handle(int event) {
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

void MemoWidget::draw() {
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

void MemoWidget::ScrollBy(int step) {
  int top = static_cast<int>(bar_.value()) + step;
  top = std::clamp(top, 0, std::max(0, total_ - TextHeight()));
  bar_.value(top);
  redraw();
}

MemoWidget::Piece MemoWidget::Style(const richtext::CharFormat& format,
                                    const std::string& text) const {
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

void MemoWidget::Layout() {
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
              if (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
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

void MemoWidget::Place(Line& line, const Piece& piece) {
  fl_font(piece.font, piece.size);
  const int height = fl_height();
  const int ascent = height - fl_descent();
  const int descent = std::max(line.height - line.ascent, height - ascent);
  line.ascent = std::max(line.ascent, ascent);
  line.height = line.ascent + descent;
  line.pieces.push_back(piece);
}

void MemoWidget::Align(Line& line, richtext::Alignment alignment, int width) {
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

}  // namespace ui::fltk
