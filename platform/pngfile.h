// PNG files of 8-bit RGB pixels, rows of R, G, B bytes top to bottom.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace pngfile {

// Writes the picture; the reason it could not, or empty.
std::string Write(const std::string& path, int width, int height, const std::uint8_t* rgb);

// Where a read puts the pixels: told the picture's size before anything is
// decoded, it returns room for width * height * 3 bytes, or throws to
// refuse the picture (the exception reaches the caller of Read).
using Target = std::function<std::uint8_t*(std::uint32_t width, std::uint32_t height)>;

// Reads a PNG file of any colour type, transparent parts composited onto
// white; the reason it could not, or empty.
std::string Read(const std::string& path, const Target& target);

}  // namespace pngfile
