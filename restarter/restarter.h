// The restarter's work: it waits for the updated program to end, installs
// each component the update left in the temporary folder into the program's
// folder, logs what it does and starts the program again.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace restarter {

// The words of a command line as the restarter reads them, the program name
// first: blanks separate, double quotes group and are removed, and nothing
// escapes a quote, so a quoted folder may end in a backslash.
std::vector<std::string> SplitArguments(std::string_view commandLine);

class Restarter {
 public:
  explicit Restarter(std::string logFile) : logFile_(std::move(logFile)) {}

  bool logging = false;

  // Appends one line; the file is opened and closed for every line so that
  // the lines interleave with those of any other writer.
  void Log(const std::string& text) const;
  // Log, when logging is on.
  void Trace(const std::string& text) const;

  // Installs the component name from the temporary folder into the target
  // folder (both end in a separator): a replacement ("_NEW"), a list of
  // further components (".INF", depth counting the lists above it), a
  // patch, a cabinet, a program to run, or a compressed file.
  void ProcessFile(const std::string& name, const std::string& temp, const std::string& target,
                   int depth);

 private:
  bool CopyOver(const std::string& from, const std::string& to) const;
  void Replace(const std::string& name, const std::string& temp, const std::string& target);
  void ProcessList(const std::string& name, const std::string& temp, int depth);
  void Patch(const std::string& name, const std::string& temp, const std::string& target);
  void Extract(const std::string& name, const std::string& temp, const std::string& target);
  void Execute(const std::string& name, const std::string& temp, const std::string& target);
  void Expand(const std::string& name, const std::string& target);

  std::string logFile_;
};

// The whole run for the words of the command line (program name first):
//   <pid> <L|X> <program|null> <parameters> <temporary folder> <component>...
// Returns the process's exit code.
int Run(const std::vector<std::string>& words);

}  // namespace restarter
