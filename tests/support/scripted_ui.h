// The scripted user interface for tests that show message boxes.
#pragma once

#include <memory>

#include "platform/ui.h"

namespace testing_support {

// Installs the scripted backend while the object lives: message boxes are
// recorded and answered from its queue instead of shown.
class ScriptedUi {
 public:
  ScriptedUi() {
    auto backend = std::make_unique<ui::ScriptedBackend>();
    scripted_ = backend.get();
    previous_ = ui::SetBackend(std::move(backend));
  }
  ~ScriptedUi() { ui::SetBackend(std::move(previous_)); }
  ScriptedUi(const ScriptedUi&) = delete;
  ScriptedUi& operator=(const ScriptedUi&) = delete;

  ui::ScriptedBackend* operator->() const { return scripted_; }

 private:
  ui::ScriptedBackend* scripted_;
  std::unique_ptr<ui::Backend> previous_;
};

}  // namespace testing_support
