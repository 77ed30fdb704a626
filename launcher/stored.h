// The stored form definitions the start program carries as resources, and
// the plain component that stands for a window or frame as the owner of the
// components placed on it.
#pragma once

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

// Applies the definition stored as resource RCDATA <name> to the owner and
// the components it holds. Event handlers named in it must be among those
// the caller binds; an unknown name is an error. Throws EReadError when the
// program carries no such definition or it cannot be read.
void LoadStoredDefinition(TComponent& owner, const std::string& name,
                          const EventBinder& binder = {});

}  // namespace launcher
