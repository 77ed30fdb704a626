// A program with one window of class "TFormKestrelStart" that reports on
// standard output what happens to it, for the window lookup tests of
// another process: "shown" once it is up, "iconic 1" / "iconic 0" when it
// is minimised or restored, "activated N" each time it is brought to the
// front (N counts them). With --minimize it minimises itself at once. It
// ends when its standard input closes. Real windows when DISPLAY is set,
// the per-user window registry otherwise.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/ui.h"

namespace {

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const bool minimize = argc > 1 && std::strcmp(argv[1], "--minimize") == 0;
  ui::SetMainThread();
  ui::UseDisplayIfAvailable();

  ui::Form form("TFormKestrelStart");
  form.caption = "Data Download";
  form.clientWidth = 240;
  form.clientHeight = 80;
  form.borderStyle = ui::BorderStyle::Single;
  form.position = ui::FormPosition::ScreenCenter;
  form.Add(ui::MakeControl(ui::ControlKind::Label, "Label1", 16, 30, 200, 16,
                           "A window to find from outside"));
  int activations = 0;
  form.onActivate = [&] { Say("activated " + std::to_string(++activations)); };
  form.Show();
  if (minimize) ui::MinimizeForm(form);
  Say("shown");

  int iconic = -1;
  form.SetTimer(1, 20, [&] {
    const int now = ui::IsIconic(ui::FindWindow("TFormKestrelStart")) ? 1 : 0;
    if (now != iconic) Say("iconic " + std::to_string(iconic = now));
  });
  std::thread([] {
    char buffer[256];
    while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
    ui::PostQuitMessage(0);
  }).detach();
  return ui::RunMessageLoop();
}
