// Compressed files arrive from update servers. Expansion must end with a
// byte count or an error code, never a crash, and never write more than the
// header promises.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/lz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string base = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                                  "/fuzz_szdd_" + std::to_string(getpid());
  const std::string source = base + ".ex_";
  const std::string target = base + ".out";
  if (FILE* f = std::fopen(source.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  std::string expanded;
  int named = lz::GetExpandedName(source, expanded);
  if (named == 1 && expanded.size() + 1 < source.size()) __builtin_trap();

  lz::Handle in = lz::LZOpenFile(source, lz::OpenMode::Read);
  lz::Handle out = lz::LZOpenFile(target, lz::OpenMode::Create);
  long n = lz::LZCopy(in, out);
  lz::LZClose(out);
  lz::LZClose(in);

  static const unsigned char kSignature[8] = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33};
  bool szdd = size >= 14 && std::memcmp(data, kSignature, 8) == 0 && data[8] == 'A';
  if (szdd && n >= 0) {
    std::uint32_t length =
        data[10] | data[11] << 8 | data[12] << 16 | static_cast<std::uint32_t>(data[13]) << 24;
    struct stat st {};
    if (n != static_cast<long>(length) || stat(target.c_str(), &st) != 0 || st.st_size != n)
      __builtin_trap();
  }
  if (!szdd && (size < 8 || std::memcmp(data, kSignature, 8) != 0) && n != static_cast<long>(size))
    __builtin_trap();  // anything else is copied unchanged
  std::remove(source.c_str());
  std::remove(target.c_str());
  return 0;
}
