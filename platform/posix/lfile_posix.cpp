// The legacy file calls on POSIX descriptors. The handle is the descriptor
// itself.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/lfile.h"
#include "platform/posix/posix_io.h"

namespace kernel {

namespace {

constexpr unsigned kUnsignedError = static_cast<unsigned>(HFILE_ERROR);

HFILE Fail(int err) {
  SetLastError(ErrorFromErrno(err));
  return HFILE_ERROR;
}

// Windows opens no folder as a file.
bool IsFolder(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

// A handle of 0 means "no file" to the callers (the cabinet copy-file
// answer 0 skips an entry), so a descriptor 0 left free by a closed standard
// input is never handed out.
int AwayFromZero(int fd) {
  if (fd != 0) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  close(fd);
  return moved;
}

}  // namespace

HFILE _lopen(const std::string& path, int mode) {
  const std::string native = NativePath(path);
  int flags = O_RDONLY;
  switch (mode & 0x3) {
    case OF_WRITE:
      flags = O_WRONLY;
      break;
    case OF_READWRITE:
      flags = O_RDWR;
      break;
    default:
      break;
  }
  const int fd = AwayFromZero(open(native.c_str(), flags | O_CLOEXEC));
  if (fd < 0) return Fail(errno);
  if (IsFolder(fd)) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return HFILE_ERROR;
  }
  SetLastError(ERROR_SUCCESS);
  return fd;
}

HFILE _lcreat(const std::string& path, int attribute) {
  const std::string native = NativePath(path);
  // Windows will not truncate a read-only file, whoever asks (root included).
  struct stat st;
  if (stat(native.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && !(st.st_mode & S_IWUSR)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return HFILE_ERROR;
  }
  const mode_t permissions = (attribute & LCREAT_READONLY) ? 0444 : 0666;
  const int fd =
      AwayFromZero(open(native.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, permissions));
  if (fd < 0) return Fail(errno);
  SetLastError(ERROR_SUCCESS);
  return fd;
}

unsigned _lread(HFILE file, void* buffer, unsigned count) {
  if (count > INT_MAX) count = INT_MAX;
  char* out = static_cast<char*>(buffer);
  unsigned done = 0;
  while (done < count) {
    const ssize_t n = read(file, out + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
      return kUnsignedError;
    }
    if (n == 0) break;
    done += static_cast<unsigned>(n);
  }
  return done;
}

unsigned _lwrite(HFILE file, const void* buffer, unsigned count) {
  if (count > INT_MAX) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return kUnsignedError;
  }
  const char* in = static_cast<const char*>(buffer);
  unsigned done = 0;
  while (done < count) {
    const ssize_t n = write(file, in + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
      return kUnsignedError;
    }
    done += static_cast<unsigned>(n);
  }
  return done;
}

long _llseek(HFILE file, long offset, int origin) {
  int whence;
  switch (origin) {
    case FILE_BEGIN:
      whence = SEEK_SET;
      break;
    case FILE_CURRENT:
      whence = SEEK_CUR;
      break;
    case FILE_END:
      whence = SEEK_END;
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return HFILE_ERROR;
  }
  const off_t position = lseek(file, static_cast<off_t>(offset), whence);
  if (position < 0) return Fail(errno);
  return static_cast<long>(position);
}

HFILE _lclose(HFILE file) {
  if (file < 0 || close(file) != 0) return Fail(file < 0 ? EBADF : errno);
  return 0;
}

bool SetFileTime(HFILE file, const FileTime* creation, const FileTime* lastAccess,
                 const FileTime* lastWrite) {
  // A POSIX file keeps no creation time that could be set.
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = 0;
  times[0].tv_nsec = times[1].tv_nsec = UTIME_OMIT;
  if (lastAccess) times[0] = posix_io::ToTimespec(*lastAccess);
  if (lastWrite) times[1] = posix_io::ToTimespec(*lastWrite);
  if (futimens(file, times) != 0) {
    Fail(errno);
    return false;
  }
  return true;
}

}  // namespace kernel
