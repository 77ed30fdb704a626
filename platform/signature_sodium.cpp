// The signature service on every platform: libsodium, the library the
// publishers' signing tool is built on (Windows' own crypto API has no
// Ed25519).
#include <sodium.h>

#include <cstdio>
#include <memory>

#include "platform/signature.h"

namespace signature {
namespace {

bool Initialised() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

// Feeds the file to the update function block by block.
template <typename Update>
bool ReadFile(const std::string& path, Update update) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!file) return false;
  unsigned char block[1 << 16];
  for (std::size_t n; (n = std::fread(block, 1, sizeof block, file.get())) > 0;) update(block, n);
  return !std::ferror(file.get());
}

}  // namespace

bool Available() {
  return Initialised();
}

bool Verify(const Signature& signature, std::string_view message, const PublicKey& key) {
  if (!Initialised()) return false;
  return crypto_sign_verify_detached(signature.data(),
                                     reinterpret_cast<const unsigned char*>(message.data()),
                                     message.size(), key.data()) == 0;
}

std::string Blake2b512OfFile(const std::string& path) {
  if (!Initialised()) return {};
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
  if (!ReadFile(path, [&](const unsigned char* data, std::size_t n) {
        crypto_generichash_update(&state, data, n);
      }))
    return {};
  std::string hash(crypto_generichash_BYTES_MAX, '\0');
  crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(hash.data()), hash.size());
  return hash;
}

std::string Sha256OfFile(const std::string& path) {
  if (!Initialised()) return {};
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  if (!ReadFile(path, [&](const unsigned char* data, std::size_t n) {
        crypto_hash_sha256_update(&state, data, n);
      }))
    return {};
  std::string hash(crypto_hash_sha256_BYTES, '\0');
  crypto_hash_sha256_final(&state, reinterpret_cast<unsigned char*>(hash.data()));
  return hash;
}

}  // namespace signature
