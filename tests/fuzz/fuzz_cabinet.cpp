// Arbitrary bytes as a cabinet for ExtractCabinet: it must fail or succeed
// cleanly, never crash, hang or write outside its target folder.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "archive/cabinet.h"

namespace {

const std::string& WorkFolder() {
  static const std::string folder = [] {
    std::string pattern =
        (std::filesystem::exists("/dev/shm") ? std::string("/dev/shm")
                                             : std::filesystem::temp_directory_path().string()) +
        "/fuzz_cabinet-XXXXXX";
    if (!mkdtemp(pattern.data())) abort();
    return pattern;
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string cabinet = WorkFolder() + "/input.cab";
  const std::string target = WorkFolder() + "/out/";
  {
    std::ofstream out(cabinet, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  ExtractCabinet(cabinet, target);
  std::error_code ec;
  std::filesystem::remove_all(target, ec);
  // Nothing may appear beside the target folder.
  for (const auto& entry : std::filesystem::directory_iterator(WorkFolder(), ec))
    if (entry.path().filename() != "input.cab") abort();
  return 0;
}
