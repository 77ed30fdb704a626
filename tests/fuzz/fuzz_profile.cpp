// Profile texts come from update servers and from files users edit. Parsing
// must never fail, and an edit must always be read back as written.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  profile::ProfileText parsed(text);
  for (const auto& section : parsed.Sections())
    for (const auto& key : parsed.Keys(section))
      if (!parsed.Get(section, key)) __builtin_trap();  // a listed key must be found

  // A memory file system where there is one: the writes flush to disk.
  static const std::string file = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                  "/fuzz_profile_" + std::to_string(getpid()) + ".ini";
  if (FILE* f = std::fopen(file.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  const std::string value = "v a=l";
  if (!profile::WritePrivateProfileString("Fuzz", std::string("Key"), value, file))
    __builtin_trap();
  if (profile::GetPrivateProfileString("fuzz", "key", "", file) != value) __builtin_trap();
  if (!profile::WritePrivateProfileString("FUZZ", std::string("KEY"), std::nullopt, file))
    __builtin_trap();
  if (profile::GetPrivateProfileString("fuzz", "key", "<none>", file) != "<none>") __builtin_trap();
  if (!profile::WritePrivateProfileString("fuzz", std::nullopt, std::nullopt, file))
    __builtin_trap();
  if (!profile::GetPrivateProfileKeys("fuzz", file).empty()) __builtin_trap();
  std::remove(file.c_str());
  return 0;
}
