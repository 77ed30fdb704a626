#include "widgets/properties.h"

#include <strings.h>

#include <cstdint>
#include <limits>

namespace widgets {

namespace {

[[noreturn]] void Mismatch(const std::string& name, const std::string& expected) {
  throw EReadError("property " + name + " expects " + expected);
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ::strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::string JoinNames(const std::vector<std::string>& identifiers) {
  std::string all;
  for (const auto& id : identifiers) all += (all.empty() ? "" : ", ") + id;
  return all;
}

}  // namespace

void BoolProperty(PropertyList& p, const std::string& name, std::function<bool()> get,
                  std::function<void(bool)> set, std::optional<bool> storedDefault) {
  p.Custom(
      name,
      [name, set](const StoredValue& v) {
        if (v.kind == StoredValue::Kind::Identifier && SameText(v.text, "True"))
          set(true);
        else if (v.kind == StoredValue::Kind::Identifier && SameText(v.text, "False"))
          set(false);
        else
          Mismatch(name, "True or False");
      },
      [get, storedDefault]() -> std::optional<StoredValue> {
        const bool value = get();
        if (storedDefault && value == *storedDefault) return std::nullopt;
        return StoredValue{StoredValue::Kind::Identifier, value ? "True" : "False", 0, {}};
      });
}

void IntegerProperty(PropertyList& p, const std::string& name, std::function<int()> get,
                     std::function<void(int)> set, std::optional<int> storedDefault) {
  p.Custom(
      name,
      [name, set](const StoredValue& v) {
        if (v.kind != StoredValue::Kind::Integer || v.integer < std::numeric_limits<int>::min() ||
            v.integer > std::numeric_limits<int>::max())
          Mismatch(name, "a 32-bit integer");
        set(static_cast<int>(v.integer));
      },
      [get, storedDefault]() -> std::optional<StoredValue> {
        const int value = get();
        if (storedDefault && value == *storedDefault) return std::nullopt;
        return StoredValue{StoredValue::Kind::Integer, {}, value, {}};
      });
}

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

void EnumProperty(PropertyList& p, const std::string& name, std::function<int()> get,
                  std::function<void(int)> set, std::vector<std::string> identifiers,
                  std::optional<int> storedDefault) {
  p.Custom(
      name,
      [name, set, identifiers](const StoredValue& v) {
        if (v.kind == StoredValue::Kind::Identifier)
          for (std::size_t i = 0; i < identifiers.size(); ++i)
            if (SameText(identifiers[i], v.text)) return set(static_cast<int>(i));
        Mismatch(name, "one of " + JoinNames(identifiers));
      },
      [get, identifiers, storedDefault]() -> std::optional<StoredValue> {
        const int value = get();
        if (storedDefault && value == *storedDefault) return std::nullopt;
        if (value < 0 || static_cast<std::size_t>(value) >= identifiers.size()) return std::nullopt;
        return StoredValue{StoredValue::Kind::Identifier, identifiers[value], 0, {}};
      });
}

void FlagSetProperty(PropertyList& p, const std::string& name, std::function<unsigned()> get,
                     std::function<void(unsigned)> set, std::vector<std::string> identifiers,
                     std::optional<unsigned> storedDefault) {
  p.Custom(
      name,
      [name, set, identifiers](const StoredValue& v) {
        if (v.kind != StoredValue::Kind::Set) Mismatch(name, "a set of " + JoinNames(identifiers));
        unsigned bits = 0;
        for (const auto& item : v.items) {
          bool known = false;
          for (std::size_t i = 0; i < identifiers.size() && !known; ++i)
            if (SameText(identifiers[i], item)) {
              bits |= 1u << i;
              known = true;
            }
          if (!known) Mismatch(name, "members of " + JoinNames(identifiers) + ", not " + item);
        }
        set(bits);
      },
      [get, identifiers, storedDefault]() -> std::optional<StoredValue> {
        const unsigned bits = get();
        if (storedDefault && bits == *storedDefault) return std::nullopt;
        StoredValue v{StoredValue::Kind::Set, {}, 0, {}};
        for (std::size_t i = 0; i < identifiers.size(); ++i)
          if (bits & (1u << i)) v.items.push_back(identifiers[i]);
        return v;
      });
}

}  // namespace widgets
