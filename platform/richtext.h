// Read-only styled text for memos: paragraphs of runs that share one set of
// character attributes, and the reader that turns RTF into it.
//
// Text is UTF-8, the system code page on POSIX. Inside a run, "\n" is a line
// break within the paragraph and "\t" a tab.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace richtext {

struct Color {
  std::uint8_t red = 0, green = 0, blue = 0;
  friend bool operator==(const Color&, const Color&) = default;
};

struct CharFormat {
  bool bold = false;
  bool italic = false;
  bool underline = false;
  int halfPoints = 24;         // font size in half points (RTF's default 12 pt)
  std::optional<Color> color;  // none: the control's text colour
  std::string font;            // family name; empty: the control's font
  friend bool operator==(const CharFormat&, const CharFormat&) = default;
};

struct Run {
  std::string text;
  CharFormat format;
};

enum class Alignment { Left, Center, Right, Justify };

struct Paragraph {
  std::vector<Run> runs;
  Alignment alignment = Alignment::Left;
  // The paragraph's text without formatting.
  std::string Text() const;
};

class Document {
 public:
  std::vector<Paragraph> paragraphs;

  // Appends text in the given format to the last paragraph, joining it to
  // the last run when the formats match.
  void Append(std::string_view text, const CharFormat& format);
  // Starts a new paragraph.
  void NewParagraph(Alignment alignment = Alignment::Left);

  // Every paragraph's text, joined by "\n".
  std::string PlainText() const;
  // A document of unformatted paragraphs, one per line of the text (CR LF,
  // LF or CR end a line).
  static Document FromPlainText(std::string_view text);
};

// Reads the common RTF subset: groups, \b \i \ul \fs \cf with \colortbl, \f
// with \fonttbl, \par \line \tab, \'hh bytes in the code page of the current
// font's \fcharset or the document's \ansicpg, \uN with the \uc skip, and
// paragraph alignment. \* destinations and known non-text groups (pictures,
// objects, headers, style sheets, document information) are skipped;
// unknown control words are ignored.
//
// Never fails: junk gives the best document that can be read from it. When
// the source is not a well-formed RTF document (no "{\rtf" at the start,
// unbalanced groups, groups nested deeper than kMaxDepth) or changes format
// more than kMaxRuns times, *problem, when given, describes the first fault.
// Deeper groups take the format of the deepest kept one; past kMaxRuns, text
// and paragraph marks join the last run unformatted.
inline constexpr int kMaxDepth = 256;
inline constexpr int kMaxRuns = 100000;
Document ParseRTF(std::string_view source, std::string* problem = nullptr);

}  // namespace richtext
