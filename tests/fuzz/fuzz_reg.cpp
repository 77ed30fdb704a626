// Hive files may be edited by hand. Parsing must never fail, and whatever
// parses must come back unchanged from a write and a second read.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/registry.h"

namespace {

bool Same(const registry::HiveData& a, const registry::HiveData& b) {
  if (a.keys.size() != b.keys.size()) return false;
  for (std::size_t i = 0; i < a.keys.size(); ++i)
    if (a.keys[i].path != b.keys[i].path || a.keys[i].values != b.keys[i].values) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto parsed = registry::ParseHive(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!parsed) return 0;
  std::string text = registry::FormatHive(*parsed);
  auto again = registry::ParseHive(text);
  if (!again || !Same(*parsed, *again) || registry::FormatHive(*again) != text) __builtin_trap();
  return 0;
}
