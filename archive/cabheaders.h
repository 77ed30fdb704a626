// A reader of a cabinet's own headers, for what the cabinet service does not
// tell: how much data the cabinet's folders hold once uncompressed. The
// service copies entries; it has no call that states a folder's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace archive {

// Reads count bytes at an offset of the cabinet; false when it holds fewer.
using CabinetReader = std::function<bool(std::uint64_t offset, void* buffer, std::size_t count)>;

// The most that the cabinet's folders can hold uncompressed: 32768 bytes for
// every data block their headers count, as no block holds more (and the
// decompressor refuses an entry that would end beyond that). A folder counts
// no more blocks than its own stretch of the cabinet, from its first block
// to the next folder's first block, has room for: folders made to share or
// overlap their data count it once, and no header vouches for more than
// the cabinet has room for. Nothing when the header or the folder list
// cannot be read. Only those are read: summing the data blocks' own sizes
// would cost a seek and a read for every 32 KiB of cabinet and bound no
// tighter, since a crafted block header claims 32768 bytes for its 8 all
// the same.
std::optional<std::uint64_t> FoldersUncompressedSize(const CabinetReader& read,
                                                     std::uint64_t cabinetSize);
// The same for a cabinet file.
std::optional<std::uint64_t> FoldersUncompressedSize(const std::string& cabinetPath);

}  // namespace archive
