// Published properties that go through their setters. PropertyList's own
// Bool and Integer write the field directly; a control's setters repaint,
// start timers and keep derived state, so the widgets declare every value
// with a getter and a setter.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/component.h"
#include "widgets/canvas.h"

namespace widgets {

void BoolProperty(PropertyList& p, const std::string& name, std::function<bool()> get,
                  std::function<void(bool)> set, std::optional<bool> storedDefault);
void IntegerProperty(PropertyList& p, const std::string& name, std::function<int()> get,
                     std::function<void(int)> set, std::optional<int> storedDefault);
// A colour is written as its name when it has one ("clWhite"), else as an
// integer; both forms are read.
void ColorProperty(PropertyList& p, const std::string& name, std::function<TColor()> get,
                   std::function<void(TColor)> set, std::optional<TColor> storedDefault);
// An enumeration given by its identifiers in ordinal order.
void EnumProperty(PropertyList& p, const std::string& name, std::function<int()> get,
                  std::function<void(int)> set, std::vector<std::string> identifiers,
                  std::optional<int> storedDefault);
// A set of flags, bit i named by identifiers[i], written as [a, b].
void FlagSetProperty(PropertyList& p, const std::string& name, std::function<unsigned()> get,
                     std::function<void(unsigned)> set, std::vector<std::string> identifiers,
                     std::optional<unsigned> storedDefault);

}  // namespace widgets
