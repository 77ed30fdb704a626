#include "platform/win32/user32_pictures.h"

// clang-format off
#include <wincodec.h>
#include "platform/kernel.h"
// clang-format on

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

namespace ui::user32 {
namespace {

template <typename T>
struct Releasing {
  T* p = nullptr;
  ~Releasing() {
    if (p) p->Release();
  }
  T** operator&() { return &p; }
  T* operator->() const { return p; }
};

// 32-bit pixels, blue in the lowest byte, the same value as 0x00RRGGBB.
HBITMAP Bitmap(LONG width, LONG height, const std::uint32_t* pixels) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // rows top to bottom
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap)
    std::copy(pixels, pixels + static_cast<std::size_t>(width) * height,
              static_cast<std::uint32_t*>(bits));
  return bitmap;
}

// PNG bytes to pixels through the system's imaging component.
std::shared_ptr<const Pixels> Decode(const unsigned char* data, std::size_t size) {
  static const bool comReady = [] {
    const HRESULT result = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    return SUCCEEDED(result) || result == RPC_E_CHANGED_MODE;
  }();
  if (!comReady) return nullptr;
  Releasing<IWICImagingFactory> factory;
  Releasing<IWICStream> stream;
  Releasing<IWICBitmapDecoder> decoder;
  Releasing<IWICBitmapFrameDecode> frame;
  Releasing<IWICFormatConverter> converter;
  UINT width = 0, height = 0;
  if (FAILED(::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(&factory))) ||
      FAILED(factory->CreateStream(&stream)) ||
      FAILED(stream->InitializeFromMemory(const_cast<BYTE*>(data), static_cast<DWORD>(size))) ||
      FAILED(factory->CreateDecoderFromStream(stream.p, nullptr, WICDecodeMetadataCacheOnDemand,
                                              &decoder)) ||
      FAILED(decoder->GetFrame(0, &frame)) || FAILED(factory->CreateFormatConverter(&converter)) ||
      FAILED(converter->Initialize(frame.p, GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone,
                                   nullptr, 0.0, WICBitmapPaletteTypeCustom)) ||
      FAILED(converter->GetSize(&width, &height)) || width == 0 || height == 0)
    return nullptr;
  auto picture = std::make_shared<Pixels>();
  picture->width = static_cast<int>(width);
  picture->height = static_cast<int>(height);
  std::vector<std::uint32_t>& pixels = picture->rgb;
  pixels.resize(static_cast<std::size_t>(width) * height);
  if (FAILED(converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(pixels.size() * 4),
                                   reinterpret_cast<BYTE*>(pixels.data()))))
    return nullptr;
  const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
  const std::uint32_t faceRgb[3] = {GetBValue(face), GetGValue(face), GetRValue(face)};
  for (std::uint32_t& pixel : pixels) {
    const std::uint32_t alpha = pixel >> 24;
    std::uint32_t out = 0;
    for (int c = 0; c < 3; ++c) {
      const std::uint32_t value = (pixel >> (8 * c)) & 0xFF;
      out |= ((value * alpha + faceRgb[c] * (255 - alpha)) / 255) << (8 * c);
    }
    pixel = out;
  }
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
