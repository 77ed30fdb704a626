// The legacy handle-based file calls of the kernel (_lopen, _lcreat, _lread,
// _lwrite, _llseek, _lclose) that the cabinet callbacks wrap, and setting a
// file's times through its handle. They keep the Windows rules the callers
// rely on: a folder cannot be opened as a file, an existing read-only file
// cannot be created anew, and every failure leaves its error number in
// GetLastError.
#pragma once

#include <cstdint>
#include <string>

#include "platform/kernel.h"

namespace kernel {

using HFILE = int;
inline constexpr HFILE HFILE_ERROR = -1;

// Access and sharing word of _lopen; the sharing bits are accepted and not
// enforced.
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
// accepted and have no effect here).
enum : int { LCREAT_NORMAL = 0, LCREAT_READONLY = 1, LCREAT_HIDDEN = 2, LCREAT_SYSTEM = 4 };
// Origins of _llseek.
enum : int { FILE_BEGIN = 0, FILE_CURRENT = 1, FILE_END = 2 };

// Opens an existing file; only the access bits of the mode word (0..3) count.
// Success clears the last error.
HFILE _lopen(const std::string& path, int mode);
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

}  // namespace kernel
