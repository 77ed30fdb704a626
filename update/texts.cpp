// The what's-new and licence texts of an update: where the control file puts
// them, how they are fetched, and who gets to show them.
#include <cctype>
#include <memory>
#include <string>

#include "platform/profile.h"
#include "platform/ui.h"
#include "resources/messages.h"
#include "update/textforms.h"
#include "update/updater.h"

namespace {

std::string JoinLines(const TStrings& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += '\n';
    text += lines[i];
  }
  return text;
}

// The whole stream, whatever its position; the position is left at the start.
std::string StreamText(TMemoryStream& stream) {
  std::string text = stream.str();
  stream.clear();
  stream.seekg(0);
  return text;
}

std::string ReadKey(const std::string& controlFile, const std::string& section,
                    const std::string& key, const std::string& byDefault) {
  return profile::GetPrivateProfileString(section, key, byDefault, controlFile);
}

}  // namespace

bool TUpdater::IsRTFStream(TMemoryStream& Stream) {
  Stream.clear();
  Stream.seekg(0);
  char head[5] = {};
  Stream.read(head, sizeof head);
  const std::streamsize got = Stream.gcount();
  Stream.clear();
  Stream.seekg(0);
  if (got < 5) return false;
  std::string upper;
  for (char c : head) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper == "{\\RTF";
}

// ---- Fetching ----------------------------------------------------------------------

namespace {

enum class TextKind { WhatsNew, EULA };

// The location of a text after the handler had its say, with the report that
// a text was found; empty when the control file names none.
std::string TextLocation(TUpdater& updater, const std::string& controlFile, TextKind kind) {
  const std::string section =
      (kind == TextKind::WhatsNew ? "whatsnew" : "eula") + updater.LanguageID;
  std::string location = ReadKey(controlFile, section, "file", "");
  if (location.empty()) return location;
  if (kind == TextKind::WhatsNew) {
    if (updater.OnBeforeFileDownload) {
      const std::string description = location;
      updater.OnBeforeFileDownload(&updater, 0, description, location);
    }
    updater.ReportStatus(msg::kFoundWhatsNew, "", 12, 0);
  } else {
    updater.ReportStatus(msg::kFoundLicense, "", 13, 0);
  }
  return location;
}

}  // namespace

std::unique_ptr<TMemoryStream> TUpdater::FetchWhatsNewStream() {
  const std::string location = TextLocation(*this, localControlFile_, TextKind::WhatsNew);
  if (location.empty()) return nullptr;
  return FetchStreamFile(location);
}

std::unique_ptr<TStrings> TUpdater::FetchWhatsNewText() {
  const std::string location = TextLocation(*this, localControlFile_, TextKind::WhatsNew);
  if (location.empty()) return nullptr;
  return FetchTextFile(location);
}

std::unique_ptr<TMemoryStream> TUpdater::FetchEULAStream() {
  const std::string location = TextLocation(*this, localControlFile_, TextKind::EULA);
  if (location.empty()) return nullptr;
  return FetchStreamFile(location);
}

std::unique_ptr<TStrings> TUpdater::FetchEULAText() {
  const std::string location = TextLocation(*this, localControlFile_, TextKind::EULA);
  if (location.empty()) return nullptr;
  return FetchTextFile(location);
}

// ---- Showing -----------------------------------------------------------------------

int TUpdater::ShowWhatsNew(TMemoryStream& Stream) {
  const bool rtf = IsRTFStream(Stream);
  const std::string text = StreamText(Stream);

  // The owner may show a plain text itself; RTF always gets the window,
  // which can format it.
  if (OnDownloadedWhatsNew && !rtf) {
    const TStrings lines = SplitLines(text);
    int Res = 1;
    OnDownloadedWhatsNew(this, lines, Res);
    return Res == 1 ? 0 : -1;
  }

  std::string caption = ReadKey(localControlFile_, "whatsnew", "caption", "");
  if (caption.empty()) caption = "What's new";
  TFormWhatsNew form(rtf ? text : JoinLines(SplitLines(text)), rtf, caption,
                     ReadKey(localControlFile_, "whatsnew", "okbtn", "Ok"),
                     ReadKey(localControlFile_, "whatsnew", "cancelbtn", "Cancel"));
  if (form.ShowModal() == ui::IDCANCEL) {
    ReportStatus(msg::kWhatsNewNotAccepted, "", 14, 0);
    return -1;
  }
  return 0;
}

int TUpdater::ShowEULA(TMemoryStream& Stream) {
  const bool rtf = IsRTFStream(Stream);
  const std::string text = StreamText(Stream);

  // The opposite of the what's-new rule: the owner gets an RTF licence, a
  // plain one always goes to the window.
  if (OnDownloadedEULA && rtf) {
    const TStrings lines = SplitLines(text);
    // A handler that leaves Res alone has not accepted anything.
    int Res = 0;
    OnDownloadedEULA(this, lines, Res);
    return Res == 1 ? 0 : -1;
  }

  TFormEULA form(rtf ? text : JoinLines(SplitLines(text)), rtf,
                 ReadKey(localControlFile_, "eula", "caption", ""),
                 ReadKey(localControlFile_, "eula", "okbtn", "Ok"),
                 ReadKey(localControlFile_, "eula", "accept", "I accept"),
                 ReadKey(localControlFile_, "eula", "notaccept", "I do not accept"));
  form.ShowModal();
  // However the window was closed, only the selected radio button counts.
  return form.Accepted() ? 0 : -1;
}
