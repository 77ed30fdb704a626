// Signatures as publishers' signing tool writes them: a public key (the
// Base64 line of its ".pub" file) and a detached signature of a file (its
// ".minisig" file), whose signed "trusted comment" carries the time of
// signing. Checked here, made elsewhere.
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

// Checks the file against the text of its signature file: made with that
// key, over that content, with that trusted comment.
Verdict VerifyFile(const std::string& path, std::string_view signatureText, const PublicKey& key);

}  // namespace minisign
