// What's-new and licence texts in RTF come from update servers. Reading one
// must never fail, loop or blow up: the text it yields is valid UTF-8 and
// stays within a small multiple of the source.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/richtext.h"

namespace {

bool ValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80           ? 1
                         : (c >> 5) == 0x6  ? 2
                         : (c >> 4) == 0xE  ? 3
                         : (c >> 3) == 0x1E ? 4
                                            : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  std::string problem;
  const richtext::Document document = richtext::ParseRTF(source, &problem);
  const std::string text = document.PlainText();
  if (!ValidUtf8(text)) __builtin_trap();
  // No byte of the source becomes more than one replacement character.
  if (text.size() > 3 * size + 4) __builtin_trap();
  for (const auto& paragraph : document.paragraphs)
    for (const auto& run : paragraph.runs)
      if (run.text.empty() || run.format.halfPoints <= 0) __builtin_trap();
  return 0;
}
