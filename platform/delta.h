// Patches that turn one release of a file into the next: the new file
// compressed against the old one, so only what changed costs bytes. The
// patch names the SHA-256 of the file it was made from and of the file it
// makes, so applying it to anything else is refused rather than producing a
// wrong program.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace delta {

// The patch format: "KPAT", a format byte (1), the SHA-256 of the base and of
// the result (32 bytes each), the result's size (8 bytes, little-endian), then
// one zstd frame compressed against the base as its prefix dictionary with
// long-distance matching.
struct PatchHeader {
  // 64 lower-case hex digits each, as signature::Sha256HexOfFile gives them.
  std::string baseSha256, resultSha256;
  std::uint64_t resultSize = 0;
};

// The largest base or result a patch is made for or applied to: patches
// come from servers, and a header may not make a client allocate more.
inline constexpr std::uint64_t kMaxFileSize = std::uint64_t{512} << 20;

// Empty when either side is larger than kMaxFileSize or the library fails.
std::optional<std::vector<unsigned char>> MakePatch(std::span<const unsigned char> base,
                                                    std::span<const unsigned char> result);
// Empty when the bytes do not start with a patch header.
std::optional<PatchHeader> ReadPatchHeader(std::span<const unsigned char> patch);

enum class ApplyResult { Applied, NotAPatch, WrongBase, Corrupt };
// Applied only when the base has the patch's base hash and the result made
// has its result hash and size; otherwise `result` is left empty.
ApplyResult ApplyPatch(std::span<const unsigned char> base, std::span<const unsigned char> patch,
                       std::vector<unsigned char>& result);

}  // namespace delta
