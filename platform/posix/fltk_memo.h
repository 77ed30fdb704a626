// The rich-text memo of the display backend.
#pragma once

#include <FL/Fl.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Scrollbar.H>

#include <memory>
#include <string>
#include <vector>

#include "platform/richtext.h"

namespace ui::fltk {

// A read-only, word-wrapping text with a vertical scroll bar, formatted by
// runs (bold, italic, underline, size, colour, face, paragraph alignment).
class MemoWidget : public Fl_Group {
 public:
  MemoWidget();
  // The document shown, and the form font used where the document names no
  // size (plain text).
  void SetDocument(std::shared_ptr<const richtext::Document> document, bool formatted,
                   std::string fontName, int fontHeight);
  const richtext::Document* Document() const { return document_.get(); }

  void resize(int x, int y, int w, int h) override;
  int handle(int event) override;
  void draw() override;

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
  void ScrollBy(int step);
  // A run's look: its face, size and colour, or the form's where it has none.
  Piece Style(const richtext::CharFormat& format, const std::string& text) const;
  void Layout();
  static void Place(Line& line, const Piece& piece);
  static void Align(Line& line, richtext::Alignment alignment, int width);

  Fl_Scrollbar bar_;
  std::shared_ptr<const richtext::Document> document_;
  bool formatted_ = false;
  std::string fontName_;
  int fontHeight_ = 11;
  int laidOutWidth_ = -1;
  int total_ = 0;
  std::vector<Line> lines_;
};

}  // namespace ui::fltk
