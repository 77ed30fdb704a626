// What the end-to-end tests of the start program share: a program folder
// with a test copy of KestrelStart.exe, the two update servers on the fixed
// loopback ports that copy was built with, each serving a publisher's folder
// made by demo/publish.py, a run of the program as a real process (without a
// display, or on a virtual one), and the records the demo client leaves of
// each start.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "support/servers.h"
#include "support/test_support.h"

namespace e2e {

inline constexpr int kPrimaryPort = KESTREL_E2E_PRIMARY_PORT;
inline constexpr int kSecondaryPort = KESTREL_E2E_SECONDARY_PORT;

// The base URL ("http://127.0.0.1:PORT/twkestrel/") a copy was built with.
std::string BaseURL(int port);

// True when the tests run the Windows build's programs under Wine:
// KESTREL_E2E_WINE names the wine program and KESTREL_E2E_WINDOWS_DIR the
// Windows build folder; the programs run in the prefix WINEPREFIX names,
// whose settings of the start program the tests change.
bool UnderWine();

// The test copies of the start program: "current" and a newer version.
std::string StartProgram(const std::string& copy);
// The demo client the publisher packs.
std::string ClientProgram();

// The packages in the order of the start program's unpack table, with the
// folder each unpacks into and one file each holds.
struct Package {
  std::string name, folder, sample;
};
const std::vector<Package>& Packages();

// A process run to its end (or killed at the time limit).
struct Outcome {
  int status = -1;  // exit status; -1 when it did not end by itself
  std::string out, err;
};

// Holds the fixed ports for one test. Tests of other build folders (or
// other users of the machine) use the same ports; a lock file shared by all
// of them makes them take turns, so no test meets another's server, and a
// server that a test leaves down is really down.
class PortLock {
 public:
  PortLock();
  ~PortLock();
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;

 private:
  int fd_ = -1;
};

// One line of the demo client's record: its fields by key.
using ClientRecord = std::map<std::string, std::string>;

class StartProgramTest : public ::testing::Test {
 protected:
  StartProgramTest();
  ~StartProgramTest() override;

  // Writes both servers' folders with demo/publish.py, with these
  // arguments added.
  void Publish(const std::vector<std::string>& arguments = {});
  void StartPrimary();
  void StartSecondary();
  // A published file of one server, and a change of it.
  std::string Published(bool secondary, const std::string& name) const;
  void Republish(bool secondary, const std::string& name, const std::string& content);

  // Puts a test copy of the start program into the program folder under
  // the given name.
  void Install(const std::string& copy = "current", const std::string& name = "KestrelStart.exe");
  // Runs the program from the program folder with the arguments and waits
  // for it to end. Without a display unless UseDisplay was called; under the
  // shell commands of limits_ first when there are any ("ulimit -f 120").
  Outcome Run(const std::vector<std::string>& arguments = {},
              const std::string& name = "KestrelStart.exe");
  // Starts a program with the test's environment and returns its pid.
  pid_t Spawn(const std::vector<std::string>& argv, const std::string& outFile,
              const std::string& errFile, const std::map<std::string, std::string>& extraEnv = {});
  // Runs the next programs on a virtual display; false when there is none.
  bool UseDisplay();
  // A shown top-level window of a program on the display, by its form's
  // class; under Wine, whose windows carry the program's name as their
  // class, by its title.
  unsigned long FindForm(const std::string& className, const std::string& title) const;

  // The start program's settings in the current user's registry.
  bool SettingsExist();
  std::optional<std::uint32_t> SettingDWord(const std::string& name);
  std::optional<std::string> SettingString(const std::string& name);
  void SetSetting(const std::string& name, const registry::Value& value);

  // The client records so far, and a wait until there are at least n.
  std::vector<ClientRecord> Clients() const;
  std::vector<ClientRecord> WaitForClients(std::size_t n);
  // Waits until no program started from the test's folder runs any more
  // (the client, a restarter, a restarted start program).
  bool WaitForProgramsToEnd();
  // Ends whatever still runs from the test's folder.
  void EndPrograms();

  // The requests a server logged, as method and path with query.
  std::vector<std::string> Requests(
      const std::unique_ptr<testing_support::HttpServer>& server) const;
  // Paths without their query, of the requests that asked for a file.
  static std::vector<std::string> Paths(const std::vector<std::string>& requests);

  std::string App(const std::string& name = "") const { return app_ + name; }

  PortLock ports_;  // before anything uses the ports
  testing_support::TempHome home_;
  std::string app_, www1_, www2_, record_;
  std::unique_ptr<testing_support::HttpServer> primary_, secondary_;
  std::string display_;  // DISPLAY of the programs started; empty: none
  std::string limits_;
  std::string originalPath_;

 private:
  // Under Wine: a server of the test's own, with the display chosen for
  // the test, and none of an earlier test's settings.
  void PrepareWine();
  // The output of the prefix's reg program run with the arguments, or
  // nothing when it fails.
  std::optional<std::string> Reg(const std::vector<std::string>& arguments);
  bool winePrepared_ = false;
};

}  // namespace e2e
