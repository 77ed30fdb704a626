// Control files come from update servers. Reading one and selecting its file
// entries must never crash, hang or grow without bound, whatever it holds:
// every unreadable value falls back to its default.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "update/updater.h"

namespace {

// The folder the control file is fetched from and into.
const std::string& Folder() {
  static const std::string folder = [] {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string dir = base + "/fuzz_control_" + std::to_string(getpid()) + "/";
    kernel::CreateDirectory(dir);
    kernel::CreateDirectory(dir + "tmp");
    SetUpdateTempDir(dir + "tmp");
    return dir;
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string source = Folder() + "upd.txt";
  if (FILE* f = std::fopen(source.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  // The first bytes also pick the policies, so both are explored.
  TUpdater updater(nullptr);
  updater.UpdateType = fileUpdate;
  updater.URL = source;
  updater.SignatureCheck = size > 0 && (data[0] & 1);
  updater.VersionCheck = size > 1 && (data[1] & 1) ? vcAlways : vcUpdateOnly;
  updater.UseCRC32 = size > 2 && (data[2] & 1);
  try {
    updater.FetchControlFile();
    const int result = updater.CheckNewVersion();
    if (result < 6 || result > 12) __builtin_trap();
    const int count = updater.ReadFileList();
    if (count > 0) {
      const int selected = updater.SelectFiles();
      if ((selected == 0) != (updater.FileList.Count() > 0)) __builtin_trap();
    } else if (updater.FileList.Count() != 0) {
      __builtin_trap();
    }
  } catch (const std::runtime_error&) {
    // {LAD} without a local application data folder ends a run with an
    // error; nothing else may escape.
  }
  updater.CloseConnection();
  return 0;
}
