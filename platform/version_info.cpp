// Readers of the fixed version block in program files: the RT_VERSION
// resource of a PE file and the "Kestrel" version note of our ELF programs.
// Both take untrusted bytes: every offset, size and count is checked against
// the image before it is used, and every walk is bounded, so a broken or
// hostile file yields nothing rather than a crash, a hang or a large
// allocation.
#include <algorithm>
#include <cstring>

#include "platform/kernel.h"

namespace kernel {

namespace {

// Bounds-checked reads of little- or big-endian integers.
class Image {
 public:
  Image(std::span<const unsigned char> bytes, bool bigEndian = false)
      : bytes_(bytes), bigEndian_(bigEndian) {}

  std::uint64_t size() const { return bytes_.size(); }
  bool Has(std::uint64_t offset, std::uint64_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }
  const unsigned char* At(std::uint64_t offset) const { return bytes_.data() + offset; }

  // Callers check Has() first.
  std::uint64_t Read(std::uint64_t offset, int width) const {
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) {
      const std::uint64_t byte = bytes_[offset + (bigEndian_ ? i : width - 1 - i)];
      value = (value << 8) | byte;
    }
    return value;
  }
  std::uint16_t U16(std::uint64_t offset) const {
    return static_cast<std::uint16_t>(Read(offset, 2));
  }
  std::uint32_t U32(std::uint64_t offset) const {
    return static_cast<std::uint32_t>(Read(offset, 4));
  }
  std::uint64_t U64(std::uint64_t offset) const { return Read(offset, 8); }

 private:
  std::span<const unsigned char> bytes_;
  bool bigEndian_;
};

constexpr std::uint64_t kFixedFileInfoSize = 52;

std::optional<FixedFileInfo> ReadFixedFileInfo(const Image& image, std::uint64_t offset) {
  if (!image.Has(offset, kFixedFileInfoSize)) return std::nullopt;
  std::uint32_t words[13];
  for (int i = 0; i < 13; ++i) words[i] = image.U32(offset + 4 * i);
  if (words[0] != kFixedFileInfoSignature) return std::nullopt;
  FixedFileInfo info;
  info.signature = words[0];
  info.strucVersion = words[1];
  info.fileVersionMS = words[2];
  info.fileVersionLS = words[3];
  info.productVersionMS = words[4];
  info.productVersionLS = words[5];
  info.fileFlagsMask = words[6];
  info.fileFlags = words[7];
  info.fileOS = words[8];
  info.fileType = words[9];
  info.fileSubtype = words[10];
  info.fileDateMS = words[11];
  info.fileDateLS = words[12];
  return info;
}

// ---- PE -------------------------------------------------------------------------------

constexpr std::uint32_t kResourceTypeVersion = 16;  // RT_VERSION
constexpr std::uint32_t kSubdirectoryBit = 0x80000000;

struct PeSections {
  std::uint64_t table = 0;  // file offset of the section table
  std::uint32_t count = 0;
};

// Maps an RVA to a file offset through the section table; `available` is how
// many bytes of that section's file data follow it.
bool RvaToOffset(const Image& image, const PeSections& sections, std::uint32_t rva,
                 std::uint64_t& offset, std::uint64_t& available) {
  for (std::uint32_t i = 0; i < sections.count; ++i) {
    const std::uint64_t header = sections.table + std::uint64_t{i} * 40;
    const std::uint32_t virtualSize = image.U32(header + 8);
    const std::uint32_t virtualAddress = image.U32(header + 12);
    const std::uint32_t rawSize = image.U32(header + 16);
    const std::uint32_t rawPointer = image.U32(header + 20);
    // Beyond the virtual size the loader maps nothing of the file's data;
    // some linkers leave the virtual size 0.
    const std::uint32_t length = virtualSize != 0 && virtualSize < rawSize ? virtualSize : rawSize;
    if (rva < virtualAddress || rva - virtualAddress >= length) continue;
    const std::uint64_t delta = rva - virtualAddress;
    offset = std::uint64_t{rawPointer} + delta;
    if (offset >= image.size()) return false;
    available = std::min<std::uint64_t>(length - delta, image.size() - offset);
    return true;
  }
  return false;
}

}  // namespace

std::optional<FixedFileInfo> ParsePEVersionInfo(std::span<const unsigned char> bytes) {
  const Image image(bytes);
  if (!image.Has(0, 64) || bytes[0] != 'M' || bytes[1] != 'Z') return std::nullopt;
  const std::uint64_t pe = image.U32(0x3C);
  if (!image.Has(pe, 24) || image.U32(pe) != 0x00004550) return std::nullopt;  // "PE\0\0"
  const std::uint16_t sectionCount = image.U16(pe + 6);
  const std::uint16_t optionalSize = image.U16(pe + 20);
  const std::uint64_t optional = pe + 24;
  if (!image.Has(optional, optionalSize) || optionalSize < 2) return std::nullopt;

  std::uint64_t countField = 0;
  std::uint64_t directories = 0;
  switch (image.U16(optional)) {
    case 0x10B:  // PE32
      countField = 92;
      directories = 96;
      break;
    case 0x20B:  // PE32+
      countField = 108;
      directories = 112;
      break;
    default:
      return std::nullopt;
  }
  constexpr int kResourceDirectory = 2;
  if (optionalSize < directories + (kResourceDirectory + 1) * 8) return std::nullopt;
  if (image.U32(optional + countField) <= kResourceDirectory) return std::nullopt;
  const std::uint32_t resourceRva = image.U32(optional + directories + kResourceDirectory * 8);
  if (resourceRva == 0) return std::nullopt;

  PeSections sections{optional + optionalSize, sectionCount};
  if (!image.Has(sections.table, std::uint64_t{sectionCount} * 40)) return std::nullopt;

  std::uint64_t base = 0;
  std::uint64_t limit = 0;
  if (!RvaToOffset(image, sections, resourceRva, base, limit)) return std::nullopt;
  // Offsets inside the resource tree are relative to its start and must stay
  // within the section that holds it.
  auto has = [&](std::uint64_t relative, std::uint64_t length) {
    return relative <= limit && length <= limit - relative;
  };

  // The tree has three levels (type, name, language), walked exactly once
  // each, so a directory that points back at itself cannot loop.
  auto entryCount = [&](std::uint64_t directory, std::uint32_t& named, std::uint32_t& ids) {
    if (!has(directory, 16)) return false;
    named = image.U16(base + directory + 12);
    ids = image.U16(base + directory + 14);
    return true;
  };
  auto entry = [&](std::uint64_t directory, std::uint32_t index, std::uint32_t& name,
                   std::uint32_t& target) {
    const std::uint64_t at = directory + 16 + std::uint64_t{index} * 8;
    if (!has(at, 8)) return false;
    name = image.U32(base + at);
    target = image.U32(base + at + 4);
    return true;
  };

  std::uint32_t named = 0;
  std::uint32_t ids = 0;
  std::uint32_t name = 0;
  std::uint32_t target = 0;
  if (!entryCount(0, named, ids)) return std::nullopt;
  bool found = false;
  for (std::uint32_t i = named; i < named + ids; ++i) {  // ID entries follow the named ones
    if (!entry(0, i, name, target)) return std::nullopt;
    if (name == kResourceTypeVersion) {
      found = true;
      break;
    }
  }
  if (!found || !(target & kSubdirectoryBit)) return std::nullopt;

  // The first name, then its first language.
  for (int level = 0; level < 2; ++level) {
    const std::uint64_t directory = target & ~kSubdirectoryBit;
    if (!entryCount(directory, named, ids) || named + ids == 0) return std::nullopt;
    if (!entry(directory, 0, name, target)) return std::nullopt;
    const bool wantSubdirectory = level == 0;
    if (bool(target & kSubdirectoryBit) != wantSubdirectory) return std::nullopt;
  }

  // The data entry: RVA and size of the VS_VERSIONINFO block.
  if (!has(target, 16)) return std::nullopt;
  const std::uint32_t dataRva = image.U32(base + target);
  const std::uint32_t dataSize = image.U32(base + target + 4);
  std::uint64_t data = 0;
  std::uint64_t available = 0;
  if (!RvaToOffset(image, sections, dataRva, data, available) || dataSize > available)
    return std::nullopt;

  // VS_VERSIONINFO: length, value length, type, "VS_VERSION_INFO" in UTF-16
  // with its terminator, padding to 4 bytes, then VS_FIXEDFILEINFO.
  static constexpr char kKey[] = "VS_VERSION_INFO";
  constexpr std::uint64_t kKeyOffset = 6;
  constexpr std::uint64_t kValueOffset = (kKeyOffset + sizeof(kKey) * 2 + 3) & ~std::uint64_t{3};
  if (dataSize < kValueOffset + kFixedFileInfoSize) return std::nullopt;
  const std::uint16_t length = image.U16(data);
  const std::uint16_t valueLength = image.U16(data + 2);
  if (length < kValueOffset + kFixedFileInfoSize || length > dataSize) return std::nullopt;
  if (valueLength < kFixedFileInfoSize) return std::nullopt;
  for (std::size_t i = 0; i < sizeof(kKey); ++i)
    if (image.U16(data + kKeyOffset + 2 * i) != static_cast<unsigned char>(kKey[i]))
      return std::nullopt;
  return ReadFixedFileInfo(image, data + kValueOffset);
}

// ---- ELF ------------------------------------------------------------------------------

namespace {

constexpr std::uint32_t kShtNote = 7;
constexpr std::uint32_t kPtNote = 4;
constexpr std::uint32_t kVersionNoteType = 1;
constexpr char kVersionNoteName[] = "Kestrel";  // with its terminator: 8 bytes

std::uint64_t AlignUp(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) & ~(alignment - 1);
}

// Looks for the version note among the notes in [offset, offset + size).
std::optional<FixedFileInfo> ScanNotes(const Image& image, std::uint64_t offset, std::uint64_t size,
                                       std::uint64_t alignment) {
  if (!image.Has(offset, size)) return std::nullopt;
  // Notes are aligned to 4 bytes, or to 8 in sections that say so.
  alignment = alignment == 8 ? 8 : 4;
  const std::uint64_t end = offset + size;
  std::uint64_t at = offset;
  while (end - at >= 12) {
    const std::uint32_t nameSize = image.U32(at);
    const std::uint32_t descSize = image.U32(at + 4);
    const std::uint32_t type = image.U32(at + 8);
    const std::uint64_t name = at + 12;
    const std::uint64_t desc = AlignUp(name + nameSize, alignment);
    if (desc > end || descSize > end - desc) return std::nullopt;
    if (nameSize == sizeof(kVersionNoteName) && type == kVersionNoteType &&
        descSize >= kFixedFileInfoSize &&
        std::memcmp(image.At(name), kVersionNoteName, sizeof(kVersionNoteName)) == 0) {
      if (auto info = ReadFixedFileInfo(image, desc)) return info;
    }
    at = AlignUp(desc + descSize, alignment);  // always moves forward by 12 or more
    if (at > end) break;
  }
  return std::nullopt;
}

}  // namespace

std::optional<FixedFileInfo> ParseELFVersionInfo(std::span<const unsigned char> bytes) {
  if (bytes.size() < 16 || std::memcmp(bytes.data(),
                                       "\x7F"
                                       "ELF",
                                       4) != 0)
    return std::nullopt;
  const unsigned char elfClass = bytes[4];
  const unsigned char encoding = bytes[5];
  if ((elfClass != 1 && elfClass != 2) || (encoding != 1 && encoding != 2)) return std::nullopt;
  const bool is64 = elfClass == 2;
  const Image image(bytes, encoding == 2);
  if (!image.Has(0, is64 ? 64 : 52)) return std::nullopt;

  auto word = [&](std::uint64_t offset) { return is64 ? image.U64(offset) : image.U32(offset); };
  const std::uint64_t phoff = word(is64 ? 0x20 : 0x1C);
  const std::uint64_t shoff = word(is64 ? 0x28 : 0x20);
  const std::uint16_t phentsize = image.U16(is64 ? 0x36 : 0x2A);
  const std::uint16_t phnum = image.U16(is64 ? 0x38 : 0x2C);
  const std::uint16_t shentsize = image.U16(is64 ? 0x3A : 0x2E);
  const std::uint16_t shnum = image.U16(is64 ? 0x3C : 0x30);

  // Sections first: they name each note section on its own.
  if (shoff != 0 && shentsize >= (is64 ? 64 : 40) && image.Has(shoff, shentsize)) {
    std::uint64_t count = shnum;
    if (count == 0) count = word(shoff + (is64 ? 32 : 20));  // extended numbering: sh_size of 0
    count = std::min<std::uint64_t>(count, (image.size() - shoff) / shentsize);
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t header = shoff + i * shentsize;
      if (image.U32(header + 4) != kShtNote) continue;
      const std::uint64_t offset = word(header + (is64 ? 24 : 16));
      const std::uint64_t size = word(header + (is64 ? 32 : 20));
      const std::uint64_t alignment = word(header + (is64 ? 48 : 32));
      if (auto info = ScanNotes(image, offset, size, alignment)) return info;
    }
  }

  // Then the note segments, for files whose section table was stripped.
  if (phoff != 0 && phentsize >= (is64 ? 56 : 32) && image.Has(phoff, phentsize)) {
    const std::uint64_t count = std::min<std::uint64_t>(phnum, (image.size() - phoff) / phentsize);
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t header = phoff + i * phentsize;
      if (image.U32(header) != kPtNote) continue;
      const std::uint64_t offset = word(header + (is64 ? 8 : 4));
      const std::uint64_t size = word(header + (is64 ? 32 : 16));
      const std::uint64_t alignment = word(header + (is64 ? 48 : 28));
      if (auto info = ScanNotes(image, offset, size, alignment)) return info;
    }
  }
  return std::nullopt;
}

}  // namespace kernel
