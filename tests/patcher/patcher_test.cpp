// The patcher as the engine runs it: written out of the program's own
// resource "UTIL", started as a process with no shell.
#include <gtest/gtest.h>

#include <random>

#include "platform/delta.h"
#include "platform/kernel.h"
#include "platform/lfile.h"
#include "support/test_support.h"
#include "update/updater.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempHome;
using testing_support::WriteFile;

std::string RandomText(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

std::span<const unsigned char> AsBytes(const std::string& s) {
  return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

int RunPatcher(const std::string& commandLine) {
  auto process = kernel::CreateProcess(commandLine, kernel::ShowWindow::Hidden);
  if (!process) return -1;
  kernel::WaitForProcess(*process);
  return static_cast<int>(kernel::GetExitCodeProcess(*process).value_or(-1));
}

TEST(PatcherTest, CarriedPatcherReplacesOnlyItsBaseWithTheResult) {
  TempHome home;
  TUpdater updater(nullptr);
  updater.UseWinTempDir = false;
  updater.WritePatcher();
  const std::string patcher = kernel::QuoteArgument(home.Path("patcher.exe"));

  const std::string base = RandomText(1 << 20, 1);
  std::string result = base;
  result.replace(300000, 5000, RandomText(5000, 2));
  const auto patch = delta::MakePatch(AsBytes(base), AsBytes(result));
  ASSERT_TRUE(patch);
  WriteFile(home.Path("client.exe.PAT"), std::string(patch->begin(), patch->end()));

  // Another release than the patch's base is refused and left as it was;
  // the output goes where the engine's command line redirects it.
  const std::string other = RandomText(1 << 20, 3);
  WriteFile(home.Path("other.exe"), other);
  EXPECT_NE(RunPatcher(patcher + " client.exe.PAT " + home.Path("other.exe") + ">> UPDATER.LOG"),
            0);
  EXPECT_TRUE(ReadFile(home.Path("other.exe")) == other);
  EXPECT_NE(ReadFile(home.Path("UPDATER.LOG")).find("not the file this patch was made for"),
            std::string::npos);

  WriteFile(home.Path("client.exe"), base);
  EXPECT_EQ(
      RunPatcher(patcher + " -v " + home.Path("client.exe.PAT") + " client.exe >> UPDATER.LOG"), 0);
  EXPECT_TRUE(ReadFile(home.Path("client.exe")) == result);
  EXPECT_FALSE(kernel::FileExists(home.Path("client.exe") + kernel::TemporaryFile::kPartialSuffix));
  EXPECT_NE(ReadFile(home.Path("UPDATER.LOG")).find("patched"), std::string::npos);
}

}  // namespace
