// The pictures of the program's resources (PNG) as bitmaps the native
// controls show.
#pragma once

#include <memory>
#include <string>

#include "platform/win32/sdk.h"
// clang-format off
#include "platform/ui.h"
// clang-format on

namespace ui::user32 {

// The picture of that name, decoded once and kept for the life of the
// process (the few pictures a program has are shown again and again);
// null when there is none or it cannot be decoded. Transparent parts take
// the colour of the controls' face, on which every picture is shown.
HBITMAP Picture(const std::string& name);

// A bitmap of an owner's pixels (0x00RRGGBB, rows top to bottom); the
// caller owns it.
HBITMAP BitmapOf(const Pixels& pixels);

// The pixels of that picture, decoded once as for Picture.
std::shared_ptr<const Pixels> PicturePixels(const std::string& name);

// The size of a bitmap.
SIZE BitmapSize(HBITMAP bitmap);

}  // namespace ui::user32
