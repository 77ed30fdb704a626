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

// Lower-case hexadecimal, the way control files write a SHA-256.
std::string Sha256Final(crypto_hash_sha256_state& state) {
  unsigned char hash[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&state, hash);
  std::string hex(2 * sizeof hash + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), hash, sizeof hash);
  hex.pop_back();
  return hex;
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

bool NewKeyPair(PublicKey& publicKey, SecretKey& secretKey) {
  return Initialised() && crypto_sign_keypair(publicKey.data(), secretKey.data()) == 0;
}

Signature Sign(std::string_view message, const SecretKey& key) {
  Signature signature{};
  if (Initialised())
    crypto_sign_detached(signature.data(), nullptr,
                         reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                         key.data());
  return signature;
}

std::string RandomBytes(std::size_t count) {
  std::string bytes(count, '\0');
  if (Initialised()) randombytes_buf(bytes.data(), bytes.size());
  return bytes;
}

std::string Blake2b(std::string_view data, std::size_t size) {
  std::string hash(size, '\0');
  if (!Initialised() || size < crypto_generichash_BYTES_MIN || size > crypto_generichash_BYTES_MAX)
    return {};
  crypto_generichash(reinterpret_cast<unsigned char*>(hash.data()), size,
                     reinterpret_cast<const unsigned char*>(data.data()), data.size(), nullptr, 0);
  return hash;
}

std::string Scrypt(std::string_view password, std::string_view salt, std::uint64_t opsLimit,
                   std::uint64_t memLimit, std::size_t size) {
  if (!Initialised() || salt.size() != crypto_pwhash_scryptsalsa208sha256_SALTBYTES ||
      opsLimit > crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_MAX ||
      memLimit > crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_MAX)
    return {};
  std::string key(size, '\0');
  if (crypto_pwhash_scryptsalsa208sha256(
          reinterpret_cast<unsigned char*>(key.data()), key.size(), password.data(),
          password.size(), reinterpret_cast<const unsigned char*>(salt.data()),
          static_cast<unsigned long long>(opsLimit), static_cast<std::size_t>(memLimit)) != 0)
    return {};
  return key;
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

std::string Sha256HexOfFile(const std::string& path) {
  if (!Initialised()) return {};
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  if (!ReadFile(path, [&](const unsigned char* data, std::size_t n) {
        crypto_hash_sha256_update(&state, data, n);
      }))
    return {};
  return Sha256Final(state);
}

std::string Sha256Hex(std::string_view data) {
  if (!Initialised()) return {};
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(data.data()),
                            data.size());
  return Sha256Final(state);
}

}  // namespace signature
