// POSIX backend of PNG files: libpng's simplified interface.
#include <png.h>

#include <cstring>

#include "platform/pngfile.h"

namespace pngfile {
namespace {

// Frees the image's reader or writer on every path, a refused size too.
struct Image {
  png_image image;
  Image() {
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
  }
  ~Image() { png_image_free(&image); }
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
};

}  // namespace

std::string Write(const std::string& path, int width, int height, const std::uint8_t* rgb) {
  Image png;
  png.image.width = static_cast<png_uint_32>(width);
  png.image.height = static_cast<png_uint_32>(height);
  png.image.format = PNG_FORMAT_RGB;
  if (png_image_write_to_file(&png.image, path.c_str(), 0, rgb, width * 3, nullptr)) return {};
  return png.image.message;
}

std::string Read(const std::string& path, const Target& target) {
  Image png;
  if (!png_image_begin_read_from_file(&png.image, path.c_str())) return png.image.message;
  std::uint8_t* pixels = target(png.image.width, png.image.height);
  png.image.format = PNG_FORMAT_RGB;
  png_color white{0xFF, 0xFF, 0xFF};
  const auto stride = static_cast<png_int_32>(png.image.width * 3);
  if (png_image_finish_read(&png.image, &white, pixels, stride, nullptr)) return {};
  return png.image.message;
}

}  // namespace pngfile
