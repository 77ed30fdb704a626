// The delta service on every platform: libzstd's dictionary compression with
// the old file as a raw prefix and long-distance matching, which finds the
// unchanged stretches of a large program however far they moved.
#include <zstd.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <new>
#include <string_view>

#include "platform/delta.h"
#include "platform/signature.h"

namespace delta {
namespace {

constexpr std::string_view kMagic = "KPAT";
constexpr unsigned char kFormat = 1;
constexpr std::size_t kHashBytes = 32;
constexpr std::size_t kHeaderSize = kMagic.size() + 1 + 2 * kHashBytes + 8;
// Level 19 finds the most of what the old file shares; patches are made once
// by the publisher and fetched by every client.
constexpr int kLevel = 19;

std::string Sha256(std::span<const unsigned char> bytes) {
  return signature::Sha256Hex({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

// A match may reach from the end of the result back to the start of the
// base, so the window covers both; with both under kMaxFileSize this stays
// within what a 32-bit decoder accepts.
int WindowLog(std::uint64_t baseSize, std::uint64_t resultSize) {
  const std::uint64_t span = std::max<std::uint64_t>(baseSize + resultSize, 1);
  const int log = static_cast<int>(std::bit_width(span - 1));
  const ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
  return std::clamp(log, bounds.lowerBound, bounds.upperBound);
}

bool HexToBytes(const std::string& hex, unsigned char* out) {
  if (hex.size() != 2 * kHashBytes) return false;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < kHashBytes; ++i) {
    const int high = digit(hex[2 * i]), low = digit(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<unsigned char>(high << 4 | low);
  }
  return true;
}

std::string BytesToHex(const unsigned char* bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < kHashBytes; ++i) {
    hex += digits[bytes[i] >> 4];
    hex += digits[bytes[i] & 15];
  }
  return hex;
}

using CCtx = std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)>;
using DCtx = std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)>;

}  // namespace

std::optional<std::vector<unsigned char>> MakePatch(std::span<const unsigned char> base,
                                                    std::span<const unsigned char> result) {
  if (base.size() > kMaxFileSize || result.size() > kMaxFileSize) return std::nullopt;
  const std::string baseHash = Sha256(base), resultHash = Sha256(result);
  std::vector<unsigned char> patch(kHeaderSize + ZSTD_compressBound(result.size()));
  std::copy(kMagic.begin(), kMagic.end(), patch.begin());
  patch[kMagic.size()] = kFormat;
  unsigned char* hashes = patch.data() + kMagic.size() + 1;
  if (!HexToBytes(baseHash, hashes) || !HexToBytes(resultHash, hashes + kHashBytes))
    return std::nullopt;
  for (int i = 0; i < 8; ++i)
    patch[kHeaderSize - 8 + i] =
        static_cast<unsigned char>(std::uint64_t{result.size()} >> (8 * i));

  CCtx cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
  if (!cctx) return std::nullopt;
  ZSTD_CCtx* c = cctx.get();
  if (ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, kLevel)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1)) ||
      ZSTD_isError(
          ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, WindowLog(base.size(), result.size()))) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1)) ||
      ZSTD_isError(ZSTD_CCtx_refPrefix(c, base.data(), base.size())))
    return std::nullopt;
  const std::size_t written = ZSTD_compress2(
      c, patch.data() + kHeaderSize, patch.size() - kHeaderSize, result.data(), result.size());
  if (ZSTD_isError(written)) return std::nullopt;
  patch.resize(kHeaderSize + written);
  return patch;
}

std::optional<PatchHeader> ReadPatchHeader(std::span<const unsigned char> patch) {
  if (patch.size() < kHeaderSize || !std::equal(kMagic.begin(), kMagic.end(), patch.begin()) ||
      patch[kMagic.size()] != kFormat)
    return std::nullopt;
  PatchHeader header;
  const unsigned char* hashes = patch.data() + kMagic.size() + 1;
  header.baseSha256 = BytesToHex(hashes);
  header.resultSha256 = BytesToHex(hashes + kHashBytes);
  for (int i = 0; i < 8; ++i)
    header.resultSize |= std::uint64_t{patch[kHeaderSize - 8 + i]} << (8 * i);
  return header;
}

ApplyResult ApplyPatch(std::span<const unsigned char> base, std::span<const unsigned char> patch,
                       std::vector<unsigned char>& result) {
  result.clear();
  const std::optional<PatchHeader> header = ReadPatchHeader(patch);
  if (!header) return ApplyResult::NotAPatch;
  if (base.size() > kMaxFileSize || Sha256(base) != header->baseSha256)
    return ApplyResult::WrongBase;
  if (header->resultSize > kMaxFileSize) return ApplyResult::Corrupt;

  const std::span<const unsigned char> frame = patch.subspan(kHeaderSize);
  const unsigned long long claimed = ZSTD_getFrameContentSize(frame.data(), frame.size());
  if (claimed != header->resultSize) return ApplyResult::Corrupt;
  DCtx dctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
  if (!dctx) return ApplyResult::Corrupt;
  // The output is one buffer of the size the header claims (bounded above);
  // the window limit keeps a frame from asking for more should it be read
  // as a stream.
  if (ZSTD_isError(ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax,
                                          WindowLog(base.size(), header->resultSize))) ||
      ZSTD_isError(ZSTD_DCtx_refPrefix(dctx.get(), base.data(), base.size())))
    return ApplyResult::Corrupt;
  std::vector<unsigned char> made;
  try {
    made.resize(static_cast<std::size_t>(header->resultSize));
  } catch (const std::bad_alloc&) {
    return ApplyResult::Corrupt;
  }
  const std::size_t n =
      ZSTD_decompressDCtx(dctx.get(), made.data(), made.size(), frame.data(), frame.size());
  if (ZSTD_isError(n) || n != made.size() || Sha256(made) != header->resultSha256)
    return ApplyResult::Corrupt;
  result = std::move(made);
  return ApplyResult::Applied;
}

}  // namespace delta
