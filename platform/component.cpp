#include "platform/component.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>

#include "platform/text.h"

namespace {

std::string QuoteString(const std::string& s) {
  // Printable runs go in quotes, everything else as #nn, as a stored form does.
  std::string out;
  bool open = false;
  for (unsigned char c : s) {
    if (c >= 32 && c != 127) {
      if (!open) out += '\'', open = true;
      if (c == '\'') out += '\'';
      out += static_cast<char>(c);
    } else {
      if (open) out += '\'', open = false;
      out += '#' + std::to_string(c);
    }
  }
  if (open) out += '\'';
  return out.empty() ? "''" : out;
}

// ---- Lexer for form definitions --------------------------------------------

class Reader {
 public:
  explicit Reader(const std::string& text) : s_(text) {}

  [[noreturn]] void Fail(const std::string& what) const { FailAt(line_, what); }
  [[noreturn]] static void FailAt(int line, const std::string& what) {
    throw EReadError("line " + std::to_string(line) + ": " + what);
  }
  // The line of the next token.
  int Line() {
    SkipBlanks();
    return line_;
  }

  void SkipBlanks() {
    while (pos_ < s_.size()) {
      char c = s_[pos_];
      if (c == '\n') ++line_;
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
        ++pos_;
      else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '/')
        while (pos_ < s_.size() && s_[pos_] != '\n') ++pos_;
      else
        break;
    }
  }
  bool AtEnd() {
    SkipBlanks();
    return pos_ >= s_.size();
  }
  char Peek() {
    SkipBlanks();
    return pos_ < s_.size() ? s_[pos_] : '\0';
  }
  void Expect(char c) {
    if (Peek() != c) Fail(std::string("'") + c + "' expected");
    ++pos_;
  }
  static bool IdentChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
  }
  std::string Identifier() {
    SkipBlanks();
    size_t start = pos_;
    if (pos_ < s_.size() && (std::isalpha(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_'))
      while (pos_ < s_.size() && IdentChar(s_[pos_])) ++pos_;
    if (start == pos_) Fail("name expected");
    return s_.substr(start, pos_ - start);
  }
  // Whether the next identifier (without consuming it) equals word.
  bool NextIs(const std::string& word) {
    SkipBlanks();
    size_t end = pos_;
    while (end < s_.size() && IdentChar(s_[end])) ++end;
    return SameText(s_.substr(pos_, end - pos_), word);
  }

  StoredValue Value() {
    StoredValue v;
    char c = Peek();
    if (c == '\'' || c == '#') {
      v.kind = StoredValue::Kind::String;
      v.text = StringValue();
    } else if (c == '-' || c == '+' || c == '$' || std::isdigit(static_cast<unsigned char>(c))) {
      v.kind = StoredValue::Kind::Integer;
      v.integer = IntegerValue();
    } else if (c == '[') {
      v.kind = StoredValue::Kind::Set;
      ++pos_;
      if (Peek() != ']') {
        for (;;) {
          v.items.push_back(Identifier());
          if (Peek() != ',') break;
          ++pos_;
        }
      }
      Expect(']');
    } else {
      v.text = Identifier();
    }
    return v;
  }

 private:
  std::string StringValue() {
    std::string out;
    for (;;) {
      char c = Peek();
      if (c == '\'') {
        ++pos_;
        for (;;) {
          if (pos_ >= s_.size() || s_[pos_] == '\n') Fail("unterminated string");
          if (s_[pos_] == '\'') {
            if (pos_ + 1 < s_.size() && s_[pos_ + 1] == '\'') {
              out += '\'';
              pos_ += 2;
              continue;
            }
            ++pos_;
            break;
          }
          out += s_[pos_++];
        }
      } else if (c == '#') {
        ++pos_;
        size_t start = pos_;
        while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
        unsigned code = 0;
        auto [p, ec] = std::from_chars(s_.data() + start, s_.data() + pos_, code);
        if (ec != std::errc() || start == pos_ || code > 255) Fail("bad character code");
        out += static_cast<char>(code);
      } else if (c == '+') {
        ++pos_;  // joins the parts of a long string
        if (Peek() != '\'' && Peek() != '#') Fail("string expected after '+'");
      } else {
        return out;
      }
    }
  }

  std::int64_t IntegerValue() {
    bool negative = false;
    if (s_[pos_] == '-' || s_[pos_] == '+') negative = s_[pos_++] == '-';
    int base = 10;
    if (pos_ < s_.size() && s_[pos_] == '$') base = 16, ++pos_;
    size_t start = pos_;
    while (pos_ < s_.size() && std::isxdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    std::uint64_t magnitude = 0;
    auto [p, ec] = std::from_chars(s_.data() + start, s_.data() + pos_, magnitude, base);
    if (ec != std::errc() || p != s_.data() + pos_ || start == pos_ ||
        magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      Fail("bad number");
    auto value = static_cast<std::int64_t>(magnitude);
    return negative ? -value : value;
  }

  const std::string& s_;
  size_t pos_ = 0;
  int line_ = 1;
};

void CheckClass(Reader& r, const std::string& name, const TComponent& component) {
  std::string className = r.Identifier();
  if (!SameText(className, component.ClassName()))
    r.Fail("object " + name + " is a " + className + ", not a " + component.ClassName());
}

// Reads properties and nested objects up to the matching "end".
void LoadBody(Reader& r, TComponent& component, const EventBinder& binder) {
  PropertyList props = component.Properties();
  for (;;) {
    if (r.AtEnd()) r.Fail("'end' expected");
    if (r.NextIs("end")) {
      r.Identifier();
      return;
    }
    if (r.NextIs("object")) {
      r.Identifier();
      std::string childName = r.Identifier();
      TComponent* child = component.FindComponent(childName);
      if (!child) r.Fail("no component named " + childName);
      r.Expect(':');
      CheckClass(r, childName, *child);
      LoadBody(r, *child, binder);
      continue;
    }
    int line = r.Line();
    std::string prop = r.Identifier();
    r.Expect('=');
    StoredValue value = r.Value();
    const PropertyList::Property* p = props.Find(prop);
    if (!p) Reader::FailAt(line, "unknown property " + component.Name + "." + prop);
    if (p->isEvent) {
      if (value.kind != StoredValue::Kind::Identifier)
        Reader::FailAt(line, "handler name expected");
      if (binder && !binder(component, p->name, value.text))
        Reader::FailAt(line, "no handler " + value.text + " for " + p->name);
      continue;
    }
    try {
      p->load(value);
    } catch (const EReadError& e) {
      Reader::FailAt(line, e.what());
    }
  }
}

[[noreturn]] void Mismatch(const std::string& name, const char* expected) {
  throw EReadError("property " + name + " expects " + expected);
}

}  // namespace

std::string StoredValue::ToText() const {
  switch (kind) {
    case Kind::Identifier:
      return text;
    case Kind::Integer:
      return std::to_string(integer);
    case Kind::String:
      return QuoteString(text);
    case Kind::Set: {
      std::string out = "[";
      for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i];
      return out + "]";
    }
  }
  return {};
}

// ---- PropertyList -------------------------------------------------------------

void PropertyList::Add(Property property) {
  property.name = prefix_ + property.name;
  properties_.push_back(std::move(property));
}

const PropertyList::Property* PropertyList::Find(const std::string& name) const {
  for (const auto& p : properties_)
    if (SameText(p.name, name)) return &p;
  return nullptr;
}

void PropertyList::Bool(const std::string& name, bool& field, std::optional<bool> storedDefault) {
  Bool(
      name, [&field] { return field; }, [&field](bool v) { field = v; }, storedDefault);
}

void PropertyList::Bool(const std::string& name, std::function<bool()> get,
                        std::function<void(bool)> set, std::optional<bool> storedDefault) {
  Add({name,
       [set, name](const StoredValue& v) {
         if (v.kind == StoredValue::Kind::Identifier && SameText(v.text, "True"))
           set(true);
         else if (v.kind == StoredValue::Kind::Identifier && SameText(v.text, "False"))
           set(false);
         else
           Mismatch(name, "True or False");
       },
       [get, storedDefault]() -> std::optional<StoredValue> {
         bool value = get();
         if (storedDefault && value == *storedDefault) return std::nullopt;
         return StoredValue{StoredValue::Kind::Identifier, value ? "True" : "False", 0, {}};
       }});
}

void PropertyList::Integer(const std::string& name, int& field, std::optional<int> storedDefault) {
  Integer(
      name, [&field] { return field; }, [&field](int v) { field = v; }, storedDefault);
}

void PropertyList::Integer(const std::string& name, std::function<int()> get,
                           std::function<void(int)> set, std::optional<int> storedDefault) {
  Add({name,
       [set, name](const StoredValue& v) {
         if (v.kind != StoredValue::Kind::Integer || v.integer < std::numeric_limits<int>::min() ||
             v.integer > std::numeric_limits<int>::max())
           Mismatch(name, "a 32-bit integer");
         set(static_cast<int>(v.integer));
       },
       [get, storedDefault]() -> std::optional<StoredValue> {
         int value = get();
         if (storedDefault && value == *storedDefault) return std::nullopt;
         return StoredValue{StoredValue::Kind::Integer, {}, value, {}};
       }});
}

void PropertyList::String(const std::string& name, std::string& field) {
  StringAccessor(
      name, [&field] { return field; }, [&field](const std::string& v) { field = v; });
}

void PropertyList::StringAccessor(const std::string& name, std::function<std::string()> get,
                                  std::function<void(const std::string&)> set) {
  Add({name,
       [set, name](const StoredValue& v) {
         if (v.kind != StoredValue::Kind::String) Mismatch(name, "a string");
         set(v.text);
       },
       [get]() -> std::optional<StoredValue> {
         std::string value = get();
         if (value.empty()) return std::nullopt;
         return StoredValue{StoredValue::Kind::String, value, 0, {}};
       }});
}

void PropertyList::Char(const std::string& name, char& field) {
  Add({name,
       [&field, name](const StoredValue& v) {
         if (v.kind != StoredValue::Kind::String || v.text.size() != 1)
           Mismatch(name, "one character");
         field = v.text[0];
       },
       [&field]() -> std::optional<StoredValue> {
         return StoredValue{StoredValue::Kind::String, std::string(1, field), 0, {}};
       }});
}

void PropertyList::Enum(const std::string& name, std::function<int()> get,
                        std::function<void(int)> set, std::vector<std::string> identifiers,
                        std::optional<int> storedDefault) {
  Add({name,
       [set, identifiers, name](const StoredValue& v) {
         if (v.kind == StoredValue::Kind::Identifier)
           for (size_t i = 0; i < identifiers.size(); ++i)
             if (SameText(identifiers[i], v.text)) return set(static_cast<int>(i));
         std::string all;
         for (const auto& id : identifiers) all += (all.empty() ? "" : ", ") + id;
         Mismatch(name, ("one of " + all).c_str());
       },
       [get, identifiers, storedDefault]() -> std::optional<StoredValue> {
         int value = get();
         if (storedDefault && value == *storedDefault) return std::nullopt;
         if (value < 0 || static_cast<size_t>(value) >= identifiers.size()) return std::nullopt;
         return StoredValue{StoredValue::Kind::Identifier, identifiers[value], 0, {}};
       }});
}

void PropertyList::FlagSet(const std::string& name, std::function<unsigned()> get,
                           std::function<void(unsigned)> set, std::vector<std::string> identifiers,
                           std::optional<unsigned> storedDefault) {
  Add({name,
       [name, set, identifiers](const StoredValue& v) {
         if (v.kind != StoredValue::Kind::Set) Mismatch(name, "a set");
         unsigned bits = 0;
         for (const auto& item : v.items) {
           auto known = std::find_if(identifiers.begin(), identifiers.end(),
                                     [&](const std::string& id) { return SameText(id, item); });
           if (known == identifiers.end()) Mismatch(name, ("no member " + item).c_str());
           bits |= 1u << (known - identifiers.begin());
         }
         set(bits);
       },
       [get, identifiers, storedDefault]() -> std::optional<StoredValue> {
         unsigned bits = get();
         if (storedDefault && bits == *storedDefault) return std::nullopt;
         StoredValue v{StoredValue::Kind::Set, {}, 0, {}};
         for (size_t i = 0; i < identifiers.size(); ++i)
           if (bits & (1u << i)) v.items.push_back(identifiers[i]);
         return v;
       }});
}

void PropertyList::Object(const std::string& name, TPersistent& object) {
  std::string saved = prefix_;
  prefix_ += name + ".";
  object.DefineProperties(*this);
  prefix_ = saved;
}

void PropertyList::Event(const std::string& name) {
  Property p{name, [](const StoredValue&) {}, []() -> std::optional<StoredValue> { return {}; }};
  p.isEvent = true;
  Add(std::move(p));
}

void PropertyList::Custom(const std::string& name, std::function<void(const StoredValue&)> load,
                          std::function<std::optional<StoredValue>()> store) {
  Add({name, std::move(load), std::move(store)});
}

PropertyList TPersistent::Properties() {
  PropertyList list;
  DefineProperties(list);
  return list;
}

// ---- TComponent -------------------------------------------------------------------

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_) owner_->components_.push_back(this);
}

TComponent::~TComponent() {
  // Tell the components that refer to this one before anything is freed.
  for (TComponent* other : std::vector<TComponent*>(notified_)) {
    other->Notification(this, Operation::opRemove);
    auto& back = other->notified_;
    back.erase(std::remove(back.begin(), back.end(), this), back.end());
  }
  while (!components_.empty()) delete components_.back();  // removes itself below
  if (owner_) {
    auto& siblings = owner_->components_;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
  }
}

TComponent* TComponent::FindComponent(const std::string& name) const {
  for (TComponent* c : components_)
    if (SameText(c->Name, name)) return c;
  return nullptr;
}

void TComponent::FreeNotification(TComponent* other) {
  if (!other || other == this) return;
  // Both sides keep the link so that whichever goes first tells the other.
  if (std::find(other->notified_.begin(), other->notified_.end(), this) == other->notified_.end())
    other->notified_.push_back(this);
  if (std::find(notified_.begin(), notified_.end(), other) == notified_.end())
    notified_.push_back(other);
}

void TComponent::RemoveFreeNotification(TComponent* other) {
  if (!other) return;
  other->notified_.erase(std::remove(other->notified_.begin(), other->notified_.end(), this),
                         other->notified_.end());
  notified_.erase(std::remove(notified_.begin(), notified_.end(), other), notified_.end());
}

// ---- Loading and storing ---------------------------------------------------------

void LoadComponent(TComponent& component, const std::string& definition,
                   const EventBinder& binder) {
  Reader r(definition);
  if (!r.NextIs("object")) r.Fail("'object' expected");
  r.Identifier();
  std::string name = r.Identifier();
  r.Expect(':');
  CheckClass(r, name, component);
  component.Name = name;
  LoadBody(r, component, binder);
  if (!r.AtEnd()) r.Fail("text after the final 'end'");
}

void SetProperty(TPersistent& object, const std::string& name, const std::string& valueText) {
  Reader r(valueText);
  StoredValue value = r.Value();
  if (!r.AtEnd()) r.Fail("text after the value of " + name);
  PropertyList props = object.Properties();
  const PropertyList::Property* p = props.Find(name);
  if (!p || p->isEvent) throw EReadError("unknown property " + name);
  p->load(value);
}

std::string StoreComponent(TComponent& component) {
  std::string out = "object " + component.Name + ": " + component.ClassName() + "\n";
  PropertyList props = component.Properties();
  for (const auto& p : props.properties())
    if (auto value = p.store()) out += "  " + p.name + " = " + value->ToText() + "\n";
  return out + "end\n";
}
