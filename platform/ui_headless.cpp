// The user-interface backend for a machine without a display: message boxes
// are written to standard error and answered from the terminal, or with
// their default button when nobody can answer. Forms have nothing to draw;
// one with fields to fill is filled on the terminal.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>

#include "platform/console.h"
#include "platform/kernel.h"
#include "platform/ui.h"

namespace ui {
namespace {

// Longest answer and field value kept from one line; the rest of a longer
// line is read and dropped so nothing typed can grow memory.
constexpr std::size_t kMaxAnswer = 64;
constexpr std::size_t kMaxField = 1024;

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

// The choice an answer names: its number in display order, or its text or
// the start of it ("y", "yes" and "Yes" all name Yes).
std::optional<std::size_t> ChoiceForAnswer(const std::string& answer,
                                           const std::vector<std::string>& choices) {
  if (answer.size() == 1 && answer[0] >= '1' && answer[0] <= '9') {
    const auto index = static_cast<std::size_t>(answer[0] - '1');
    if (index < choices.size()) return index;
    return std::nullopt;
  }
  const std::string wanted = Lowered(answer);
  for (std::size_t i = 0; i < choices.size(); ++i)
    if (Lowered(choices[i]).starts_with(wanted)) return i;
  return std::nullopt;
}

void ShowChoices(const std::vector<std::string>& choices, std::size_t byDefault) {
  std::string line;
  for (std::size_t i = 0; i < choices.size(); ++i)
    line +=
        "  [" + std::to_string(i + 1) + "] " + choices[i] + (i == byDefault ? " (default)" : "");
  Say(line + "\n");
}

// Shows the choices and asks for one on the terminal until an answer names
// one: Enter takes the default, Esc the escape choice, and so does the end
// of input.
std::size_t Choose(const std::vector<std::string>& choices, std::size_t byDefault,
                   std::size_t onEscape) {
  ShowChoices(choices, byDefault);
  const std::string keys = byDefault == onEscape
                               ? "Enter or Esc: " + choices[byDefault]
                               : "Enter: " + choices[byDefault] + ", Esc: " + choices[onEscape];
  for (;;) {
    Say("Answer with a number or a first letter (" + keys + "): ");
    std::optional<std::string> answer = console::ReadLine(kMaxAnswer);
    if (!answer) {
      Say("\nEnd of input: answering \"" + choices[onEscape] + "\".\n");
      return onEscape;
    }
    const std::string trimmed = Trim(*answer);
    if (trimmed.empty()) return byDefault;
    if (trimmed[0] == '\x1b') return onEscape;
    if (auto choice = ChoiceForAnswer(trimmed, choices)) return *choice;
    Say("\"" + trimmed + "\" names no button of this box.\n");
  }
}

// The text a form shows beside an edit: the label on its line to its left,
// else the edit's name.
std::string FieldName(const Form& form, const Control& edit) {
  const Control* best = nullptr;
  for (const auto& c : form.Controls()) {
    if (c->kind != ControlKind::Label || !c->visible || c->left >= edit.left) continue;
    if (c->top + c->height <= edit.top || c->top >= edit.top + std::max(edit.height, 1)) continue;
    if (!best || c->left > best->left) best = c.get();
  }
  return best ? Trim(best->caption) : edit.name;
}

// A button without a caption goes by its name.
std::string ButtonCaption(const Control& button) {
  const std::string caption = WithoutAccelerators(button.caption);
  return caption.empty() ? button.name : caption;
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
    Say(box + "\n" + text + "\n");

    std::vector<std::string> names;
    for (int id : buttons) names.push_back(ButtonText(id));
    auto index = [&](int id) {
      return static_cast<std::size_t>(std::find(buttons.begin(), buttons.end(), id) -
                                      buttons.begin());
    };
    if (!kernel::StandardInputIsTerminal()) {
      ShowChoices(names, index(byDefault));
      Say(std::string("No terminal to answer from: taking the default button \"") +
          ButtonText(byDefault) + "\".\n");
      return byDefault;
    }
    return buttons[Choose(names, index(byDefault), index(onEscape))];
  }

  // A form with fields to fill is filled on the terminal when there is one;
  // any other form, or one without a terminal, is closed with Cancel.
  void BeginModal(Form& form) override {
    std::vector<Control*> edits, buttons;
    for (const auto& c : form.Controls()) {
      if (!c->visible || !c->enabled) continue;
      if (c->kind == ControlKind::Edit) edits.push_back(c.get());
      if (c->kind == ControlKind::Button) buttons.push_back(c.get());
    }
    if (edits.empty() || buttons.empty() || !kernel::StandardInputIsTerminal()) {
      Say("Window \"" + form.caption + "\" (" + form.ClassName() +
          ") needs an answer, but there is no display: it is closed with \"Cancel\".\n");
      form.modalResult = IDCANCEL;
      return;
    }
    FillOnTerminal(form, edits, buttons);
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

  // Asks every field in tab order (Enter keeps what it holds), then the
  // buttons; a button that leaves the form open (a field it refused) asks
  // again.
  static void FillOnTerminal(Form& form, std::vector<Control*> edits,
                             std::vector<Control*> buttons) {
    auto byTab = [](const Control* a, const Control* b) { return a->tabOrder < b->tabOrder; };
    std::stable_sort(edits.begin(), edits.end(), byTab);
    std::stable_sort(buttons.begin(), buttons.end(), byTab);
    std::vector<std::string> names;
    std::size_t byDefault = 0, onEscape = buttons.size();
    for (std::size_t i = 0; i < buttons.size(); ++i) {
      names.push_back(ButtonCaption(*buttons[i]));
      if (buttons[i]->defaultButton) byDefault = i;
      if (buttons[i]->cancel && onEscape == buttons.size()) onEscape = i;
    }
    if (onEscape == buttons.size()) onEscape = byDefault;
    const WindowHandle self = form.Handle();
    while (form.modalResult == 0) {
      Say("\n== " + form.caption + " ==\n");
      for (Control* edit : edits) {
        const std::string shown =
            edit->password ? std::string(edit->caption.size(), '*') : edit->caption;
        Say(FieldName(form, *edit) + " [" + shown + "]: ");
        std::optional<std::string> line =
            edit->password ? console::ReadSecretLine(kMaxField) : console::ReadLine(kMaxField);
        if (!line) {
          Say("\nEnd of input: answering \"Cancel\".\n");
          form.modalResult = IDCANCEL;
          return;
        }
        const std::string value = edit->password ? *line : Trim(*line);
        if (!value.empty()) edit->caption = value;
      }
      Click(form, *buttons[Choose(names, byDefault, onEscape)]);
      // A handler may have closed the form for good.
      if (FromHandle(self) != &form) return;
    }
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
