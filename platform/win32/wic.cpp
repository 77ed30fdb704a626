#include "platform/win32/sdk.h"
// clang-format off
#include "platform/win32/wic.h"
// clang-format on

#include <utility>
#include <vector>

namespace wic {

HRESULT CreateFactory(IWICImagingFactory** factory) {
  // Each thread that touches pictures joins COM once and stays in it.
  thread_local const HRESULT com = [] {
    const HRESULT result = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    return result == RPC_E_CHANGED_MODE ? S_OK : result;
  }();
  if (FAILED(com)) return com;
  return ::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                            IID_IWICImagingFactory, reinterpret_cast<void**>(factory));
}

HRESULT DecodeFirstFrame(IWICImagingFactory* factory, IWICBitmapDecoder* decoder,
                         std::uint32_t background, ui::Pixels& out,
                         const std::function<void(UINT width, UINT height)>& size) {
  Releasing<IWICBitmapFrameDecode> frame;
  Releasing<IWICFormatConverter> converter;
  UINT width = 0, height = 0;
  HRESULT result = decoder->GetFrame(0, &frame);
  if (SUCCEEDED(result)) result = factory->CreateFormatConverter(&converter);
  if (SUCCEEDED(result))
    result = converter->Initialize(frame.p, GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone,
                                   nullptr, 0.0, WICBitmapPaletteTypeCustom);
  if (SUCCEEDED(result)) result = converter->GetSize(&width, &height);
  if (SUCCEEDED(result) && (width == 0 || height == 0)) result = WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
  if (FAILED(result)) return result;
  if (size) size(width, height);
  // 32-bit pixels, blue in the lowest byte: without alpha the same value
  // as 0x00RRGGBB.
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * height);
  result = converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(pixels.size() * 4),
                                 reinterpret_cast<BYTE*>(pixels.data()));
  if (FAILED(result)) return result;
  for (std::uint32_t& pixel : pixels) {
    const std::uint32_t alpha = pixel >> 24;
    std::uint32_t mixed = 0;
    for (int c = 0; c < 3; ++c) {
      const std::uint32_t value = (pixel >> (8 * c)) & 0xFF;
      const std::uint32_t back = (background >> (8 * c)) & 0xFF;
      mixed |= ((value * alpha + back * (255 - alpha)) / 255) << (8 * c);
    }
    pixel = mixed;
  }
  out.width = static_cast<int>(width);
  out.height = static_cast<int>(height);
  out.rgb = std::move(pixels);
  return S_OK;
}

}  // namespace wic
