// The legacy handle-based file calls of the kernel (_lopen, _lcreat, _lread,
// _lwrite, _llseek, _lclose) that the cabinet callbacks wrap, and setting a
// file's times through its handle. They keep the Windows rules the callers
// rely on: a folder cannot be opened as a file, an existing read-only file
// cannot be created anew, and every failure leaves its error number in
// GetLastError.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/kernel.h"

namespace kernel {

using HFILE = int;
inline constexpr HFILE HFILE_ERROR = -1;

// Access and sharing word of _lopen; Windows enforces the sharing bits, the
// POSIX backend accepts them without effect.
enum : int {
  OF_READ = 0x0,
  OF_WRITE = 0x1,
  OF_READWRITE = 0x2,
  OF_SHARE_EXCLUSIVE = 0x10,
  OF_SHARE_DENY_WRITE = 0x20,
  OF_SHARE_DENY_READ = 0x30,
  OF_SHARE_DENY_NONE = 0x40,
};
// Attribute of _lcreat: 0 normal, 1 read-only (hidden and system are
// accepted and have no effect on POSIX).
enum : int { LCREAT_NORMAL = 0, LCREAT_READONLY = 1, LCREAT_HIDDEN = 2, LCREAT_SYSTEM = 4 };
// Origins of _llseek.
enum : int { FILE_BEGIN = 0, FILE_CURRENT = 1, FILE_END = 2 };

// Opens an existing file; only the access bits of the mode word (0..3) count.
// Success clears the last error.
HFILE _lopen(const std::string& path, int mode);
// Opens an existing regular file for reading from start to end, telling the
// system to read ahead. Anything else (a folder, a device, a pipe, which
// could stall or be read forever) is refused without blocking.
HFILE OpenSequentialRead(const std::string& path);
// Creates a file, or truncates an existing writable one, for reading and
// writing. Success clears the last error.
HFILE _lcreat(const std::string& path, int attribute);
// Bytes read (less than count only at the end of the file), or
// static_cast<unsigned>(HFILE_ERROR).
unsigned _lread(HFILE file, void* buffer, unsigned count);
// Bytes written (always count), or static_cast<unsigned>(HFILE_ERROR).
unsigned _lwrite(HFILE file, const void* buffer, unsigned count);
// The new position, or HFILE_ERROR.
long _llseek(HFILE file, long offset, int origin);
// 0, or HFILE_ERROR for a handle that is not open.
HFILE _lclose(HFILE file);

// Sets the times of an open file; a null time stays as it is.
bool SetFileTime(HFILE file, const FileTime* creation, const FileTime* lastAccess,
                 const FileTime* lastWrite);

// Creates a file that does not exist yet, open for reading and writing.
// Anything already under the name (a file, a folder, a symbolic link) makes
// it fail with ERROR_FILE_EXISTS, so nothing is ever written through a link
// that someone planted there.
HFILE CreateNewFile(const std::string& path);

// Owns a handle of this family: it is closed on every way out.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(HFILE file) : file_(file) {}
  FileHandle(FileHandle&& other) noexcept : file_(other.Release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { Close(); }

  HFILE Get() const { return file_; }
  explicit operator bool() const { return file_ != HFILE_ERROR; }
  HFILE Release();
  // False when there was nothing to close or the close failed (data that
  // could not be written).
  bool Close();

 private:
  HFILE file_ = HFILE_ERROR;
};

// A file written under a temporary name and deleted unless it is moved into
// place: whatever goes wrong while it is written, no half file is left.
class TemporaryFile {
 public:
  // A new file "<folder><3 letters of prefix><hex>.tmp", named as
  // GetTempFileName names it and created exclusively, open for writing;
  // nothing (with the last error set) when the folder is unusable. While the
  // object holds it, DeleteStaleTemporaryFiles of another run leaves it be.
  static std::optional<TemporaryFile> Create(const std::string& folder, const std::string& prefix);
  // A new file beside the target, named target + kPartialSuffix; a partial
  // file under that name, left by a writer that was killed, is replaced.
  static std::optional<TemporaryFile> Beside(const std::string& target);
  static constexpr const char* kPartialSuffix = ".partial";
  // An existing file, open for writing at its end, owned as a new one is:
  // a file to be continued. Nothing (with the last error set) when it
  // cannot be opened alone.
  static std::optional<TemporaryFile> Continue(const std::string& path);

  TemporaryFile(TemporaryFile&& other) noexcept;
  TemporaryFile& operator=(TemporaryFile&& other) noexcept;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile();

  HFILE Handle() const { return file_; }
  const std::string& Path() const { return path_; }
  // Moves the file over the target in one rename, so an older target is
  // replaced whole or not at all; the handle is closed. Afterwards the file
  // is the target and no longer this object's. False with the last error set
  // when the rename failed; the object still owns the file.
  bool MoveTo(const std::string& target);
  // Closes and deletes the file now rather than at the end of the object;
  // false when it could not be deleted.
  bool Discard();
  // Closes the file and leaves it where it is, no longer this object's:
  // what was written is kept to be continued. False when the close failed.
  bool Keep();

 private:
  TemporaryFile(std::string path, HFILE file) : path_(std::move(path)), file_(file) {}
  std::string path_;
  HFILE file_ = HFILE_ERROR;
};

// Deletes the files that TemporaryFile::Create made in the folder with that
// prefix and that no process holds any more: what a killed run left behind.
void DeleteStaleTemporaryFiles(const std::string& folder, const std::string& prefix);

}  // namespace kernel
