// Windows backend of PNG files: the system's imaging component.
#include "platform/win32/sdk.h"
// clang-format off
#include "platform/pngfile.h"
#include "platform/kernel.h"
#include "platform/win32/wic.h"
#include "platform/win32/win32_io.h"
// clang-format on

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace pngfile {
namespace {

std::string Reason(HRESULT result) {
  std::string text = kernel::FormatMessage(static_cast<std::uint32_t>(result));
  if (!text.empty()) return text;
  // The imaging component's own errors have no text in the system's table.
  if (result == WINCODEC_ERR_COMPONENTNOTFOUND) return "not a picture the system can read";
  char number[40];
  std::snprintf(number, sizeof number, "imaging error 0x%08lX", static_cast<unsigned long>(result));
  return number;
}

}  // namespace

std::string Write(const std::string& path, int width, int height, const std::uint8_t* rgb) {
  const std::wstring file = win32_io::Widen(kernel::NativePath(path));
  HRESULT result = S_OK;
  {
    wic::Releasing<IWICImagingFactory> factory;
    wic::Releasing<IWICStream> stream;
    wic::Releasing<IWICBitmapEncoder> encoder;
    wic::Releasing<IWICBitmapFrameEncode> frame;
    result = wic::CreateFactory(&factory);
    if (SUCCEEDED(result)) result = factory->CreateStream(&stream);
    if (SUCCEEDED(result)) result = stream->InitializeFromFilename(file.c_str(), GENERIC_WRITE);
    if (FAILED(result)) return Reason(result);  // nothing was created
    // The encoder takes rows of blue, green, red.
    const std::size_t size = static_cast<std::size_t>(width) * height * 3;
    std::vector<BYTE> bgr(rgb, rgb + size);
    for (std::size_t i = 0; i < size; i += 3) std::swap(bgr[i], bgr[i + 2]);
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    result = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder);
    if (SUCCEEDED(result)) result = encoder->Initialize(stream.p, WICBitmapEncoderNoCache);
    if (SUCCEEDED(result)) result = encoder->CreateNewFrame(&frame, nullptr);
    if (SUCCEEDED(result)) result = frame->Initialize(nullptr);
    if (SUCCEEDED(result)) result = frame->SetSize(width, height);
    if (SUCCEEDED(result)) result = frame->SetPixelFormat(&format);
    if (SUCCEEDED(result) && !IsEqualGUID(format, GUID_WICPixelFormat24bppBGR))
      result = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
    if (SUCCEEDED(result))
      result = frame->WritePixels(height, width * 3, static_cast<UINT>(size), bgr.data());
    if (SUCCEEDED(result)) result = frame->Commit();
    if (SUCCEEDED(result)) result = encoder->Commit();
  }
  // A picture cut short is no picture: it goes, once the stream has closed it.
  if (FAILED(result)) ::DeleteFileW(file.c_str());
  return FAILED(result) ? Reason(result) : std::string();
}

std::string Read(const std::string& path, const Target& target) {
  const std::wstring file = win32_io::Widen(kernel::NativePath(path));
  wic::Releasing<IWICImagingFactory> factory;
  wic::Releasing<IWICBitmapDecoder> decoder;
  GUID container{};
  HRESULT result = wic::CreateFactory(&factory);
  if (SUCCEEDED(result))
    result = factory->CreateDecoderFromFilename(file.c_str(), nullptr, sdk::GENERIC_READ_,
                                                WICDecodeMetadataCacheOnDemand, &decoder);
  if (SUCCEEDED(result)) result = decoder->GetContainerFormat(&container);
  if (FAILED(result)) return Reason(result);
  if (!IsEqualGUID(container, GUID_ContainerFormatPng)) return "not a PNG file";
  ui::Pixels picture;
  std::uint8_t* rgb = nullptr;
  result = wic::DecodeFirstFrame(factory.p, decoder.p, 0xFFFFFF, picture,
                                 [&](UINT width, UINT height) { rgb = target(width, height); });
  if (FAILED(result)) return Reason(result);
  for (std::uint32_t pixel : picture.rgb) {
    *rgb++ = static_cast<std::uint8_t>(pixel >> 16);
    *rgb++ = static_cast<std::uint8_t>(pixel >> 8);
    *rgb++ = static_cast<std::uint8_t>(pixel);
  }
  return {};
}

}  // namespace pngfile
