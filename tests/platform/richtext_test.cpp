#include "platform/richtext.h"

#include <gtest/gtest.h>

#include <string>

using richtext::Alignment;
using richtext::Color;
using richtext::Document;
using richtext::ParseRTF;

namespace {

// The runs of all paragraphs, in order.
std::vector<richtext::Run> Runs(const Document& document) {
  std::vector<richtext::Run> runs;
  for (const auto& paragraph : document.paragraphs)
    runs.insert(runs.end(), paragraph.runs.begin(), paragraph.runs.end());
  return runs;
}

const richtext::Run* RunWith(const Document& document, const std::string& text) {
  for (const auto& paragraph : document.paragraphs)
    for (const auto& run : paragraph.runs)
      if (run.text == text) return &run;
  return nullptr;
}

}  // namespace

TEST(RichText, CharacterFormattingFollowsGroupsAndSwitches) {
  std::string problem = "stale";
  const Document doc = ParseRTF(
      "{\\rtf1\\ansi plain {\\b bold {\\i both}} \\ul under\\ul0  after\\b0\\i  italic"
      "\\plain  reset}",
      &problem);
  EXPECT_EQ(problem, "");
  ASSERT_EQ(doc.paragraphs.size(), 1u);
  EXPECT_EQ(doc.PlainText(), "plain bold both under after italic reset");

  const richtext::Run* bold = RunWith(doc, "bold ");
  ASSERT_NE(bold, nullptr);
  EXPECT_TRUE(bold->format.bold);
  EXPECT_FALSE(bold->format.italic);
  const richtext::Run* both = RunWith(doc, "both");
  ASSERT_NE(both, nullptr);
  EXPECT_TRUE(both->format.bold && both->format.italic);
  // The group of "bold" ended, so the underline starts unbold.
  const richtext::Run* under = RunWith(doc, "under");
  ASSERT_NE(under, nullptr);
  EXPECT_TRUE(under->format.underline);
  EXPECT_FALSE(under->format.bold);
  const richtext::Run* italic = RunWith(doc, " italic");
  ASSERT_NE(italic, nullptr);
  EXPECT_TRUE(italic->format.italic);
  EXPECT_FALSE(italic->format.underline);
  const richtext::Run* reset = RunWith(doc, " reset");
  ASSERT_NE(reset, nullptr);
  EXPECT_EQ(reset->format, richtext::CharFormat{});
}

TEST(RichText, FontsColoursAndSizesComeFromTheirTables) {
  const Document doc = ParseRTF(
      "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fswiss Arial;}{\\f1\\fmodern\\fprq1 "
      "Courier New{\\*\\panose 02070309020205020404};}}"
      "{\\colortbl ;\\red255\\green0\\blue0;\\red0\\green128\\blue255;}"
      "default \\f1\\fs32\\cf2 code\\cf0\\f0\\fs20  small\\cf9  nine}");
  const richtext::Run* first = RunWith(doc, "default ");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->format.font, "Arial");
  EXPECT_EQ(first->format.halfPoints, 24);
  EXPECT_FALSE(first->format.color);

  const richtext::Run* code = RunWith(doc, "code");
  ASSERT_NE(code, nullptr);
  EXPECT_EQ(code->format.font, "Courier New");
  EXPECT_EQ(code->format.halfPoints, 32);
  ASSERT_TRUE(code->format.color);
  EXPECT_EQ(*code->format.color, (Color{0, 128, 255}));

  // \cf9 is past the table: the automatic colour, so " nine" joins the run.
  const richtext::Run* small = RunWith(doc, " small nine");
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(small->format.font, "Arial");
  EXPECT_EQ(small->format.halfPoints, 20);
  EXPECT_FALSE(small->format.color);  // \cf0 is the automatic colour
}

TEST(RichText, ParagraphsLineBreaksTabsAndAlignment) {
  const Document doc = ParseRTF(
      "{\\rtf1 one\\tab two\\line three\\par\r\n\\qc centred\\par\\pard left\\\n"
      "after\\emdash\\~end\\par}");
  ASSERT_EQ(doc.paragraphs.size(), 4u);
  EXPECT_EQ(doc.paragraphs[0].Text(), "one\ttwo\nthree");
  EXPECT_EQ(doc.paragraphs[1].Text(), "centred");
  EXPECT_EQ(doc.paragraphs[1].alignment, Alignment::Center);
  EXPECT_EQ(doc.paragraphs[2].Text(), "left");
  EXPECT_EQ(doc.paragraphs[2].alignment, Alignment::Left);
  // A backslash before a line end is a paragraph mark; the last \par adds no
  // empty paragraph.
  EXPECT_EQ(doc.paragraphs[3].Text(), "after\u2014\u00A0end");
}

TEST(RichText, HexBytesAreDecodedInTheDocumentsCodePage) {
  EXPECT_EQ(ParseRTF("{\\rtf1\\ansi\\ansicpg1252 caf\\'e9 \\'80 \\'93q\\'94}").PlainText(),
            "caf\u00e9 \u20ac \u201cq\u201d");
  // Big5: both bytes escaped, and a trail byte written as its ASCII
  // character, as writers emit it.
  EXPECT_EQ(ParseRTF("{\\rtf1\\ansi\\ansicpg950 \\'a4\\'a4\\'a4\\'e5 \\'a4@}").PlainText(),
            "\u4e2d\u6587 \u4e00");
  // A trail byte that happens to be a backslash arrives escaped.
  EXPECT_EQ(ParseRTF("{\\rtf1\\ansicpg950 \\'a5\\\\}").PlainText(), "\u529f");
}

TEST(RichText, FontCharsetOverridesTheDocumentCodePage) {
  // A Traditional Chinese font in an otherwise Western document, with its
  // name in Big5 too.
  const Document doc = ParseRTF(
      "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil Arial;}"
      "{\\f1\\fnil\\fcharset136 \\'b7\\'73\\'b2\\'d3\\'a9\\'fa\\'c5\\'e9;}}"
      "\\'e9 \\f1\\'a4\\'a4\\f0  \\'e9}");
  EXPECT_EQ(doc.PlainText(), "\u00e9 \u4e2d \u00e9");
  const richtext::Run* chinese = RunWith(doc, "\u4e2d");
  ASSERT_NE(chinese, nullptr);
  EXPECT_EQ(chinese->format.font, "\u65b0\u7d30\u660e\u9ad4");
}

TEST(RichText, UnicodeEscapesSkipTheirFallback) {
  EXPECT_EQ(ParseRTF("{\\rtf1 a\\u20013?b}").PlainText(), "a\u4e2db");
  // \uc2 with a two-byte fallback, and \uc0 with none; the \uc value
  // belongs to its group.
  EXPECT_EQ(ParseRTF("{\\rtf1 {\\uc2\\u20013\\'a4\\'a4x}\\u25991?y\\uc0\\u25991 z}").PlainText(),
            "\u4e2dx\u6587y\u6587z");
  // Negative values count from 65536; a surrogate pair makes one character.
  EXPECT_EQ(ParseRTF("{\\rtf1 \\u-3?\\u-10179?\\u-8704?}").PlainText(), "\ufffd\U0001F600");
  // A lone surrogate is no character.
  EXPECT_EQ(ParseRTF("{\\rtf1 \\u-10179?x}").PlainText(), "\ufffdx");
}

TEST(RichText, NonTextGroupsAreSkippedAndUnknownWordsIgnored) {
  const Document doc = ParseRTF(
      "{\\rtf1{\\*\\generator Writer 1.0;}{\\info{\\title Secret}{\\author Me}}"
      "{\\stylesheet{\\s0 Normal;}}{\\*\\unknowndest hidden {nested}}"
      "{\\pict\\pngblip\\bin4 {}\\ 89ab}"
      "visible\\frobnicate42  text {\\field{\\*\\fldinst HYPERLINK \"http://x\"}"
      "{\\fldrslt link}} {\\header head}done \\{\\}\\\\}");
  EXPECT_EQ(doc.PlainText(), "visible text link done {}\\");
}

TEST(RichText, MalformedInputIsReadAsFarAsItGoesAndNamed) {
  std::string problem;
  EXPECT_EQ(ParseRTF("just text", &problem).PlainText(), "just text");
  EXPECT_NE(problem, "");

  EXPECT_EQ(ParseRTF("{\\rtf1 open {\\b group", &problem).PlainText(), "open group");
  EXPECT_NE(problem.find("open group"), std::string::npos) << problem;

  EXPECT_EQ(ParseRTF("{\\rtf1 a}} b", &problem).PlainText(), "a");
  EXPECT_NE(problem, "");

  // Broken escapes, a number too large for any field, \bin past the end.
  EXPECT_EQ(
      ParseRTF("{\\rtf1 \\'zz\\fs99999999999999999999 x\\cf-5\\uc-3 \\u99999999999 \\").PlainText(),
      "zzx\uffff");
  EXPECT_EQ(ParseRTF("{\\rtf1 x\\bin999999999 {}}").PlainText(), "x");
}

TEST(RichText, DeepNestingIsBoundedAndStillReadsTheText) {
  std::string source = "{\\rtf1 ";
  for (int i = 0; i < 100000; ++i) source += "{\\b ";
  source += "deep";
  for (int i = 0; i < 100000; ++i) source += "}";
  source += " shallow}";
  std::string problem;
  const Document doc = ParseRTF(source, &problem);
  EXPECT_EQ(doc.PlainText(), "deep shallow");
  EXPECT_NE(problem.find("nested deeper"), std::string::npos) << problem;
  const richtext::Run* shallow = RunWith(doc, " shallow");
  ASSERT_NE(shallow, nullptr);
  EXPECT_FALSE(shallow->format.bold);
}

TEST(RichText, AFloodOfFormattingKeepsItsTextButNotItsRuns) {
  std::string source = "{\\rtf1 ";
  std::string expected;
  for (int i = 0; i < richtext::kMaxRuns; ++i) {
    source += "\\b a\\b0 b\\par ";
    expected += "ab\n";
  }
  source += "}";
  std::string problem;
  const Document doc = ParseRTF(source, &problem);
  std::size_t items = doc.paragraphs.size() + Runs(doc).size();
  EXPECT_LE(items, static_cast<std::size_t>(richtext::kMaxRuns) + 2);
  EXPECT_NE(problem.find("format too often"), std::string::npos) << problem;
  // Past the limit paragraph marks become line breaks (so the last one
  // stays); nothing is lost. Compared as a whole, without a diff of the two
  // long texts.
  EXPECT_TRUE(doc.PlainText() == expected);
}

TEST(RichText, PlainTextDocumentsKeepTheirLines) {
  const Document doc = Document::FromPlainText("one\r\ntwo\nthree\rfour\n");
  ASSERT_EQ(doc.paragraphs.size(), 4u);
  EXPECT_EQ(doc.PlainText(), "one\ntwo\nthree\nfour");
  EXPECT_EQ(Runs(doc).size(), 4u);
  EXPECT_TRUE(Document::FromPlainText("").PlainText().empty());
}
