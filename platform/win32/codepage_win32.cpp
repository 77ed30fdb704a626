// Windows backend of code page conversion: MultiByteToWideChar into UTF-16,
// WideCharToMultiByte from there into UTF-8.
#include "platform/win32/sdk.h"
// clang-format off
#include "platform/codepage.h"
// clang-format on

#include <climits>
#include <string>

namespace codepage {
namespace {

constexpr wchar_t kReplacement = 0xFFFD;

// The UTF-16 text of bytes that are all valid in the code page; false when
// one is not. Code pages that cannot check their input take it as it is.
bool Widen(unsigned codePage, const char* bytes, int size, std::wstring& out) {
  DWORD flags = MB_ERR_INVALID_CHARS;
  int length = ::MultiByteToWideChar(codePage, flags, bytes, size, nullptr, 0);
  if (length == 0 && ::GetLastError() == ERROR_INVALID_FLAGS) {
    flags = 0;
    length = ::MultiByteToWideChar(codePage, flags, bytes, size, nullptr, 0);
  }
  if (length <= 0) return false;
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(length));
  ::MultiByteToWideChar(codePage, flags, bytes, size, out.data() + start, length);
  return true;
}

}  // namespace

std::optional<std::string> ToUtf8(unsigned codePage, std::string_view bytes) {
  // The pseudo code pages (the thread's, the system's ANSI and OEM ones)
  // name no code page of a document.
  if (codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_MACCP ||
      codePage == CP_THREAD_ACP || codePage == CP_SYMBOL || !::IsValidCodePage(codePage))
    return std::nullopt;
  if (bytes.empty()) return std::string();
  if (bytes.size() > INT_MAX / 2) return std::nullopt;
  std::wstring wide;
  const int size = static_cast<int>(bytes.size());
  if (!Widen(codePage, bytes.data(), size, wide)) {
    // Character by character: the shortest run of bytes that is one
    // character, else a replacement for the first byte.
    wide.clear();
    for (int at = 0; at < size;) {
      int length = 1;
      while (length <= 4 && at + length <= size &&
             !Widen(codePage, bytes.data() + at, length, wide))
        ++length;
      if (length > 4 || at + length > size) {
        wide.push_back(kReplacement);
        length = 1;
      }
      at += length;
    }
  }
  const int wideSize = static_cast<int>(wide.size());
  const int length =
      ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideSize, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideSize, out.data(), length, nullptr, nullptr);
  return out;
}

}  // namespace codepage
