#include "platform/base64.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

constexpr std::int8_t kInvalid = -1;

constexpr std::array<std::int8_t, 256> MakeDecodeTable() {
  std::array<std::int8_t, 256> table{};
  for (auto& entry : table) entry = kInvalid;
  for (std::size_t i = 0; i < kAlphabet.size(); ++i)
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  return table;
}
constexpr std::array<std::int8_t, 256> kDecode = MakeDecodeTable();

}  // namespace

std::string Base64Encode(std::string_view data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t n = data.size();
  for (; n >= 3; n -= 3, p += 3) {
    const std::uint32_t group = (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 63];
    out += kAlphabet[(group >> 6) & 63];
    out += kAlphabet[group & 63];
  }
  if (n > 0) {
    // The last one or two bytes are completed with zero bytes.
    const std::uint32_t group =
        (std::uint32_t{p[0]} << 16) | (n == 2 ? std::uint32_t{p[1]} << 8 : 0);
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 63];
    out += n == 2 ? kAlphabet[(group >> 6) & 63] : kPad;
    out += kPad;
  }
  return out;
}

std::string Base64Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 3);
  std::uint32_t group = 0;
  int count = 0;    // characters in the current group
  int padding = 0;  // "=" seen so far; only more "=" and line breaks may follow
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') continue;
    if (c == kPad) {
      if (count < 2 || count + padding >= 4)
        throw EBase64Error("Base64 text has a misplaced \"=\" at position " +
                           std::to_string(i + 1));
      ++padding;
      continue;
    }
    const std::int8_t value = kDecode[static_cast<unsigned char>(c)];
    if (value == kInvalid)
      throw EBase64Error("Base64 text has an invalid character at position " +
                         std::to_string(i + 1));
    if (padding > 0)
      throw EBase64Error("Base64 text goes on after \"=\" at position " + std::to_string(i + 1));
    group = (group << 6) | static_cast<std::uint32_t>(value);
    if (++count == 4) {
      out += static_cast<char>(group >> 16);
      out += static_cast<char>((group >> 8) & 0xFF);
      out += static_cast<char>(group & 0xFF);
      group = 0;
      count = 0;
    }
  }
  if (padding > 0 && count + padding != 4)
    throw EBase64Error("Base64 text has incomplete \"=\" padding");
  switch (count) {
    case 0:
      break;
    case 1:
      throw EBase64Error("Base64 text ends in a group of a single character");
    case 2:
      out += static_cast<char>(group >> 4);
      break;
    case 3:
      out += static_cast<char>(group >> 10);
      out += static_cast<char>((group >> 2) & 0xFF);
      break;
  }
  return out;
}
