// LZ expansion on LZ32. The handles a program sees are indexes into a table
// of ours, because the header asks more of a handle than LZ32 gives:
//
// - A target is written under a temporary name beside it (LZ32 creates it)
//   and put in place by LZClose with one rename over the old file, unless a
//   copy into it failed; then the temporary file is deleted and an existing
//   target stays as it was.
// - LZ32 takes a file whose header is cut short for a plain file and copies
//   it unchanged, refuses an unknown method already when opening, and
//   expands a truncated or over-long stream without complaint up to the
//   length its header promises. The header is therefore read here, and the
//   token structure of the stream walked (not decoded) before LZ32 expands
//   it, so that only a stream that yields exactly the promised length is
//   expanded.
#include "platform/win32/sdk.h"
// sdk.h first: it tames the SDK's macros before the platform headers.
#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/lfile.h"
#include "platform/lz.h"

namespace lz {

namespace {

constexpr unsigned char kSignature[8] = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33};
constexpr std::size_t kHeaderSize = 14;

// ---- Handle table -------------------------------------------------------------

struct Entry {
  bool used = false;
  OpenMode mode = OpenMode::Read;
  INT lz = -1;           // LZ32's handle: an LZ state or a plain file
  std::string path;      // the source (Read) or the target (Create)
  std::string tempPath;  // where the target is written until it is closed
  bool failed = false;   // a copy into this target failed
};

constexpr std::size_t kMaxHandles = 16;
std::mutex tableMutex;
std::array<Entry, kMaxHandles> table;

Handle AddEntry(Entry entry) {
  std::lock_guard lock(tableMutex);
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (table[i].used) continue;
    entry.used = true;
    table[i] = std::move(entry);
    return static_cast<Handle>(i);
  }
  return LZERROR_GLOBALLOC;
}

// A copy of the entry (the table lock is not held while copying).
std::optional<Entry> GetEntry(Handle handle) {
  std::lock_guard lock(tableMutex);
  if (handle < 0 || static_cast<std::size_t>(handle) >= table.size() || !table[handle].used)
    return std::nullopt;
  return table[handle];
}

void MarkFailed(Handle handle) {
  std::lock_guard lock(tableMutex);
  if (handle >= 0 && static_cast<std::size_t>(handle) < table.size()) table[handle].failed = true;
}

// ---- Reading the source ourselves ---------------------------------------------

// A file read front to back in blocks, shared with every other reader and
// writer so that LZ32's own handle on it is never in the way.
class Reader {
 public:
  explicit Reader(const std::string& path)
      : file_(::CreateFileA(path.c_str(), sdk::GENERIC_READ_,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)),
        buffer_(1u << 16) {}
  ~Reader() {
    if (file_ != INVALID_HANDLE_VALUE) ::CloseHandle(file_);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  bool ok() const { return file_ != INVALID_HANDLE_VALUE && !error_; }
  // The next byte, or -1 at the end (or on a read error, which ok() tells).
  int Get() {
    if (at_ == size_) {
      DWORD n = 0;
      if (file_ == INVALID_HANDLE_VALUE ||
          !::ReadFile(file_, buffer_.data(), static_cast<DWORD>(buffer_.size()), &n, nullptr)) {
        error_ = true;
        return -1;
      }
      at_ = 0;
      size_ = n;
      if (n == 0) return -1;
    }
    return buffer_[at_++];
  }

 private:
  HANDLE file_;
  std::vector<unsigned char> buffer_;
  std::size_t at_ = 0, size_ = 0;
  bool error_ = false;
};

enum class Kind { Missing, Plain, SZDD, Broken, UnknownAlg };

struct Header {
  Kind kind = Kind::Plain;
  char missingChar = 0;
  std::uint32_t length = 0;
};

Header ReadHeader(Reader& in) {
  unsigned char h[kHeaderSize];
  std::size_t n = 0;
  for (int c; n < sizeof h && (c = in.Get()) >= 0;) h[n++] = static_cast<unsigned char>(c);
  Header header;
  if (!in.ok()) {
    header.kind = Kind::Missing;
    return header;
  }
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

Header ReadHeader(const std::string& path) {
  Reader in(path);
  return ReadHeader(in);
}

// Walks the tokens after the header: a flag byte, then for each of its
// bits a literal byte (bit set) or a two-byte back reference whose low
// nibble is the length - 3. True when the stream ends cleanly exactly
// where it has yielded the length the header promised.
bool StreamYieldsLength(const std::string& path) {
  Reader in(path);
  const Header header = ReadHeader(in);
  if (header.kind != Kind::SZDD) return false;
  std::uint64_t yielded = 0;
  for (int flags; (flags = in.Get()) >= 0;) {
    for (int bit = 0; bit < 8; ++bit) {
      const int first = in.Get();
      if (first < 0) break;
      if (flags & (1 << bit)) {
        yielded += 1;
        continue;
      }
      const int second = in.Get();
      if (second < 0) return false;  // cut inside a reference
      yielded += static_cast<unsigned>(second & 0x0F) + 3;
    }
    if (yielded > header.length) return false;
  }
  return in.ok() && yielded == header.length;
}

bool IsDirectory(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != sdk::INVALID_FILE_ATTRIBUTES_ &&
         (attributes & sdk::FILE_ATTRIBUTE_DIRECTORY_) != 0;
}

}  // namespace

Handle LZOpenFile(const std::string& path, OpenMode mode) {
  Entry entry;
  entry.mode = mode;
  entry.path = path;
  OFSTRUCT ofs{};
  if (mode == OpenMode::Read) {
    if (path.empty() || IsDirectory(path)) return LZERROR_BADINHANDLE;
    std::string name = path;
    entry.lz = ::LZOpenFileA(name.data(), &ofs, sdk::OF_READ_);
    // LZ32 refuses an unknown method here; the header reports it from
    // LZCopy, so the handle is kept without an LZ32 handle behind it.
    if (entry.lz == LZERROR_UNKNOWNALG)
      entry.lz = -1;
    else if (entry.lz == LZERROR_GLOBALLOC)
      return LZERROR_GLOBALLOC;
    else if (entry.lz < 0)
      return LZERROR_BADINHANDLE;
  } else {
    if (path.empty() || path.back() == '/' || path.back() == '\\' || IsDirectory(path))
      return LZERROR_BADOUTHANDLE;
    // A fixed name beside the target: what a killed expansion left there is
    // replaced by the next expansion of the same file.
    entry.tempPath = path + kernel::TemporaryFile::kPartialSuffix;
    ::DeleteFileA(entry.tempPath.c_str());
    entry.lz = ::LZOpenFileA(entry.tempPath.data(), &ofs, OF_CREATE | sdk::OF_WRITE_);
    if (entry.lz < 0) return LZERROR_BADOUTHANDLE;
  }
  const INT lzHandle = entry.lz;
  const std::string tempPath = entry.tempPath;
  Handle handle = AddEntry(std::move(entry));
  if (handle < 0) {
    if (lzHandle >= 0) ::LZClose(lzHandle);
    if (mode == OpenMode::Create) ::DeleteFileA(tempPath.c_str());
  }
  return handle;
}

int GetExpandedName(const std::string& path, std::string& expanded) {
  const Header header = ReadHeader(path);
  switch (header.kind) {
    case Kind::Missing:
      return LZERROR_BADINHANDLE;
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
  // The name never grows: the stored character takes the place of the "_".
  std::string in = path;
  std::vector<char> out(path.size() + 2, '\0');
  const INT result = ::GetExpandedNameA(in.data(), out.data());
  if (result != 1) return result;
  expanded = out.data();
  return 1;
}

long LZCopy(Handle source, Handle target) {
  auto in = GetEntry(source);
  if (!in || in->mode != OpenMode::Read) return LZERROR_BADINHANDLE;
  auto out = GetEntry(target);
  if (!out || out->mode != OpenMode::Create) return LZERROR_BADOUTHANDLE;
  const Header header = ReadHeader(in->path);
  long result;
  switch (header.kind) {
    case Kind::Plain:
      result = ::LZCopy(in->lz, out->lz);
      break;
    case Kind::SZDD:
      result = StreamYieldsLength(in->path) ? ::LZCopy(in->lz, out->lz) : long{LZERROR_READ};
      if (result >= 0 && static_cast<std::uint64_t>(result) != header.length) result = LZERROR_READ;
      break;
    case Kind::UnknownAlg:
      result = LZERROR_UNKNOWNALG;
      break;
    case Kind::Missing:
    case Kind::Broken:
    default:
      result = LZERROR_READ;
      break;
  }
  if (result < 0) MarkFailed(target);
  return result;
}

void LZClose(Handle handle) {
  Entry entry;
  {
    std::lock_guard lock(tableMutex);
    if (handle < 0 || static_cast<std::size_t>(handle) >= table.size() || !table[handle].used)
      return;
    entry = std::move(table[handle]);
    table[handle] = Entry{};
  }
  if (entry.mode == OpenMode::Read) {
    if (entry.lz >= 0) ::LZClose(entry.lz);
    return;
  }
  // The target's data must be on the disk before it replaces the old file.
  bool ok = !entry.failed && ::FlushFileBuffers(LongToHandle(entry.lz));
  ::LZClose(entry.lz);
  if (ok) {
    // A replaced file keeps its attributes (a read-only one is not
    // replaced at all).
    const DWORD attributes = ::GetFileAttributesA(entry.path.c_str());
    if (attributes != sdk::INVALID_FILE_ATTRIBUTES_)
      ::SetFileAttributesA(entry.tempPath.c_str(),
                           attributes & ~static_cast<DWORD>(sdk::FILE_ATTRIBUTE_READONLY_));
    ok = ::MoveFileExA(entry.tempPath.c_str(), entry.path.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  }
  if (!ok) ::DeleteFileA(entry.tempPath.c_str());
}

}  // namespace lz
