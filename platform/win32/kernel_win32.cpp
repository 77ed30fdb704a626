// Windows backend of the kernel service: a pass-through to kernel32 (and
// version.dll for version resources). Processes are in process_win32.cpp.
#include "platform/win32/sdk.h"
// sdk.h first: it tames the SDK's macros before the platform headers.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/win32_io.h"

namespace kernel {

namespace {

using win32_io::FromFileTime;
using win32_io::ToFileTime;

// The text of a call that fills a buffer and, when it is too small, answers
// with the size it needs: fill(buffer, size) returns the length written, or
// the size needed when that is more than size, or 0 on failure.
template <typename Fill>
std::string Filled(Fill fill) {
  std::string buffer(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = fill(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(std::max<std::size_t>(n, buffer.size() * 2));
  }
}

bool Fail(DWORD error) {
  ::SetLastError(error);
  return false;
}

// Opens a file or folder for its times or attributes alone, sharing it with
// everyone: only what the caller asked for is ever refused.
HANDLE OpenForAttributes(const std::string& path, DWORD access) {
  return ::CreateFileA(NativePath(path).c_str(), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

// ---- Paths --------------------------------------------------------------------------------

std::string NativePath(const std::string& path) {
  std::string out = path;
  for (char& c : out)
    if (c == '/') c = '\\';
  return out;
}

// Windows finds a name in any letter case by itself.
std::string ResolveLetterCase(const std::string& path) {
  return NativePath(path);
}

// ---- Program, command line, environment, folders -------------------------------------

std::string GetModuleFileName() {
  std::string buffer(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    // A full buffer means the name was cut short.
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::vector<std::string> CommandLineArgs() {
  std::vector<std::string> args = SplitCommandLine(::GetCommandLineA());
  if (!args.empty()) args.erase(args.begin());  // the program name
  return args;
}

std::string GetCommandLine() {
  return ::GetCommandLineA();
}

std::string GetCurrentDirectory() {
  return Filled([](char* buffer, DWORD size) { return ::GetCurrentDirectoryA(size, buffer); });
}

std::string GetFullPathName(const std::string& path) {
  const std::string native = NativePath(path);
  return Filled([&](char* buffer, DWORD size) {
    return ::GetFullPathNameA(native.c_str(), size, buffer, nullptr);
  });
}

bool SetCurrentDirectory(const std::string& path) {
  return ::SetCurrentDirectoryA(NativePath(path).c_str()) != 0;
}

std::optional<std::string> GetEnvironmentVariable(const std::string& name) {
  // An empty value also gives 0, with the last error left alone.
  ::SetLastError(ERROR_SUCCESS);
  std::string value = Filled([&](char* buffer, DWORD size) {
    return ::GetEnvironmentVariableA(name.c_str(), buffer, size);
  });
  if (value.empty() && ::GetLastError() != ERROR_SUCCESS) return std::nullopt;
  return value;
}

bool SetEnvironmentVariable(const std::string& name, const std::optional<std::string>& value) {
  if (name.empty() || name.find('=') != std::string::npos) return Fail(ERROR_INVALID_PARAMETER);
  return ::SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr) != 0;
}

std::string GetTempPath() {
  std::string path = Filled([](char* buffer, DWORD size) { return ::GetTempPathA(size, buffer); });
  while (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path + '\\';
}

// ---- Locale and time ---------------------------------------------------------------------

unsigned GetOEMCP() {
  return ::GetOEMCP();
}

std::uint32_t GetTickCount() {
  return ::GetTickCount();
}

SystemTime GetLocalTime() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

std::optional<std::chrono::system_clock::time_point> LocalTimeToFileTime(const SystemTime& local) {
  using namespace std::chrono;
  // Fields out of range carry over: the calendar arithmetic is done here,
  // the zone's rules for the date by the system.
  const int months = local.month - 1;
  const year_month_day first{year{local.year + months / 12 - (months % 12 < 0)},
                             month{static_cast<unsigned>((months % 12 + 12) % 12 + 1)}, day{1}};
  if (!first.ok()) return std::nullopt;
  const auto linear = sys_days(first) + days(local.day - 1) + hours(local.hour) +
                      minutes(local.minute) + seconds(local.second) +
                      milliseconds(local.milliseconds);
  const auto date = year_month_day(floor<days>(linear));
  if (date.year() < year(1601) || date.year() > year(30827)) return std::nullopt;
  const hh_mm_ss clock(floor<milliseconds>(linear - floor<days>(linear)));
  SYSTEMTIME fields{};
  fields.wYear = static_cast<WORD>(static_cast<int>(date.year()));
  fields.wMonth = static_cast<WORD>(static_cast<unsigned>(date.month()));
  fields.wDay = static_cast<WORD>(static_cast<unsigned>(date.day()));
  fields.wHour = static_cast<WORD>(clock.hours().count());
  fields.wMinute = static_cast<WORD>(clock.minutes().count());
  fields.wSecond = static_cast<WORD>(clock.seconds().count());
  fields.wMilliseconds = static_cast<WORD>(clock.subseconds().count());
  SYSTEMTIME universal;
  FILETIME stamp;
  if (!::TzSpecificLocalTimeToSystemTime(nullptr, &fields, &universal) ||
      !::SystemTimeToFileTime(&universal, &stamp))
    return std::nullopt;
  return FromFileTime(stamp);
}

SystemTime FileTimeToLocalTime(std::chrono::system_clock::time_point time) {
  SYSTEMTIME universal{}, local{};
  const std::optional<FILETIME> stamp = ToFileTime(time);
  if (!stamp || !::FileTimeToSystemTime(&*stamp, &universal) ||
      !::SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
    return {1601, 1, 1, 0, 0, 0, 0};  // before anything Windows can tell
  return {local.wYear,   local.wMonth,  local.wDay,         local.wHour,
          local.wMinute, local.wSecond, local.wMilliseconds};
}

OSVersion GetVersion() {
  // GetVersionExA answers with the release named in the program's manifest;
  // RtlGetVersion tells the truth.
  using RtlGetVersionCall = LONG(WINAPI*)(OSVERSIONINFOW*);
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  const auto call = ntdll ? reinterpret_cast<RtlGetVersionCall>(
                                reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")))
                          : nullptr;
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (!call || call(&info) != 0) return {};
  return {info.dwMajorVersion, info.dwMinorVersion};
}

bool StandardInputIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

// ---- Last error -----------------------------------------------------------------------------

std::uint32_t GetLastError() {
  return ::GetLastError();
}

void SetLastError(std::uint32_t error) {
  ::SetLastError(error);
}

std::string FormatMessage(std::uint32_t error) {
  if ((error & ~0xFFFFu) == kErrnoErrorBase) return std::strerror(static_cast<int>(error & 0xFFFF));
  // A number without a text sets an error of its own, which must not
  // replace the one the caller is reporting.
  const DWORD lastError = ::GetLastError();
  char* text = nullptr;
  const DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message(text ? text : "", n);
  ::LocalFree(text);
  ::SetLastError(lastError);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  return message;
}

// ---- Files --------------------------------------------------------------------------------

std::optional<std::string> GetTempFileName(const std::string& dir, const std::string& prefix) {
  // An empty folder is the current one; the system would take the root.
  const std::string folder = dir.empty() ? "." : NativePath(dir);
  char name[MAX_PATH];
  if (::GetTempFileNameA(folder.c_str(), prefix.c_str(), 0, name) == 0) {
    // Windows tells a missing folder so; some versions pass on the error
    // of the first file they tried.
    const DWORD error = ::GetLastError();
    ::SetLastError(error == ERROR_PATH_NOT_FOUND ? DWORD{ERROR_DIRECTORY} : error);
    return std::nullopt;
  }
  std::string path = name;
  if (dir.empty() && path.starts_with(".\\")) path.erase(0, 2);
  return path;
}

std::uint32_t GetFileAttributes(const std::string& path) {
  return ::GetFileAttributesA(NativePath(path).c_str());
}

bool SetFileAttributes(const std::string& path, std::uint32_t attributes) {
  return ::SetFileAttributesA(NativePath(path).c_str(), attributes) != 0;
}

std::optional<FileTime> GetFileLastWriteTime(const std::string& path) {
  const HANDLE file = OpenForAttributes(path, FILE_READ_ATTRIBUTES);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  FILETIME written;
  const bool ok = ::GetFileTime(file, nullptr, nullptr, &written) != 0;
  const DWORD error = ::GetLastError();
  ::CloseHandle(file);
  if (!ok) {
    ::SetLastError(error);
    return std::nullopt;
  }
  const std::optional<FileTime> time = FromFileTime(written);
  if (!time) ::SetLastError(ERROR_INVALID_DATA);
  return time;
}

bool SetFileLastWriteTime(const std::string& path, FileTime time) {
  const std::optional<FILETIME> stamp = ToFileTime(time);
  if (!stamp) return Fail(ERROR_INVALID_PARAMETER);
  const HANDLE file = OpenForAttributes(path, FILE_WRITE_ATTRIBUTES);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool ok = ::SetFileTime(file, nullptr, nullptr, &*stamp) != 0;
  const DWORD error = ::GetLastError();
  ::CloseHandle(file);
  return ok || Fail(error);
}

std::optional<std::uint64_t> GetFileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(NativePath(path).c_str(), GetFileExInfoStandard, &data))
    return std::nullopt;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {  // no folder opens as a file
    ::SetLastError(ERROR_ACCESS_DENIED);
    return std::nullopt;
  }
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool FileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(NativePath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DeleteFile(const std::string& path) {
  return ::DeleteFileA(NativePath(path).c_str()) != 0;
}

namespace {

// A move to another volume, made so that the target is replaced in one
// rename: MOVEFILE_COPY_ALLOWED would copy over the old target in place,
// losing it to a copy that fails half-way.
bool MoveAcrossVolumes(const std::string& from, const std::string& to) {
  char temp[MAX_PATH];
  std::string folder = to.substr(0, to.find_last_of('\\') + 1);
  if (folder.empty()) folder = ".";
  if (::GetTempFileNameA(folder.c_str(), "mov", 0, temp) == 0) return false;
  if (!::CopyFileA(from.c_str(), temp, FALSE) ||
      !::MoveFileExA(temp, to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    const DWORD error = ::GetLastError();
    ::DeleteFileA(temp);
    return Fail(error);
  }
  // As Windows does, a source that cannot be removed does not fail the move.
  ::DeleteFileA(from.c_str());
  return true;
}

}  // namespace

bool MoveFile(const std::string& from, const std::string& to) {
  const std::string source = NativePath(from);
  const std::string target = NativePath(to);
  if (::MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  DWORD error = ::GetLastError();
  if (error == ERROR_NOT_SAME_DEVICE) return MoveAcrossVolumes(source, target);
  // A read-only target is replaced as a rename replaces it on POSIX; it
  // keeps its attribute when the second try fails too.
  const DWORD attributes = ::GetFileAttributesA(target.c_str());
  if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) ==
          FILE_ATTRIBUTE_READONLY &&
      ::SetFileAttributesA(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    if (::MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    error = ::GetLastError();
    ::SetFileAttributesA(target.c_str(), attributes);
  }
  return Fail(error);
}

bool CreateDirectory(const std::string& path) {
  return ::CreateDirectoryA(NativePath(path).c_str(), nullptr) != 0;
}

bool RemoveDirectory(const std::string& path) {
  return ::RemoveDirectoryA(NativePath(path).c_str()) != 0;
}

std::optional<std::uint64_t> GetDiskFreeSpace(const std::string& folder) {
  std::string native = NativePath(folder);
  if (!native.empty() && native.back() != '\\') native += '\\';
  ULARGE_INTEGER available;
  if (!::GetDiskFreeSpaceExA(native.empty() ? nullptr : native.c_str(), &available, nullptr,
                             nullptr))
    return std::nullopt;
  return available.QuadPart;
}

// ---- Resources -------------------------------------------------------------------------------

std::optional<std::span<const unsigned char>> FindProgramResource(const std::string& type,
                                                                  const std::string& name) {
  // The build puts every resource under its type's name; RCDATA is the
  // one type the resource compiler knows by number.
  std::string upper = type;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const char* kind = upper == "RCDATA" ? MAKEINTRESOURCEA(10) /* RT_RCDATA */ : type.c_str();
  const HRSRC found = ::FindResourceA(nullptr, name.c_str(), kind);
  const HGLOBAL loaded = found ? ::LoadResource(nullptr, found) : nullptr;
  const void* data = loaded ? ::LockResource(loaded) : nullptr;
  if (!data) {
    if (::GetLastError() == ERROR_SUCCESS) ::SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return std::nullopt;
  }
  return std::span(static_cast<const unsigned char*>(data), ::SizeofResource(nullptr, found));
}

std::string LoadModuleString(int id) {
  // Asked for no copy, LoadStringW points into the table itself, so no
  // string is cut short; the text is turned into the ANSI code page.
  const wchar_t* text = nullptr;
  const int length = id < 0 || id > 0xFFFF
                         ? 0
                         : ::LoadStringW(::GetModuleHandleA(nullptr), static_cast<UINT>(id),
                                         reinterpret_cast<wchar_t*>(&text), 0);
  if (length <= 0 || !text) return {};
  const int size = ::WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

// ---- File version resources --------------------------------------------------------------

std::optional<FixedFileInfo> GetFileVersionInfo(const std::string& path) {
  const std::string native = NativePath(path);
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(native.c_str(), &ignored);
  if (size == 0) {
    // A file without resources, or without this one, has no version
    // resource, whichever way the system puts it.
    const DWORD error = ::GetLastError();
    if (error >= 1812 && error <= 1815)  // ERROR_RESOURCE_DATA/TYPE/NAME/LANG_NOT_FOUND
      ::SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return std::nullopt;
  }
  std::vector<unsigned char> block(size);
  void* fixed = nullptr;
  UINT length = 0;
  if (!::GetFileVersionInfoA(native.c_str(), 0, size, block.data()) ||
      !::VerQueryValueA(block.data(), "\\", &fixed, &length))
    return std::nullopt;
  if (length < sizeof(VS_FIXEDFILEINFO)) {
    ::SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return std::nullopt;
  }
  // The block is laid out as Windows lays it out.
  static_assert(sizeof(FixedFileInfo) == sizeof(VS_FIXEDFILEINFO));
  FixedFileInfo info;
  std::memcpy(&info, fixed, sizeof info);
  if (info.signature != kFixedFileInfoSignature) {
    ::SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return std::nullopt;
  }
  return info;
}

}  // namespace kernel
