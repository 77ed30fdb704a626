// Letter-case rules for the names of the system's own files and settings
// (sections, keys, properties, registry names): ASCII only, whatever the
// locale, as the Windows functions compare them.
#pragma once

#include <algorithm>
#include <string_view>

inline char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return LowerAscii(x) == LowerAscii(y);
         });
}
