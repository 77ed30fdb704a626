// The lookup of top-level windows across processes for the backends
// without windows of their own (headless, scripted), on user32's own; the
// display backend (ui_user32.cpp) has real windows and overrides it.
//
// Every shown form owns a hidden top-level window of a window class named
// after the form's class, so FindWindowA in any process finds it. Those
// windows live on a thread of their own that pumps their messages: the
// user-interface loop of a headless program pumps none, and a window that
// never answers would hang whoever sends it a message (the system's
// broadcasts, another program). The window is never shown, so "restore" and
// "bring to front" are a message to its process, which runs the form's
// activation handler, rather than focus moved to a window nobody sees.
#include "platform/win32/sdk.h"
// clang-format off
#include "platform/ui.h"
// clang-format on

#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace ui {
namespace {

// Sent to the thread's message-only control window: make or destroy a
// window on the thread that must own it.
constexpr UINT kCreate = sdk::WM_USER_ + 1;
constexpr UINT kDestroy = sdk::WM_USER_ + 2;

struct CreateRequest {
  const std::string* className;
  WindowHandle form;
  HWND window = nullptr;
};

// Marks a minimised form. A hidden window cannot be minimised, and the
// system keeps its minimised style once set; a property reads the same from
// every process.
constexpr const char* kIconic = "Kestrel.Iconic";

// Asks a window's process to run its form's activation handler; a non-zero
// wParam restores a minimised form first.
UINT ActivateMessage() {
  static const UINT message = ::RegisterWindowMessageA("Kestrel.Activate");
  return message;
}

LRESULT CALLBACK FormWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_WINDOWPOSCHANGING) {
    // Another program's ShowWindow would show it; it only stands for the form.
    reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~static_cast<UINT>(SWP_SHOWWINDOW);
    return 0;
  }
  if (message != 0 && message == ActivateMessage()) {
    const auto form = static_cast<WindowHandle>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    if (wParam) ::RemovePropA(window, kIconic);
    PostCall([form] {
      Form* target = FromHandle(form);
      if (target && target->onActivate) {
        auto handler = target->onActivate;
        handler();
      }
    });
    return 0;
  }
  return ::DefWindowProcA(window, message, wParam, lParam);
}

HWND MakeFormWindow(const std::string& className, WindowHandle form) {
  const HINSTANCE instance = ::GetModuleHandleA(nullptr);
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = FormWindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = className.c_str();
  // A second form of the class finds it registered already.
  ::RegisterClassA(&windowClass);
  HWND window = ::CreateWindowExA(WS_EX_TOOLWINDOW, className.c_str(), className.c_str(), WS_POPUP,
                                  0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
  if (window) ::SetWindowLongPtrA(window, GWLP_USERDATA, static_cast<LONG_PTR>(form));
  return window;
}

LRESULT CALLBACK ControlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kCreate) {
    auto* request = reinterpret_cast<CreateRequest*>(lParam);
    request->window = MakeFormWindow(*request->className, request->form);
    return 0;
  }
  if (message == kDestroy) {
    ::RemovePropA(reinterpret_cast<HWND>(wParam), kIconic);
    ::DestroyWindow(reinterpret_cast<HWND>(wParam));
    return 0;
  }
  return ::DefWindowProcA(window, message, wParam, lParam);
}

class Registry {
 public:
  static Registry& Get() {
    // Lives as long as the process: its thread runs until the end.
    static Registry* registry = new Registry;
    return *registry;
  }

  void Register(Form& form) {
    std::lock_guard lock(mutex_);
    if (windows_.contains(form.Handle()) || !Started()) return;
    CreateRequest request{&form.ClassName(), form.Handle()};
    ::SendMessageA(control_, kCreate, 0, reinterpret_cast<LPARAM>(&request));
    if (request.window) windows_[form.Handle()] = request.window;
  }

  void Unregister(Form& form) {
    std::lock_guard lock(mutex_);
    auto it = windows_.find(form.Handle());
    if (it == windows_.end()) return;
    ::SendMessageA(control_, kDestroy, reinterpret_cast<WPARAM>(it->second), 0);
    windows_.erase(it);
  }

  HWND WindowOf(Form& form) {
    std::lock_guard lock(mutex_);
    auto it = windows_.find(form.Handle());
    return it == windows_.end() ? nullptr : it->second;
  }

 private:
  // Starts the thread that owns the windows, once; false when it cannot run.
  bool Started() {
    if (control_ || failed_) return control_ != nullptr;
    std::promise<HWND> made;
    std::future<HWND> control = made.get_future();
    std::thread([made = std::move(made)]() mutable {
      WNDCLASSA windowClass{};
      windowClass.lpfnWndProc = ControlWindowProc;
      windowClass.hInstance = ::GetModuleHandleA(nullptr);
      windowClass.lpszClassName = "Kestrel.WindowOwner";
      HWND control = nullptr;
      if (::RegisterClassA(&windowClass))
        control = ::CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                    nullptr, windowClass.hInstance, nullptr);
      made.set_value(control);
      if (!control) return;
      MSG message;
      while (::GetMessageA(&message, nullptr, 0, 0) > 0) ::DispatchMessageA(&message);
    }).detach();
    control_ = control.get();
    failed_ = !control_;
    return !failed_;
  }

  std::mutex mutex_;
  HWND control_ = nullptr;
  bool failed_ = false;
  std::map<WindowHandle, HWND> windows_;
};

HWND WindowOf(TopLevelWindow window) {
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
}

// Hands the activation to the window's own process and waits until it has
// taken it, so the window's state reads as changed once this returns.
bool Activate(TopLevelWindow window, bool restore) {
  constexpr UINT kTimeoutMs = 3000;
  DWORD_PTR result = 0;
  return ::SendMessageTimeoutA(WindowOf(window), ActivateMessage(), restore ? 1 : 0, 0,
                               SMTO_ABORTIFHUNG, kTimeoutMs, &result) != 0;
}

}  // namespace

void Backend::RegisterWindow(Form& form) {
  Registry::Get().Register(form);
}

void Backend::UnregisterWindow(Form& form) {
  Registry::Get().Unregister(form);
}

TopLevelWindow Backend::FindWindow(const std::string& className) {
  return reinterpret_cast<std::uintptr_t>(::FindWindowA(className.c_str(), nullptr));
}

bool Backend::IsIconic(TopLevelWindow window) {
  return ::GetPropA(WindowOf(window), kIconic) != nullptr;
}

bool Backend::RestoreWindow(TopLevelWindow window) {
  // Restoring a window also activates it.
  return Activate(window, true);
}

bool Backend::SetForegroundWindow(TopLevelWindow window) {
  return Activate(window, false);
}

void Backend::MinimizeForm(Form& form) {
  if (HWND window = Registry::Get().WindowOf(form))
    ::SetPropA(window, kIconic, reinterpret_cast<HANDLE>(1));
}

}  // namespace ui
