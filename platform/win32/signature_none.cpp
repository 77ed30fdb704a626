// Windows backend of the signature service, until libsodium is built for
// it: the system's crypto API has no Ed25519. Every check fails, so an
// engine told to check signatures refuses rather than installs unchecked.
#include "platform/signature.h"

namespace signature {

bool Available() {
  return false;
}

bool Verify(const Signature&, std::string_view, const PublicKey&) {
  return false;
}

bool NewKeyPair(PublicKey&, SecretKey&) {
  return false;
}

Signature Sign(std::string_view, const SecretKey&) {
  return {};
}

std::string RandomBytes(std::size_t) {
  return {};
}

std::string Blake2b(std::string_view, std::size_t) {
  return {};
}

std::string Scrypt(std::string_view, std::string_view, std::uint64_t, std::uint64_t, std::size_t) {
  return {};
}

std::string Blake2b512OfFile(const std::string&) {
  return {};
}

std::string Sha256HexOfFile(const std::string&) {
  return {};
}

}  // namespace signature
