// Patch files arrive from update servers. Applying one must end in one of
// the four answers, never a crash or an allocation the header talks it
// into, and must never hand back a file other than the one the header
// promises.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/delta.h"
#include "platform/signature.h"

namespace {

constexpr std::size_t kHeaderSize = 77;
constexpr std::size_t kBaseHashAt = 5;

// The old release every input is applied to; the seed corpus holds patches
// made against it.
const std::vector<unsigned char>& Base() {
  static const std::vector<unsigned char> base = [] {
    std::vector<unsigned char> bytes(8192);
    std::uint32_t state = 1;
    for (auto& b : bytes)
      b = static_cast<unsigned char>((state = state * 1103515245u + 12345u) >> 16);
    return bytes;
  }();
  return base;
}

std::string Sha256(const std::vector<unsigned char>& bytes) {
  return signature::Sha256Hex({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

void Check(std::span<const unsigned char> patch) {
  std::vector<unsigned char> result{0};
  const delta::ApplyResult answer = delta::ApplyPatch(Base(), patch, result);
  const auto header = delta::ReadPatchHeader(patch);
  if ((answer == delta::ApplyResult::NotAPatch) != !header) __builtin_trap();
  if (answer != delta::ApplyResult::Applied) {
    if (!result.empty()) __builtin_trap();
    return;
  }
  if (result.size() != header->resultSize || Sha256(result) != header->resultSha256)
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const unsigned char> patch(data, size);
  Check(patch);
  // Most inputs name another base; given the right one, they reach the
  // decoder too.
  if (size >= kHeaderSize && delta::ReadPatchHeader(patch)) {
    static const std::string hex = Sha256(Base());
    std::vector<unsigned char> rebased(data, data + size);
    for (std::size_t i = 0; i < 32; ++i)
      rebased[kBaseHashAt + i] =
          static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    Check(rebased);
  }
  return 0;
}
