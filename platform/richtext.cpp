// Styled text and the RTF reader.
//
// The reader keeps one state per open group on an explicit stack (never
// recursion), so nesting costs memory only up to kMaxDepth; deeper groups are
// read with the state of the deepest kept one. Text bytes, from plain text
// and from \'hh, are gathered and decoded together when anything else comes,
// so the two bytes of a double-byte character may arrive in any mix of the
// two forms, as RTF writers emit them.
#include "platform/richtext.h"

#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <set>

#include "platform/codepage.h"

namespace richtext {

// ---- The model ------------------------------------------------------------------

std::string Paragraph::Text() const {
  std::string text;
  for (const Run& run : runs) text += run.text;
  return text;
}

void Document::Append(std::string_view text, const CharFormat& format) {
  if (text.empty()) return;
  if (paragraphs.empty()) paragraphs.emplace_back();
  std::vector<Run>& runs = paragraphs.back().runs;
  if (!runs.empty() && runs.back().format == format) {
    runs.back().text.append(text);
  } else {
    runs.push_back(Run{std::string(text), format});
  }
}

void Document::NewParagraph(Alignment alignment) {
  if (paragraphs.empty()) paragraphs.emplace_back();
  paragraphs.emplace_back();
  paragraphs.back().alignment = alignment;
}

std::string Document::PlainText() const {
  std::string text;
  for (std::size_t i = 0; i < paragraphs.size(); ++i) {
    if (i > 0) text += '\n';
    text += paragraphs[i].Text();
  }
  return text;
}

Document Document::FromPlainText(std::string_view text) {
  Document document;
  const CharFormat plain;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != '\r' && text[i] != '\n') continue;
    if (i == text.size() && start == i && !document.paragraphs.empty()) break;
    document.paragraphs.emplace_back();
    document.Append(text.substr(start, i - start), plain);
    if (i + 1 < text.size() && text[i] == '\r' && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  return document;
}

// ---- Code pages -------------------------------------------------------------------

namespace {

constexpr int kDefaultCodePage = 1252;

// The code page a font's \fcharset stands for; 0 for "the document's".
int CodePageOfCharset(int charset) {
  switch (charset) {
    case 77:
      return 10000;
    case 128:
      return 932;
    case 129:
      return 949;
    case 134:
      return 936;
    case 136:
      return 950;
    case 161:
      return 1253;
    case 162:
      return 1254;
    case 163:
      return 1258;
    case 177:
      return 1255;
    case 178:
      return 1256;
    case 186:
      return 1257;
    case 204:
      return 1251;
    case 222:
      return 874;
    case 238:
      return 1250;
    case 254:
      return 437;
    case 255:
      return 850;
    default:
      return 0;
  }
}

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

constexpr std::uint32_t kReplacement = 0xFFFD;

// Bytes of the document in its code page as UTF-8. A code page the system
// cannot convert is read as cp1252; should that be missing too, each byte
// past ASCII stands for U+FFFD.
std::string Decode(int codePage, std::string_view bytes) {
  if (std::all_of(bytes.begin(), bytes.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    return std::string(bytes);
  for (int page : {codePage, kDefaultCodePage})
    if (auto text = codepage::ToUtf8(static_cast<unsigned>(page), bytes)) return *text;
  std::string out;
  for (char c : bytes)
    AppendUtf8(out,
               static_cast<unsigned char>(c) < 0x80 ? static_cast<unsigned char>(c) : kReplacement);
  return out;
}

// ---- The reader ---------------------------------------------------------------------

enum class Destination { Text, Skip, FontTable, ColorTable };

struct GroupState {
  Destination destination = Destination::Text;
  CharFormat format;  // font name filled in when text is added
  int font = -1;      // \f index, -1 for the document's default font
  int skipAfterUnicode = 1;
  Alignment alignment = Alignment::Left;
};

struct Font {
  std::string name;
  int codePage = 0;  // 0: the document's
};

// Groups whose content is not document text, besides \* destinations.
const std::set<std::string_view>& SkippedDestinations() {
  static const std::set<std::string_view> names = {"annotation",
                                                   "atnauthor",
                                                   "atnid",
                                                   "author",
                                                   "buptim",
                                                   "colorschememapping",
                                                   "comment",
                                                   "company",
                                                   "creatim",
                                                   "datastore",
                                                   "doccomm",
                                                   "docvar",
                                                   "falt",
                                                   "fldinst",
                                                   "filetbl",
                                                   "footer",
                                                   "footerf",
                                                   "footerl",
                                                   "footerr",
                                                   "footnote",
                                                   "generator",
                                                   "header",
                                                   "headerf",
                                                   "headerl",
                                                   "headerr",
                                                   "info",
                                                   "keywords",
                                                   "latentstyles",
                                                   "listoverridetable",
                                                   "listtable",
                                                   "mmathPr",
                                                   "nonshppict",
                                                   "object",
                                                   "objdata",
                                                   "operator",
                                                   "panose",
                                                   "pgdsctbl",
                                                   "pict",
                                                   "pn",
                                                   "printim",
                                                   "private",
                                                   "revtbl",
                                                   "revtim",
                                                   "rsidtbl",
                                                   "stylesheet",
                                                   "subject",
                                                   "tc",
                                                   "themedata",
                                                   "title",
                                                   "txe",
                                                   "xe",
                                                   "xmlnstbl"};
  return names;
}

// Control words that stand for one character.
std::uint32_t SpecialCharacter(std::string_view word) {
  if (word == "emdash") return 0x2014;
  if (word == "endash") return 0x2013;
  if (word == "bullet") return 0x2022;
  if (word == "lquote") return 0x2018;
  if (word == "rquote") return 0x2019;
  if (word == "ldblquote") return 0x201C;
  if (word == "rdblquote") return 0x201D;
  if (word == "emspace") return 0x2003;
  if (word == "enspace") return 0x2002;
  if (word == "qmspace") return 0x2005;
  return 0;
}

class Reader {
 public:
  Reader(std::string_view source, std::string* problem) : src_(source), problem_(problem) {}

  Document Read() {
    std::size_t start = 0;
    while (start < src_.size() && IsBlank(src_[start])) ++start;
    if (src_.substr(start, 5) != "{\\rtf") Problem("the text does not begin with {\\rtf");
    pos_ = start;
    stack_.push_back(GroupState{});
    const bool grouped = pos_ < src_.size() && src_[pos_] == '{';

    while (pos_ < src_.size()) {
      const char c = src_[pos_++];
      if (c == '{') {
        OpenGroup();
      } else if (c == '}') {
        if (!CloseGroup()) continue;
        if (grouped && depth_ == 0) break;  // the document's own group ended
      } else if (c == '\\') {
        Control();
      } else if (c == '\r' || c == '\n') {
        // Line ends of the source are not text.
      } else {
        Byte(c);
      }
    }
    Flush();
    DropSurrogate();
    CommitFont();
    if (depth_ > 0) Problem("the text ends inside an open group");
    if (grouped && depth_ == 0) {
      while (pos_ < src_.size() && (IsBlank(src_[pos_]) || src_[pos_] == '\0')) ++pos_;
      if (pos_ < src_.size()) Problem("text follows the end of the document");
    }
    // A document that ends with \par has an empty last paragraph that shows
    // as nothing but a blank line; it is not kept.
    if (doc_.paragraphs.size() > 1 && doc_.paragraphs.back().runs.empty())
      doc_.paragraphs.pop_back();
    return std::move(doc_);
  }

 private:
  static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
  static bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
  static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  void Problem(std::string_view text) {
    if (problem_ && problem_->empty()) *problem_ = text;
  }

  GroupState& State() { return stack_.back(); }

  void OpenGroup() {
    Flush();
    skip_ = 0;
    ++depth_;
    if (static_cast<int>(stack_.size()) > kMaxDepth) {
      if (problem_ && problem_->empty())
        *problem_ = "groups are nested deeper than " + std::to_string(kMaxDepth);
      return;
    }
    stack_.push_back(stack_.back());
  }

  // False for a "}" that closes no group.
  bool CloseGroup() {
    Flush();
    skip_ = 0;
    if (depth_ == 0) {
      Problem("a group is closed that was never opened");
      return false;
    }
    const Destination closing = State().destination;
    if (depth_ < stack_.size()) {
      stack_.pop_back();
      if (closing == Destination::FontTable) CommitFont();
    }
    --depth_;
    return true;
  }

  // One byte of text, or a character that a control symbol stands for.
  void Byte(char c) {
    if (skip_ > 0) {
      --skip_;
      return;
    }
    switch (State().destination) {
      case Destination::Text:
        // Control characters of the source are not text; a tab is.
        if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') pending_ += c;
        break;
      case Destination::FontTable:
        if (c == ';') {
          CommitFont();
        } else if (fontName_.size() < 256) {
          fontName_ += c;
        }
        break;
      case Destination::ColorTable:
        if (c == ';') {
          colors_.push_back(colorSet_ ? std::optional<Color>(color_) : std::nullopt);
          color_ = Color{};
          colorSet_ = false;
        }
        break;
      case Destination::Skip:
        break;
    }
  }

  void Control() {
    if (pos_ >= src_.size()) return;
    const char c = src_[pos_];
    if (IsLetter(c)) {
      ControlWord();
      return;
    }
    ++pos_;
    if (c == '\'') {
      const int high = pos_ < src_.size() ? HexValue(src_[pos_]) : -1;
      const int low = pos_ + 1 < src_.size() ? HexValue(src_[pos_ + 1]) : -1;
      if (high < 0 || low < 0) return;  // a broken escape stands for nothing
      pos_ += 2;
      Byte(static_cast<char>(high * 16 + low));
      return;
    }
    if (c == '\\' || c == '{' || c == '}') {
      Byte(c);
      return;
    }
    if (skip_ > 0) {
      --skip_;
      return;
    }
    switch (c) {
      case '*':
        // An ignorable destination: none of them carries text this reader
        // shows.
        Flush();
        State().destination = Destination::Skip;
        break;
      case '~':
        Character(0x00A0);
        break;
      case '_':
        Character(0x2011);
        break;
      case '\r':
      case '\n':
        Word("par", false, 0);
        break;
      default:
        break;  // \- optional hyphen, \: index entry, \| formula and others
    }
  }

  void ControlWord() {
    // Letters (RTF allows 32) and an optional signed number; longer runs are
    // read whole but cut, so junk never grows memory.
    std::string word;
    while (pos_ < src_.size() && IsLetter(src_[pos_])) {
      if (word.size() < 32) word += src_[pos_];
      ++pos_;
    }
    bool hasParam = false;
    bool negative = false;
    long long value = 0;
    if (pos_ < src_.size() && src_[pos_] == '-' && pos_ + 1 < src_.size() &&
        IsDigit(src_[pos_ + 1])) {
      negative = true;
      ++pos_;
    }
    while (pos_ < src_.size() && IsDigit(src_[pos_])) {
      hasParam = true;
      if (value < 100000000000LL) value = value * 10 + (src_[pos_] - '0');
      ++pos_;
    }
    if (pos_ < src_.size() && src_[pos_] == ' ') ++pos_;
    if (negative) value = -value;
    value = std::clamp<long long>(value, INT_MIN, INT_MAX);
    const int param = static_cast<int>(value);

    if (word == "bin") {
      // Raw bytes follow; they may hold braces and backslashes.
      Flush();
      const std::size_t count = hasParam && param > 0 ? static_cast<std::size_t>(param) : 0;
      pos_ += std::min(count, src_.size() - pos_);
      return;
    }
    if (skip_ > 0) {
      --skip_;
      return;
    }
    Word(word, hasParam, param);
  }

  void Word(std::string_view word, bool hasParam, int param) {
    Flush();
    GroupState& state = State();
    if (state.destination == Destination::Skip) return;

    if (state.destination == Destination::FontTable) {
      if (word == "f") {
        CommitFont();
        fontIndex_ = param;
        fontName_.clear();
        fontCharsetPage_ = 0;
        fontCodePage_ = 0;
        inFont_ = true;
      } else if (word == "fcharset") {
        fontCharsetPage_ = CodePageOfCharset(param);
      } else if (word == "cpg") {
        fontCodePage_ = param;
      } else if (SkippedDestinations().count(word)) {
        state.destination = Destination::Skip;
      }
      return;
    }
    if (state.destination == Destination::ColorTable) {
      const auto level = static_cast<std::uint8_t>(std::clamp(param, 0, 255));
      if (word == "red") {
        color_.red = level;
      } else if (word == "green") {
        color_.green = level;
      } else if (word == "blue") {
        color_.blue = level;
      } else {
        return;
      }
      colorSet_ = true;
      return;
    }

    // Document text.
    const bool on = !hasParam || param != 0;
    if (word == "par" || word == "sect" || word == "page" || word == "row") {
      EndParagraph();
    } else if (word == "line") {
      Text("\n");
    } else if (word == "tab" || word == "cell") {
      Text("\t");
    } else if (std::uint32_t code = SpecialCharacter(word)) {
      Character(code);
    } else if (word == "u") {
      if (State().destination == Destination::Text) Unicode(param);
      skip_ = state.skipAfterUnicode;
    } else if (word == "uc") {
      state.skipAfterUnicode = std::clamp(param, 0, 16);
    } else if (word == "b") {
      state.format.bold = on;
    } else if (word == "i") {
      state.format.italic = on;
    } else if (word == "ul" || word == "ulw" || word == "uld" || word == "uldb" ||
               word == "uldash" || word == "ulth" || word == "ulwave") {
      state.format.underline = on;
    } else if (word == "ulnone") {
      state.format.underline = false;
    } else if (word == "fs") {
      state.format.halfPoints = hasParam && param > 0 ? std::min(param, 3276) : 24;
    } else if (word == "cf") {
      state.format.color =
          hasParam && param >= 0 && static_cast<std::size_t>(param) < colors_.size()
              ? colors_[static_cast<std::size_t>(param)]
              : std::nullopt;
    } else if (word == "f") {
      state.font = param;
    } else if (word == "plain") {
      state.format = CharFormat{};
      state.font = -1;
    } else if (word == "pard") {
      state.alignment = Alignment::Left;
    } else if (word == "ql") {
      state.alignment = Alignment::Left;
    } else if (word == "qc") {
      state.alignment = Alignment::Center;
    } else if (word == "qr") {
      state.alignment = Alignment::Right;
    } else if (word == "qj") {
      state.alignment = Alignment::Justify;
    } else if (word == "ansicpg") {
      codePage_ = param;
    } else if (word == "mac") {
      codePage_ = 10000;
    } else if (word == "pc") {
      codePage_ = 437;
    } else if (word == "pca") {
      codePage_ = 850;
    } else if (word == "deff") {
      defaultFont_ = param;
    } else if (word == "fonttbl") {
      state.destination = Destination::FontTable;
      inFont_ = false;
      fontName_.clear();
    } else if (word == "colortbl") {
      state.destination = Destination::ColorTable;
      colors_.clear();
      color_ = Color{};
      colorSet_ = false;
    } else if (SkippedDestinations().count(word)) {
      state.destination = Destination::Skip;
    }
    // Any other word is a formatting this reader does not show.
  }

  int CodePage() const {
    const int index = stack_.back().font >= 0 ? stack_.back().font : defaultFont_;
    auto found = fonts_.find(index);
    if (found != fonts_.end() && found->second.codePage != 0) return found->second.codePage;
    return codePage_;
  }

  std::string FontName() const {
    const int index = stack_.back().font >= 0 ? stack_.back().font : defaultFont_;
    auto found = fonts_.find(index);
    return found != fonts_.end() ? found->second.name : std::string();
  }

  // Adds decoded text in the current format. Past kMaxRuns runs and
  // paragraphs, text joins the last run whatever its format, so a flood of
  // formatting costs no more memory than its text.
  void Text(std::string_view text) {
    if (text.empty()) return;
    CharFormat format = State().format;
    format.font = FontName();
    if (doc_.paragraphs.empty()) doc_.paragraphs.emplace_back();
    Paragraph& paragraph = doc_.paragraphs.back();
    if (paragraph.runs.empty() || !(paragraph.runs.back().format == format)) {
      if (items_ < kMaxRuns) {
        ++items_;
        paragraph.alignment = State().alignment;
      } else if (!paragraph.runs.empty()) {
        Problem("the text changes its format too often; the rest is not formatted");
        format = paragraph.runs.back().format;
      }
    }
    doc_.Append(text, format);
  }

  void Character(std::uint32_t code) {
    if (State().destination != Destination::Text) return;
    Flush();
    DropSurrogate();
    Emit(code);
  }

  void Emit(std::uint32_t code) {
    std::string text;
    AppendUtf8(text, code);
    Text(text);
  }

  // A high surrogate that no low one followed stands for nothing readable.
  void DropSurrogate() {
    if (!highSurrogate_) return;
    highSurrogate_ = 0;
    Emit(kReplacement);
  }

  void Unicode(int param) {
    std::uint32_t code = static_cast<std::uint32_t>(param < 0 ? param + 65536 : param) & 0xFFFF;
    if (code >= 0xDC00 && code <= 0xDFFF && highSurrogate_) {
      Emit(0x10000 + ((highSurrogate_ - 0xD800) << 10) + (code - 0xDC00));
      highSurrogate_ = 0;
      return;
    }
    DropSurrogate();
    if (code >= 0xD800 && code <= 0xDBFF) {
      highSurrogate_ = code;
    } else {
      Emit(code >= 0xDC00 && code <= 0xDFFF ? kReplacement : code);
    }
  }

  void EndParagraph() {
    if (items_ >= kMaxRuns) {
      Text("\n");
      return;
    }
    ++items_;
    if (doc_.paragraphs.empty()) doc_.paragraphs.emplace_back();
    doc_.paragraphs.back().alignment = State().alignment;
    doc_.NewParagraph(State().alignment);
  }

  // Decodes the gathered bytes into the document.
  void Flush() {
    if (pending_.empty()) return;
    DropSurrogate();
    std::string bytes;
    bytes.swap(pending_);
    Text(Decode(CodePage(), bytes));
  }

  void CommitFont() {
    if (!inFont_) return;
    inFont_ = false;
    std::string name = fontName_;
    fontName_.clear();
    while (!name.empty() && IsBlank(name.back())) name.pop_back();
    std::size_t first = name.find_first_not_of(" \t");
    name = first == std::string::npos ? "" : name.substr(first);
    Font font;
    font.codePage = fontCodePage_ ? fontCodePage_ : fontCharsetPage_;
    font.name = Decode(font.codePage ? font.codePage : codePage_, name);
    fonts_[fontIndex_] = std::move(font);
  }

  std::string_view src_;
  std::string* problem_;
  std::size_t pos_ = 0;
  Document doc_;

  std::vector<GroupState> stack_;
  std::size_t depth_ = 0;  // open groups, also those deeper than the kept states
  int skip_ = 0;           // characters still to skip after \u
  int items_ = 0;          // runs and paragraphs made so far
  std::string pending_;
  std::uint32_t highSurrogate_ = 0;

  int codePage_ = kDefaultCodePage;
  int defaultFont_ = -1;
  std::map<int, Font> fonts_;
  bool inFont_ = false;
  int fontIndex_ = 0;
  int fontCharsetPage_ = 0;
  int fontCodePage_ = 0;
  std::string fontName_;

  std::vector<std::optional<Color>> colors_;
  Color color_;
  bool colorSet_ = false;
};

}  // namespace

Document ParseRTF(std::string_view source, std::string* problem) {
  if (problem) problem->clear();
  return Reader(source, problem).Read();
}

}  // namespace richtext
