// Code pages: text in a Windows code page (RTF's \ansicpg and \fcharset, a
// locale's OEM page) turned into UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace codepage {

inline constexpr unsigned kUtf8 = 65001;

// The bytes, in that code page, as UTF-8. A byte that starts no character
// of the code page, or a lead byte cut off by the end, becomes U+FFFD and
// the conversion goes on with the next byte. Nothing when the system has no
// converter for the code page.
std::optional<std::string> ToUtf8(unsigned codePage, std::string_view bytes);

}  // namespace codepage
