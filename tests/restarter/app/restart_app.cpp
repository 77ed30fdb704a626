// A small program that carries TUpdater and the restarter, for the
// end-to-end test of a restart.
//
//   restart_app update <control file URL> <log file>
//     runs an update silently and, when it replaced this program, ends
//     through the restarter;
//   restart_app mark <file> [words...]
//     writes the words into the file, to show that it ran.
#include <fstream>
#include <string>

#include "platform/ui.h"
#include "update/updater.h"

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "mark" && argc > 2) {
    std::ofstream out(argv[2], std::ios::app | std::ios::binary);
    out << "ran";
    for (int i = 3; i < argc; ++i) out << " " << argv[i];
    out << "\n";
    return 0;
  }
  if (mode != "update" || argc < 4) return 2;
  TUpdater updater(nullptr);
  updater.URL = argv[2];
  updater.UpdateUpdate = wuuSilent;
  updater.Logging = true;
  updater.SetLogFileName(argv[3]);
  updater.RunUpdate();
  // The restart ends the message loop rather than the program.
  return ui::Terminated() ? 0 : 1;
}
