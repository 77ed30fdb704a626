// Small helpers the POSIX backends share.
#pragma once

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace posix_io {

// Writes everything, retrying short and interrupted writes.
inline bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// A time point as a timespec, with tv_nsec in range also before 1970.
inline timespec ToTimespec(std::chrono::system_clock::time_point time) {
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
  std::int64_t seconds = ns / 1000000000;
  std::int64_t rest = ns % 1000000000;
  if (rest < 0) {
    rest += 1000000000;
    --seconds;
  }
  timespec out;
  out.tv_sec = static_cast<time_t>(seconds);
  out.tv_nsec = static_cast<long>(rest);
  return out;
}

// Where CreateProcess hands a started program the command line it was
// started with: POSIX passes only the split arguments, Windows the text.
inline constexpr const char* kCommandLineVariable = "KESTREL_COMMAND_LINE";

}  // namespace posix_io
