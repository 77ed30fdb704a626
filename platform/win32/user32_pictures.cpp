#include "platform/win32/user32_pictures.h"

// clang-format off
#include "platform/kernel.h"
#include "platform/win32/wic.h"
#include "platform/win32/win32_io.h"
// clang-format on

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

namespace ui::user32 {
namespace {

// 32-bit pixels, blue in the lowest byte, the same value as 0x00RRGGBB.
HBITMAP Bitmap(LONG width, LONG height, const std::uint32_t* pixels) {
  void* bits = nullptr;
  HBITMAP bitmap = win32_io::CreateTopDownBitmap(width, height, &bits);
  if (bitmap)
    std::copy(pixels, pixels + static_cast<std::size_t>(width) * height,
              static_cast<std::uint32_t*>(bits));
  return bitmap;
}

// PNG bytes to pixels through the system's imaging component, on the
// controls' face, on which every picture is shown.
std::shared_ptr<const Pixels> Decode(const unsigned char* data, std::size_t size) {
  wic::Releasing<IWICImagingFactory> factory;
  wic::Releasing<IWICStream> stream;
  wic::Releasing<IWICBitmapDecoder> decoder;
  auto picture = std::make_shared<Pixels>();
  const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
  const std::uint32_t faceRgb = (GetRValue(face) << 16) | (GetGValue(face) << 8) | GetBValue(face);
  if (FAILED(wic::CreateFactory(&factory)) || FAILED(factory->CreateStream(&stream)) ||
      FAILED(stream->InitializeFromMemory(const_cast<BYTE*>(data), static_cast<DWORD>(size))) ||
      FAILED(factory->CreateDecoderFromStream(stream.p, nullptr, WICDecodeMetadataCacheOnDemand,
                                              &decoder)) ||
      FAILED(wic::DecodeFirstFrame(factory.p, decoder.p, faceRgb, *picture)))
    return nullptr;
  return picture;
}

}  // namespace

std::shared_ptr<const Pixels> PicturePixels(const std::string& name) {
  static std::map<std::string, std::shared_ptr<const Pixels>> pictures;
  auto it = pictures.find(name);
  if (it != pictures.end()) return it->second;
  std::shared_ptr<const Pixels> picture;
  if (auto data = kernel::FindResource("PNG", name)) picture = Decode(data->data(), data->size());
  pictures[name] = picture;
  return picture;
}

HBITMAP Picture(const std::string& name) {
  static std::map<std::string, HBITMAP> pictures;
  auto it = pictures.find(name);
  if (it != pictures.end()) return it->second;
  auto pixels = PicturePixels(name);
  HBITMAP bitmap = pixels ? BitmapOf(*pixels) : nullptr;
  pictures[name] = bitmap;
  return bitmap;
}

HBITMAP BitmapOf(const Pixels& pixels) {
  if (pixels.width <= 0 || pixels.height <= 0 ||
      pixels.rgb.size() < static_cast<std::size_t>(pixels.width) * pixels.height)
    return nullptr;
  return Bitmap(pixels.width, pixels.height, pixels.rgb.data());
}

SIZE BitmapSize(HBITMAP bitmap) {
  BITMAP info{};
  if (!bitmap || !::GetObjectA(bitmap, sizeof info, &info)) return {0, 0};
  return {info.bmWidth, std::abs(info.bmHeight)};
}

}  // namespace ui::user32
