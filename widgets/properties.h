// Published colour properties: a colour is stored by its name when it has
// one, else as a number.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/component.h"
#include "widgets/canvas.h"

namespace widgets {

// A colour is written as its name when it has one ("clWhite"), else as an
// integer; both forms are read.
void ColorProperty(PropertyList& p, const std::string& name, std::function<TColor()> get,
                   std::function<void(TColor)> set, std::optional<TColor> storedDefault);
}  // namespace widgets
