// The what's-new and licence texts: fetched from a loopback server or a
// local file as the control file says, handed to the owner or shown in the
// component's windows by their opposite rules, and answered through the
// scripted user interface.
#include <sstream>

#include "platform/richtext.h"
#include "resources/messages.h"
#include "transfer_support.h"
#include "update/textforms.h"

using testing_support::WriteFile;
using transfer_testing::TransferTest;

namespace {

TMemoryStream StreamOf(const std::string& text) {
  return TMemoryStream(text, std::ios::in | std::ios::out | std::ios::binary);
}

const char kRtf[] =
    "{\\rtf1\\ansi\\ansicpg950{\\fonttbl{\\f0 Arial;}}"
    "{\\colortbl ;\\red255\\green0\\blue0;}"
    "\\b New\\b0  in \\cf1 2.0\\cf0 :\\par \\'b7\\'73\\'a5\\'5c\\'af\\'e0\\par}";

class TextsTest : public TransferTest {
 protected:
  TextsTest() {
    controlFile_ = home_.Path("control.txt");
    updater_.localControlFile_ = controlFile_;
  }
  void Control(const std::string& text) { WriteFile(controlFile_, text); }

  // Answers the next modal form with a script, remembering what it showed.
  void Answer(std::function<void(ui::Form&)> script) {
    backend_->onModal = [this, script](ui::Form& form) {
      ++modalForms_;
      script(form);
    };
  }

  std::string controlFile_;
  int modalForms_ = 0;
};

}  // namespace

TEST(IsRTFStream, ReadsTheFirstFiveBytesInAnyCaseAndRewinds) {
  for (const char* rtf : {"{\\rtf1 x}", "{\\RtF", "{\\RTF1\\ansi"}) {
    TMemoryStream stream = StreamOf(rtf);
    stream.seekg(3);
    EXPECT_TRUE(TUpdater::IsRTFStream(stream)) << rtf;
    EXPECT_EQ(stream.tellg(), 0);
  }
  for (const char* plain : {"", "{\\rt", " {\\rtf1", "{\\rtx", "Plain text"}) {
    TMemoryStream stream = StreamOf(plain);
    EXPECT_FALSE(TUpdater::IsRTFStream(stream)) << plain;
    EXPECT_EQ(stream.tellg(), 0);
  }
}

// ---- Fetching ----------------------------------------------------------------------

TEST_F(TextsTest, WhatsNewIsFetchedFromTheLanguageSectionAfterTheHandler) {
  Serve("news-nl.txt", "Nieuw\r\nin 2.0\r\n");
  Serve("moved.txt", "Moved text\n");
  Control("[whatsnew]\nfile=" + Http().Url("wrong.txt") +
          "\n[whatsnewNL]\nfile=" + Http().Url("news-nl.txt") + "\n");
  updater_.LanguageID = "NL";
  ASSERT_EQ(updater_.OpenConnection(), 0);

  std::vector<std::string> seen;
  updater_.OnBeforeFileDownload = [&](TUpdater*, int index, const std::string& description,
                                      std::string& url) {
    seen.push_back(std::to_string(index) + " " + description + " " + url);
  };
  auto stream = updater_.FetchWhatsNewStream();
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->str(), "Nieuw\r\nin 2.0\r\n");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], "0 " + Http().Url("news-nl.txt") + " " + Http().Url("news-nl.txt"));
  // Found, then the transfer's own report; the fetched copy is gone.
  const std::vector<int> ids = updater_.Ids();
  ASSERT_GE(ids.size(), 2u);
  EXPECT_EQ(ids[0], msg::kFoundWhatsNew);
  EXPECT_EQ(updater_.reports[0].status, 12);
  EXPECT_EQ(ids[1], msg::kDownload);
  EXPECT_FALSE(std::filesystem::exists(TempFolder() + "news-nl.txt"));

  // The handler may send the fetch elsewhere; the string-list form splits
  // the lines.
  updater_.OnBeforeFileDownload = [&](TUpdater*, int, const std::string&, std::string& url) {
    url = Http().Url("moved.txt");
  };
  auto lines = updater_.FetchWhatsNewText();
  ASSERT_NE(lines, nullptr);
  EXPECT_EQ(*lines, TStrings{"Moved text"});
}

TEST_F(TextsTest, LicenceIsFetchedWithoutTheHandlerAndWithItsOwnReport) {
  Serve("eula.rtf", kRtf);
  Control("[eula]\nfile=" + Http().Url("eula.rtf") + "\n");
  ASSERT_EQ(updater_.OpenConnection(), 0);
  bool asked = false;
  updater_.OnBeforeFileDownload = [&](TUpdater*, int, const std::string&, std::string&) {
    asked = true;
  };
  auto stream = updater_.FetchEULAStream();
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->str(), kRtf);
  EXPECT_FALSE(asked);
  ASSERT_FALSE(updater_.reports.empty());
  EXPECT_EQ(updater_.reports[0].id, msg::kFoundLicense);
  EXPECT_EQ(updater_.reports[0].status, 13);
  EXPECT_EQ(updater_.reports[0].error, 0);

  auto lines = updater_.FetchEULAText();
  ASSERT_NE(lines, nullptr);
  EXPECT_EQ(lines->size(), 1u);
}

TEST_F(TextsTest, NoLocationOrAFailedFetchGivesNothing) {
  // The suffixed section alone counts when a LanguageID is set, and an
  // empty LanguageID reads the plain sections only.
  Control("[whatsnewNL]\nfile=" + Http().Url("news.txt") +
          "\n[eula]\nfile=" + Http().Url("missing.txt") + "\n");
  ASSERT_EQ(updater_.OpenConnection(), 0);
  EXPECT_EQ(updater_.FetchWhatsNewStream(), nullptr);
  EXPECT_EQ(updater_.FetchWhatsNewText(), nullptr);
  EXPECT_TRUE(updater_.reports.empty());

  EXPECT_EQ(updater_.FetchEULAStream(), nullptr);
  EXPECT_NE(updater_.Find(msg::kFoundLicense), nullptr);
  EXPECT_NE(updater_.Find(msg::kHttpStatus),
            nullptr);  // the server's 404, reported by the transfer
}

TEST_F(TextsTest, TextsComeFromLocalFilesInAFileUpdate) {
  updater_.UpdateType = fileUpdate;
  WriteFile(home_.Path("news.txt"), "Local news");
  Control("[whatsnew]\nfile=" + home_.Path("news.txt") + "\n");
  ASSERT_EQ(updater_.OpenConnection(), 0);
  auto stream = updater_.FetchWhatsNewStream();
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->str(), "Local news");
  EXPECT_TRUE(std::filesystem::exists(home_.Path("news.txt")));
}

// ---- The what's-new window and its handler --------------------------------------

TEST_F(TextsTest, PlainWhatsNewGoesToTheHandlerWhichDecides) {
  std::vector<TStrings> texts;
  int answer = 1;
  updater_.OnDownloadedWhatsNew = [&](TUpdater* sender, const TStrings& text, int& res) {
    EXPECT_EQ(sender, &updater_);
    EXPECT_EQ(res, 1);
    texts.push_back(text);
    res = answer;
  };
  TMemoryStream stream = StreamOf("line 1\r\nline 2\n");
  EXPECT_EQ(updater_.ShowWhatsNew(stream), 0);
  answer = 0;
  EXPECT_EQ(updater_.ShowWhatsNew(stream), -1);
  answer = 2;
  EXPECT_EQ(updater_.ShowWhatsNew(stream), -1);
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], (TStrings{"line 1", "line 2"}));
  EXPECT_TRUE(backend_->shownForms.empty());
  EXPECT_EQ(updater_.Find(msg::kWhatsNewNotAccepted), nullptr);
}

TEST_F(TextsTest, RtfWhatsNewIsShownFormattedEvenWithAHandler) {
  bool handled = false;
  updater_.OnDownloadedWhatsNew = [&](TUpdater*, const TStrings&, int&) { handled = true; };
  Control("[whatsnew]\ncaption=\nokbtn=Weiter\n");
  Answer([&](ui::Form& form) {
    auto* window = dynamic_cast<TFormWhatsNew*>(&form);
    ASSERT_NE(window, nullptr);
    // A present but empty caption still gives the default one.
    EXPECT_EQ(window->caption, "What's new");
    EXPECT_EQ(window->OkButton().caption, "Weiter");
    EXPECT_EQ(window->CancelButton().caption, "Cancel");
    const ui::Control& text = window->TextControl();
    ASSERT_NE(text.richText, nullptr);
    EXPECT_EQ(text.caption, "New in 2.0:\n\u65b0\u529f\u80fd");
    const auto& runs = text.richText->paragraphs.at(0).runs;
    ASSERT_GE(runs.size(), 3u);
    EXPECT_TRUE(runs[0].format.bold);
    EXPECT_EQ(runs[0].text, "New");
    EXPECT_TRUE(runs[2].format.color.has_value());
    ui::Click(form, window->OkButton());
  });
  TMemoryStream stream = StreamOf(kRtf);
  EXPECT_EQ(updater_.ShowWhatsNew(stream), 0);
  EXPECT_FALSE(handled);
  EXPECT_EQ(modalForms_, 1);
}

TEST_F(TextsTest, WhatsNewWindowLayoutAndLabels) {
  // No control file at all: every label has its default.
  Answer([&](ui::Form& form) {
    auto& window = dynamic_cast<TFormWhatsNew&>(form);
    EXPECT_EQ(window.caption, "What's new");
    EXPECT_EQ(window.width, 400);
    EXPECT_EQ(window.height, 400);
    EXPECT_EQ(window.borderStyle, ui::BorderStyle::Dialog);
    EXPECT_EQ(window.position, ui::FormPosition::ScreenCenter);
    EXPECT_TRUE(window.borderIcons);

    const ui::Control& text = window.TextControl();
    EXPECT_EQ(text.kind, ui::ControlKind::Memo);
    EXPECT_EQ(text.richText, nullptr);
    EXPECT_EQ(text.caption, "Plain\nnews");
    EXPECT_EQ(text.left, 10);
    EXPECT_EQ(text.top, 10);
    EXPECT_EQ(text.width, window.ClientWidth() - 20);
    EXPECT_EQ(text.height, window.ClientHeight() - 60);

    const ui::Control& ok = window.OkButton();
    const ui::Control& cancel = window.CancelButton();
    const int row = text.top + text.height + 10;
    EXPECT_EQ(ok.caption, "Ok");
    EXPECT_EQ(ok.top, row);
    EXPECT_EQ(ok.left, text.left + text.width - 2 * ok.width - 10);
    EXPECT_EQ(ok.modalResult, ui::IDOK);
    EXPECT_EQ(ok.tabOrder, 0);
    EXPECT_EQ(cancel.caption, "Cancel");
    EXPECT_EQ(cancel.top, row);
    EXPECT_EQ(cancel.left, text.left + text.width - cancel.width);
    EXPECT_EQ(cancel.modalResult, ui::IDCANCEL);
    EXPECT_EQ(cancel.tabOrder, 1);
    // The buttons stay inside the client area.
    EXPECT_LE(cancel.left + cancel.width, window.ClientWidth());
    EXPECT_LE(ok.top + ok.height, window.ClientHeight());
    ui::Click(form, window.OkButton());
  });
  TMemoryStream stream = StreamOf("Plain\r\nnews\r\n");
  EXPECT_EQ(updater_.ShowWhatsNew(stream), 0);
  EXPECT_EQ(backend_->shownForms, std::vector<std::string>{"TFormWhatsNew"});
}

TEST_F(TextsTest, WhatsNewRefusedByCancelOrCloseBoxIsReported) {
  Control("[whatsnew]\ncaption=News\ncancelbtn=Nein\n");
  Answer([](ui::Form& form) {
    auto& window = dynamic_cast<TFormWhatsNew&>(form);
    EXPECT_EQ(window.caption, "News");
    EXPECT_EQ(window.CancelButton().caption, "Nein");
    ui::Click(form, window.CancelButton());
  });
  TMemoryStream stream = StreamOf("text");
  EXPECT_EQ(updater_.ShowWhatsNew(stream), -1);
  const auto* refused = updater_.Find(msg::kWhatsNewNotAccepted);
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->text, "Whatsnew not accepted");
  EXPECT_EQ(refused->status, 14);
  EXPECT_EQ(refused->error, 0);

  updater_.reports.clear();
  Answer([](ui::Form& form) { form.Close(); });
  EXPECT_EQ(updater_.ShowWhatsNew(stream), -1);
  EXPECT_NE(updater_.Find(msg::kWhatsNewNotAccepted), nullptr);
}

// ---- The licence window and its handler ------------------------------------------

TEST_F(TextsTest, RtfLicenceGoesToTheHandlerWhichMustAccept) {
  std::vector<TStrings> texts;
  std::function<void(int&)> decide;
  updater_.OnDownloadedEULA = [&](TUpdater*, const TStrings& text, int& res) {
    texts.push_back(text);
    decide(res);
  };
  TMemoryStream stream = StreamOf("{\\rtf1 Terms\\par\r\nMore}\r\n");
  decide = [](int& res) { res = 1; };
  EXPECT_EQ(updater_.ShowEULA(stream), 0);
  // A handler that does not answer has not accepted.
  decide = [](int&) {};
  EXPECT_EQ(updater_.ShowEULA(stream), -1);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], (TStrings{"{\\rtf1 Terms\\par", "More}"}));
  EXPECT_TRUE(backend_->shownForms.empty());
}

TEST_F(TextsTest, PlainLicenceIsShownEvenWithAHandlerAndStartsRefused) {
  bool handled = false;
  updater_.OnDownloadedEULA = [&](TUpdater*, const TStrings&, int& res) {
    handled = true;
    res = 1;
  };
  Answer([&](ui::Form& form) {
    auto& window = dynamic_cast<TFormEULA&>(form);
    EXPECT_EQ(window.caption, "");
    EXPECT_EQ(window.TextControl().caption, "Terms");
    EXPECT_TRUE(window.NotAcceptButton().checked);
    EXPECT_FALSE(window.AcceptButton().checked);
    ui::Click(form, window.OkButton());
  });
  TMemoryStream stream = StreamOf("Terms");
  EXPECT_EQ(updater_.ShowEULA(stream), -1);
  EXPECT_FALSE(handled);
  EXPECT_EQ(modalForms_, 1);
  // A refused licence is not reported.
  EXPECT_TRUE(updater_.reports.empty());
}

TEST_F(TextsTest, LicenceWindowLayoutAndLabels) {
  Control("[eula]\ncaption=Licence\nokbtn=Go\naccept=Yes please\nnotaccept=No thanks\n");
  Answer([&](ui::Form& form) {
    auto& window = dynamic_cast<TFormEULA&>(form);
    EXPECT_EQ(window.caption, "Licence");
    EXPECT_EQ(window.width, 400);
    EXPECT_EQ(window.height, 400);
    EXPECT_EQ(window.borderStyle, ui::BorderStyle::Dialog);
    EXPECT_EQ(window.position, ui::FormPosition::ScreenCenter);

    const ui::Control& text = window.TextControl();
    EXPECT_EQ(text.left, 10);
    EXPECT_EQ(text.top, 10);
    EXPECT_EQ(text.width, window.ClientWidth() - 20);
    EXPECT_EQ(text.height, window.ClientHeight() - 60);
    ASSERT_NE(text.richText, nullptr);
    EXPECT_EQ(text.caption, "New in 2.0:\n\u65b0\u529f\u80fd");

    const int row = text.top + text.height + 10;
    const ui::Control& ok = window.OkButton();
    EXPECT_EQ(ok.caption, "Go");
    EXPECT_EQ(ok.left, text.left + text.width - ok.width);
    EXPECT_EQ(ok.top, row);
    EXPECT_EQ(ok.tabOrder, 0);
    EXPECT_EQ(ok.modalResult, ui::IDOK);
    EXPECT_TRUE(ok.enabled);
    const ui::Control& accept = window.AcceptButton();
    EXPECT_EQ(accept.kind, ui::ControlKind::RadioButton);
    EXPECT_EQ(accept.caption, "Yes please");
    EXPECT_EQ(accept.left, 10);
    EXPECT_EQ(accept.top, row);
    EXPECT_EQ(accept.tabOrder, 1);
    const ui::Control& notAccept = window.NotAcceptButton();
    EXPECT_EQ(notAccept.kind, ui::ControlKind::RadioButton);
    EXPECT_EQ(notAccept.caption, "No thanks");
    EXPECT_EQ(notAccept.left, accept.width + 20);
    EXPECT_EQ(notAccept.top, row);
    EXPECT_EQ(notAccept.tabOrder, 2);
    // The radio buttons do not run into the OK button.
    EXPECT_LT(notAccept.left + notAccept.width, ok.left);

    ui::Click(form, window.AcceptButton());
    EXPECT_FALSE(window.NotAcceptButton().checked);
    ui::Click(form, window.OkButton());
  });
  // An RTF licence without a handler gets the window too.
  TMemoryStream stream = StreamOf(kRtf);
  EXPECT_EQ(updater_.ShowEULA(stream), 0);
  EXPECT_EQ(backend_->shownForms, std::vector<std::string>{"TFormEULA"});
}

TEST_F(TextsTest, LicenceClosedByItsCloseBoxCountsTheSelectedButton) {
  TMemoryStream stream = StreamOf("Terms");
  Answer([](ui::Form& form) {
    auto& window = dynamic_cast<TFormEULA&>(form);
    ui::Click(form, window.AcceptButton());
    form.Close();
  });
  EXPECT_EQ(updater_.ShowEULA(stream), 0);

  // Changing one's mind back before closing refuses.
  Answer([](ui::Form& form) {
    auto& window = dynamic_cast<TFormEULA&>(form);
    ui::Click(form, window.AcceptButton());
    ui::Click(form, window.NotAcceptButton());
    form.Close();
  });
  EXPECT_EQ(updater_.ShowEULA(stream), -1);
  EXPECT_TRUE(updater_.reports.empty());
}

TEST_F(TextsTest, FrontEndsCanAnswerEitherWindowForTheUser) {
  TMemoryStream news = StreamOf("News");
  TMemoryStream terms = StreamOf("Terms");
  for (bool accept : {true, false}) {
    Answer([accept](ui::Form& form) { EXPECT_TRUE(AnswerTextForm(form, accept)); });
    EXPECT_EQ(updater_.ShowWhatsNew(news), accept ? 0 : -1);
    EXPECT_EQ(updater_.ShowEULA(terms), accept ? 0 : -1);
  }
  ui::Form other("TOther");
  EXPECT_FALSE(AnswerTextForm(other, true));
}
