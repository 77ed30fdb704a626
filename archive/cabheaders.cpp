#include "archive/cabheaders.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/lfile.h"

namespace archive {

namespace {

constexpr std::uint64_t kBlockMax = 32768;
constexpr std::size_t kHeaderSize = 36;
constexpr std::size_t kFolderSize = 8;
constexpr std::size_t kDataHeaderSize = 8;
// Flags of the cabinet header.
constexpr unsigned kPreviousCabinet = 0x1, kNextCabinet = 0x2, kReservePresent = 0x4;
// A name of the previous or next cabinet or disk: at most 255 bytes and its
// terminating zero.
constexpr int kMaxNameLength = 256;

unsigned U16(const unsigned char* p) {
  return p[0] | p[1] << 8;
}

std::uint32_t U32(const unsigned char* p) {
  return static_cast<std::uint32_t>(U16(p)) | static_cast<std::uint32_t>(U16(p + 2)) << 16;
}

bool SkipName(const CabinetReader& read, std::uint64_t& offset) {
  for (int i = 0; i < kMaxNameLength; ++i) {
    unsigned char c;
    if (!read(offset++, &c, 1)) return false;
    if (c == 0) return true;
  }
  return false;
}

struct Folder {
  std::uint64_t start;
  unsigned blocks;
};

}  // namespace

std::optional<std::uint64_t> FoldersUncompressedSize(const CabinetReader& read,
                                                     std::uint64_t cabinetSize) {
  unsigned char header[kHeaderSize];
  if (!read(0, header, sizeof header) || std::memcmp(header, "MSCF", 4) != 0) return std::nullopt;
  const unsigned folderCount = U16(header + 26);
  const unsigned flags = U16(header + 30);
  std::uint64_t offset = kHeaderSize;
  unsigned folderReserve = 0, dataReserve = 0;
  if (flags & kReservePresent) {
    unsigned char reserve[4];
    if (!read(offset, reserve, sizeof reserve)) return std::nullopt;
    offset += sizeof reserve + U16(reserve);
    folderReserve = reserve[2];
    dataReserve = reserve[3];
  }
  for (unsigned names = ((flags & kPreviousCabinet) ? 2 : 0) + ((flags & kNextCabinet) ? 2 : 0);
       names > 0; --names)
    if (!SkipName(read, offset)) return std::nullopt;

  std::vector<Folder> folders;
  for (unsigned i = 0; i < folderCount; ++i) {
    unsigned char entry[kFolderSize];
    if (!read(offset, entry, sizeof entry)) return std::nullopt;
    folders.push_back({U32(entry), U16(entry + 4)});
    offset += sizeof entry + folderReserve;
  }
  std::sort(folders.begin(), folders.end(),
            [](const Folder& a, const Folder& b) { return a.start < b.start; });

  // Every block holds a header, so a folder's stretch of the cabinet has
  // room for so many blocks at the most, whatever its header claims.
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    const std::uint64_t end = i + 1 < folders.size() ? folders[i + 1].start : cabinetSize;
    const std::uint64_t room = end > folders[i].start ? end - folders[i].start : 0;
    total += std::min<std::uint64_t>(folders[i].blocks, room / (kDataHeaderSize + dataReserve)) *
             kBlockMax;
  }
  return total;
}

std::optional<std::uint64_t> FoldersUncompressedSize(const std::string& cabinetPath) {
  const kernel::FileHandle file(kernel::_lopen(cabinetPath, kernel::OF_READ));
  if (!file) return std::nullopt;
  const long size = kernel::_llseek(file.Get(), 0, kernel::FILE_END);
  if (size < 0) return std::nullopt;
  return FoldersUncompressedSize(
      [&](std::uint64_t offset, void* buffer, std::size_t count) {
        return offset <= LONG_MAX &&
               kernel::_llseek(file.Get(), static_cast<long>(offset), kernel::FILE_BEGIN) ==
                   static_cast<long>(offset) &&
               kernel::_lread(file.Get(), buffer, static_cast<unsigned>(count)) == count;
      },
      static_cast<std::uint64_t>(size));
}

}  // namespace archive
