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
