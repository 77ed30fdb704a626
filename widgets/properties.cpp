#include "widgets/properties.h"


#include <cstdint>
#include <limits>

namespace widgets {

namespace {

[[noreturn]] void Mismatch(const std::string& name, const std::string& expected) {
  throw EReadError("property " + name + " expects " + expected);
}

}  // namespace

void ColorProperty(PropertyList& p, const std::string& name, std::function<TColor()> get,
                   std::function<void(TColor)> set, std::optional<TColor> storedDefault) {
  p.Custom(
      name,
      [name, set](const StoredValue& v) {
        if (v.kind == StoredValue::Kind::Identifier) {
          if (auto color = IdentToColor(v.text)) return set(*color);
          Mismatch(name, "a colour name or number, not " + v.text);
        }
        // Stored colours are 32-bit values, written signed for system colours.
        if (v.kind != StoredValue::Kind::Integer || v.integer < std::numeric_limits<int>::min() ||
            v.integer > std::numeric_limits<std::uint32_t>::max())
          Mismatch(name, "a colour name or a 32-bit number");
        set(static_cast<TColor>(v.integer));
      },
      [get, storedDefault]() -> std::optional<StoredValue> {
        const TColor value = get();
        if (storedDefault && value == *storedDefault) return std::nullopt;
        if (auto ident = ColorToIdent(value))
          return StoredValue{StoredValue::Kind::Identifier, *ident, 0, {}};
        return StoredValue{StoredValue::Kind::Integer, {}, static_cast<std::int32_t>(value), {}};
      });
}

}  // namespace widgets
