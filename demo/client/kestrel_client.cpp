// Kestrel.exe, the demo client: a stand-in for the trading client that the
// start program brings up to date and starts. It shows what it was given:
// its parameter string (the launch token), the search path in front of
// which the start program put the client's library folders, the current
// folder and its own path.
//
// Environment:
//   KESTREL_CLIENT_RECORD=<file>  one line is appended per start, fields
//                                 separated by tabs, each "key=value":
//                                 pid, params, path, cwd, exe, started (the
//                                 monotonic clock in nanoseconds, so a
//                                 benchmark can tell when the client began).
//   KESTREL_CLIENT_STAY=<ms>      the client stays that long, its window
//                                 open (and found by its class name), then
//                                 ends. Without it a client with a display
//                                 stays until its window is closed, and one
//                                 without a display ends at once.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/ui.h"

namespace {

constexpr const char* kClassName = "TFormKestrel";
// How many search-path entries the client shows; the start program puts six
// in front of whatever the path held before.
constexpr std::size_t kShownPathEntries = 6;

struct Facts {
  std::string params, path, cwd, exe;
  long long started = 0;
};

std::string Joined(const std::vector<std::string>& parts, const std::string& separator) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? separator : "") + parts[i];
  return out;
}

std::vector<std::string> PathEntries(const std::string& path) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = path.find(kernel::PATH_LIST_SEPARATOR, start);
    entries.push_back(path.substr(start, at == std::string::npos ? at : at - start));
    if (at == std::string::npos) return entries;
    start = at + 1;
  }
}

// A value for the record: one line, no field separator inside.
std::string Field(std::string value) {
  for (char& c : value)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return value;
}

// One write in append mode, so the lines of clients started side by side do
// not interleave.
void AppendRecord(const std::string& file, const Facts& facts) {
  const std::string line = "pid=" + std::to_string(kernel::GetCurrentProcessId()) +
                           "\tparams=" + Field(facts.params) + "\tpath=" + Field(facts.path) +
                           "\tcwd=" + Field(facts.cwd) + "\texe=" + Field(facts.exe) +
                           "\tstarted=" + std::to_string(facts.started) + "\n";
  std::FILE* out = std::fopen(file.c_str(), "ab");
  if (!out) {
    std::perror(file.c_str());
    return;
  }
  // Buffered whole, the line leaves in the one write that fclose makes.
  std::setvbuf(out, nullptr, _IOFBF, line.size() + 1);
  const bool written = std::fwrite(line.data(), 1, line.size(), out) == line.size();
  if (std::fclose(out) != 0 || !written) std::perror(file.c_str());
}

std::optional<unsigned> Milliseconds(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
  return value;
}

std::string TokenText(const Facts& facts) {
  return facts.params.empty() ? "Kestrel was started without a launch token."
                              : "Kestrel was started with the launch token " + facts.params + ".";
}

// The search path as the client shows it: the entries the start program put
// in front, then how many follow.
std::vector<std::string> ShownPath(const Facts& facts) {
  std::vector<std::string> entries = PathEntries(facts.path);
  const std::size_t rest =
      entries.size() > kShownPathEntries ? entries.size() - kShownPathEntries : 0;
  entries.resize(entries.size() - rest);
  if (rest) entries.push_back("... and " + std::to_string(rest) + " more");
  return entries;
}

// The client's main window: class "TFormKestrel", which the start program
// looks for before it updates anything.
class TFormKestrel : public ui::Form {
 public:
  explicit TFormKestrel(const Facts& facts) : ui::Form(kClassName) {
    caption = "Kestrel";
    // The outer size, as a form states it; the client area is a little
    // smaller.
    width = 420;
    height = 266;
    borderStyle = ui::BorderStyle::Single;
    position = ui::FormPosition::ScreenCenter;
    Add(ui::MakeControl(ui::ControlKind::Label, "lblToken", 16, 16, 388, 13, TokenText(facts)));
    Add(ui::MakeControl(ui::ControlKind::Label, "lblFolder", 16, 36, 388, 13,
                        "Folder: " + facts.cwd));
    Add(ui::MakeControl(ui::ControlKind::Label, "lblPathCaption", 16, 60, 388, 13, "Search path:"));
    Add(ui::MakeControl(ui::ControlKind::Memo, "memPath", 16, 78, 388, 120,
                        Joined(ShownPath(facts), "\n")));
    ui::Control& close =
        Add(ui::MakeControl(ui::ControlKind::Button, "btnClose", 329, 208, 75, 25, "Close", 0));
    close.cancel = true;
    close.onClick = [this] { Close(); };
    onClose = [] { ui::PostQuitMessage(0); };
  }
};

}  // namespace

int main() {
  Facts facts;
  facts.started = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
  facts.params = Joined(kernel::CommandLineArgs(), " ");
  facts.path = kernel::GetEnvironmentVariable("PATH").value_or("");
  facts.cwd = kernel::GetCurrentDirectory();
  facts.exe = kernel::GetModuleFileName();

  // Real windows when there is a display; otherwise the client says on
  // standard output what its window would show.
  std::unique_ptr<ui::Backend> windows = ui::MakeDisplayBackend();
  const bool display = windows != nullptr;
  if (windows) ui::SetBackend(std::move(windows));

  TFormKestrel form(facts);
  form.Show();
  // The record follows the window, so whoever waits for it also finds the
  // window by its class name.
  if (auto record = kernel::GetEnvironmentVariable("KESTREL_CLIENT_RECORD");
      record && !record->empty())
    AppendRecord(*record, facts);

  if (!display) {
    std::printf("Kestrel demo client\n  %s\n  Folder: %s\n  Program: %s\n  Search path:\n",
                TokenText(facts).c_str(), facts.cwd.c_str(), facts.exe.c_str());
    for (const std::string& entry : ShownPath(facts)) std::printf("    %s\n", entry.c_str());
    std::fflush(stdout);
  }

  const std::optional<unsigned> stay =
      Milliseconds(kernel::GetEnvironmentVariable("KESTREL_CLIENT_STAY"));
  if (stay) {
    form.SetTimer(1, *stay, [] { ui::PostQuitMessage(0); });
  } else if (!display) {
    return 0;
  }
  return ui::RunMessageLoop();
}
