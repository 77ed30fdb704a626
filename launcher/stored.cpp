#include "launcher/stored.h"

#include "platform/kernel.h"

namespace launcher {

void LoadStoredDefinition(TComponent& owner, const std::string& name, const HandlerMap& handlers) {
  auto data = kernel::FindResource("RCDATA", name);
  if (!data) throw EReadError("the program carries no form definition " + name);
  LoadComponent(owner, std::string(reinterpret_cast<const char*>(data->data()), data->size()),
                [&handlers](TComponent&, const std::string&, const std::string& handler) {
                  auto it = handlers.find(handler);
                  if (it == handlers.end()) return false;
                  it->second();
                  return true;
                });
}

}  // namespace launcher
