// Helpers shared by the test programs.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// A fresh folder in the system's temporary folder, removed at the end of
// the test and the current folder during it, with HOME and the XDG base
// directories (on Windows TMP, TEMP and the user's shell folders) pointed
// into it, and on Windows both registry hives of this process redirected to
// a key of its own, so that no per-user state of the platform layer
// (registry hives, documents folder) leaks between tests or from the
// machine.
class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::filesystem::path& path() const { return root_; }
  // A path inside the folder with this system's separators, as a string with
  // a trailing separator when the name ends with one.
  std::string Path(const std::string& name) const;

 private:
  std::filesystem::path root_;
  std::filesystem::path oldCwd_;
  // The variables as they were, restored at the end so the next test in
  // the same process starts from the real environment.
  std::map<std::string, std::optional<std::string>> savedEnv_;
  // Windows: the user shell folders as they were, and the keys both hives
  // of this process are redirected to.
  std::map<std::string, std::optional<std::string>> savedFolders_;
  std::string hivesKey_;
  std::vector<void*> hives_;
};

// Runs what must reach the registry that the programs a test starts see,
// while a TempHome keeps this process's own hives apart on Windows (on
// POSIX the hives are files of the test's folder, which both see).
void WithTheSharedHive(const std::function<void()>& what);

void WriteFile(const std::string& path, const std::string& content);

// A local user other than the one the tests run as, for what one user can
// do to another. Acting as another user takes root; such tests skip
// otherwise.
inline constexpr unsigned kOtherUser = 4242;
// The start of a command line (for a shell or for kernel::CreateProcess)
// that runs the rest of it as that user, without any groups.
// POSIX only.
std::string AsUser(unsigned uid);

// A program run as a real process with standard input from /dev/null.
struct ProcessOutput {
  int status;  // exit status, -1 when it did not exit normally
  std::string out, err;
};
// Runs build/bin/kupdate with the arguments (shell syntax) in the current
// folder, after the shell commands of before ("ulimit -f 64;", POSIX only);
// its standard error goes through the file "kupdate-stderr.txt".
ProcessOutput RunKupdate(const std::string& args, const std::string& before = "");
std::string ReadFile(const std::string& path);

// Installs at path a real program that runs the script (its verbs are in
// tests/support/stand_in/stand_in.cpp) and keeps it when renamed; where
// path has no extension, Windows gets ".exe" added, as its command lookup
// wants. Returns the program's path.
std::string InstallStandIn(const std::string& path, const std::string& script);

// Makes standard input a terminal (a pseudo-terminal) on which `typed` was
// typed; false when none can be had (always on Windows). For child
// processes of a test.
bool TypeOnTerminal(const std::string& typed);

}  // namespace testing_support
