// The legacy file calls on Windows file handles, through CreateFileA rather
// than kernel32's own _lopen family: theirs leave ERROR_ALREADY_EXISTS behind
// after a successful _lcreat, and their _lwrite of 0 bytes cuts the file.
#include "platform/win32/sdk.h"
// sdk.h first: it tames the SDK's macros before the platform headers.
#include <climits>
#include <cstdio>
#include <utility>

#include "platform/win32/win32_io.h"

namespace kernel {

namespace {

using win32_io::FromHandle;
using win32_io::ToHandle;

constexpr unsigned kUnsignedError = static_cast<unsigned>(HFILE_ERROR);

// HFILE_ERROR would be the pseudo handle of our own process.
bool IsOpen(HFILE file) {
  if (file != HFILE_ERROR) return true;
  ::SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

// Success clears the last error: CreateFile leaves ERROR_ALREADY_EXISTS
// after opening a file that was there.
HFILE Opened(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) return HFILE_ERROR;
  ::SetLastError(ERROR_SUCCESS);
  return FromHandle(handle);
}

HANDLE CreateNative(const std::string& native, DWORD access, DWORD share, DWORD disposition,
                    DWORD flags) {
  return ::CreateFileA(native.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

}  // namespace

HFILE _lopen(const std::string& path, int mode) {
  DWORD access = sdk::GENERIC_READ_;
  if ((mode & 0x3) == OF_WRITE) access = GENERIC_WRITE;
  if ((mode & 0x3) == OF_READWRITE) access = sdk::GENERIC_READ_ | GENERIC_WRITE;
  // The sharing word as the original maps it; compatibility mode (0)
  // shares like OF_SHARE_DENY_NONE.
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  switch (mode & 0x70) {
    case OF_SHARE_EXCLUSIVE:
      share = 0;
      break;
    case OF_SHARE_DENY_WRITE:
      share = FILE_SHARE_READ;
      break;
    case OF_SHARE_DENY_READ:
      share = FILE_SHARE_WRITE;
      break;
    default:
      break;
  }
  // Without FILE_FLAG_BACKUP_SEMANTICS a folder is refused (access denied).
  return Opened(CreateNative(NativePath(path), access, share, OPEN_EXISTING, 0));
}

HFILE OpenSequentialRead(const std::string& path) {
  const HANDLE file = CreateNative(NativePath(path), sdk::GENERIC_READ_, FILE_SHARE_READ,
                                   OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
  if (file == INVALID_HANDLE_VALUE) return HFILE_ERROR;
  // A device or a pipe could be read forever.
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    ::CloseHandle(file);
    ::SetLastError(ERROR_INVALID_HANDLE);
    return HFILE_ERROR;
  }
  return Opened(file);
}

HFILE _lcreat(const std::string& path, int attribute) {
  const std::string native = NativePath(path);
  // Windows refuses to create a read-only file anew; not every system that
  // runs Windows programs does, so it is asked first.
  const DWORD existing = ::GetFileAttributesA(native.c_str());
  if (existing != INVALID_FILE_ATTRIBUTES &&
      (existing & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) ==
          FILE_ATTRIBUTE_READONLY) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return HFILE_ERROR;
  }
  const DWORD attributes = attribute & (LCREAT_READONLY | LCREAT_HIDDEN | LCREAT_SYSTEM);
  return Opened(CreateNative(native, sdk::GENERIC_READ_ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS,
                             attributes ? attributes : DWORD{FILE_ATTRIBUTE_NORMAL}));
}

unsigned _lread(HFILE file, void* buffer, unsigned count) {
  if (!IsOpen(file)) return kUnsignedError;
  char* out = static_cast<char*>(buffer);
  unsigned done = 0;
  while (done < count) {
    DWORD n = 0;
    if (!::ReadFile(ToHandle(file), out + done, count - done, &n, nullptr)) {
      if (::GetLastError() == ERROR_BROKEN_PIPE) break;  // the writer is done
      return kUnsignedError;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

unsigned _lwrite(HFILE file, const void* buffer, unsigned count) {
  if (!IsOpen(file)) return kUnsignedError;
  if (count > INT_MAX) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return kUnsignedError;
  }
  const char* in = static_cast<const char*>(buffer);
  unsigned done = 0;
  while (done < count) {
    DWORD n = 0;
    if (!::WriteFile(ToHandle(file), in + done, count - done, &n, nullptr)) return kUnsignedError;
    done += n;
  }
  return done;
}

long _llseek(HFILE file, long offset, int origin) {
  if (!IsOpen(file)) return HFILE_ERROR;
  if (origin != FILE_BEGIN && origin != FILE_CURRENT && origin != FILE_END) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return HFILE_ERROR;
  }
  LARGE_INTEGER distance, position;
  distance.QuadPart = offset;
  if (!::SetFilePointerEx(ToHandle(file), distance, &position, static_cast<DWORD>(origin)))
    return HFILE_ERROR;
  // A long has 32 bits on Windows: a position beyond it cannot be told.
  if (position.QuadPart > LONG_MAX) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return HFILE_ERROR;
  }
  return static_cast<long>(position.QuadPart);
}

HFILE _lclose(HFILE file) {
  if (!IsOpen(file) || !::CloseHandle(ToHandle(file))) return HFILE_ERROR;
  return 0;
}

bool SetFileTime(HFILE file, const FileTime* creation, const FileTime* lastAccess,
                 const FileTime* lastWrite) {
  std::optional<FILETIME> times[3];
  const FileTime* given[3] = {creation, lastAccess, lastWrite};
  for (int i = 0; i < 3; ++i) {
    if (!given[i]) continue;
    times[i] = win32_io::ToFileTime(*given[i]);
    if (!times[i]) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
  }
  if (!IsOpen(file)) return false;
  auto pointer = [](std::optional<FILETIME>& time) { return time ? &*time : nullptr; };
  return ::SetFileTime(ToHandle(file), pointer(times[0]), pointer(times[1]), pointer(times[2])) !=
         0;
}

namespace {

// CREATE_NEW refuses every name that exists, a dangling link included, and
// does not follow a link that stands under it.
HFILE CreateNewNative(const std::string& native) {
  const HANDLE file =
      CreateNative(native, sdk::GENERIC_READ_ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW,
                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
  // A folder under the name comes back as access denied.
  if (file == INVALID_HANDLE_VALUE &&
      ::GetFileAttributesA(native.c_str()) != INVALID_FILE_ATTRIBUTES)
    ::SetLastError(ERROR_FILE_EXISTS);
  return Opened(file);
}

}  // namespace

HFILE CreateNewFile(const std::string& path) {
  return CreateNewNative(NativePath(path));
}

// ---- Temporary files -------------------------------------------------------------

namespace {

// Opened without FILE_SHARE_DELETE: while we hold it no one can delete or
// rename it, which is how a sweep of stale files tells it is in use.
HANDLE OpenHeld(const std::string& path, DWORD disposition) {
  return CreateNative(path, sdk::GENERIC_READ_ | GENERIC_WRITE, FILE_SHARE_READ, disposition,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
}

bool IsExisting(DWORD error) {
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

}  // namespace

std::optional<TemporaryFile> TemporaryFile::Create(const std::string& folder,
                                                   const std::string& prefix) {
  // The names GetTempFileNameA gives, tried from the tick count up within
  // 1..FFFF; the file is created exclusively and held from the first moment.
  std::string base = NativePath(folder);
  if (!base.empty() && base.back() != '\\') base += '\\';
  base += NativePath(prefix.substr(0, 3));
  std::uint32_t number = GetTickCount() & 0xFFFF;
  if (number == 0) number = 1;
  for (std::uint32_t attempt = 0; attempt < 0xFFFF; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%X.tmp", static_cast<unsigned>(number));
    std::string path = base + suffix;
    const HANDLE file = OpenHeld(path, CREATE_NEW);
    if (file != INVALID_HANDLE_VALUE) return TemporaryFile(std::move(path), Opened(file));
    const DWORD error = ::GetLastError();
    // Access denied: a folder or a file being deleted may hold the name,
    // or the folder takes no new files.
    const bool taken =
        IsExisting(error) || (error == ERROR_ACCESS_DENIED &&
                              ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES);
    if (!taken) {
      // A folder that is not there comes back as a missing path.
      ::SetLastError(error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND
                         ? DWORD{ERROR_DIRECTORY}
                         : error);
      return std::nullopt;
    }
    number = number % 0xFFFF + 1;
  }
  ::SetLastError(ERROR_FILE_EXISTS);
  return std::nullopt;
}

std::optional<TemporaryFile> TemporaryFile::Beside(const std::string& target) {
  std::string path = NativePath(target) + kPartialSuffix;
  HFILE file = CreateNewNative(path);
  // Only a killed writer leaves one behind; one that still writes holds it
  // open, and its deletion fails with a sharing violation.
  if (file == HFILE_ERROR && GetLastError() == ERROR_FILE_EXISTS && ::DeleteFileA(path.c_str()))
    file = CreateNewNative(path);
  if (file == HFILE_ERROR) return std::nullopt;
  return TemporaryFile(std::move(path), file);
}

bool TemporaryFile::Discard() {
  if (file_ != HFILE_ERROR) ::CloseHandle(ToHandle(std::exchange(file_, HFILE_ERROR)));
  if (path_.empty()) return true;
  const std::string path = std::exchange(path_, std::string());
  // Removed whatever its attributes: it was never anybody's file.
  if (::DeleteFileA(path.c_str())) return true;
  return ::GetLastError() == ERROR_ACCESS_DENIED &&
         ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL) && ::DeleteFileA(path.c_str());
}

bool TemporaryFile::MoveTo(const std::string& target) {
  // Windows renames no file that is open without FILE_SHARE_DELETE: the
  // handle is closed first, and the file held again when the rename fails.
  if (file_ != HFILE_ERROR) ::CloseHandle(ToHandle(std::exchange(file_, HFILE_ERROR)));
  if (MoveFile(path_, target)) {
    path_.clear();
    return true;
  }
  const DWORD error = ::GetLastError();
  const HANDLE file = OpenHeld(path_, OPEN_EXISTING);
  if (file != INVALID_HANDLE_VALUE) {
    LARGE_INTEGER end{};
    ::SetFilePointerEx(file, end, nullptr, FILE_END);
    file_ = FromHandle(file);
  }
  ::SetLastError(error);
  return false;
}

void DeleteStaleTemporaryFiles(const std::string& folder, const std::string& prefix) {
  std::string base = NativePath(folder.empty() ? std::string(".") : folder);
  if (base.back() != '\\') base += '\\';
  const std::string start = prefix.substr(0, 3);
  WIN32_FIND_DATAA entry;
  const HANDLE search = ::FindFirstFileA((base + start + "*.tmp").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    // Only the names Create gives: the prefix, one to four hexadecimal
    // digits, ".tmp"; a user's "UPDATES.tmp" is no temporary of ours.
    const std::string name = entry.cFileName;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (!name.starts_with(start) || !name.ends_with(".tmp")) continue;
    const std::string number = name.substr(start.size(), name.size() - start.size() - 4);
    if (number.empty() || number.size() > 4 ||
        number.find_first_not_of("0123456789ABCDEF") != std::string::npos)
      continue;
    // One that a run still holds fails with a sharing violation and stays.
    ::DeleteFileA((base + name).c_str());
  } while (::FindNextFileA(search, &entry));
  ::FindClose(search);
}

}  // namespace kernel
