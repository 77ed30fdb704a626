// POSIX backend of the kernel service: program and environment, folders,
// code page, clocks, the last error, files, temporary names and the reading
// of file version resources. Processes are in process_posix.cpp.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/kernel.h"
#include "platform/posix/posix_io.h"
#include "platform/text.h"

namespace kernel {

namespace {

// A write beyond the file size limit (ulimit -f) fails like a write to a
// full disk, which every caller handles, instead of ending the process as
// the signal's default does; Windows knows no such signal.
[[maybe_unused]] const bool kFileSizeLimitIsAnError = [] {
  signal(SIGXFSZ, SIG_IGN);
  return true;
}();

}  // namespace

// ---- Paths --------------------------------------------------------------------------------

std::string NativePath(const std::string& path) {
  std::string out = path;
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

namespace {

// The folder part of a path ("" for a bare name, "/" for the root).
std::string ParentOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const std::size_t slash = p.rfind('/');
  if (slash == std::string::npos) return {};
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const std::size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

// Windows tells a missing file from a missing folder on the way to it.
std::uint32_t ErrorForPath(int err, const std::string& path) {
  if (err == ENOENT) {
    const std::string parent = ParentOf(path);
    struct stat st;
    if (!parent.empty() && (stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
      return ERROR_PATH_NOT_FOUND;
  }
  return ErrorFromErrno(err);
}

bool FailPath(int err, const std::string& path) {
  SetLastError(ErrorForPath(err, path));
  return false;
}

// The entry of the folder whose name differs from name only in letter case.
std::optional<std::string> NameInAnyCase(const std::string& folder, const std::string& name) {
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return std::nullopt;
  std::optional<std::string> found;
  while (const dirent* entry = readdir(dir)) {
    if (name == entry->d_name) {
      found = name;
      break;
    }
    if (SameText(entry->d_name, name) && (!found || entry->d_name < *found)) found = entry->d_name;
  }
  closedir(dir);
  return found;
}

}  // namespace

std::string ResolveLetterCase(const std::string& path) {
  const std::string native = NativePath(path);
  struct stat st;
  // The exact name wins, so a POSIX user's own names are never second-guessed.
  if (native.empty() || lstat(native.c_str(), &st) == 0) return native;
  std::size_t end = native.size();
  while (end > 1 && native[end - 1] == '/') --end;
  const std::string name = NameOf(native);
  if (name == "." || name == ".." || name == "/") return native;
  const std::string parent = ParentOf(native);
  const std::string folder = parent.empty() || parent == "/" ? parent : ResolveLetterCase(parent);
  const std::string prefix = folder.empty() ? "" : folder == "/" ? "/" : folder + "/";
  const std::string match = NameInAnyCase(folder, name).value_or(name);
  return prefix + match + native.substr(end);
}

// ---- Program, command line, environment, folders -------------------------------------

std::string GetModuleFileName() {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) {
      SetLastError(ErrorFromErrno(errno));
      return {};
    }
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(n);
      break;
    }
    buffer.resize(buffer.size() * 2);
  }
  // The link names a program file that was replaced while running this way.
  static constexpr char kDeleted[] = " (deleted)";
  struct stat st;
  if (buffer.ends_with(kDeleted) && stat(buffer.c_str(), &st) != 0)
    buffer.resize(buffer.size() - (sizeof(kDeleted) - 1));
  return buffer;
}

std::vector<std::string> CommandLineArgs() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  if (!args.empty()) args.erase(args.begin());  // the program name
  return args;
}

std::string GetCommandLine() {
  // The text CreateProcess started us with, unless it came from further up:
  // a program started some other way inherits its starter's text, which
  // then does not split into our arguments.
  if (const char* given = std::getenv(posix_io::kCommandLineVariable)) {
    const std::vector<std::string> split = SplitCommandLine(given);
    const std::vector<std::string> args = CommandLineArgs();
    if (!split.empty() && std::equal(split.begin() + 1, split.end(), args.begin(), args.end()))
      return given;
  }
  // The program name follows its own rules: quoted when it holds a blank,
  // backslashes taken literally.
  const std::string program = GetModuleFileName();
  bool quote = program.empty() || program.find_first_of(" \t") != std::string::npos;
  std::string line;
  if (quote) line += '"';
  line += program;
  if (quote) line += '"';
  for (const std::string& arg : CommandLineArgs()) {
    line += ' ';
    line += QuoteArgument(arg);
  }
  return line;
}

std::string GetFullPathName(const std::string& path) {
  const std::string native = NativePath(path);
  if (!native.empty() && native[0] == '/') return native;
  std::string base = GetCurrentDirectory();
  if (base.empty() || base.back() != '/') base += '/';
  return base + native;
}

std::string GetCurrentDirectory() {
  std::string buffer(256, '\0');
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) {
      SetLastError(ErrorFromErrno(errno));
      return {};
    }
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(std::strlen(buffer.c_str()));
  return buffer;
}

bool SetCurrentDirectory(const std::string& path) {
  const std::string native = ResolveLetterCase(path);
  if (chdir(native.c_str()) != 0) return FailPath(errno, native);
  return true;
}

std::optional<std::string> GetEnvironmentVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return std::nullopt;
  }
  return std::string(value);
}

bool SetEnvironmentVariable(const std::string& name, const std::optional<std::string>& value) {
  if (name.empty() || name.find('=') != std::string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const int rc = value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  if (rc != 0) {
    SetLastError(ErrorFromErrno(errno));
    return false;
  }
  return true;
}

namespace {

// True when the path is a real folder (not a link to one) of this user that
// no one else may enter; a folder of ours that is open to others is closed.
bool IsPrivateFolder(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
  if (ok && (st.st_mode & 077)) ok = fchmod(fd, st.st_mode & 0700) == 0;
  close(fd);
  return ok;
}

std::mutex ownTempMutex;
// The folder this process made for itself when the usual name was taken,
// and the system temporary folder it was made in.
std::string ownTempBase, ownTempFolder;

}  // namespace

std::string GetTempPath() {
  // The system temporary folder is shared by every local user, so a file
  // with a known name there could have been planted by any of them. The
  // engine works in a folder of the user's own beneath it, as Windows gives
  // each user a temporary folder of their own.
  const char* tmpdir = std::getenv("TMPDIR");
  std::string base = tmpdir && *tmpdir ? tmpdir : "/tmp";
  while (!base.empty() && base.back() == '/') base.pop_back();
  const std::string named = base + "/kestrel-" + std::to_string(geteuid());
  mkdir(named.c_str(), 0700);
  if (IsPrivateFolder(named)) return named + "/";

  // Someone else holds the name: this process makes a folder of its own.
  std::lock_guard lock(ownTempMutex);
  if (ownTempBase != base || !IsPrivateFolder(ownTempFolder)) {
    std::string folder = named + "-XXXXXX";
    ownTempBase = base;
    ownTempFolder = mkdtemp(folder.data()) ? folder : std::string();
  }
  if (!ownTempFolder.empty()) return ownTempFolder + "/";
  // No private folder can be had. A name that nothing holds fails every
  // write as a missing folder does; a foreign folder is never handed out,
  // a place where nothing can be created instead.
  struct stat st;
  return lstat(named.c_str(), &st) != 0 && errno == ENOENT ? named + "/" : "/dev/null/";
}

// ---- Locale and time ---------------------------------------------------------------------

unsigned GetOEMCP() {
  // The locale of character handling, by the POSIX order of precedence.
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return OEMCodePageForLocale(value);
  }
  return OEMCodePageForLocale("");
}

std::uint32_t GetTickCount() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000 +
                           static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
  return static_cast<std::uint32_t>(ms);
}

SystemTime GetLocalTime() {
  return FileTimeToLocalTime(std::chrono::system_clock::now());
}

std::optional<std::chrono::system_clock::time_point> LocalTimeToFileTime(const SystemTime& local) {
  tm fields{};
  fields.tm_year = local.year - 1900;
  fields.tm_mon = local.month - 1;
  fields.tm_mday = local.day;
  fields.tm_hour = local.hour;
  fields.tm_min = local.minute;
  fields.tm_sec = local.second;
  fields.tm_isdst = -1;
  const time_t t = mktime(&fields);
  // The clock counts nanoseconds in 64 bits: about 292 years either side of
  // 1970, beyond which a time would overflow it.
  constexpr auto kLimit =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::duration::max())
          .count() -
      1;
  if (t == static_cast<time_t>(-1) || t > kLimit || t < -kLimit) return std::nullopt;
  return std::chrono::system_clock::from_time_t(t) + std::chrono::milliseconds(local.milliseconds);
}

SystemTime FileTimeToLocalTime(std::chrono::system_clock::time_point time) {
  const auto secs = std::chrono::floor<std::chrono::seconds>(time.time_since_epoch());
  const time_t t = static_cast<time_t>(secs.count());
  tm local{};
  localtime_r(&t, &local);
  return {local.tm_year + 1900,
          local.tm_mon + 1,
          local.tm_mday,
          local.tm_hour,
          local.tm_min,
          local.tm_sec,
          static_cast<int>(
              std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch() - secs)
                  .count())};
}

OSVersion GetVersion() {
  utsname names{};
  if (uname(&names) != 0) return {};
  OSVersion version;
  const char* p = names.release;
  char* end = nullptr;
  version.major = static_cast<unsigned>(std::strtoul(p, &end, 10));
  if (end != p && *end == '.')
    version.minor = static_cast<unsigned>(std::strtoul(end + 1, nullptr, 10));
  return version;
}

std::string LoadModuleString(int) {
  return {};
}

bool StandardInputIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}

// ---- Last error -----------------------------------------------------------------------------

namespace {
thread_local std::uint32_t lastError = ERROR_SUCCESS;
}  // namespace

std::uint32_t GetLastError() {
  return lastError;
}
void SetLastError(std::uint32_t error) {
  lastError = error;
}

std::string FormatMessage(std::uint32_t error) {
  if ((error & ~0xFFFFu) == kErrnoErrorBase) return std::strerror(static_cast<int>(error & 0xFFFF));
  switch (error) {
    case ERROR_SUCCESS:
      return "The operation completed successfully.";
    case ERROR_FILE_NOT_FOUND:
      return "The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND:
      return "The system cannot find the path specified.";
    case ERROR_ACCESS_DENIED:
      return "Access is denied.";
    case ERROR_INVALID_HANDLE:
      return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY:
      return "Not enough memory resources are available to process this command.";
    case ERROR_BAD_FORMAT:
      return "An attempt was made to load a program with an incorrect format.";
    case ERROR_INVALID_DATA:
      return "The data is invalid.";
    case ERROR_NOT_SAME_DEVICE:
      return "The system cannot move the file to a different disk drive.";
    case ERROR_NO_MORE_FILES:
      return "There are no more files.";
    case ERROR_WRITE_PROTECT:
      return "The media is write protected.";
    case ERROR_SHARING_VIOLATION:
      return "The process cannot access the file because it is being used by another process.";
    case ERROR_HANDLE_EOF:
      return "Reached the end of the file.";
    case ERROR_FILE_EXISTS:
      return "The file exists.";
    case ERROR_INVALID_PARAMETER:
      return "The parameter is incorrect.";
    case ERROR_DISK_FULL:
      return "There is not enough space on the disk.";
    case ERROR_INSUFFICIENT_BUFFER:
      return "The data area passed to a system call is too small.";
    case ERROR_DIR_NOT_EMPTY:
      return "The directory is not empty.";
    case ERROR_ALREADY_EXISTS:
      return "Cannot create a file when that file already exists.";
    case ERROR_BAD_EXE_FORMAT:
      return "The file is not a valid program.";
    case ERROR_ENVVAR_NOT_FOUND:
      return "The system could not find the environment option that was entered.";
    case ERROR_DIRECTORY:
      return "The directory name is invalid.";
    case ERROR_RESOURCE_TYPE_NOT_FOUND:
      return "The specified resource type cannot be found in the image file.";
    default:
      return {};
  }
}

// ---- Files --------------------------------------------------------------------------------

std::uint32_t GetFileAttributes(const std::string& path) {
  const std::string native = ResolveLetterCase(path);
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) {
    FailPath(errno, native);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::uint32_t attributes = 0;
  if (S_ISLNK(st.st_mode)) {
    attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    // A dangling link is a link all the same.
    if (stat(native.c_str(), &st) != 0) return attributes;
  }
  if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (!(st.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
  const std::string name = NameOf(native);
  if (name.size() > 1 && name[0] == '.' && name != "..") attributes |= FILE_ATTRIBUTE_HIDDEN;
  return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

bool SetFileAttributes(const std::string& path, std::uint32_t attributes) {
  const std::string native = ResolveLetterCase(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return FailPath(errno, native);
  // Windows ignores the read-only attribute of folders; without write
  // permission a POSIX folder could not take new files, so leave them be.
  if (S_ISDIR(st.st_mode)) return true;
  const mode_t mode = st.st_mode & 07777;
  const mode_t wanted =
      attributes & FILE_ATTRIBUTE_READONLY ? mode & ~mode_t{0222} : mode | S_IWUSR;
  if (wanted != mode && chmod(native.c_str(), wanted) != 0) return FailPath(errno, native);
  return true;
}

std::optional<FileTime> GetFileLastWriteTime(const std::string& path) {
  const std::string native = ResolveLetterCase(path);
  struct stat st;
  if (stat(native.c_str(), &st) != 0) {
    FailPath(errno, native);
    return std::nullopt;
  }
  const auto since =
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
  return FileTime(std::chrono::duration_cast<FileTime::duration>(since));
}

bool SetFileLastWriteTime(const std::string& path, FileTime time) {
  const std::string native = ResolveLetterCase(path);
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // the access time stays
  times[1] = posix_io::ToTimespec(time);
  if (utimensat(AT_FDCWD, native.c_str(), times, 0) != 0) return FailPath(errno, native);
  return true;
}

std::optional<std::uint64_t> GetFileSize(const std::string& path) {
  const std::string native = ResolveLetterCase(path);
  struct stat st;
  if (stat(native.c_str(), &st) != 0) {
    FailPath(errno, native);
    return std::nullopt;
  }
  if (S_ISDIR(st.st_mode)) {  // a folder cannot be opened as a file on Windows
    SetLastError(ERROR_ACCESS_DENIED);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(st.st_size);
}

bool FileExists(const std::string& path) {
  const std::string native = ResolveLetterCase(path);
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return FailPath(errno, native);
  return !S_ISDIR(st.st_mode);
}

bool DeleteFile(const std::string& path) {
  const std::string native = ResolveLetterCase(path);
  // A read-only file is not deleted, as on Windows: callers clear the
  // attribute and try again when they mean it.
  struct stat st {};
  if (lstat(native.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  if (unlink(native.c_str()) != 0) return FailPath(errno, native);
  return true;
}

namespace {

// A move to another file system: copy into a new file beside the target,
// rename that over the target (so the target is replaced in one step), then
// remove the source. Like Windows, a source that cannot be removed afterwards
// does not fail the move.
bool MoveAcrossFileSystems(const std::string& from, const std::string& to) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) return FailPath(errno, from);
  struct stat st;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(in);
    SetLastError(ERROR_NOT_SAME_DEVICE);  // folders are not copied across
    return false;
  }
  std::string temp = to + ".move-XXXXXX";
  const int out = mkostemp(temp.data(), O_CLOEXEC);
  if (out < 0) {
    const int err = errno;
    close(in);
    return FailPath(err, to);
  }
  int err = 0;  // the first failure
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
    if (!posix_io::WriteAll(out, std::string_view(buffer.data(), static_cast<std::size_t>(n)))) {
      err = errno;
      break;
    }
  }
  close(in);
  if (err == 0) {
    const timespec times[2] = {st.st_atim, st.st_mtim};
    fchmod(out, st.st_mode & 07777);
    futimens(out, times);
  }
  if (close(out) != 0 && err == 0) err = errno;
  if (err == 0 && rename(temp.c_str(), to.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(temp.c_str());
    return FailPath(err, to);
  }
  unlink(from.c_str());
  return true;
}

}  // namespace

bool MoveFile(const std::string& from, const std::string& to) {
  const std::string source = ResolveLetterCase(from);
  const std::string target = ResolveLetterCase(to);
  if (rename(source.c_str(), target.c_str()) == 0) return true;
  if (errno == EXDEV) return MoveAcrossFileSystems(source, target);
  const int err = errno;
  // Tell which side is missing, as Windows would.
  if (err == ENOENT && access(source.c_str(), F_OK) == 0) return FailPath(err, target);
  return FailPath(err, source);
}

bool CreateDirectory(const std::string& path) {
  const std::string native = ResolveLetterCase(path);
  if (mkdir(native.c_str(), 0777) != 0) {
    const int err = errno;
    SetLastError(err == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(err));
    return false;
  }
  return true;
}

bool RemoveDirectory(const std::string& path) {
  const std::string native = ResolveLetterCase(path);
  if (rmdir(native.c_str()) == 0) return true;
  return FailPath(errno, native);
}

std::optional<std::uint64_t> GetDiskFreeSpace(const std::string& folder) {
  const std::string native = ResolveLetterCase(folder);
  struct statvfs fs;
  if (statvfs(native.empty() ? "." : native.c_str(), &fs) != 0) {
    FailPath(errno, native);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
}

// ---- Resources ---------------------------------------------------------------------------

// Every resource of a POSIX program is registered at start-up.
std::optional<std::span<const unsigned char>> FindProgramResource(const std::string&,
                                                                  const std::string&) {
  SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  return std::nullopt;
}

// ---- File version resources --------------------------------------------------------------

std::optional<FixedFileInfo> GetFileVersionInfo(const std::string& path) {
  const std::string native = ResolveLetterCase(path);
  // Not blocking: a pipe under that name must not stall the update check.
  const int fd = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    FailPath(errno, native);
    return std::nullopt;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return std::nullopt;
  }
  std::optional<FixedFileInfo> info;
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  // Mapped, not read: program files can be large, and only a few pages of
  // their headers and resources are ever touched.
  void* mapped = size > 0 ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
  close(fd);
  if (mapped != MAP_FAILED) {
    std::span<const unsigned char> bytes(static_cast<const unsigned char*>(mapped), size);
    if (size >= 2 && bytes[0] == 'M' && bytes[1] == 'Z')
      info = ParsePEVersionInfo(bytes);
    else
      info = ParseELFVersionInfo(bytes);
    munmap(mapped, size);
  }
  if (!info) SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  return info;
}

}  // namespace kernel
