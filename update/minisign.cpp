#include "update/minisign.h"

#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/base64.h"

namespace minisign {
namespace {

constexpr std::string_view kUntrusted = "untrusted comment:";
// A secret key file's algorithms: the signature's, the key derivation's
// (none when it is not encrypted) and the checksum's.
constexpr std::string_view kEd25519 = "Ed";
constexpr std::string_view kScrypt = "Sc";
constexpr std::string_view kNoKdf{"\0\0", 2};
constexpr std::string_view kBlake2b = "B2";
// The sensitive limits of libsodium's scrypt, which the signing tool uses.
constexpr std::uint64_t kOpsLimit = 33554432, kMemLimit = 1073741824;
// Offsets into a decoded secret key: the algorithms, the salt, the limits,
// then what the password encrypts: the id, the key and the checksum.
constexpr std::size_t kSaltAt = 6, kOpsAt = 38, kMemAt = 46, kSecretAt = 54, kSecretSize = 104,
                      kSecretKeySize = kSecretAt + kSecretSize;
constexpr std::string_view kTrusted = "trusted comment: ";

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::optional<std::string> Decoded(std::string_view text) {
  try {
    return Base64Decode(text);
  } catch (const EBase64Error&) {
    return std::nullopt;
  }
}

template <std::size_t N>
void CopyOut(std::string_view from, std::array<std::uint8_t, N>& to) {
  std::memcpy(to.data(), from.data(), N);
}

std::optional<std::uint64_t> Timestamp(std::string_view comment) {
  constexpr std::string_view kTag = "timestamp:";
  const auto at = comment.find(kTag);
  if (at == std::string_view::npos || (at > 0 && comment[at - 1] != '\t' && comment[at - 1] != ' '))
    return std::nullopt;
  const char* first = comment.data() + at + kTag.size();
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(first, comment.data() + comment.size(), value);
  if (error != std::errc() || end == first) return std::nullopt;
  return value;
}

std::string Bytes(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

std::string Little64(std::uint64_t value) {
  std::string bytes(8, '\0');
  for (char& byte : bytes) byte = static_cast<char>(value & 0xFF), value >>= 8;
  return bytes;
}

std::uint64_t FromLittle64(std::string_view bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 8; i-- > 0;) value = value << 8 | static_cast<std::uint8_t>(bytes[i]);
  return value;
}

// The id as the signing tool prints it: a little-endian number in hex.
std::string IdText(const std::array<std::uint8_t, 8>& id) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = id.size(); i-- > 0;) text += {kDigits[id[i] >> 4], kDigits[id[i] & 15]};
  return text;
}

// XORs the id, key and checksum with what the password derives.
bool Crypt(std::string& decoded, const std::string& password) {
  const std::string stream =
      signature::Scrypt(password, std::string_view(decoded).substr(kSaltAt, 32),
                        FromLittle64(std::string_view(decoded).substr(kOpsAt, 8)),
                        FromLittle64(std::string_view(decoded).substr(kMemAt, 8)), kSecretSize);
  if (stream.size() != kSecretSize) return false;
  for (std::size_t i = 0; i < kSecretSize; ++i) decoded[kSecretAt + i] ^= stream[i];
  return true;
}

std::string Checksum(const SecretKey& key) {
  return signature::Blake2b(std::string(kEd25519) + Bytes(key.id.data(), key.id.size()) +
                                Bytes(key.key.data(), key.key.size()),
                            32);
}

std::optional<std::string> DecodedSecretKey(std::string_view text) {
  const std::vector<std::string_view> lines = Lines(text);
  auto decoded = lines.size() >= 2 ? Decoded(lines[1]) : std::nullopt;
  if (!decoded || decoded->size() != kSecretKeySize) return std::nullopt;
  return decoded;
}

std::optional<std::string> WholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Verdict Refused(std::string reason) {
  Verdict verdict;
  verdict.reason = std::move(reason);
  return verdict;
}

}  // namespace

std::optional<PublicKey> ParsePublicKey(std::string_view text, std::string* why) {
  auto fail = [why](const char* reason) -> std::optional<PublicKey> {
    if (why) *why = reason;
    return std::nullopt;
  };
  std::string_view line;
  for (std::string_view candidate : Lines(text))
    if (!candidate.empty() && candidate.substr(0, kUntrusted.size()) != kUntrusted) {
      line = candidate;
      break;
    }
  const auto bytes = Decoded(line);
  // "Ed", the key's id, the key.
  if (!bytes || bytes->size() != 42) return fail("not a public key");
  if (bytes->compare(0, 2, "Ed") != 0) return fail("a key of an unknown algorithm");
  PublicKey key;
  CopyOut(std::string_view(*bytes).substr(2, 8), key.id);
  CopyOut(std::string_view(*bytes).substr(10, 32), key.key);
  return key;
}

std::optional<KeyPair> NewKeyPair() {
  KeyPair pair;
  if (!signature::NewKeyPair(pair.publicKey.key, pair.secretKey.key)) return std::nullopt;
  CopyOut(signature::RandomBytes(8), pair.publicKey.id);
  pair.secretKey.id = pair.publicKey.id;
  return pair;
}

std::string PublicKeyFile(const PublicKey& key) {
  return "untrusted comment: minisign public key " + IdText(key.id) + "\n" +
         Base64Encode(std::string(kEd25519) + Bytes(key.id.data(), key.id.size()) +
                      Bytes(key.key.data(), key.key.size())) +
         "\n";
}

std::string SecretKeyFile(const SecretKey& key, const std::optional<std::string>& password) {
  std::string decoded =
      std::string(kEd25519) + std::string(password ? kScrypt : kNoKdf) + std::string(kBlake2b) +
      (password ? signature::RandomBytes(32) : std::string(32, '\0')) +
      Little64(password ? kOpsLimit : 0) + Little64(password ? kMemLimit : 0) +
      Bytes(key.id.data(), key.id.size()) + Bytes(key.key.data(), key.key.size()) + Checksum(key);
  if (password && !Crypt(decoded, *password)) return {};
  return std::string("untrusted comment: minisign ") + (password ? "encrypted " : "") +
         "secret key\n" + Base64Encode(decoded) + "\n";
}

bool IsEncrypted(std::string_view secretKeyText) {
  const auto decoded = DecodedSecretKey(secretKeyText);
  return decoded && decoded->substr(2, 2) == kScrypt;
}

std::optional<SecretKey> ParseSecretKey(std::string_view text,
                                        const std::optional<std::string>& password,
                                        std::string* why) {
  auto fail = [why](const char* reason) -> std::optional<SecretKey> {
    if (why) *why = reason;
    return std::nullopt;
  };
  auto decoded = DecodedSecretKey(text);
  if (!decoded) return fail("not a secret key");
  if (decoded->substr(0, 2) != kEd25519 || decoded->substr(4, 2) != kBlake2b)
    return fail("a key of an unknown algorithm");
  const std::string kdf = decoded->substr(2, 2);
  if (kdf == kScrypt) {
    if (!password) return fail("the key is encrypted and no password was given");
    if (!Crypt(*decoded, *password)) return fail("the key's password cannot be derived");
  } else if (kdf != kNoKdf) {
    return fail("a key encrypted in an unknown way");
  }
  SecretKey key;
  CopyOut(std::string_view(*decoded).substr(kSecretAt, 8), key.id);
  CopyOut(std::string_view(*decoded).substr(kSecretAt + 8, 64), key.key);
  if (Checksum(key) != decoded->substr(kSecretAt + 72))
    return fail(kdf == kScrypt ? "wrong password" : "the key is damaged");
  return key;
}

std::optional<std::string> SignFile(const std::string& path, const SecretKey& key,
                                    std::string_view trustedComment) {
  const std::string hash = signature::Blake2b512OfFile(path);
  if (hash.empty()) return std::nullopt;
  const signature::Signature fileSignature = signature::Sign(hash, key.key);
  const std::string signed_ = Bytes(fileSignature.data(), fileSignature.size());
  const signature::Signature commentSignature =
      signature::Sign(signed_ + std::string(trustedComment), key.key);
  return "untrusted comment: signature from minisign secret key\n" +
         Base64Encode("ED" + Bytes(key.id.data(), key.id.size()) + signed_) + "\n" +
         std::string(kTrusted) + std::string(trustedComment) + "\n" +
         Base64Encode(Bytes(commentSignature.data(), commentSignature.size())) + "\n";
}

Verdict VerifyFile(const std::string& path, std::string_view signatureText, const PublicKey& key) {
  if (!signature::Available()) return Refused("signatures cannot be checked on this system");
  const std::vector<std::string_view> lines = Lines(signatureText);
  if (lines.size() < 4 || lines[0].substr(0, kUntrusted.size()) != kUntrusted ||
      lines[2].substr(0, kTrusted.size()) != kTrusted)
    return Refused("not a signature file");
  const auto bytes = Decoded(lines[1]);
  const auto global = Decoded(lines[3]);
  // The algorithm ("Ed" over the file, "ED" over its BLAKE2b-512 hash), the
  // key's id, the signature; then the signature of that and the comment.
  if (!bytes || bytes->size() != 74 || !global || global->size() != 64)
    return Refused("not a signature file");
  const std::string algorithm = bytes->substr(0, 2);
  if (algorithm != "Ed" && algorithm != "ED") return Refused("a signature of an unknown algorithm");
  if (std::memcmp(key.id.data(), bytes->data() + 2, key.id.size()) != 0)
    return Refused("signed with another key");
  signature::Signature fileSignature, commentSignature;
  CopyOut(std::string_view(*bytes).substr(10, 64), fileSignature);
  CopyOut(std::string_view(*global), commentSignature);

  const std::optional<std::string> message =
      algorithm == "ED" ? std::optional(signature::Blake2b512OfFile(path)) : WholeFile(path);
  if (!message || (algorithm == "ED" && message->empty())) return Refused("cannot read " + path);
  if (!signature::Verify(fileSignature, *message, key.key))
    return Refused("the signature does not match the file");
  const std::string_view comment = lines[2].substr(kTrusted.size());
  if (!signature::Verify(commentSignature, bytes->substr(10, 64) + std::string(comment), key.key))
    return Refused("the trusted comment is not the one signed");

  Verdict verdict;
  verdict.valid = true;
  verdict.trustedComment = std::string(comment);
  verdict.timestamp = Timestamp(comment);
  return verdict;
}

}  // namespace minisign
