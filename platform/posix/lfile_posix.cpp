// The legacy file calls on POSIX descriptors. The handle is the descriptor
// itself.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <utility>

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
  const std::string native = ResolveLetterCase(path);
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

HFILE OpenSequentialRead(const std::string& path) {
  // O_NONBLOCK so that a FIFO without a writer cannot stall the open.
  const int fd = AwayFromZero(
      open(ResolveLetterCase(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd < 0) return Fail(errno);
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    SetLastError(S_ISDIR(info.st_mode) ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
    return HFILE_ERROR;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return fd;
}

HFILE _lcreat(const std::string& path, int attribute) {
  const std::string native = ResolveLetterCase(path);
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

namespace {

HFILE CreateNewNative(const std::string& native) {
  // O_EXCL refuses any name that exists, a dangling symbolic link included.
  const int fd =
      AwayFromZero(open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (fd < 0 && errno == EEXIST) {
    SetLastError(ERROR_FILE_EXISTS);  // as CreateFile's CREATE_NEW tells it
    return HFILE_ERROR;
  }
  if (fd < 0) return Fail(errno);
  SetLastError(ERROR_SUCCESS);
  return fd;
}

}  // namespace

HFILE CreateNewFile(const std::string& path) {
  return CreateNewNative(ResolveLetterCase(path));
}

// ---- Temporary files -------------------------------------------------------------

namespace {

// Tries the names "<folder><3 letters of prefix><hex>.tmp" as Windows does:
// from the tick count up within 1..FFFF, giving up when every one is taken.
// claim makes the file under a name: true when it did, false with errno set
// (EEXIST: the name is taken, try the next). Nothing, with the last error
// set, when no name could be had.
template <typename Claim>
std::optional<std::string> ClaimNumberedName(const std::string& folder, const std::string& prefix,
                                             Claim claim) {
  std::string base = ResolveLetterCase(folder);
  if (!base.empty() && base.back() != '/') base += '/';
  base += NativePath(prefix.substr(0, 3));
  std::uint32_t number = GetTickCount() & 0xFFFF;
  if (number == 0) number = 1;
  for (std::uint32_t attempt = 0; attempt < 0xFFFF; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%X.tmp", static_cast<unsigned>(number));
    std::string path = base + suffix;
    if (claim(path)) return path;
    if (errno != EEXIST) {
      SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_DIRECTORY : ErrorFromErrno(errno));
      return std::nullopt;
    }
    number = number % 0xFFFF + 1;
  }
  SetLastError(ERROR_FILE_EXISTS);
  return std::nullopt;
}

int CreateExclusively(const std::string& path) {
  return AwayFromZero(open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
}

}  // namespace

std::optional<std::string> GetTempFileName(const std::string& dir, const std::string& prefix) {
  return ClaimNumberedName(dir, prefix, [](const std::string& path) {
    const int fd = CreateExclusively(path);
    return fd >= 0 && close(fd) == 0;
  });
}

std::optional<TemporaryFile> TemporaryFile::Create(const std::string& folder,
                                                   const std::string& prefix) {
  // The file is locked while it is ours, so a sweep of stale files passes
  // it by. Made without a name first, it is locked before anyone can see
  // it; a file system that cannot do that gets it locked right after.
  const std::string native = ResolveLetterCase(folder);
  int fd = AwayFromZero(
      open(native.empty() ? "." : native.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
  const bool unnamed = fd >= 0;
  if (unnamed) flock(fd, LOCK_SH);
  auto path = ClaimNumberedName(folder, prefix, [&](const std::string& name) {
    if (unnamed)
      return linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd)).c_str(), AT_FDCWD,
                    name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    fd = CreateExclusively(name);
    return fd >= 0 && flock(fd, LOCK_SH) == 0;
  });
  if (!path) {
    if (fd >= 0) close(fd);
    return std::nullopt;
  }
  return TemporaryFile(std::move(*path), fd);
}

std::optional<TemporaryFile> TemporaryFile::Beside(const std::string& target) {
  // The partial name is this program's own and is not looked up in any
  // letter case: a folder listing for each would slow an extraction of
  // thousands of files.
  std::string path = ResolveLetterCase(target) + kPartialSuffix;
  HFILE fd = CreateNewNative(path);
  // Only a killed writer leaves one behind: the name is cleared just then,
  // not before every file (an extraction makes thousands).
  if (fd == HFILE_ERROR && GetLastError() == ERROR_FILE_EXISTS && unlink(path.c_str()) == 0)
    fd = CreateNewNative(path);
  if (fd == HFILE_ERROR) return std::nullopt;
  return TemporaryFile(std::move(path), fd);
}

bool TemporaryFile::Discard() {
  if (file_ != HFILE_ERROR) close(std::exchange(file_, HFILE_ERROR));
  // Removed whatever its permissions: it was never anybody's file.
  if (path_.empty()) return true;
  if (unlink(std::exchange(path_, std::string()).c_str()) == 0) return true;
  Fail(errno);
  return false;
}

bool TemporaryFile::MoveTo(const std::string& target) {
  // POSIX renames an open file; the handle is closed only once the file is
  // in place, so a sweep never sees it unlocked under its temporary name.
  if (!MoveFile(path_, target)) return false;
  if (file_ != HFILE_ERROR) close(std::exchange(file_, HFILE_ERROR));
  path_.clear();
  return true;
}

void DeleteStaleTemporaryFiles(const std::string& folder, const std::string& prefix) {
  // "." is chosen before the conversion: GCC 12 takes an assignment of it
  // afterwards for an overlapping copy in an optimised build.
  std::string base = ResolveLetterCase(folder.empty() ? std::string(".") : folder);
  if (base.back() != '/') base += '/';
  const std::string start = prefix.substr(0, 3);
  DIR* dir = opendir(base.c_str());
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    // Only the names Create gives: the prefix, one to four hexadecimal
    // digits, ".tmp"; a user's "UPDATES.tmp" is no temporary of ours.
    const std::string name = entry->d_name;
    if (!name.starts_with(start) || !name.ends_with(".tmp")) continue;
    const std::string number = name.substr(start.size(), name.size() - start.size() - 4);
    if (number.empty() || number.size() > 4 ||
        number.find_first_not_of("0123456789ABCDEF") != std::string::npos)
      continue;
    const std::string path = base + name;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    // A file that some process holds keeps its shared lock.
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0)
      unlink(path.c_str());
    close(fd);
  }
  closedir(dir);
}

}  // namespace kernel
