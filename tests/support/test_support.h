// Helpers shared by the test programs.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace testing_support {

// A fresh folder that is removed at the end of the test, with HOME and the
// XDG base directories pointed into it so that no per-user state of the
// platform layer (registry hives, documents folder) leaks between tests or
// from the machine.
class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::filesystem::path& path() const { return root_; }
  // A path inside the folder, as a string with a trailing separator when
  // the name ends with one.
  std::string Path(const std::string& name) const;

 private:
  std::filesystem::path root_;
  std::filesystem::path oldCwd_;
  // The variables as they were, restored at the end so the next test in
  // the same process starts from the real environment.
  std::map<std::string, std::optional<std::string>> savedEnv_;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);

}  // namespace testing_support
