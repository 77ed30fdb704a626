// The start program under faults it cannot avoid: a full disk, an account
// without a documents folder. Each ends the way the same error ends when
// nothing is threaded, and leaves nothing half-done behind.
#include <filesystem>

#include "e2e/harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

bool Holds(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// What the engine left in a folder under its temporary names.
std::vector<std::string> Temporaries(const std::string& folder) {
  std::vector<std::string> left;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("UPD") && name.ends_with(".tmp")) left.push_back(name);
  }
  return left;
}

class E2eFaults : public StartProgramTest {};

// The second package no longer fits: the error ends the start with its
// message and a failure status, as it does for a run on the interface's own
// thread, instead of tearing the program down.
TEST_F(E2eFaults, FullDiskDuringAPackageEndsWithAMessage) {
  Publish();
  StartPrimary();
  Install();
  limits_ = "ulimit -f 120";

  const Outcome outcome = Run();
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  EXPECT_TRUE(Holds(outcome.err, "== Error ==")) << outcome.err;
  EXPECT_TRUE(Holds(outcome.err, "Cannot write temporary file")) << outcome.err;
  ASSERT_TRUE(WaitForProgramsToEnd());
  EXPECT_TRUE(Clients().empty());
  EXPECT_TRUE(Temporaries(App("Cab")).empty());
  EXPECT_TRUE(Temporaries(App("Temp")).empty());
}

// A new account has no documents folder, where the log goes; a package
// that cannot be put in place is then reported like any failed package,
// and the log line about it lands in a documents folder made for it.
TEST_F(E2eFaults, APackageThatCannotBePutInPlaceOnANewAccount) {
  Publish();
  StartPrimary();
  StartSecondary();
  Install();
  fs::remove_all(home_.Path("home/Documents"));
  fs::create_directories(App("Cab/Addin.cab/in-the-way"));

  const Outcome outcome = Run();
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  EXPECT_TRUE(Holds(outcome.err, "== Error ==")) << outcome.err;
  // The control file names the folder the Windows way ({APP}\Cab\); the
  // report names it with this machine's separators.
  const std::string package = App("./Cab/Addin.cab");
  EXPECT_TRUE(Holds(outcome.err, "Cannot rename file : ")) << outcome.err;
  EXPECT_TRUE(Holds(outcome.err, " to " + package)) << outcome.err;
  EXPECT_TRUE(Holds(testing_support::ReadFile(home_.Path("home/Documents/UPDATER.LOG")),
                    "Unable to rename file "));
  ASSERT_TRUE(WaitForProgramsToEnd());
  EXPECT_TRUE(Clients().empty());
  EXPECT_TRUE(Temporaries(App("Temp")).empty());
}

}  // namespace
}  // namespace e2e
