// Shell services: the user's special folders and "open" of programs, files
// and URLs.
#pragma once

#include <string>

namespace shell {

enum class SpecialFolder {
  Personal,      // the user's documents folder
  LocalAppData,  // the user's local application data folder
  Windows,       // the system's own folder (stand-in for the Windows folder)
  System,        // the system's program library folder
};

// The folder without trailing separator; empty when it cannot be named.
// On POSIX the documents folder comes from the XDG user directories
// ($XDG_CONFIG_HOME/user-dirs.dirs, else ~/Documents) and the local
// application data folder from $XDG_DATA_HOME (else ~/.local/share); both
// are empty when HOME is unset and nothing else names them. The Windows
// folder, where Windows keeps its own settings files and programs, stands for
// /etc; the system folder, which holds the shared libraries, for /usr/lib.
// Nothing is created.
std::string GetSpecialFolder(SpecialFolder folder);

// Opens a program, file or URL as the shell's "open" verb would: programs are
// started with the given parameters, other files and URLs are handed to the
// desktop's opener (xdg-open). A relative name is looked for in the
// current folder, then in `directory`, which also becomes the started
// program's current folder; a bare name that is neither is looked for as a
// program on the search path. Does not wait (nor leaves a zombie behind).
// True when something was started; otherwise false with the last error set.
bool ShellExecuteOpen(const std::string& file, const std::string& parameters = {},
                      const std::string& directory = {});

// True when the desktop has an opener for documents and URLs (on Windows
// the shell itself; on POSIX xdg-open on the search path).
bool HasDesktopOpener();

}  // namespace shell
