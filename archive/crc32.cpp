#include "archive/crc32.h"

#include <cstddef>

#include "platform/lfile.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Speed. The FileCRC32 step is
//   reg = reg + (T[(reg ^ b) & 0xFF] ^ (reg >> 8))
// where standard CRC-32 has "=" in place of "reg +". Standard CRC-32 is linear
// over GF(2): the effect of several bytes on the register can be combined by
// XOR, which is what slicing-by-N tables, braided CRCs and carry-less multiply
// folding exploit to handle 8 or more bytes per step. The addition breaks that
// linearity (its carries mix every bit of the old register into the new one),
// so none of those methods applies, and a table for two bytes at once would
// need two register bytes besides the two data bytes in its key (2^32 entries). Every byte
// therefore has to wait for the previous byte's table load and addition: the loop below is one
// load, two XORs and an add per byte, and its speed is the latency of that chain (an L1 load plus
// three or four single-cycle operations), whatever the unrolling or index arithmetic. What can be
// saved is everything around it: the table is compile-time data that stays in L1 (1 KiB), the loop
// has no bounds checks, and the file is read in 4096-byte blocks with a sequential hint.
//
// The byte sum has no such chain: addition modulo 2^32 is associative, so it
// is summed 16 bytes at a time (PSADBW adds 8 bytes into a 64-bit lane) and
// truncated to 32 bits at the end, which gives the same value as adding byte
// by byte with wrap-around.

std::uint32_t CRC32Step(std::uint32_t reg, std::span<const unsigned char> data) {
  const std::uint32_t* table = kCRC32Table.data();
  for (const unsigned char b : data) reg += table[(reg ^ b) & 0xFFu] ^ (reg >> 8);
  return reg;
}

std::uint32_t ByteSumStep(std::uint32_t sum, std::span<const unsigned char> data) {
  const unsigned char* p = data.data();
  std::size_t n = data.size();
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  __m128i acc0 = zero;
  __m128i acc1 = zero;
  while (n >= 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    acc0 = _mm_add_epi64(acc0, _mm_add_epi64(_mm_sad_epu8(a, zero), _mm_sad_epu8(b, zero)));
    acc1 = _mm_add_epi64(acc1, _mm_add_epi64(_mm_sad_epu8(c, zero), _mm_sad_epu8(d, zero)));
    p += 64;
    n -= 64;
  }
  while (n >= 16) {
    acc0 = _mm_add_epi64(acc0,
                         _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), zero));
    p += 16;
    n -= 16;
  }
  const __m128i acc = _mm_add_epi64(acc0, acc1);
  alignas(16) std::uint64_t lanes[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc);
  sum += static_cast<std::uint32_t>(lanes[0] + lanes[1]);
#endif
  for (; n > 0; --n) sum += *p++;
  return sum;
}

namespace {

constexpr std::size_t kBlockSize = 4096;

// Feeds the file to the step block by block and returns the final state; the
// initial state when the file cannot be opened.
template <typename Step>
std::uint32_t ScanFile(const std::string& path, std::uint32_t state, Step step) {
  kernel::FileHandle file(kernel::OpenSequentialRead(path));
  if (!file) return state;
  unsigned char block[kBlockSize];
  for (;;) {
    const unsigned got = kernel::_lread(file.Get(), block, kBlockSize);
    // A failed read counts as nothing read and ends the scan.
    if (got == static_cast<unsigned>(kernel::HFILE_ERROR) || got == 0) break;
    state = step(state, std::span<const unsigned char>(block, got));
    if (got < kBlockSize) break;
  }
  return state;
}

}  // namespace

std::int32_t FileCRC32(const std::string& path) {
  return static_cast<std::int32_t>(ScanFile(path, kCRC32Init, CRC32Step) ^ 0xFFFFFFFFu);
}

std::int32_t FileByteSum(const std::string& path) {
  return static_cast<std::int32_t>(ScanFile(path, kByteSumInit, ByteSumStep));
}
