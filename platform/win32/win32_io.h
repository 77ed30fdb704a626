// Small helpers the Windows backends share: file times, the handles behind
// the legacy file family, and texts for the SDK's wide calls. Include after
// platform/win32/sdk.h.
#pragma once

#include <chrono>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/lfile.h"

namespace win32_io {

// A FILETIME counts 100-nanosecond ticks since 1601-01-01 UTC.
using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;
inline constexpr std::int64_t kTicksFrom1601To1970 = 116444736000000000;

// Nothing for a time before 1601, which a FILETIME cannot hold.
inline std::optional<FILETIME> ToFileTime(kernel::FileTime time) {
  const std::int64_t ticks =
      std::chrono::floor<Ticks>(time.time_since_epoch()).count() + kTicksFrom1601To1970;
  if (ticks < 0) return std::nullopt;
  FILETIME out;
  out.dwLowDateTime = static_cast<DWORD>(ticks);
  out.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
  return out;
}

// Nothing for a time beyond the range of the clock, which counts
// nanoseconds in 64 bits (1678 to 2262; a FILETIME reaches from 1601 to
// 30827).
inline std::optional<kernel::FileTime> FromFileTime(const FILETIME& time) {
  using Clock = std::chrono::system_clock;
  const std::uint64_t raw =
      (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  constexpr auto kMaxTicks = std::chrono::floor<Ticks>(Clock::duration::max()).count();
  constexpr auto kMinTicks = std::chrono::ceil<Ticks>(Clock::duration::min()).count();
  if (raw > static_cast<std::uint64_t>(kMaxTicks + kTicksFrom1601To1970)) return std::nullopt;
  const std::int64_t ticks = static_cast<std::int64_t>(raw) - kTicksFrom1601To1970;
  if (ticks < kMinTicks) return std::nullopt;
  return kernel::FileTime(std::chrono::duration_cast<Clock::duration>(Ticks(ticks)));
}

// An HFILE is the file's HANDLE: kernel handles fit in 32 bits and are
// sign-extended, as HandleToLong and LongToHandle do it.
inline HANDLE ToHandle(kernel::HFILE file) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(file));
}
inline kernel::HFILE FromHandle(HANDLE handle) {
  return static_cast<kernel::HFILE>(reinterpret_cast<std::intptr_t>(handle));
}

// A 32-bit DIB section, rows top to bottom, blue in the lowest byte; its
// pixels are at `bits`. Null when it cannot be made.
inline HBITMAP CreateTopDownBitmap(LONG width, LONG height, void** bits) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  return ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, bits, nullptr, 0);
}

// UTF-16 for the calls that take nothing else, from text in a code page:
// CP_ACP for file names, which every file call of this system passes in the
// system code page; CP_UTF8 for what windows show, which the ui model and
// the widgets hold in UTF-8 on every system.
inline std::wstring Widen(std::string_view text, unsigned codePage = CP_ACP) {
  if (text.empty() || text.size() > INT_MAX) return {};
  const int size = static_cast<int>(text.size());
  const int length = ::MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) ::MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), length);
  return wide;
}

inline std::wstring WidenUtf8(std::string_view text) {
  return Widen(text, CP_UTF8);
}

// UTF-16 a window gives back, as the ui model's UTF-8.
inline std::string NarrowToUtf8(std::wstring_view text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  const int size = static_cast<int>(text.size());
  const int length =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), length, nullptr, nullptr);
  return narrow;
}

}  // namespace win32_io
