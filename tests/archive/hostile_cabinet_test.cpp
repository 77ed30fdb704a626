// Cabinets and target folders that try to make an extraction lose or reach
// files it must not: broken data over old files, a full disk, a killed
// extraction, links planted in the target folder, and entries that declare
// far more than the cabinet holds. Both entry points share the same rules.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <string>
#include <vector>

#include "archive/cabarchive.h"
#include "archive/cabinet.h"
#include "support/cab_support.h"
#include "support/scripted_ui.h"
#include "support/test_support.h"

using cab_support::DataCabinet;
using cab_support::Pattern;
using testing_support::ReadFile;

namespace {

namespace fs = std::filesystem;

// What an interrupted extraction could leave behind below a folder.
std::vector<std::string> PartialFiles(const std::string& folder) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& entry : fs::recursive_directory_iterator(folder, ec))
    if (entry.path().string().ends_with(".partial")) found.push_back(entry.path().string());
  return found;
}

#ifndef _WIN32
// Writes beyond the limit fail with EFBIG, as they would on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previousHandler_ = signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    signal(SIGXFSZ, previousHandler_);
  }

 private:
  rlimit previous_{};
  sighandler_t previousHandler_;
};
#endif

// A package with a large entry in a sub-folder, stored, so that a cut in
// the cabinet falls inside that entry's data.
class HostileCabinet : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories("src/sub/dir");
    testing_support::WriteFile("src/a.txt", "alpha\n");
    testing_support::WriteFile("src/sub/dir/b.dll", Pattern(100000, 1));
    cab_support::MakeCabinet("pkg.cab", "src", {"a.txt", "sub/dir/b.dll"}, false);
  }

  void PlantOldFile(const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    testing_support::WriteFile(path, "old content");
    cab_support::SetMtime(path, kOldTime);
  }
  void ExpectOldFile(const std::string& path) {
    EXPECT_TRUE(ReadFile(path) == "old content") << path;
    EXPECT_EQ(cab_support::Mtime(path), kOldTime) << path;
  }

  const std::time_t kOldTime = cab_support::LocalTime(2000, 1, 2, 3, 4, 6);
  testing_support::TempHome home_;
  testing_support::ScriptedUi boxes_;
};

enum class EntryPoint { Function, Component };

class HostileCabinetTest : public HostileCabinet, public testing::WithParamInterface<EntryPoint> {
 protected:
  bool Extract(const std::string& cabinet, const std::string& target) {
    if (GetParam() == EntryPoint::Function) return ExtractCabinet(cabinet, target) == 0;
    TCabArchive archive(nullptr);
    archive.CABFile = cabinet;
    archive.TargetPath = target;
    return archive.ExtractAll();
  }
};

TEST_P(HostileCabinetTest, OldFilesStayWhenTheCabinetBreaksOff) {
  fs::copy_file("pkg.cab", "cut.cab");
  fs::resize_file("cut.cab", fs::file_size("pkg.cab") - 50000);
  const struct {
    std::string cabinet, entry;
  } cases[] = {{"cut.cab", "sub/dir/b.dll"},
               {DataCabinet("mszip-garbage.cab"), "a.txt"},
               // An entry that declares more than its folder can hold.
               {DataCabinet("file-beyond-folder.cab"), "huge.txt"}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cabinet);
    const std::string target = "out" + std::to_string(++n) + "/";
    PlantOldFile(target + c.entry);
    EXPECT_FALSE(Extract(c.cabinet, target));
    ExpectOldFile(target + c.entry);
    EXPECT_EQ(PartialFiles(target), std::vector<std::string>());
  }
}

TEST_P(HostileCabinetTest, OldFileStaysWhenTheDiskFills) {
#ifdef _WIN32
  GTEST_SKIP() << "a full disk is simulated with a file size rlimit, which Windows lacks";
#else
  PlantOldFile("out/sub/dir/b.dll");
  {
    FileSizeLimit full(64 * 1024);
    EXPECT_FALSE(Extract("pkg.cab", "out/"));
  }
  ExpectOldFile("out/sub/dir/b.dll");
  EXPECT_EQ(PartialFiles("out"), std::vector<std::string>());
#endif
}

// Installing the entry means the name holds the new file: the link goes,
// what it pointed to stays as it was.
TEST_P(HostileCabinetTest, FileLinkIsReplacedAndItsTargetKept) {
#ifdef _WIN32
  GTEST_SKIP()
      << "planting links takes privileges on Windows, and the C++ library cannot make them there";
#endif
  PlantOldFile("elsewhere/victim");
  fs::create_directories("out");
  fs::create_symlink(home_.Path("elsewhere/victim"), "out/a.txt");
  ASSERT_TRUE(Extract("pkg.cab", "out/"));
  EXPECT_FALSE(fs::is_symlink("out/a.txt"));
  EXPECT_EQ(ReadFile("out/a.txt"), "alpha\n");
  ExpectOldFile("elsewhere/victim");
}

// On the entry's way or under its very name: a file does not replace a
// folder, linked or not.
TEST_P(HostileCabinetTest, FolderLinkBelowTheTargetRefusesTheEntry) {
#ifdef _WIN32
  GTEST_SKIP()
      << "planting links takes privileges on Windows, and the C++ library cannot make them there";
#endif
  for (const std::string link : {"sub", "sub/dir", "a.txt"}) {
    SCOPED_TRACE(link);
    const std::string target = home_.Path("out-" + fs::path(link).filename().string() + "/");
    const std::string elsewhere = home_.Path("elsewhere-" + fs::path(link).filename().string());
    fs::create_directories(elsewhere);
    fs::create_directories(fs::path(target + link).parent_path());
    fs::create_symlink(elsewhere, target + link);
    EXPECT_FALSE(Extract("pkg.cab", target));
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_TRUE(fs::is_symlink(target + link));
  }
  // The target folder itself is the caller's choice, link or not.
  fs::create_directories("real");
  fs::create_symlink(home_.Path("real"), "linked");
  ASSERT_TRUE(Extract("pkg.cab", "linked/"));
  EXPECT_TRUE(ReadFile("real/sub/dir/b.dll") == Pattern(100000, 1));
}

TEST_P(HostileCabinetTest, OverlappingEntriesAreRefusedBeforeAnythingIsWritten) {
  for (const char* bomb : {"overlapping-entries.cab", "shared-folders.cab"}) {
    SCOPED_TRACE(bomb);
    EXPECT_FALSE(Extract(DataCabinet(bomb), "out/"));
    EXPECT_FALSE(cab_support::Exists("out"));
  }
  if (GetParam() == EntryPoint::Component) {
    EXPECT_FALSE(boxes_->boxes.empty());
  }
  // Two entries of the same data are what a cabinet maker may write.
  ASSERT_TRUE(Extract(DataCabinet("shared-data.cab"), "shared/"));
  EXPECT_EQ(fs::file_size("shared/two.bin"), 40000u);
  EXPECT_TRUE(ReadFile("shared/one.bin") == ReadFile("shared/two.bin"));
}

INSTANTIATE_TEST_SUITE_P(EntryPoints, HostileCabinetTest,
                         testing::Values(EntryPoint::Function, EntryPoint::Component),
                         [](const testing::TestParamInfo<EntryPoint>& info) {
                           return info.param == EntryPoint::Function ? std::string("Function")
                                                                     : std::string("Component");
                         });

// A real extracting process stopped in the middle of the entry that
// replaces an old file, then killed outright.
TEST_F(HostileCabinet, KilledExtractionLeavesTheOldFile) {
#ifdef _WIN32
  GTEST_SKIP() << "the extraction is stopped mid-entry with fork and SIGSTOP, which Windows lacks";
#else
  PlantOldFile("out/sub/dir/b.dll");
  struct Child {
    pid_t pid = fork();
    ~Child() {
      if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    }
  } child;
  ASSERT_GE(child.pid, 0);
  if (child.pid == 0) {
    TCabArchive archive(nullptr);
    archive.CABFile = "pkg.cab";
    archive.TargetPath = "out/";
    archive.OnDecompressProgress = [](TCabArchive*, const std::string& file, std::int64_t,
                                      std::int64_t) {
      if (file == "sub\\dir\\b.dll") raise(SIGSTOP);
    };
    archive.ExtractAll();
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child.pid, &status, WUNTRACED), child.pid);
  ASSERT_TRUE(WIFSTOPPED(status)) << "the extraction ended without reaching the entry";
  ExpectOldFile("out/sub/dir/b.dll");
  ASSERT_EQ(kill(child.pid, SIGKILL), 0);
  ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);
  child.pid = 0;
  ExpectOldFile("out/sub/dir/b.dll");
  // The next run replaces what the killed one left behind.
  ASSERT_EQ(ExtractCabinet("pkg.cab", "out/"), 0);
  EXPECT_TRUE(ReadFile("out/sub/dir/b.dll") == Pattern(100000, 1));
  EXPECT_EQ(PartialFiles("out"), std::vector<std::string>());
#endif
}

}  // namespace
