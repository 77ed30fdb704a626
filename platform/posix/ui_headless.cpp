// The user-interface backend for a machine without a display: message boxes
// are written to standard error and answered from the terminal, or with
// their default button when nobody can answer. Forms have nothing to draw.
#include <errno.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>

#include "platform/ui.h"

namespace ui {
namespace {

// Longest answer kept from one line; the rest of a longer line is read and
// dropped so nothing typed can grow memory.
constexpr std::size_t kMaxAnswer = 64;

void Say(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

const char* IconName(unsigned type) {
  switch (type & MB_ICONMASK) {
    case MB_ICONERROR:
      return "error";
    case MB_ICONQUESTION:
      return "question";
    case MB_ICONWARNING:
      return "warning";
    case MB_ICONINFORMATION:
      return "information";
    default:
      return nullptr;
  }
}

// One line from standard input without the line end; nothing at its end.
std::optional<std::string> ReadAnswerLine() {
  std::string line;
  bool any = false;
  for (;;) {
    char c;
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (!any) return std::nullopt;
      return line;
    }
    any = true;
    if (c == '\n') return line;
    if (c != '\r' && line.size() < kMaxAnswer) line.push_back(c);
  }
}

std::string Trim(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  std::size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

std::string Lowered(const std::string& text) {
  std::string lowered;
  for (char c : text)
    lowered.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return lowered;
}

// The button an answer names: its number in display order, or its text or
// the start of it ("y", "yes" and "Yes" all name Yes); 0 when it names none.
int ButtonForAnswer(const std::string& answer, const std::vector<int>& buttons) {
  if (answer.size() == 1 && answer[0] >= '1' && answer[0] <= '9') {
    std::size_t index = static_cast<std::size_t>(answer[0] - '1');
    return index < buttons.size() ? buttons[index] : 0;
  }
  const std::string wanted = Lowered(answer);
  for (int id : buttons)
    if (Lowered(ButtonText(id)).starts_with(wanted)) return id;
  return 0;
}

class HeadlessBackend : public Backend {
 public:
  int MessageBox(Form* owner, const std::string& text, const std::string& caption,
                 unsigned type) override {
    const std::vector<int> buttons = ButtonsOf(type);
    const int byDefault = DefaultButtonOf(type);
    bool hasCancel = false;
    for (int id : buttons) hasCancel |= id == IDCANCEL;
    const int onEscape = hasCancel ? IDCANCEL : byDefault;

    std::string box = "\n== " + caption + " ==";
    if (const char* icon = IconName(type)) box += std::string(" (") + icon + ")";
    box += "\n" + text + "\n";
    for (std::size_t i = 0; i < buttons.size(); ++i) {
      box += "  [" + std::to_string(i + 1) + "] " + ButtonText(buttons[i]);
      if (buttons[i] == byDefault) box += " (default)";
    }
    box += "\n";
    Say(box);

    if (!::isatty(STDIN_FILENO)) {
      Say(std::string("No terminal to answer from: taking the default button \"") +
          ButtonText(byDefault) + "\".\n");
      return byDefault;
    }
    for (;;) {
      Say(std::string("Answer with a number or a first letter (Enter or Esc: ") +
          ButtonText(onEscape) + "): ");
      std::optional<std::string> line = ReadAnswerLine();
      if (!line) {
        Say(std::string("\nEnd of input: answering \"") + ButtonText(onEscape) + "\".\n");
        return onEscape;
      }
      std::string answer = Trim(*line);
      if (answer.empty() || answer[0] == '\x1b') return onEscape;
      if (int id = ButtonForAnswer(answer, buttons)) return id;
      Say("\"" + answer + "\" names no button of this box.\n");
    }
  }

  void BeginModal(Form& form) override {
    Say("Window \"" + form.caption + "\" (" + form.ClassName() +
        ") needs an answer, but there is no display: it is closed with \"Cancel\".\n");
    form.modalResult = IDCANCEL;
  }

  // A window that shows progress shows it on the terminal instead: one line
  // of its texts, written when they change, at most a few times a second.
  void ShowForm(Form& form) override { Report(form, false); }
  void InvalidateForm(Form& form) override {
    if (form.Visible()) Report(form, false);
  }
  void HideForm(Form& form) override { Report(form, true); }
  void DestroyForm(Form& form) override {
    if (form.Visible()) Report(form, true);
    lines_.erase(form.Handle());
  }

 private:
  struct Line {
    std::string shown;
    std::chrono::steady_clock::time_point at;
  };

  // The captions of its visible labels and panels and the position of its
  // bars, in the order the form holds them.
  static std::string Summary(const Form& form) {
    std::string line;
    auto add = [&line](const std::string& part) {
      if (part.empty()) return;
      if (!line.empty()) line += "  ";
      line += part;
    };
    for (const auto& c : form.Controls()) {
      if (!c->visible) continue;
      if (c->kind == ControlKind::Label || c->kind == ControlKind::StatusBar) add(Trim(c->caption));
      if (c->kind == ControlKind::ProgressBar && c->max > c->min)
        add(std::to_string(static_cast<long long>(c->position - c->min) * 100 / (c->max - c->min)) +
            "%");
    }
    return line.empty() ? line : "[" + form.caption + "] " + line;
  }

  void Report(Form& form, bool last) {
    Line& line = lines_[form.Handle()];
    const auto now = std::chrono::steady_clock::now();
    // Transfers repaint after every block: between reports the texts are
    // not even gathered.
    const bool due = last || line.shown.empty() || now - line.at >= std::chrono::milliseconds(200);
    if (!due) return;
    std::string latest = Summary(form);
    if (latest.empty() || latest == line.shown) return;
    line.shown = std::move(latest);
    line.at = now;
    Say(line.shown + "\n");
  }

  std::map<WindowHandle, Line> lines_;
};

}  // namespace

std::unique_ptr<Backend> MakeHeadlessBackend() {
  return std::make_unique<HeadlessBackend>();
}

}  // namespace ui
