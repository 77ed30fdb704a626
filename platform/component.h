// Components and their stored settings.
//
// A component has an owner that frees it, a name, a tag, and removal
// notifications for components that refer to it. Its published properties
// are declared once, in declaration order, by DefineProperties; the same
// declaration serves the loader of text form definitions, the writer that
// stores a component (omitting values equal to their declared defaults), and
// the "Property=Value" settings of command-line tools.
//
// A form definition reads:
//
//   object Updater2: TUpdater
//     UpdateUpdate = wuuSilent
//     LastURLEntry.Save = True
//     Agent = 'Kestrel'#39's agent'
//     OnStatus = Updater2Status
//   end
//
// Values are identifiers (enumerations, True/False), integers (decimal or
// $hex, optionally signed), strings in single quotes ('' for a quote, #nn
// for a character code, parts joined with +, across lines), and sets in
// brackets. Nested "object" blocks configure components the owner already
// holds, by name.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

// A value as written in a form definition.
struct StoredValue {
  enum class Kind { Identifier, Integer, String, Set };
  Kind kind = Kind::Identifier;
  std::string text;                // identifier or string
  std::int64_t integer = 0;        // integer
  std::vector<std::string> items;  // set
  // The value written back in form syntax.
  std::string ToText() const;
};

// A form definition that cannot be read, or a value that does not fit its
// property.
class EReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TPersistent;

// The published properties of one object, collected by DefineProperties.
class PropertyList {
 public:
  struct Property {
    std::string name;
    // Applies a stored value; throws EReadError when it does not fit.
    std::function<void(const StoredValue&)> load;
    // The value to store, or nothing when it equals the declared default.
    std::function<std::optional<StoredValue>()> store;
    bool isEvent = false;
  };

  void Bool(const std::string& name, bool& field, std::optional<bool> storedDefault);
  void Integer(const std::string& name, int& field, std::optional<int> storedDefault);
  // The same through a getter and a setter, for properties whose setters do
  // more than store (repaint, start a timer, keep derived state).
  void Bool(const std::string& name, std::function<bool()> get, std::function<void(bool)> set,
            std::optional<bool> storedDefault);
  void Integer(const std::string& name, std::function<int()> get, std::function<void(int)> set,
               std::optional<int> storedDefault);
  void Enum(const std::string& name, std::function<int()> get, std::function<void(int)> set,
            std::vector<std::string> identifiers, std::optional<int> storedDefault);
  // A set of flags, bit i named by identifiers[i], written as [a, b].
  void FlagSet(const std::string& name, std::function<unsigned()> get,
               std::function<void(unsigned)> set, std::vector<std::string> identifiers,
               std::optional<unsigned> storedDefault);
  // Strings are stored whenever they are not empty.
  void String(const std::string& name, std::string& field);
  void Char(const std::string& name, char& field);
  // An enumeration given by its identifiers in ordinal order.
  template <typename E>
  void Enum(const std::string& name, E& field, std::vector<std::string> identifiers,
            std::type_identity_t<std::optional<E>> storedDefault) {
    std::optional<int> def;
    if (storedDefault) def = static_cast<int>(*storedDefault);
    Enum(
        name, [&field] { return static_cast<int>(field); },
        [&field](int v) { field = static_cast<E>(v); }, std::move(identifiers), def);
  }
  // A property with its own getter and setter (a string with a setter, a
  // read-only value whose setter ignores what it is given).
  void StringAccessor(const std::string& name, std::function<std::string()> get,
                      std::function<void(const std::string&)> set);
  // The published properties of an owned object, as "Name.Property".
  void Object(const std::string& name, TPersistent& object);
  // An event; the loader binds a stored handler name through its binder.
  void Event(const std::string& name);
  // Any other kind of value (component references, collections).
  void Custom(const std::string& name, std::function<void(const StoredValue&)> load,
              std::function<std::optional<StoredValue>()> store);

  const std::vector<Property>& properties() const { return properties_; }
  const Property* Find(const std::string& name) const;

 private:
  void Add(Property property);
  std::string prefix_;
  std::vector<Property> properties_;
};

class TPersistent {
 public:
  virtual ~TPersistent() = default;
  // Declares the published properties in declaration order.
  virtual void DefineProperties(PropertyList& properties) {}
  PropertyList Properties();
};

class TComponent : public TPersistent {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::vector<TComponent*>& Components() const { return components_; }
  TComponent* FindComponent(const std::string& name) const;

  std::string Name;
  int Tag = 0;
  virtual std::string ClassName() const = 0;

  enum class Operation { opInsert, opRemove };
  // Asks to be told (through Notification) when the other component is freed.
  void FreeNotification(TComponent* other);
  void RemoveFreeNotification(TComponent* other);

 protected:
  virtual void Notification(TComponent* component, Operation operation) {}

 private:
  TComponent* owner_;
  std::vector<TComponent*> components_;  // owned, freed with this component
  std::vector<TComponent*> notified_;    // told when this one is freed
};

// Binds a stored event handler name to a component's event; returns false
// when the owner has no handler of that name.
using EventBinder = std::function<bool(TComponent& component, const std::string& event,
                                       const std::string& handler)>;

// Parses a form definition and applies it to the component (its name, its
// properties, and the nested objects that name components it owns). Throws
// EReadError with the line number on malformed text, unknown properties and
// values that do not fit.
void LoadComponent(TComponent& component, const std::string& definition,
                   const EventBinder& binder = {});
// Applies one "Property=Value" setting with the value written in form syntax.
void SetProperty(TPersistent& object, const std::string& name, const std::string& valueText);
// Writes the component's stored form definition.
std::string StoreComponent(TComponent& component);
