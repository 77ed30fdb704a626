// The system's imaging component, shared by the backends that decode or
// encode pictures. Include after platform/win32/sdk.h.
#pragma once

#include <wincodec.h>

#include <cstdint>
#include <functional>

#include "platform/ui.h"

namespace wic {

// Releases the interface it holds when it goes.
template <typename T>
struct Releasing {
  T* p = nullptr;
  Releasing() = default;
  Releasing(const Releasing&) = delete;
  Releasing& operator=(const Releasing&) = delete;
  ~Releasing() {
    if (p) p->Release();
  }
  T** operator&() { return &p; }
  T* operator->() const { return p; }
};

// The imaging factory, COM started on this thread first.
HRESULT CreateFactory(IWICImagingFactory** factory);

// The first frame of the decoder's picture, transparent parts composited
// onto the background (0x00RRGGBB). `size` is told the picture's size
// before its pixels are decoded and may throw to refuse it.
HRESULT DecodeFirstFrame(IWICImagingFactory* factory, IWICBitmapDecoder* decoder,
                         std::uint32_t background, ui::Pixels& out,
                         const std::function<void(UINT width, UINT height)>& size = {});

}  // namespace wic
