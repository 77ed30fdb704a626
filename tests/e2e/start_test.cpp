// The start program as a user meets it: a real KestrelStart.exe in a program
// folder, two loopback update servers serving a publisher's folder, the
// restarter, and the demo client it starts at the end.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "e2e/harness.h"
#include "support/cab_support.h"
#include "support/screen_support.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;

constexpr const char* kToken = "QUENTAVORBLISK";

// Whether a text holds a part, with the text in the failure message.
testing::AssertionResult Has(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "\"" << part << "\" is missing from:\n" << text;
}

testing::AssertionResult Lacks(const std::string& text, const std::string& part) {
  if (text.find(part) == std::string::npos) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "\"" << part << "\" is unexpected in:\n" << text;
}

std::size_t Count(const std::vector<std::string>& items, const std::string& item) {
  return static_cast<std::size_t>(std::count(items.begin(), items.end(), item));
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = path.find_first_of(";:", start);
    entries.push_back(path.substr(start, at == std::string::npos ? at : at - start));
    if (at == std::string::npos) return entries;
    start = at + 1;
  }
}

// Keeps a screenshot of the window once it is drawn: under Wine a window,
// and each control on it, comes up black until its program has painted it,
// and no text or frame of these windows there has a long run of pure black
// (the Linux windows, drawn before they are shown, have black frames).
void SaveShot(unsigned long window, const std::string& name) {
  ui::Pixels picture = testing_support::CaptureWindow(window);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  auto undrawn = [](const ui::Pixels& p) {
    for (int y = 0; y < p.height; ++y) {
      int run = 0;
      for (int x = 0; x < p.width; ++x) {
        run = p.rgb[static_cast<std::size_t>(y) * p.width + x] == 0 ? run + 1 : 0;
        if (run >= 24) return true;
      }
    }
    return false;
  };
  while (UnderWine() && undrawn(picture) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    picture = testing_support::CaptureWindow(window);
  }
  testing_support::SaveScreenshot(picture, (UnderWine() ? "e2e-wine-" : "e2e-") + name);
}

std::string PackagePath(const std::string& name) {
  return "/twkestrel/" + name;
}

class E2eStart : public StartProgramTest {
 protected:
  // The client as the start program starts it: with its token, the
  // library folders in front of the search path, and the program folder as
  // its folder.
  void ExpectClientStarted(const ClientRecord& client) {
    EXPECT_EQ(client.at("params"), kToken);
    EXPECT_EQ(client.at("cwd") + "/", App());
    EXPECT_EQ(client.at("exe"), App("Kestrel.exe"));
    const std::vector<std::string> path = SplitPath(client.at("path"));
    const std::vector<std::string> expected = {App("Func"), App("Core"),   App("Core"),
                                               App("Core"), App("System"), App("Core")};
    ASSERT_GE(path.size(), expected.size()) << client.at("path");
    EXPECT_EQ(std::vector<std::string>(path.begin(), path.begin() + 6), expected)
        << client.at("path");
    // A Windows program under Wine finds Wine's search path, not this one.
    if (!UnderWine()) {
      EXPECT_EQ(std::vector<std::string>(path.begin() + 6, path.end()), SplitPath(originalPath_))
          << "the search path the client found after the library folders";
    }
  }

  void ExpectAllUnpacked() {
    for (const Package& package : Packages()) {
      EXPECT_TRUE(fs::exists(App("Cab/" + package.name))) << package.name;
      const std::string folder = package.folder.empty() ? "" : package.folder + "/";
      EXPECT_TRUE(fs::exists(App(folder + package.sample))) << package.name;
    }
  }

  // The packages a server was asked for, in order.
  std::vector<std::string> PackageRequests(
      const std::unique_ptr<testing_support::HttpServer>& server) {
    std::vector<std::string> names;
    for (const std::string& path : Paths(Requests(server)))
      if (path.size() > 4 && path.compare(path.size() - 4, 4, ".cab") == 0)
        names.push_back(path.substr(path.rfind('/') + 1));
    return names;
  }

  static std::vector<std::string> AllPackageNames() {
    std::vector<std::string> names;
    for (const Package& package : Packages()) names.push_back(package.name);
    return names;
  }
};

// ---- A first and a second start, without and with a display ----------------------------------

class E2eStartOnDisplay : public E2eStart, public testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    if (GetParam() && !UseDisplay()) GTEST_SKIP() << "no virtual display (is Xvfb installed?)";
  }
};

TEST_P(E2eStartOnDisplay, FirstStartInstallsEverythingAndSecondFindsNothingNew) {
  // The control file dates every package; the start program stamps its
  // downloaded copy with that local time.
  Publish({"--date", "05/03/2009", "--time", "14:30"});
  StartPrimary();
  StartSecondary();
  Install();

  const Outcome first = Run();
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_TRUE(Lacks(first.err, "== ")) << "no message box";
  auto clients = WaitForClients(1);
  ASSERT_EQ(clients.size(), 1u);
  ExpectClientStarted(clients[0]);
  ExpectAllUnpacked();

  const std::vector<std::string> requests = Requests(primary_);
  ASSERT_GE(requests.size(), 12u);
  EXPECT_EQ(requests[0].rfind("GET " + PackagePath("KestrelStart.txt?StartTick="), 0), 0u)
      << requests[0];
  EXPECT_EQ(requests[1].rfind("GET " + PackagePath("Kestrel.txt?KestrelTick="), 0), 0u)
      << requests[1];
  for (std::size_t i = 2; i < requests.size(); ++i)
    EXPECT_TRUE(Has(requests[i], ".cab?FileTick=")) << "every file fetch defeats caches";
  EXPECT_EQ(PackageRequests(primary_), AllPackageNames());
  EXPECT_TRUE(Requests(secondary_).empty());

  const std::time_t stamped = cab_support::LocalTime(2009, 3, 5, 14, 30, 0);
  for (const Package& package : Packages())
    EXPECT_EQ(cab_support::Mtime(App("Cab/" + package.name)), stamped) << package.name;
  // The engine leaves nothing of its own behind in the folders it used.
  for (const char* folder : {"Cab", "Temp"})
    for (const auto& entry : fs::directory_iterator(App(folder)))
      EXPECT_EQ(entry.path().filename().string().rfind("UPDT", 0), std::string::npos)
          << entry.path();
  ASSERT_TRUE(WaitForProgramsToEnd());

  // Second start: nothing new, so nothing is fetched but the two control
  // files and nothing is unpacked again (a changed library stays as it is).
  testing_support::WriteFile(App("Core/ChartAddin.bpl"), "changed by the user");
  const std::size_t before = Requests(primary_).size();
  const Outcome second = Run();
  ASSERT_EQ(second.status, 0) << second.err;
  clients = WaitForClients(2);
  ASSERT_EQ(clients.size(), 2u);
  ExpectClientStarted(clients[1]);
  const std::vector<std::string> all = Requests(primary_);
  const std::vector<std::string> again(all.begin() + static_cast<std::ptrdiff_t>(before),
                                       all.end());
  EXPECT_EQ(Paths(again), (std::vector<std::string>{PackagePath("KestrelStart.txt"),
                                                    PackagePath("Kestrel.txt")}));
  EXPECT_EQ(ReadFile(App("Core/ChartAddin.bpl")), "changed by the user");
  for (const Package& package : Packages())
    EXPECT_EQ(cab_support::Mtime(App("Cab/" + package.name)), stamped) << package.name;
}

INSTANTIATE_TEST_SUITE_P(E2e, E2eStartOnDisplay, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "VirtualDisplay" : "Headless";
                         });

// Every date and time form the engine reads is stamped on the packages as
// the engine reads it, so the next start finds each package as new as the
// server's and fetches none.
struct ServerTime {
  const char* name;
  const char* date;
  const char* time;
  int year, month, day, hour, minute, second;
  // Test names stay the same from build to build, not the bytes of pointers.
  friend void PrintTo(const ServerTime& t, std::ostream* out) { *out << t.date << ' ' << t.time; }
};

class E2eServerTime : public E2eStart, public testing::WithParamInterface<ServerTime> {};

TEST_P(E2eServerTime, SecondStartFetchesNoPackage) {
  const ServerTime& t = GetParam();
  Publish({"--date", t.date, "--time", t.time});
  StartPrimary();
  Install();

  const Outcome first = Run();
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_TRUE(Lacks(first.err, "== ")) << "no message box";
  ASSERT_EQ(WaitForClients(1).size(), 1u);
  const std::time_t stamped =
      cab_support::LocalTime(t.year, t.month, t.day, t.hour, t.minute, t.second);
  for (const Package& package : Packages())
    EXPECT_EQ(cab_support::Mtime(App("Cab/" + package.name)), stamped) << package.name;
  ASSERT_TRUE(WaitForProgramsToEnd());

  const std::size_t before = PackageRequests(primary_).size();
  ASSERT_EQ(Run().status, 0);
  ASSERT_EQ(WaitForClients(2).size(), 2u);
  EXPECT_EQ(PackageRequests(primary_).size(), before);
}

INSTANTIATE_TEST_SUITE_P(
    E2e, E2eServerTime,
    testing::Values(ServerTime{"TwoDigitYear", "05/03/09", "14:30", 2009, 3, 5, 14, 30, 0},
                    ServerTime{"Seconds", "05/03/2009", "14:30:45", 2009, 3, 5, 14, 30, 45},
                    ServerTime{"TwelveHourClock", "5/3/2009", "2:30 PM", 2009, 3, 5, 14, 30, 0}),
    [](const testing::TestParamInfo<ServerTime>& info) { return info.param.name; });

// ---- Switches
// ---------------------------------------------------------------------------------------

TEST_F(E2eStart, ForceSwitchUnpacksEveryPackageAgain) {
  Publish();
  StartPrimary();
  Install();
  ASSERT_EQ(Run().status, 0);
  ASSERT_EQ(WaitForClients(1).size(), 1u);
  ASSERT_TRUE(WaitForProgramsToEnd());
  testing_support::WriteFile(App("Core/ChartAddin.bpl"), "damaged");
  fs::remove(App("System/KestrelKernel.bpl"));
  const std::size_t before = PackageRequests(primary_).size();

  // In any letter case; nothing is downloaded, everything present unpacked.
  const Outcome forced = Run({"/f"});
  ASSERT_EQ(forced.status, 0) << forced.err;
  ASSERT_EQ(WaitForClients(2).size(), 2u);
  EXPECT_EQ(PackageRequests(primary_).size(), before);
  EXPECT_TRUE(Has(ReadFile(App("Core/ChartAddin.bpl")), "demo stand-in"));
  EXPECT_TRUE(fs::exists(App("System/KestrelKernel.bpl")));
}

// The control file names a package in another letter case than the start
// program's table does: it is the same file, and it is unpacked.
TEST_F(E2eStart, PackageNamedInAnotherLetterCaseIsUnpacked) {
  Publish();
  std::string control = Published(false, "Kestrel.txt");
  for (auto at = control.find("Addin.cab"); at != std::string::npos;
       at = control.find("Addin.cab", at))
    control.replace(at, 9, "addin.cab");
  Republish(false, "Kestrel.txt", control);
  fs::rename(home_.Path("www-primary/twkestrel/Addin.cab"),
             home_.Path("www-primary/twkestrel/addin.cab"));
  StartPrimary();
  Install();

  const Outcome outcome = Run();
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  ASSERT_EQ(WaitForClients(1).size(), 1u);
  EXPECT_TRUE(fs::exists(App("Cab/addin.cab")));
  EXPECT_TRUE(fs::exists(App("Core/ChartAddin.bpl")));
  EXPECT_FALSE(fs::exists(App("Cab/Addin.cab.pending")));
}

// ---- The servers
// ------------------------------------------------------------------------------------

TEST_F(E2eStart, PrimaryServerDownSecondaryServesEverything) {
  Publish();
  StartSecondary();
  Install();

  const Outcome outcome = Run();
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_TRUE(Lacks(outcome.err, "== ")) << "a failed primary is silent";
  const auto clients = WaitForClients(1);
  ASSERT_EQ(clients.size(), 1u);
  ExpectClientStarted(clients[0]);
  ExpectAllUnpacked();
  const auto paths = Paths(Requests(secondary_));
  EXPECT_EQ(Count(paths, PackagePath("KestrelStart.txt")), 1u);
  EXPECT_EQ(Count(paths, PackagePath("Kestrel.txt")), 1u);
  EXPECT_EQ(PackageRequests(secondary_), AllPackageNames());
}

TEST_F(E2eStart, BothServersDownEndsWithOneMessageAndNoClient) {
  Publish();
  Install();

  const Outcome outcome = Run();
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(Occurrences(outcome.err, "== Error =="), 1u) << outcome.err;
  // The self-update is the first to fail: its message names the secondary
  // server's control file without the tick.
  EXPECT_TRUE(Has(outcome.err, "(" + BaseURL(kSecondaryPort) + "KestrelStart.txt)")) << outcome.err;
  EXPECT_TRUE(Lacks(outcome.err, "Tick=")) << outcome.err;
  ASSERT_TRUE(WaitForProgramsToEnd());
  EXPECT_TRUE(Clients().empty());
  EXPECT_FALSE(fs::exists(App("Kestrel.exe")));
}

TEST_F(E2eStart, ClientControlFileMissingOnBothServersNamesTheSecondary) {
  Publish();
  fs::remove(home_.Path("www-primary/twkestrel/Kestrel.txt"));
  fs::remove(home_.Path("www-secondary/twkestrel/Kestrel.txt"));
  StartPrimary();
  StartSecondary();
  Install();

  const Outcome outcome = Run();
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  EXPECT_EQ(Occurrences(outcome.err, "== Error =="), 1u) << outcome.err;
  EXPECT_TRUE(Has(outcome.err, "(" + BaseURL(kSecondaryPort) + "Kestrel.txt), ")) << outcome.err;
  ASSERT_TRUE(WaitForProgramsToEnd());
  EXPECT_TRUE(Clients().empty());
  EXPECT_EQ(Count(Paths(Requests(secondary_)), PackagePath("Kestrel.txt")), 1u);
}

TEST_F(E2eStart, CopyWithAKeyTakesOnlyControlFilesSignedWithIt) {
  const std::string key = fs::path(StartProgram("signed")).parent_path().string() + "/e2e.key";
  Publish({"--sign", key});
  for (bool secondary : {false, true})
    Republish(secondary, "Kestrel.txt", Published(secondary, "Kestrel.txt") + "; changed\r\n");
  StartPrimary();
  StartSecondary();
  Install("signed");

  const Outcome refused = Run();
  EXPECT_EQ(refused.status, 1) << refused.err;
  EXPECT_TRUE(Has(refused.err, "Update control file signature refused")) << refused.err;
  ASSERT_TRUE(WaitForProgramsToEnd());
  EXPECT_TRUE(Clients().empty());
  EXPECT_TRUE(PackageRequests(primary_).empty());

  Publish({"--sign", key});
  const Outcome signedStart = Run();
  ASSERT_EQ(signedStart.status, 0) << signedStart.err;
  ASSERT_EQ(WaitForClients(1).size(), 1u);
  ExpectAllUnpacked();
}

TEST_F(E2eStart, MissingClientEndsWithAFailureStatus) {
  Publish();
  StartPrimary();
  Install();
  ASSERT_EQ(Run().status, 0);
  ASSERT_EQ(WaitForClients(1).size(), 1u);
  // A client still on its way out would be given way to.
  ASSERT_TRUE(WaitForProgramsToEnd());
  // Nothing new: the packages are not unpacked again to bring it back.
  fs::remove(App("Kestrel.exe"));
  const Outcome outcome = Run();
  EXPECT_EQ(outcome.status, 1);
  EXPECT_TRUE(Has(outcome.err, "== Error ==")) << outcome.err;
  EXPECT_TRUE(Has(outcome.err, "Kestrel.exe")) << outcome.err;
  ASSERT_TRUE(WaitForProgramsToEnd());
  EXPECT_EQ(Clients().size(), 1u);
}

// The connection drops in the middle of a package: the packages before it
// are in place and stamped, nothing half-received is in the program's
// folders, and the next start fetches only what is still missing: the rest
// of that package, and the packages after it.
TEST_F(E2eStart, InterruptedFirstStartIsCompletedByTheNextStart) {
  Publish({"--date", "05/03/2009", "--time", "14:30"});
  const std::string control = Published(false, "Kestrel.txt");
  std::string dropping = control;
  const std::string whole = BaseURL(kPrimaryPort) + "PMMServer.cab";
  const auto at = dropping.find(whole);
  ASSERT_NE(at, std::string::npos);
  dropping.replace(
      at, whole.size(),
      "http://127.0.0.1:" + std::to_string(kPrimaryPort) + "/cut/60/twkestrel/PMMServer.cab");
  Republish(false, "Kestrel.txt", dropping);
  StartPrimary();
  Install();

  const Outcome interrupted = Run();
  ASSERT_TRUE(WaitForProgramsToEnd());
  // A failed package download is no failed update (its report carries no
  // error code): the start ends as usual and starts the client with what
  // it has.
  EXPECT_EQ(interrupted.status, 0) << interrupted.err;
  EXPECT_TRUE(Lacks(interrupted.err, "== "));
  EXPECT_EQ(Clients().size(), 1u);
  const std::time_t stamped = cab_support::LocalTime(2009, 3, 5, 14, 30, 0);
  for (const Package& package : Packages()) {
    if (package.name == "PMMServer.cab") break;
    EXPECT_EQ(cab_support::Mtime(App("Cab/" + package.name)), stamped) << package.name;
  }
  EXPECT_FALSE(fs::exists(App("Cab/PMMServer.cab")));
  for (const auto& entry : fs::directory_iterator(App("Cab")))
    EXPECT_EQ(entry.path().extension(), ".cab") << "left behind: " << entry.path();

  const std::size_t before = PackageRequests(primary_).size();
  const std::size_t clientsBefore = Clients().size();
  const Outcome recovery = Run();
  ASSERT_EQ(recovery.status, 0) << recovery.err;
  const auto clients = WaitForClients(clientsBefore + 1);
  ASSERT_EQ(clients.size(), clientsBefore + 1);
  ExpectClientStarted(clients.back());
  const auto fetched = PackageRequests(primary_);
  EXPECT_EQ(std::vector<std::string>(fetched.begin() + before, fetched.end()),
            (std::vector<std::string>{"PMMServer.cab", "ShareBpl.cab"}));
  const std::uintmax_t size = fs::file_size(App("Cab/PMMServer.cab"));
  std::string range = "none";
  for (const auto& request : primary_->Requests())
    if (request.target.find("/cut/60/") != std::string::npos && request.Has("range"))
      range = request.headers.at("range");
  EXPECT_EQ(range, "bytes=" + std::to_string(size * 60 / 100) + "-");
  ExpectAllUnpacked();
}

// A start killed between a package's download and its unpacking leaves the
// package's marker; the next start finds nothing new yet unpacks it, and
// only it.
TEST_F(E2eStart, PackageLeftPackedByAKilledStartIsUnpackedByTheNext) {
  Publish();
  StartPrimary();
  Install();
  ASSERT_EQ(Run().status, 0);
  ASSERT_EQ(WaitForClients(1).size(), 1u);
  ExpectAllUnpacked();

  const Package& killed = Packages()[6];  // KernelBPL.cab, into System
  const Package& untouched = Packages()[0];
  const std::string killedSample = App(killed.folder + "/" + killed.sample);
  const std::string untouchedSample = App(untouched.folder + "/" + untouched.sample);
  fs::remove(killedSample);
  fs::remove(untouchedSample);
  testing_support::WriteFile(App("Cab/" + killed.name + ".pending"), "");
  const std::size_t before = PackageRequests(primary_).size();

  ASSERT_EQ(Run().status, 0);
  ASSERT_EQ(WaitForClients(2).size(), 2u);
  EXPECT_EQ(PackageRequests(primary_).size(), before);  // nothing new was fetched
  EXPECT_TRUE(fs::exists(killedSample));
  EXPECT_FALSE(fs::exists(App("Cab/" + killed.name + ".pending")));
  EXPECT_FALSE(fs::exists(untouchedSample));  // not due: neither new nor marked
}

// ---- The self-update ----------------------------------------------------------------------------

class E2eSelfUpdate : public E2eStartOnDisplay {};

TEST_P(E2eSelfUpdate, NewerStartProgramReplacesItselfThroughTheRestarter) {
  Publish({"--start-program", StartProgram("newer")});
  StartPrimary();
  Install("current");

  // This copy downloads its successor, hands over to the restarter and
  // ends without updating the client; the restarted copy does that.
  const Outcome outcome = Run();
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_TRUE(Lacks(outcome.err, "== ")) << outcome.err;
  const auto clients = WaitForClients(1);
  ASSERT_TRUE(WaitForProgramsToEnd());
  ASSERT_EQ(Clients().size(), 1u) << "the client is started once, by the restarted copy";
  ExpectClientStarted(clients[0]);
  ExpectAllUnpacked();
  EXPECT_EQ(ReadFile(App("KestrelStart.exe")), ReadFile(StartProgram("newer")));
  if (!UnderWine()) {
    EXPECT_NE(fs::status(App("KestrelStart.exe")).permissions() & fs::perms::owner_exec,
              fs::perms::none);
  }
  EXPECT_FALSE(fs::exists(App("Temp/KestrelStart.exe_New")))
      << "the restarted copy removes what the restarter left";

  const auto paths = Paths(Requests(primary_));
  EXPECT_EQ(Count(paths, PackagePath("KestrelStart.exe_New")), 1u);
  EXPECT_EQ(Count(paths, PackagePath("KestrelStart.txt")), 2u) << "once by each copy";
  EXPECT_EQ(Count(paths, PackagePath("Kestrel.txt")), 1u) << "only by the restarted copy";
}

INSTANTIATE_TEST_SUITE_P(E2e, E2eSelfUpdate, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "VirtualDisplay" : "Headless";
                         });

// Started under its name in capitals, which the name check allows, the
// start program replaces that file and not a second one beside it.
TEST_F(E2eStart, StartProgramNamedInCapitalsReplacesItself) {
  Publish({"--start-program", StartProgram("newer")});
  StartPrimary();
  Install("current", "KESTRELSTART.EXE");

  const Outcome outcome = Run({}, "KESTRELSTART.EXE");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  ASSERT_EQ(WaitForClients(1).size(), 1u);
  ASSERT_TRUE(WaitForProgramsToEnd());
  EXPECT_EQ(Clients().size(), 1u);
  EXPECT_EQ(ReadFile(App("KESTRELSTART.EXE")), ReadFile(StartProgram("newer")));
  EXPECT_FALSE(fs::exists(App("KestrelStart.exe")));
  EXPECT_FALSE(fs::exists(App("Temp/KestrelStart.exe_New")));
  EXPECT_EQ(Count(Paths(Requests(primary_)), PackagePath("KestrelStart.exe_New")), 1u);
}

// ---- Start-up checks ----------------------------------------------------------------------------

TEST_F(E2eStart, WrongProgramNameOnlySaysSo) {
  Publish();
  StartPrimary();
  Install("current", "KestrelStart2.exe");

  const Outcome outcome = Run({}, "KestrelStart2.exe");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_TRUE(Has(outcome.err, "== Orvel =="));
  EXPECT_TRUE(Has(outcome.err, "FileName Error, Please update filename to KestrelStart.exe!!"));
  EXPECT_EQ(Occurrences(outcome.err, "== "), 1u) << outcome.err;
  EXPECT_TRUE(Requests(primary_).empty());
  EXPECT_FALSE(fs::exists(App("Temp")));
  EXPECT_FALSE(SettingsExist());
  ASSERT_TRUE(WaitForProgramsToEnd());
  EXPECT_TRUE(Clients().empty());

  // The name is compared without regard to letter case.
  Install("current", "kestrelstart.exe");
  EXPECT_EQ(Run({}, "kestrelstart.exe").status, 0);
  EXPECT_EQ(WaitForClients(1).size(), 1u);
}

TEST_F(E2eStart, RunningClientIsNotUpdatedUnderneathItself) {
  Publish();
  StartPrimary();
  Install();
  fs::copy_file(ClientProgram(), App("Kestrel.exe"));
  const pid_t client = Spawn(
      {App("Kestrel.exe"), "running"}, home_.Path("client-out.txt"), home_.Path("client-err.txt"),
      {{"KESTREL_CLIENT_RECORD", record_}, {"KESTREL_CLIENT_STAY", "120000"}});
  ASSERT_GT(client, 0);
  // Its record is written once its window can be found.
  ASSERT_EQ(WaitForClients(1).size(), 1u);

  const Outcome outcome = Run();
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_TRUE(Lacks(outcome.err, "== ")) << outcome.err;
  EXPECT_TRUE(Requests(primary_).empty());
  EXPECT_FALSE(fs::exists(App("Cab")));
  EXPECT_EQ(waitpid(client, nullptr, WNOHANG), 0) << "the running client is left alone";
  kill(client, SIGKILL);
  waitpid(client, nullptr, 0);
  EXPECT_EQ(Clients().size(), 1u);
}

// Headless the copies find each other's stand-in windows, on a display
// the real ones.
class E2eGuard : public E2eStartOnDisplay {};

TEST_P(E2eGuard, RunningStartProgramIsNotStartedTwice) {
  // The first copy stays busy with a package that the server holds back,
  // its window up, until the test ends it.
  Publish();
  std::string control = Published(false, "Kestrel.txt");
  const std::string whole = BaseURL(kPrimaryPort) + "Addin.cab";
  const auto at = control.find(whole);
  ASSERT_NE(at, std::string::npos);
  control.replace(
      at, whole.size(),
      "http://127.0.0.1:" + std::to_string(kPrimaryPort) + "/stall/120000/twkestrel/Addin.cab");
  Republish(false, "Kestrel.txt", control);
  StartPrimary();
  Install();
  const pid_t first =
      Spawn({App("KestrelStart.exe")}, home_.Path("first-out.txt"), home_.Path("first-err.txt"),
            {{"KESTREL_CLIENT_RECORD", record_}, {"KESTREL_CLIENT_STAY", "0"}});
  ASSERT_GT(first, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  auto stalled = [&] {
    return Count(Paths(Requests(primary_)), "/stall/120000/twkestrel/Addin.cab") == 1;
  };
  while (!stalled() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(stalled()) << ReadFile(home_.Path("first-err.txt"));
  if (GetParam()) {
    while (!FindForm("TFormKestrelStart", "Data Download") &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_NE(FindForm("TFormKestrelStart", "Data Download"), 0ul) << "the first copy's window";
  }

  const Outcome second = Run();
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_TRUE(Lacks(second.err, "== ")) << second.err;
  EXPECT_EQ(Count(Paths(Requests(primary_)), PackagePath("KestrelStart.txt")), 1u)
      << "only the first copy asked for its control file";
  EXPECT_EQ(waitpid(first, nullptr, WNOHANG), 0) << "the first copy is still at work";
  kill(first, SIGKILL);
  waitpid(first, nullptr, 0);
  EXPECT_TRUE(Clients().empty());
}

INSTANTIATE_TEST_SUITE_P(E2e, E2eGuard, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "VirtualDisplay" : "Headless";
                         });

// ---- The proxy
// ------------------------------------------------------------------------------------

TEST_F(E2eStart, ProxyDialogCancelledLeavesTheUpdateWithoutProxy) {
  Publish();
  StartPrimary();
  Install();
  testing_support::ProxyServer proxy("trader", "s3cret", home_.Path("proxy.log"));

  // Without a display nobody can fill the dialog: it is answered Cancel.
  const Outcome outcome = Run({"/PROXY"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  ASSERT_EQ(WaitForClients(1).size(), 1u);
  EXPECT_TRUE(proxy.Requests().empty());
  EXPECT_EQ(PackageRequests(primary_), AllPackageNames());
  EXPECT_EQ(SettingDWord("URLProxyIDPWD"), 0u);
  EXPECT_FALSE(SettingDWord("EnabledProxy"));
  EXPECT_FALSE(SettingString("ProxyHost"));
}

// The proxy's failure is told in the language of the window, which on code
// page 936 is English.
TEST_F(E2eStart, ProxyFailureIsToldInTheLanguageOfTheWindow) {
  Publish();
  StartPrimary();
  Install();
  SetSetting("ProxyPwd", std::string("not Base64!"));
  setenv("LC_ALL", "zh_CN.UTF-8", 1);

  const Outcome outcome = Run({"/PROXY"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_TRUE(Has(outcome.err, "Set Proxy Failed!,Msg=")) << outcome.err;
  ASSERT_EQ(WaitForClients(1).size(), 1u);
}

// On a display the dialog is there to be filled. It is filled from the
// values of an earlier confirmation; the user confirms it, and the whole
// update goes through the proxy that demands those credentials.
TEST_F(E2eStart, ProxyDialogConfirmedSendsTheUpdateThroughTheProxy) {
  if (!UseDisplay()) GTEST_SKIP() << "no virtual display (is Xvfb installed?)";
  Publish();
  StartPrimary();
  Install();
  testing_support::ProxyServer proxy("trader", "s3cret", home_.Path("proxy.log"));
  SetSetting("ProxyHost", std::string("127.0.0.1"));
  SetSetting("ProxyPort", static_cast<std::uint32_t>(proxy.port()));
  SetSetting("ProxyID", std::string("trader"));
  SetSetting("ProxyPwd", std::string("czNjcmV0"));  // Base64 of s3cret
  const pid_t start = Spawn({App("KestrelStart.exe"), "/PROXY"}, home_.Path("start-out.txt"),
                            home_.Path("start-err.txt"),
                            {{"KESTREL_CLIENT_RECORD", record_}, {"KESTREL_CLIENT_STAY", "0"}});
  ASSERT_GT(start, 0);
  unsigned long dialog = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!(dialog = FindForm("TFormProxy", "Kestrel - Proxy Setting")) &&
         waitpid(start, nullptr, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (!dialog) {
    kill(start, SIGKILL);
    waitpid(start, nullptr, 0);
    FAIL() << "no proxy dialog on the display\n" << ReadFile(home_.Path("start-err.txt"));
  }
  EXPECT_EQ(testing_support::WindowTitle(dialog), "Kestrel - Proxy Setting");
  SaveShot(dialog, "proxy-dialog");
  testing_support::ClickAt(dialog, 64 + 37, 128 + 12);  // OK
  int status = 0;
  ASSERT_EQ(waitpid(start, &status, 0), start);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << ReadFile(home_.Path("start-err.txt"));

  ASSERT_EQ(WaitForClients(1).size(), 1u) << ReadFile(home_.Path("start-err.txt"));
  // What the proxy let through with the credentials (a request may try
  // without them first).
  std::vector<std::string> through;
  for (const auto& request : proxy.Requests())
    if (request.field == "auth")
      through.push_back(request.target.substr(0, request.target.find('?')));
  EXPECT_EQ(Count(through, BaseURL(kPrimaryPort) + "KestrelStart.txt"), 1u);
  EXPECT_EQ(Count(through, BaseURL(kPrimaryPort) + "Kestrel.txt"), 1u);
  for (const std::string& name : AllPackageNames())
    EXPECT_EQ(Count(through, BaseURL(kPrimaryPort) + name), 1u) << name;
  EXPECT_EQ(Requests(primary_).size(), through.size()) << "nothing bypassed the proxy";
  EXPECT_EQ(SettingDWord("URLProxyIDPWD"), 1u);
  EXPECT_EQ(SettingDWord("EnabledProxy"), 1u);
  EXPECT_EQ(SettingString("ProxyPwd"), "czNjcmV0");
}

// ---- The windows
// ------------------------------------------------------------------------------------

// With a display the download shows in the main window and the client
// shows its own; both are kept as screenshots.
TEST_F(E2eStart, WindowsOnADisplay) {
  if (!UseDisplay()) GTEST_SKIP() << "no virtual display (is Xvfb installed?)";
  // Paced packages keep the main window up long enough to be seen.
  Publish({"--pace", "5"});
  StartPrimary();
  Install();
  const pid_t start =
      Spawn({App("KestrelStart.exe")}, home_.Path("start-out.txt"), home_.Path("start-err.txt"),
            {{"KESTREL_CLIENT_RECORD", record_}, {"KESTREL_CLIENT_STAY", "60000"}});
  ASSERT_GT(start, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  auto fetching = [&] { return PackageRequests(primary_).size() >= 3; };
  while (!fetching() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const unsigned long main = FindForm("TFormKestrelStart", "Data Download");
  EXPECT_NE(main, 0ul) << "the main window during the download";
  if (main) {
    EXPECT_EQ(testing_support::WindowTitle(main), "Data Download");
    SaveShot(main, "main-window");
  }
  int status = 0;
  ASSERT_EQ(waitpid(start, &status, 0), start);
  const auto clients = WaitForClients(1);
  ASSERT_EQ(clients.size(), 1u);
  const unsigned long client = FindForm("TFormKestrel", "Kestrel");
  ASSERT_NE(client, 0ul);
  EXPECT_EQ(testing_support::WindowTitle(client), "Kestrel");
  SaveShot(client, "client-window");
  EndPrograms();
}

}  // namespace
}  // namespace e2e
