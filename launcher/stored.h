// The stored form definitions the start program carries as resources, and
// the plain component that stands for a window or frame as the owner of the
// components placed on it.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "platform/component.h"

namespace launcher {

class TOwnerComponent : public TComponent {
 public:
  TOwnerComponent(TComponent* owner, std::string className)
      : TComponent(owner), className_(std::move(className)) {}
  std::string ClassName() const override { return className_; }

 private:
  std::string className_;
};

// The event handlers a definition may name, each with the call that binds
// it to its component's event.
using HandlerMap = std::map<std::string, std::function<void()>>;

// Applies the definition stored as resource RCDATA <name> to the owner and
// the components it holds, binding the handlers it names; a name the map
// lacks is an error. Throws EReadError when the program carries no such
// definition or it cannot be read.
void LoadStoredDefinition(TComponent& owner, const std::string& name,
                          const HandlerMap& handlers = {});

}  // namespace launcher
