// Feeds arbitrary bytes to the PE version resource reader.
#include <cstddef>
#include <cstdint>

#include "platform/kernel.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto info = kernel::ParsePEVersionInfo({data, size});
  if (info && info->signature != kernel::kFixedFileInfoSignature) __builtin_trap();
  return 0;
}
