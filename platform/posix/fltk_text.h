// Text in the display backend: the free fonts that stand in for the
// designers' faces, and label types that draw a text as it is.
#pragma once

#include <FL/Enumerations.H>

#include <string>

namespace ui::fltk {

enum class Face { Sans, Serif, Mono, Cjk };

// The face for a designer's font name and the text drawn in it: any text
// beyond ASCII, and the Chinese faces, take the CJK font, which has Latin
// letters too.
Face FaceFor(const std::string& name, const std::string& text);
// The toolkit's font number for a face and style.
Fl_Font FontOf(Face face, bool bold = false, bool italic = false);

// "@" is no symbol in either; the second underlines the letter after "&".
inline constexpr Fl_Labeltype kPlainLabel = FL_FREE_LABELTYPE;
inline constexpr Fl_Labeltype kPrefixLabel = static_cast<Fl_Labeltype>(FL_FREE_LABELTYPE + 1);
void RegisterLabelTypes();

}  // namespace ui::fltk
