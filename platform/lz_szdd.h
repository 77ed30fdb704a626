// What both LZ backends share: the SZDD file header and the table behind the
// small integer handles the header promises.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/lz.h"

namespace lz::szdd {

inline constexpr unsigned char kSignature[8] = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33};
inline constexpr std::size_t kHeaderSize = 14;

enum class Kind { Plain, SZDD, Broken, UnknownAlg };

struct Header {
  Kind kind = Kind::Plain;
  char missingChar = 0;
  std::uint32_t length = 0;  // of the expanded data
};

// The header from the first n bytes of a file (at most kHeaderSize count).
inline Header ParseHeader(const unsigned char* h, std::size_t n) {
  Header header;
  if (n < sizeof kSignature || std::memcmp(h, kSignature, sizeof kSignature) != 0)
    return header;  // not ours: copied unchanged
  if (n < kHeaderSize) {
    header.kind = Kind::Broken;
    return header;
  }
  header.kind = h[8] == 'A' ? Kind::SZDD : Kind::UnknownAlg;
  header.missingChar = static_cast<char>(h[9]);
  header.length = static_cast<std::uint32_t>(h[10]) | static_cast<std::uint32_t>(h[11]) << 8 |
                  static_cast<std::uint32_t>(h[12]) << 16 | static_cast<std::uint32_t>(h[13]) << 24;
  return header;
}

inline bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// GetExpandedName once the header is read: the path with the stored last
// character put back in place of the trailing "_".
inline int ExpandedName(const std::string& path, const Header& header, std::string& expanded) {
  switch (header.kind) {
    case Kind::Broken:
      return LZERROR_READ;
    case Kind::UnknownAlg:
      return LZERROR_UNKNOWNALG;
    case Kind::Plain:
      expanded = path;
      return 1;
    case Kind::SZDD:
      break;
  }
  expanded = path;
  if (expanded.empty() || expanded.back() != '_') return 1;
  expanded.pop_back();
  char c = header.missingChar;
  if (c == 0) return 1;
  if (IsLetter(c)) {
    // The restored letter takes the case of the name's last letter, so
    // SETUP.EX_ becomes SETUP.EXE and setup.ex_ setup.exe.
    std::size_t nameStart = expanded.find_last_of("/\\");
    nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
    for (std::size_t i = expanded.size(); i > nameStart; --i) {
      char l = expanded[i - 1];
      if (!IsLetter(l)) continue;
      bool upper = l >= 'A' && l <= 'Z';
      if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      break;
    }
  }
  expanded += c;
  return 1;
}

// The open handles of a backend; Entry has `bool used` and `bool failed`
// (a copy into this target failed).
template <typename Entry>
class HandleTable {
 public:
  Handle Add(Entry entry) {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].used) continue;
      entry.used = true;
      entries_[i] = std::move(entry);
      return static_cast<Handle>(i);
    }
    return LZERROR_GLOBALLOC;
  }
  // A copy of the entry (the table lock is not held while copying).
  std::optional<Entry> Get(Handle handle) {
    std::lock_guard lock(mutex_);
    if (!Valid(handle)) return std::nullopt;
    return entries_[handle];
  }
  void MarkFailed(Handle handle) {
    std::lock_guard lock(mutex_);
    if (Valid(handle)) entries_[handle].failed = true;
  }
  // Removes the entry, handing it to the caller to close.
  std::optional<Entry> Take(Handle handle) {
    std::lock_guard lock(mutex_);
    if (!Valid(handle)) return std::nullopt;
    return std::exchange(entries_[handle], Entry{});
  }

 private:
  bool Valid(Handle handle) const {
    return handle >= 0 && static_cast<std::size_t>(handle) < entries_.size() &&
           entries_[handle].used;
  }
  std::mutex mutex_;
  std::array<Entry, 16> entries_;
};

}  // namespace lz::szdd
