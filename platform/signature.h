// Public-key signatures and the hashes signed files are named by: Ed25519
// checks, BLAKE2b-512 (what a prehashed signature covers) and SHA-256 (what
// a control file names a file by). Nothing here signs: the engine only
// checks what a publisher signed elsewhere.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace signature {

using PublicKey = std::array<std::uint8_t, 32>;
using Signature = std::array<std::uint8_t, 64>;

// False when the library cannot be started; the engine then refuses what
// it was asked to check rather than take it unchecked.
bool Available();

// True only for a valid Ed25519 signature of the message by the key.
bool Verify(const Signature& signature, std::string_view message, const PublicKey& key);

// Hashes of a file read in blocks; empty when the file cannot be read (or
// the library cannot be started).
std::string Blake2b512OfFile(const std::string& path);
std::string Sha256OfFile(const std::string& path);

}  // namespace signature
