// A signature file comes from the update server beside its control file, and
// key files from wherever a publisher keeps them. Reading one must never
// crash or read out of bounds, whatever it holds; only a real signature by
// the key passes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "update/minisign.h"

namespace {

// The signed file, and a key no input can have signed with.
const std::string& Signed() {
  static const std::string path = [] {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string file = base + "/fuzz_minisign_" + std::to_string(getpid()) + ".txt";
    if (FILE* f = std::fopen(file.c_str(), "wb")) {
      std::fputs("[files]\ncount=0\n", f);
      std::fclose(f);
    }
    return file;
  }();
  return path;
}

const minisign::KeyPair& Key() {
  static const minisign::KeyPair pair = *minisign::NewKeyPair();
  return pair;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (minisign::VerifyFile(Signed(), text, Key().publicKey).valid) __builtin_trap();
  if (const auto key = minisign::ParsePublicKey(text)) minisign::VerifyFile(Signed(), text, *key);
  // No password: an encrypted key is refused before its limits are used.
  minisign::IsEncrypted(text);
  minisign::ParseSecretKey(text, std::nullopt);
  return 0;
}
