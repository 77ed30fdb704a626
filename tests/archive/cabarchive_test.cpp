// TCabArchive against real cabinets: where ExtractAll writes, how it treats
// existing files, its progress events and its error display.
#include "archive/cabarchive.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/ui.h"
#include "support/cab_support.h"
#include "support/scripted_ui.h"
#include "support/test_support.h"

using cab_support::DataCabinet;
using cab_support::Exists;
using cab_support::MakeCabinet;
using cab_support::Mtime;
using cab_support::Pattern;
using testing_support::ReadFile;
using testing_support::TempHome;
using testing_support::WriteFile;

namespace {

namespace fs = std::filesystem;

struct Progress {
  std::string file;
  std::int64_t pos, tot;
};

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

class CabArchiveTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories("src/sub/dir");
    WriteFile("src/a.txt", "alpha\n");
    WriteFile("src/sub/dir/b.dll", Pattern(100000, 2));
    WriteFile("src/c.txt", Pattern(70000, 3));
    cab_support::SetMtime("src/a.txt", cab_support::LocalTime(2003, 4, 5, 6, 7, 8));
    MakeCabinet("pkg.cab", "src", {"a.txt", "sub/dir/b.dll", "c.txt"}, true);
    cab_.CABFile = home_.Path("pkg.cab");
  }

  TempHome home_;
  testing_support::ScriptedUi boxes_;
  TCabArchive cab_{nullptr};
};

TEST_F(CabArchiveTest, TargetPathGetsItsSeparator) {
  cab_.TargetPath = home_.Path("App");
  ASSERT_TRUE(cab_.ExtractAll());
  EXPECT_EQ(ReadFile(home_.Path("App/a.txt")), "alpha\n");
  EXPECT_TRUE(ReadFile(home_.Path("App/sub/dir/b.dll")) == Pattern(100000, 2));
  EXPECT_EQ(Mtime(home_.Path("App/a.txt")), cab_support::LocalTime(2003, 4, 5, 6, 7, 8));
  EXPECT_TRUE(boxes_->boxes.empty());
}

TEST_F(CabArchiveTest, EmptyTargetPathMeansTheCurrentFolder) {
  fs::create_directories("work");
  fs::current_path("work");
  ASSERT_TRUE(cab_.ExtractAll());
  EXPECT_TRUE(ReadFile("sub/dir/b.dll") == Pattern(100000, 2));
}

TEST_F(CabArchiveTest, ProgressRunsFromTheFirstBlockToTheSizeForEachEntry) {
  std::vector<Progress> events;
  cab_.OnDecompressProgress = [&](TCabArchive* sender, const std::string& file, std::int64_t pos,
                                  std::int64_t tot) {
    EXPECT_EQ(sender, &cab_);
    events.push_back({file, pos, tot});
  };
  cab_.TargetPath = "out";
  ASSERT_TRUE(cab_.ExtractAll());

  // Split the events into runs per entry.
  std::vector<std::vector<Progress>> runs;
  for (const Progress& p : events) {
    if (runs.empty() || runs.back().back().file != p.file) runs.emplace_back();
    runs.back().push_back(p);
  }
  ASSERT_EQ(runs.size(), 3u);
  const std::vector<std::pair<std::string, std::int64_t>> expected = {
      {"a.txt", 6}, {"sub\\dir\\b.dll", 100000}, {"c.txt", 70000}};
  for (std::size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(expected[i].first);
    EXPECT_EQ(runs[i].front().file, expected[i].first);
    EXPECT_GT(runs[i].front().pos, 0);
    for (std::size_t k = 1; k < runs[i].size(); ++k) EXPECT_GT(runs[i][k].pos, runs[i][k - 1].pos);
    EXPECT_EQ(runs[i].back().pos, expected[i].second);
    for (const Progress& p : runs[i]) EXPECT_EQ(p.tot, expected[i].second);
  }
  EXPECT_GT(runs[1].size(), 1u);  // 100000 bytes come in several blocks
}

TEST_F(CabArchiveTest, OverwriteHandlerDecidesAboutExistingFiles) {
  fs::create_directories("out/sub/dir");
  WriteFile("out/a.txt", "keep");
  WriteFile("out/sub/dir/b.dll", "replace");
  std::vector<std::string> asked;
  std::vector<std::string> progressed;
  cab_.OnOverWriteFile = [&](TCabArchive*, const std::string& file, bool& allow) {
    asked.push_back(file);
    allow = file.find("a.txt") == std::string::npos;
  };
  cab_.OnDecompressProgress = [&](TCabArchive*, const std::string& file, std::int64_t,
                                  std::int64_t) {
    if (progressed.empty() || progressed.back() != file) progressed.push_back(file);
  };
  cab_.TargetPath = home_.Path("out");
  ASSERT_TRUE(cab_.ExtractAll());
  // The handler sees native paths, as it would show them to a user.
  const auto native = [&](const char* name) {
    return fs::path(home_.Path(name)).make_preferred().string();
  };
  EXPECT_EQ(asked, (std::vector<std::string>{native("out/a.txt"), native("out/sub/dir/b.dll")}));
  EXPECT_EQ(ReadFile("out/a.txt"), "keep");
  EXPECT_TRUE(ReadFile("out/sub/dir/b.dll") == Pattern(100000, 2));
  EXPECT_TRUE(ReadFile("out/c.txt") == Pattern(70000, 3));
  // The skipped entry reports no progress.
  EXPECT_EQ(progressed, (std::vector<std::string>{"sub\\dir\\b.dll", "c.txt"}));
}

TEST_F(CabArchiveTest, ExistingFileIsReplacedWithoutHandler) {
  fs::create_directories("out");
  WriteFile("out/a.txt", "old");
  cab_.TargetPath = "out/";
  ASSERT_TRUE(cab_.ExtractAll());
  EXPECT_EQ(ReadFile("out/a.txt"), "alpha\n");
}

// Windows refuses to delete a read-only file, so the entry cannot be
// created and the extraction fails there.
TEST_F(CabArchiveTest, ExistingReadOnlyFileFailsTheExtraction) {
  fs::create_directories("out/sub/dir");
  WriteFile("out/sub/dir/b.dll", "read-only");
  chmod("out/sub/dir/b.dll", 0444);
  cab_.TargetPath = "out";
  EXPECT_FALSE(cab_.ExtractAll());
  EXPECT_EQ(ReadFile("out/a.txt"), "alpha\n");
  EXPECT_EQ(ReadFile("out/sub/dir/b.dll"), "read-only");
  EXPECT_FALSE(Exists("out/c.txt"));
}

// A file that cannot be created aborts the extraction; the thread's error
// shows in a warning box as the service winds up.
TEST_F(CabArchiveTest, FileErrorsAreShownInAWarningBox) {
  WriteFile("blocker", "a file where a folder is needed");
  cab_.TargetPath = home_.Path("blocker");
  EXPECT_FALSE(cab_.ExtractAll());
  ASSERT_FALSE(boxes_->boxes.empty());
  const ui::MessageBoxRecord& box = boxes_->boxes.front();
  EXPECT_EQ(box.caption, "Error");
  EXPECT_EQ(box.type, ui::MB_OK | ui::MB_ICONWARNING);
  EXPECT_EQ(box.text, kernel::FormatMessage(kernel::ERROR_PATH_NOT_FOUND));
}

TEST_F(CabArchiveTest, NotACabinetFailsQuietly) {
  WriteFile("plain.cab", std::string(1000, 'p'));
  cab_.CABFile = "plain.cab";
  cab_.TargetPath = "out";
  EXPECT_FALSE(cab_.ExtractAll());
  cab_.CABFile = "missing.cab";
  EXPECT_FALSE(cab_.ExtractAll());
  EXPECT_FALSE(Exists("out"));
  EXPECT_TRUE(boxes_->boxes.empty());
}

TEST_F(CabArchiveTest, TraversalEntryIsRefused) {
  cab_.CABFile = DataCabinet("traversal-dotdot.cab");
  cab_.TargetPath = home_.Path("a/b");
  EXPECT_FALSE(cab_.ExtractAll());
  EXPECT_EQ(ReadFile("a/b/good.txt"), "inside the target folder\n");
  EXPECT_FALSE(Exists("evil.txt"));
  EXPECT_FALSE(Exists("a/evil.txt"));
}

TEST_F(CabArchiveTest, OneExtractionAtATime) {
  bool inner = true;
  bool tried = false;
  cab_.OnDecompressProgress = [&](TCabArchive*, const std::string&, std::int64_t, std::int64_t) {
    if (tried) return;
    tried = true;
    TCabArchive other(nullptr);
    other.CABFile = cab_.CABFile;
    other.TargetPath = "other";
    inner = other.ExtractAll();
  };
  cab_.TargetPath = "out";
  EXPECT_TRUE(cab_.ExtractAll());
  EXPECT_FALSE(inner);
  EXPECT_FALSE(Exists("other"));
  EXPECT_TRUE(ReadFile("out/c.txt") == Pattern(70000, 3));
}

TEST_F(CabArchiveTest, HandlerExceptionPropagatesAndReleasesEverything) {
  const int before = OpenDescriptors();
  cab_.TargetPath = "out";
  cab_.OnDecompressProgress = [](TCabArchive*, const std::string& file, std::int64_t,
                                 std::int64_t) {
    if (file == "c.txt") throw std::runtime_error("stop");
  };
  EXPECT_THROW(cab_.ExtractAll(), std::runtime_error);
  EXPECT_EQ(OpenDescriptors(), before);
  cab_.OnOverWriteFile = [](TCabArchive*, const std::string&, bool&) {
    throw std::runtime_error("no");
  };
  EXPECT_THROW(cab_.ExtractAll(), std::runtime_error);
  EXPECT_EQ(OpenDescriptors(), before);
  // The module state was wound up: the next extraction runs.
  cab_.OnDecompressProgress = nullptr;
  cab_.OnOverWriteFile = nullptr;
  EXPECT_TRUE(cab_.ExtractAll());
  EXPECT_TRUE(ReadFile("out/c.txt") == Pattern(70000, 3));
}

TEST(CabArchive, PublishedProperties) {
  TCabArchive cab(nullptr);
  EXPECT_EQ(cab.CompressionType, typMSZIP);
  EXPECT_EQ(cab.LZXMemory, lzxLowest);
  EXPECT_EQ(cab.CABContents.Count(), 0);
  // The launcher's stored settings.
  LoadComponent(cab,
                "object CabArchive1: TCabArchive\n"
                "  CompressionType = typMSZIP\n"
                "  LZXMemory = lzxHigh\n"
                "  Version = '9.9'\n"
                "end\n");
  EXPECT_EQ(cab.Name, "CabArchive1");
  EXPECT_EQ(cab.LZXMemory, lzxHigh);
  EXPECT_EQ(cab.Version(), "1.5.3.1");
  SetProperty(cab, "CompressionType", "typLZX");
  EXPECT_EQ(cab.CompressionType, typLZX);
  EXPECT_THROW(SetProperty(cab, "CompressionType", "typQuantum"), EReadError);
  const std::string stored = StoreComponent(cab);
  EXPECT_NE(stored.find("CompressionType = typLZX"), std::string::npos) << stored;
  EXPECT_NE(stored.find("LZXMemory = lzxHigh"), std::string::npos) << stored;
}

}  // namespace
