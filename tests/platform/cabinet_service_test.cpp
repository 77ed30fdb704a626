// The cabinet service as a program sees it: every byte of memory and every
// file operation goes through the program's callbacks, and the notifications
// decide what is extracted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/cabinet.h"
#include "support/cab_support.h"
#include "support/test_support.h"

using namespace cabinet;
using cab_support::MakeCabinet;
using cab_support::Pattern;
using testing_support::TempHome;
using testing_support::WriteFile;

namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr int kReadBinary = O_RDONLY | O_BINARY;
#else
constexpr int kReadBinary = O_RDONLY;
#endif

// What the program's callbacks saw. The callbacks are plain functions, so
// the record is global; each test starts from an empty one (under Wine all
// tests share one process).
struct Record {
  std::map<void*, unsigned long> blocks;  // outstanding allocations
  unsigned long bytes = 0, peak = 0;
  std::vector<std::string> opened;
  std::vector<int> openFlags;
  int openFiles = 0;
  // Entry handles are small numbers of ours; their data lands here.
  std::map<INT_PTR, std::string> written;
  INT_PTR nextHandle = 1000;
  std::vector<std::string> events;
  std::map<std::string, std::pair<std::uint16_t, std::uint16_t>> stamps;
  std::map<std::string, INT_PTR> answers;  // copy-file answer per entry (default: extract)
  std::map<INT_PTR, std::string> entryOf;
  std::map<std::string, std::string> files;  // closed entries' data
  bool failWrites = false;
  bool throwOnWrite = false;
  int closedEntries = 0;
} rec;

void* Alloc(unsigned long cb) {
  void* p = std::malloc(cb ? cb : 1);
  rec.blocks[p] = cb;
  rec.bytes += cb;
  if (rec.bytes > rec.peak) rec.peak = rec.bytes;
  return p;
}
void Free(void* p) {
  auto it = rec.blocks.find(p);
  ASSERT_NE(it, rec.blocks.end());
  rec.bytes -= it->second;
  rec.blocks.erase(it);
  std::free(p);
}
INT_PTR Open(char* name, int oflag, int pmode) {
  rec.opened.push_back(name);
  rec.openFlags.push_back(oflag);
  int fd = ::open(name, kReadBinary);
  if (fd >= 0) ++rec.openFiles;
  return fd;
}
unsigned Read(INT_PTR hf, void* pv, unsigned cb) {
  ssize_t n = ::read(static_cast<int>(hf), pv, cb);
  return n < 0 ? UINT_MAX : static_cast<unsigned>(n);
}
unsigned Write(INT_PTR hf, void* pv, unsigned cb) {
  if (rec.throwOnWrite) throw std::runtime_error("write refused");
  if (rec.failWrites) return UINT_MAX;
  EXPECT_TRUE(rec.written.count(hf)) << "write to a handle the program did not return";
  rec.written[hf].append(static_cast<char*>(pv), cb);
  return cb;
}
int Close(INT_PTR hf) {
  if (rec.written.count(hf)) {
    rec.files[rec.entryOf[hf]] = rec.written[hf];
    rec.written.erase(hf);
    ++rec.closedEntries;
    return 0;
  }
  --rec.openFiles;
  return ::close(static_cast<int>(hf));
}
long Seek(INT_PTR hf, long dist, int seektype) {
  return static_cast<long>(::lseek(static_cast<int>(hf), dist, seektype));
}

INT_PTR Notify(FDINOTIFICATIONTYPE type, FDINOTIFICATION* n) {
  switch (type) {
    case fdintCABINET_INFO:
      rec.events.push_back(std::string("info ") + n->psz3);
      return 0;
    case fdintCOPY_FILE: {
      const std::string name = n->psz1;
      rec.events.push_back("copy " + name + " " + std::to_string(n->cb));
      rec.stamps[name] = {n->date, n->time};
      auto answer = rec.answers.find(name);
      if (answer != rec.answers.end()) return answer->second;
      const INT_PTR hf = rec.nextHandle++;
      rec.written[hf];
      rec.entryOf[hf] = name;
      return hf;
    }
    case fdintCLOSE_FILE_INFO: {
      const std::string name = n->psz1;
      rec.events.push_back("close " + name);
      EXPECT_EQ(rec.entryOf[n->hf], name);
      EXPECT_EQ(rec.stamps[name], std::make_pair(n->date, n->time));
      Close(n->hf);
      return 1;
    }
    default:
      return 0;
  }
}

class CabinetServiceTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    rec = Record{};
    fs::create_directories("src/sub");
    WriteFile("src/one.txt", "first entry");
    WriteFile("src/sub/two.bin", Pattern(150000, 7));
    WriteFile("src/three.txt", Pattern(5000, 8));
    cab_support::SetMtime("src/one.txt", cab_support::LocalTime(2012, 3, 4, 5, 6, 8));
    MakeCabinet("set.cab", "src", {"one.txt", "sub/two.bin", "three.txt"}, GetParam());
    fdi_ = FDICreate(Alloc, Free, Open, Read, Write, Close, Seek, cpu80386, &erf_);
    ASSERT_NE(fdi_, nullptr);
  }
  void TearDown() override {
    if (fdi_) {
      EXPECT_TRUE(FDIDestroy(fdi_));
    }
    EXPECT_TRUE(rec.blocks.empty()) << "memory kept after FDIDestroy";
    EXPECT_EQ(rec.openFiles, 0) << "cabinet handle left open";
  }
  bool Copy() {
    std::string name = "set.cab";
    std::string folder = home_.path().string() + "/";
    return FDICopy(fdi_, name.data(), folder.data(), 0, Notify, nullptr, nullptr);
  }

  TempHome home_;
  ERF erf_;
  HFDI fdi_ = nullptr;
};

TEST_P(CabinetServiceTest, NotifiesEveryEntryAndWritesThroughTheProgram) {
  ASSERT_TRUE(Copy());
  const std::string folder = home_.path().string() + "/";
  EXPECT_EQ(rec.events,
            (std::vector<std::string>{"info " + folder, "copy one.txt 11", "close one.txt",
                                      "copy sub\\two.bin 150000", "close sub\\two.bin",
                                      "copy three.txt 5000", "close three.txt"}));
  EXPECT_EQ(rec.files["one.txt"], "first entry");
  EXPECT_TRUE(rec.files["sub\\two.bin"] == Pattern(150000, 7));
  EXPECT_TRUE(rec.files["three.txt"] == Pattern(5000, 8));
  // 2012-03-04 05:06:08 as DOS date and time.
  EXPECT_EQ(rec.stamps["one.txt"], std::make_pair(std::uint16_t((2012 - 1980) << 9 | 3 << 5 | 4),
                                                  std::uint16_t(5 << 11 | 6 << 5 | 4)));
  // The cabinet was opened through the program, read-only and binary.
  ASSERT_FALSE(rec.opened.empty());
  EXPECT_EQ(rec.opened.front(), folder + "set.cab");
  EXPECT_EQ(rec.openFlags.front(), kOpenReadBinary);
  // Memory stays small next to the 150000-byte entry.
  EXPECT_LT(rec.peak, 1u << 20);
}

TEST_P(CabinetServiceTest, ZeroSkipsAnEntry) {
  rec.answers["sub\\two.bin"] = 0;
  ASSERT_TRUE(Copy());
  EXPECT_EQ(rec.files.count("sub\\two.bin"), 0u);
  EXPECT_TRUE(rec.files["three.txt"] == Pattern(5000, 8));
  EXPECT_EQ(rec.closedEntries, 2);
}

TEST_P(CabinetServiceTest, MinusOneAbortsEverything) {
  rec.answers["sub\\two.bin"] = -1;
  EXPECT_FALSE(Copy());
  EXPECT_EQ(erf_.erfOper, FDIERROR_USER_ABORT);
  EXPECT_TRUE(erf_.fError);
  EXPECT_EQ(rec.events.back(), "copy sub\\two.bin 150000");
  EXPECT_EQ(rec.files.count("three.txt"), 0u);
}

TEST_P(CabinetServiceTest, FailedWriteClosesTheEntryHandle) {
  rec.failWrites = true;
  EXPECT_FALSE(Copy());
  EXPECT_EQ(erf_.erfOper, FDIERROR_TARGET_FILE);
  EXPECT_EQ(rec.closedEntries, 1);  // closed by the service, without close-file notification
  EXPECT_EQ(rec.events.back(), "copy one.txt 11");
}

TEST_P(CabinetServiceTest, ExceptionFromACallbackLeavesTheCopy) {
  rec.throwOnWrite = true;
  EXPECT_THROW(Copy(), std::runtime_error);
  EXPECT_EQ(rec.closedEntries, 1);
  // The context still works afterwards.
  rec.throwOnWrite = false;
  rec.events.clear();
  EXPECT_TRUE(Copy());
  EXPECT_TRUE(rec.files["three.txt"] == Pattern(5000, 8));
}

TEST_P(CabinetServiceTest, IsCabinetReadsAnOpenHandle) {
  int fd = ::open("set.cab", kReadBinary);
  ASSERT_GE(fd, 0);
  ::lseek(fd, 17, SEEK_SET);
  FDICABINETINFO info;
  EXPECT_TRUE(FDIIsCabinet(fdi_, fd, &info));
  EXPECT_EQ(info.cFiles, 3);
  EXPECT_EQ(info.cFolders, 1);
  EXPECT_EQ(info.cbCabinet, static_cast<std::int32_t>(fs::file_size("set.cab")));
  EXPECT_FALSE(info.hasnext);
  ::close(fd);

  WriteFile("plain.bin", std::string(500, 'z'));
  fd = ::open("plain.bin", kReadBinary);
  EXPECT_FALSE(FDIIsCabinet(fdi_, fd, &info));
  EXPECT_EQ(erf_.erfOper, FDIERROR_NOT_A_CABINET);
  ::close(fd);
}

TEST_P(CabinetServiceTest, MissingOrCorruptCabinet) {
  std::string name = "none.cab";
  std::string folder = home_.path().string() + "/";
  EXPECT_FALSE(FDICopy(fdi_, name.data(), folder.data(), 0, Notify, nullptr, nullptr));
  EXPECT_EQ(erf_.erfOper, FDIERROR_CABINET_NOT_FOUND);

  // Cut the cabinet in the middle of the large entry.
  std::string bytes = testing_support::ReadFile("set.cab");
  bytes.resize(bytes.size() / 2);
  WriteFile("set.cab", bytes);
  EXPECT_FALSE(Copy());
  EXPECT_NE(erf_.erfOper, FDIERROR_NONE);
  EXPECT_EQ(rec.closedEntries, 2);  // one.txt, then the damaged one by the service
  EXPECT_TRUE(rec.written.empty()) << "an entry handle was left open";
}

INSTANTIATE_TEST_SUITE_P(StoredAndMszip, CabinetServiceTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Mszip") : std::string("Stored");
                         });

}  // namespace
