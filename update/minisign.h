// Signatures in the files of publishers' signing tool: a public key (the
// Base64 line of its ".pub" file), a secret key (its ".key" file, encrypted
// with a password or not) and a detached signature of a file (its ".minisig"
// file), whose signed "trusted comment" carries the time of signing. The
// engine only checks; the publishers' tool makes keys and signs.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/signature.h"

namespace minisign {

struct PublicKey {
  std::array<std::uint8_t, 8> id{};
  signature::PublicKey key{};
};

// The key from the text of a public key file, or from its Base64 line
// alone; nothing, with the reason in *why, for anything else.
std::optional<PublicKey> ParsePublicKey(std::string_view text, std::string* why = nullptr);

struct Verdict {
  bool valid = false;
  std::string reason;          // why not, when not valid
  std::string trustedComment;  // as signed, when valid
  // The "timestamp:N" of the trusted comment, when it has one.
  std::optional<std::uint64_t> timestamp;
};

struct SecretKey {
  std::array<std::uint8_t, 8> id{};
  signature::SecretKey key{};
};

struct KeyPair {
  PublicKey publicKey;
  SecretKey secretKey;
};

// A new key pair with a random id; nothing when this system cannot sign.
std::optional<KeyPair> NewKeyPair();

// The texts of a ".pub" file and of a ".key" file. With a password the
// secret key is encrypted as the signing tool does by default (scrypt at
// its "sensitive" limits: a second or more, and 1 GiB of memory).
std::string PublicKeyFile(const PublicKey& key);
std::string SecretKeyFile(const SecretKey& key, const std::optional<std::string>& password);

bool IsEncrypted(std::string_view secretKeyText);

// The key from the text of a ".key" file, decrypted with the password when
// it is encrypted; nothing, with the reason in *why, for anything else,
// a wrong password included.
std::optional<SecretKey> ParseSecretKey(std::string_view text,
                                        const std::optional<std::string>& password,
                                        std::string* why = nullptr);

// The text of the file's ".minisig": a signature of its BLAKE2b-512 hash,
// and the trusted comment signed with it. Nothing when the file cannot be
// read.
std::optional<std::string> SignFile(const std::string& path, const SecretKey& key,
                                    std::string_view trustedComment);

// Checks the file against the text of its signature file: made with that
// key, over that content, with that trusted comment.
Verdict VerifyFile(const std::string& path, std::string_view signatureText, const PublicKey& key);

}  // namespace minisign
