// Kernel services in the shape the engine expects of the Windows kernel:
// command line, environment, folders, code page, tick count, processes with
// a thread-local "last error", temporary names, file times and attributes,
// the program's own resources and file version resources.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kernel {

// ---- Paths -------------------------------------------------------------------

// A path as this system's file functions take it: control files, cabinet
// entries and file lists are written for Windows, so a backslash is accepted
// as a separator wherever a path is taken and turned into the native one.
// Every function below that takes a path applies this itself.
std::string NativePath(const std::string& path);
// The native path under which Windows finds a file or folder: where a name
// on the way does not exist as given but one in its folder differs from it
// only in letter case, that one is meant (the first in byte order when
// several do). Every function below that takes a path applies this itself;
// code that reaches a file by other means must apply it first.
std::string ResolveLetterCase(const std::string& path);

// ---- Program, command line, environment, folders -------------------------

// Full path of the running program.
std::string GetModuleFileName();
// The program's arguments after the program name, as given.
std::vector<std::string> CommandLineArgs();
// The whole command line, program path first. A program started by
// CreateProcess gets the text it was started with, as Windows keeps it, so a
// program may read its arguments by rules of its own; otherwise each
// argument is quoted the way SplitCommandLine reads it back.
std::string GetCommandLine();
// Splits a command line by the Windows rules (quotes, backslashes before
// quotes, "" inside quotes); the first element is the program, which ends at
// the first blank or, when it starts with a quote, at the next quote.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);
// Quotes one argument so that SplitCommandLine gives it back unchanged.
std::string QuoteArgument(const std::string& arg);

std::string GetCurrentDirectory();
// The path made whole against the current folder (and, on Windows, the
// current drive), with native separators; not looked up on disk.
std::string GetFullPathName(const std::string& path);
bool SetCurrentDirectory(const std::string& path);

std::optional<std::string> GetEnvironmentVariable(const std::string& name);
bool SetEnvironmentVariable(const std::string& name, const std::optional<std::string>& value);

// The user's temporary folder with one trailing separator: "kestrel-<uid>"
// in the system temporary folder ($TMPDIR or /tmp), created on first use,
// a real folder of the user's that no one else may enter. When another
// user holds that name, a folder made for this process alone (and left for
// the restarter, which runs on after it). On Windows the user's own
// temporary folder, as the system names it.
std::string GetTempPath();

// ---- Locale and time --------------------------------------------------------

// OEM code page of the user's locale, mapped the way Windows maps locales
// (zh_CN 936, zh_TW 950, ja_JP 932, ko_KR 949, en_US 437, de_DE 850, ...).
unsigned GetOEMCP();
// The mapping itself, for a locale name such as "zh_TW.UTF-8".
unsigned OEMCodePageForLocale(const std::string& locale);

// Milliseconds since the system started, wrapping at 2^32 like the original.
std::uint32_t GetTickCount();

// Local date and time broken down.
struct SystemTime {
  int year, month, day, hour, minute, second, milliseconds;
};
SystemTime GetLocalTime();
// A local calendar time as a file time (local to universal time by the
// rules of the time zone at that date). Fields out of their range carry
// over into the neighbouring ones; nothing when the time cannot be
// represented.
std::optional<std::chrono::system_clock::time_point> LocalTimeToFileTime(const SystemTime& local);
// A file time as local calendar time, by the rules of the time zone at that
// date (milliseconds truncated).
SystemTime FileTimeToLocalTime(std::chrono::system_clock::time_point time);

// Major and minor release of the running system; {0, 0} when unknown. On
// POSIX the kernel's release stands for it.
struct OSVersion {
  unsigned major = 0, minor = 0;
};
OSVersion GetVersion();

// True when standard input is a terminal (a console) a person can answer at.
bool StandardInputIsTerminal();

// ---- Last error ---------------------------------------------------------------

// Windows error numbers the POSIX backends translate errno into.
enum : std::uint32_t {
  ERROR_SUCCESS = 0,
  ERROR_FILE_NOT_FOUND = 2,
  ERROR_PATH_NOT_FOUND = 3,
  ERROR_ACCESS_DENIED = 5,
  ERROR_INVALID_HANDLE = 6,
  ERROR_NOT_ENOUGH_MEMORY = 8,
  ERROR_BAD_FORMAT = 11,
  ERROR_INVALID_DATA = 13,
  ERROR_WRITE_PROTECT = 19,
  ERROR_SHARING_VIOLATION = 32,
  ERROR_HANDLE_EOF = 38,
  ERROR_FILE_EXISTS = 80,
  ERROR_INVALID_PARAMETER = 87,
  ERROR_DISK_FULL = 112,
  ERROR_INSUFFICIENT_BUFFER = 122,
  ERROR_DIR_NOT_EMPTY = 145,
  ERROR_ALREADY_EXISTS = 183,
  ERROR_BAD_EXE_FORMAT = 193,
  ERROR_NO_MORE_FILES = 18,
  ERROR_NOT_SAME_DEVICE = 17,
  ERROR_ENVVAR_NOT_FOUND = 203,
  ERROR_DIRECTORY = 267,
  ERROR_RESOURCE_TYPE_NOT_FOUND = 1813,
};

std::uint32_t GetLastError();
void SetLastError(std::uint32_t error);
// errno values without a Windows counterpart come out as this bit (the one
// Windows leaves to applications) combined with the errno value, so their
// text is not lost.
inline constexpr std::uint32_t kErrnoErrorBase = 0x20000000;
// Translates an errno value into the closest Windows error number.
std::uint32_t ErrorFromErrno(int err);
// The system's text for an error number, without trailing line break. The
// last error stays as it was, so a caller may read it after the text.
std::string FormatMessage(std::uint32_t error);

// ---- Processes ------------------------------------------------------------------

// Only a hint: a POSIX process has no main window to show or hide.
enum class ShowWindow { Hidden, Normal };

// A started process. Closing (destroying) the object does not end the process;
// a process that was not waited for is reaped in the background once it
// ends, so it never lingers as a zombie.
class Process {
 public:
  Process() = default;
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  int Id() const { return pid_; }
#ifdef _WIN32
  bool Valid() const {
    return handle_ != nullptr;
  }
#else
  bool Valid() const {
    return pid_ > 0;
  }
#endif

 private:
  friend std::optional<Process> CreateProcess(const std::string&, ShowWindow, const std::string&);
  friend bool WaitForProcess(Process&, std::optional<std::chrono::milliseconds>);
  friend std::optional<std::uint32_t> GetExitCodeProcess(const Process&);
  int pid_ = -1;
#ifdef _WIN32
  void* handle_ = nullptr;  // the process HANDLE, which keeps the exit code
#else
  bool exited_ = false;
  std::uint32_t exitCode_ = 0;
#endif
};

// Windows runs a file by its extension (there: true when the file exists);
// on POSIX a file named "*.exe" (any letter case) that arrived without
// execute permission, as files unpacked from a cabinet or downloaded do,
// gets it where it has read permission before it is started. True when the
// file is runnable afterwards.
bool MakeProgramRunnable(const std::string& path);

// The native separator of a path's parts, and of the entries of PATH.
#ifdef _WIN32
inline constexpr char PATH_SEPARATOR = '\\';
inline constexpr char PATH_LIST_SEPARATOR = ';';
#else
inline constexpr char PATH_SEPARATOR = '/';
inline constexpr char PATH_LIST_SEPARATOR = ':';
#endif

// Starts a command line (split by the Windows rules; a program without folder
// part is looked for, as Windows does, in the running program's folder, the
// current folder and then on PATH) in the given folder (empty: the caller's),
// with the caller's environment and no inherited descriptors beyond the
// standard ones. On failure sets the last error and returns nothing.
std::optional<Process> CreateProcess(const std::string& commandLine,
                                     ShowWindow show = ShowWindow::Normal,
                                     const std::string& currentDirectory = {});
// Waits for the process to end (no time-out when empty). True when it ended.
bool WaitForProcess(Process& process,
                    std::optional<std::chrono::milliseconds> timeout = std::nullopt);
// Exit code once the process has ended; nothing while it still runs. A
// process ended by a signal gives 128 + the signal number, as a shell does.
std::optional<std::uint32_t> GetExitCodeProcess(const Process& process);
int GetCurrentProcessId();
// Waits without a time limit until the process with that id has ended, as
// opening it for synchronisation and waiting does; returns at once when
// there is none. An id is only a number: a process under it that started
// after the caller cannot be the caller's starter and is not waited for.
void WaitForProcessId(int processId);

// ---- Files ------------------------------------------------------------------------

// Creates a new, empty, uniquely named file "<dir><3 letters of prefix><hex>.tmp"
// as GetTempFileNameA does with no fixed number; returns its path, or nothing
// with the last error set when the folder is unusable.
std::optional<std::string> GetTempFileName(const std::string& dir, const std::string& prefix);

enum : std::uint32_t {
  FILE_ATTRIBUTE_READONLY = 0x01,
  FILE_ATTRIBUTE_HIDDEN = 0x02,
  FILE_ATTRIBUTE_DIRECTORY = 0x10,
  FILE_ATTRIBUTE_ARCHIVE = 0x20,
  FILE_ATTRIBUTE_NORMAL = 0x80,
  FILE_ATTRIBUTE_REPARSE_POINT = 0x400,
  INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF,
};
// Windows keeps them with the file. On POSIX, read-only is the absence of
// the owner's write permission; hidden is a name that starts with a dot (and
// cannot be cleared, as on a Unix file system); a symbolic link is a reparse
// point, with the attributes of what it points to (a folder when it leads to
// one), as Windows reports links.
std::uint32_t GetFileAttributes(const std::string& path);
bool SetFileAttributes(const std::string& path, std::uint32_t attributes);

using FileTime = std::chrono::system_clock::time_point;
std::optional<FileTime> GetFileLastWriteTime(const std::string& path);
bool SetFileLastWriteTime(const std::string& path, FileTime time);
// Size in bytes, nothing when the file cannot be examined.
std::optional<std::uint64_t> GetFileSize(const std::string& path);

// True when a file that is not a folder exists under that name.
bool FileExists(const std::string& path);
// Refuses a read-only file with ERROR_ACCESS_DENIED, as Windows does.
bool DeleteFile(const std::string& path);
// Renames, replacing an existing target atomically (the POSIX rename rule).
// A file moved to another file system is copied next to the target, renamed
// over it and then removed from its old place.
bool MoveFile(const std::string& from, const std::string& to);
bool CreateDirectory(const std::string& path);
// Removes an empty folder.
bool RemoveDirectory(const std::string& path);
// Bytes the caller may still write on the volume that holds the folder;
// nothing (with the last error set) when the folder cannot be examined.
std::optional<std::uint64_t> GetDiskFreeSpace(const std::string& folder);

// ---- Resources ----------------------------------------------------------------------

// Registers a resource of the running program; called by the generated
// resource file of each program at start-up. A later registration of the same
// type and name replaces the earlier one.
void RegisterResource(const char* type, const char* name, const unsigned char* data,
                      std::size_t size);
// The program's resource of that type and name (names compare without
// regard to letter case), nothing when the program carries none.
std::optional<std::span<const unsigned char>> FindResource(const std::string& type,
                                                           const std::string& name);
// A string of the program's string table (resource "STRINGTABLE" named
// "MESSAGES": lines of an identifier and a template in double quotes, the
// text between the first and the last quote of the line; "#" starts a
// comment line); empty when there is none for that identifier.
std::string LoadString(int id);
// A string of the string table in the program's own resource section (the
// one a Windows resource script compiles); empty when there is none. POSIX
// programs carry their table as the registered resource above instead.
std::string LoadModuleString(int id);

// ---- File version resources ----------------------------------------------------------

// The fixed version block of a file's version resource, as Windows lays it out.
struct FixedFileInfo {
  std::uint32_t signature = 0;  // 0xFEEF04BD
  std::uint32_t strucVersion = 0;
  std::uint32_t fileVersionMS = 0;
  std::uint32_t fileVersionLS = 0;
  std::uint32_t productVersionMS = 0;
  std::uint32_t productVersionLS = 0;
  std::uint32_t fileFlagsMask = 0;
  std::uint32_t fileFlags = 0;
  std::uint32_t fileOS = 0;
  std::uint32_t fileType = 0;
  std::uint32_t fileSubtype = 0;
  std::uint32_t fileDateMS = 0;
  std::uint32_t fileDateLS = 0;
};
inline constexpr std::uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

// Reads the fixed version block from a PE file's RT_VERSION resource or from
// the version note of one of our ELF programs. Nothing when the file has no
// version resource, cannot be read, or its tables are broken.
std::optional<FixedFileInfo> GetFileVersionInfo(const std::string& path);
// The same on bytes already in memory (the parsers behind the above).
std::optional<FixedFileInfo> ParsePEVersionInfo(std::span<const unsigned char> image);
std::optional<FixedFileInfo> ParseELFVersionInfo(std::span<const unsigned char> image);

}  // namespace kernel
