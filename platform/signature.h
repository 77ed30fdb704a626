// Public-key signatures and the hashes signed files are named by: Ed25519
// (checked by the engine, made by the publishers' tool), BLAKE2b (what a
// prehashed signature covers and a secret key file's checksum), SHA-256 (what
// a control file names a file by) and scrypt (what a secret key file is
// encrypted with).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace signature {

using PublicKey = std::array<std::uint8_t, 32>;
using SecretKey = std::array<std::uint8_t, 64>;
using Signature = std::array<std::uint8_t, 64>;

// False when the library cannot be started; the engine then refuses what
// it was asked to check rather than take it unchecked.
bool Available();

// True only for a valid Ed25519 signature of the message by the key.
bool Verify(const Signature& signature, std::string_view message, const PublicKey& key);

// A new Ed25519 key pair from the system's random source; false when the
// library cannot be started.
bool NewKeyPair(PublicKey& publicKey, SecretKey& secretKey);

Signature Sign(std::string_view message, const SecretKey& key);

// Bytes from the system's cryptographic random source.
std::string RandomBytes(std::size_t count);

// BLAKE2b of bytes with a digest of `size` bytes (16 to 64).
std::string Blake2b(std::string_view data, std::size_t size);

// `size` bytes derived from the password by scrypt (salsa20/8, SHA-256) with
// the given salt and limits; empty when the limits are out of range or the
// memory cannot be had.
std::string Scrypt(std::string_view password, std::string_view salt, std::uint64_t opsLimit,
                   std::uint64_t memLimit, std::size_t size);

// Hashes of a file read in blocks; empty when the file cannot be read (or
// the library cannot be started). BLAKE2b-512 as bytes, SHA-256 as 64
// lowercase hexadecimal digits, the way control files write it.
std::string Blake2b512OfFile(const std::string& path);
std::string Sha256HexOfFile(const std::string& path);
// SHA-256 of bytes in memory, written the same way.
std::string Sha256Hex(std::string_view data);

}  // namespace signature
