#include "launcher/stored.h"

#include "platform/kernel.h"

namespace launcher {

void LoadStoredDefinition(TComponent& owner, const std::string& name, const EventBinder& binder) {
  auto data = kernel::FindResource("RCDATA", name);
  if (!data) throw EReadError("the program carries no form definition " + name);
  LoadComponent(owner, std::string(reinterpret_cast<const char*>(data->data()), data->size()),
                binder);
}

}  // namespace launcher
