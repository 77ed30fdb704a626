// The user-interface backend for a real Windows desktop: every shown form is
// a top-level window of a window class named after the form's class, so
// FindWindowA, IsIconic, ShowWindow and SetForegroundWindow of any process
// are the system's own calls on it, and every control is a native child
// window (user32_controls.h).
//
// The model stays the truth: the windows are brought in line with it before
// the loop handles input or waits, and input goes back the way the headless
// code expects it (clicks through ui::Click, Enter and Escape through
// ui::KeyDown, typed text into Control::caption, focus through
// Form::SetFocus). Clicks and keys run as posted calls, outside every window
// procedure, because their handlers may close or destroy the very window
// whose message is being handled.
#include "platform/win32/sdk.h"
// clang-format off
#include "platform/ui.h"
#include "platform/win32/user32_controls.h"
#include "platform/win32/win32_io.h"
// clang-format on

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ui {
namespace {

constexpr int kFirstControlId = 100;

struct FormWindow {
  HWND window = nullptr;
  std::string caption;
  SIZE client{-1, -1};
  std::map<Control*, user32::Slot> slots;
  std::vector<std::pair<Control*, int>> tabOrder;  // as last applied
  std::vector<HWND> disabled;                      // what this modal form disabled
};

LRESULT CALLBACK FormWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void RunActivation(WindowHandle handle) {
  Form* form = FromHandle(handle);
  if (form && form->onActivate) {
    auto handler = form->onActivate;
    handler();
  }
}

DWORD FrameStyleOf(const Form& form) {
  const DWORD system = form.borderIcons ? WS_SYSMENU : 0;
  switch (form.borderStyle) {
    case BorderStyle::Sizeable:
      return WS_OVERLAPPEDWINDOW & ~(form.borderIcons ? 0 : WS_SYSMENU);
    case BorderStyle::Dialog:
      return WS_POPUP | WS_CAPTION | system;
    case BorderStyle::Single:
      return WS_OVERLAPPED | WS_CAPTION | system | (form.borderIcons ? WS_MINIMIZEBOX : 0);
    case BorderStyle::ToolWindow:
      return WS_OVERLAPPED | WS_CAPTION | system;
    case BorderStyle::None:
      return WS_POPUP;
  }
  return WS_OVERLAPPEDWINDOW;
}

// Every form clips its children: a form repainted on its own (uncovered,
// resized) would otherwise paint its background over controls that have
// nothing to repaint.
DWORD StyleOf(const Form& form) {
  return WS_CLIPCHILDREN | FrameStyleOf(form);
}

DWORD ExStyleOf(const Form& form) {
  DWORD exStyle = form.stayOnTop ? WS_EX_TOPMOST : 0;
  if (form.borderStyle == BorderStyle::Dialog) exStyle |= WS_EX_DLGMODALFRAME;
  if (form.borderStyle == BorderStyle::ToolWindow) exStyle |= WS_EX_TOOLWINDOW;
  return exStyle;
}

SIZE OuterSize(HWND window, SIZE client) {
  RECT r{0, 0, client.cx, client.cy};
  ::AdjustWindowRectEx(&r, static_cast<DWORD>(::GetWindowLongPtrA(window, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(::GetWindowLongPtrA(window, GWL_EXSTYLE)));
  return {r.right - r.left, r.bottom - r.top};
}

class User32Backend;
User32Backend* instance = nullptr;

class User32Backend : public Backend {
 public:
  User32Backend() : wake_(::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);
    instance = this;
  }

  ~User32Backend() override {
    if (instance == this) instance = nullptr;
    for (auto& [handle, window] : windows_) {
      window.slots.clear();
      ::DestroyWindow(window.window);
    }
    windows_.clear();
    for (auto& [key, font] : fonts_) ::DeleteObject(font);
    ::CloseHandle(wake_);
  }

  // ---- Message boxes ----

  int MessageBox(Form* owner, const std::string& text, const std::string& caption,
                 unsigned type) override {
    // A quit request ends a box with its Escape answer (Cancel, or the only
    // button), else its default: a quit never hangs in a box.
    const std::vector<int> buttons = ButtonsOf(type);
    int onQuit = DefaultButtonOf(type);
    if (std::find(buttons.begin(), buttons.end(), IDCANCEL) != buttons.end()) onQuit = IDCANCEL;
    if (Terminated()) return onQuit;
    FormWindow* window = owner ? Find(owner->Handle()) : nullptr;
    // Without an owner the box still keeps the user from our other windows.
    if (!window) type |= MB_TASKMODAL;
    // The system's loop owns the thread while the box is up; posted calls,
    // hand-overs from other threads and timers keep running from a timer of
    // its own, as they would in any modal loop of ours.
    const int outerAnswer = std::exchange(quitAnswer_, onQuit);
    ++inSystemLoop_;
    const UINT_PTR timer = ::SetTimer(nullptr, 0, kPumpMs, &PumpInSystemLoop);
    const int answer =
        ::MessageBoxW(window ? window->window : nullptr, win32_io::WidenUtf8(text).c_str(),
                      win32_io::WidenUtf8(caption).c_str(), type);
    ::KillTimer(nullptr, timer);
    --inSystemLoop_;
    quitAnswer_ = outerAnswer;
    return answer != 0 ? answer : onQuit;
  }

  // ---- Forms ----

  void ShowForm(Form& form) override {
    FormWindow* window = Find(form.Handle());
    if (!window) window = Create(form);
    if (!window) return;
    Sync(form, *window);
    if (form.Modal()) {
      for (auto& [handle, other] : windows_)
        if (&other != window && ::IsWindowEnabled(other.window)) {
          ::EnableWindow(other.window, FALSE);
          window->disabled.push_back(other.window);
        }
    }
    ::ShowWindow(window->window, SW_SHOW);
    ::SetForegroundWindow(window->window);
    FocusOnShow(form, *window);
    ::UpdateWindow(window->window);
  }

  // A hidden form leaves no window behind: another program's lookup must
  // not find it.
  void HideForm(Form& form) override { Destroy(form.Handle()); }
  void DestroyForm(Form& form) override { Destroy(form.Handle()); }

  void InvalidateForm(Form& form) override {
    if (FormWindow* window = Find(form.Handle())) Sync(form, *window);
  }

  void FocusChanged(Form& form) override {
    if (syncingFocus_) return;
    FormWindow* window = Find(form.Handle());
    if (!window || !form.Focused()) return;
    auto slot = window->slots.find(form.Focused());
    if (slot != window->slots.end()) ::SetFocus(slot->second.window);
  }

  void ProcessEvents() override {
    // Inside the system's own loop (a message box) the input is its own.
    if (inSystemLoop_) return;
    SyncAll();
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) Dispatch(message);
    SyncFocusFromSystem();
  }

  void UpdateWindows() override {
    SyncAll();
    for (auto& [handle, window] : windows_)
      ::RedrawWindow(window.window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    ::GdiFlush();
  }

  void WaitForEvents(std::chrono::milliseconds timeout) override {
    SyncAll();
    const auto ms = static_cast<DWORD>(
        std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INFINITE - 1));
    ::MsgWaitForMultipleObjectsEx(1, &wake_, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }

  void Wake() override { ::SetEvent(wake_); }

  // ---- Window lookup: the system's own, on the real windows ----

  void RegisterWindow(Form&) override {}
  void UnregisterWindow(Form&) override {}

  bool IsIconic(TopLevelWindow window) override { return ::IsIconic(WindowOf(window)) != 0; }

  bool RestoreWindow(TopLevelWindow window) override {
    if (!::IsWindow(WindowOf(window))) return false;
    ::ShowWindow(WindowOf(window), SW_RESTORE);
    return true;
  }

  bool SetForegroundWindow(TopLevelWindow window) override {
    return ::SetForegroundWindow(WindowOf(window)) != 0;
  }

  void MinimizeForm(Form& form) override {
    if (FormWindow* window = Find(form.Handle())) ::ShowWindow(window->window, SW_MINIMIZE);
  }

  // ---- Input from the windows ----

  Control* ControlOfChild(HWND parent, HWND child) {
    FormWindow* window =
        Find(static_cast<WindowHandle>(::GetWindowLongPtrA(parent, GWLP_USERDATA)));
    return window ? ControlOf(*window, child) : nullptr;
  }

  void Command(HWND parent, HWND child, unsigned code) {
    const auto handle = static_cast<WindowHandle>(::GetWindowLongPtrA(parent, GWLP_USERDATA));
    FormWindow* window = Find(handle);
    Control* control = window ? ControlOf(*window, child) : nullptr;
    if (!control) return;
    if (code == EN_CHANGE && control->kind == ControlKind::Edit && !syncing_) {
      auto& slot = window->slots[control];
      slot.text = user32::WindowText(child);
      control->caption = slot.text;
    } else if (code == BN_CLICKED) {
      PostCall([handle, control] {
        if (Form* form = FromHandle(handle); form && Owns(*form, control)) Click(*form, *control);
      });
    }
  }

 private:
  static constexpr UINT kPumpMs = 10;

  static HWND WindowOf(TopLevelWindow window) {
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
  }

  static bool Owns(const Form& form, const Control* control) {
    for (const auto& c : form.Controls())
      if (c.get() == control) return true;
    return false;
  }

  // The box is the thread's enabled dialog; ending it ends its loop.
  static BOOL CALLBACK EndBox(HWND window, LPARAM answer) {
    char name[16] = "";
    ::GetClassNameA(window, name, sizeof name);
    if (std::string(name) != "#32770" || !::IsWindowEnabled(window)) return TRUE;
    ::EndDialog(window, static_cast<INT_PTR>(answer));
    return FALSE;
  }

  static void CALLBACK PumpInSystemLoop(HWND, UINT, UINT_PTR, DWORD) {
    static bool pumping = false;
    if (pumping) return;
    pumping = true;
    ProcessMessages();
    pumping = false;
    if (Terminated() && instance) {
      ::EnumThreadWindows(::GetCurrentThreadId(), &EndBox, instance->quitAnswer_);
    }
  }

  // The keys go to the model's focused control, else to the first tab stop,
  // as in a dialog.
  void FocusOnShow(Form& form, FormWindow& window) {
    Control* target = form.Focused();
    if (!target) {
      for (auto& [control, slot] : window.slots)
        if (control->visible && control->enabled &&
            (!target || control->tabOrder < target->tabOrder) &&
            (::GetWindowLongPtrA(slot.window, GWL_STYLE) & WS_TABSTOP))
          target = control;
    }
    auto slot = target ? window.slots.find(target) : window.slots.end();
    if (slot != window.slots.end()) ::SetFocus(slot->second.window);
  }

  FormWindow* Find(WindowHandle handle) {
    auto it = windows_.find(handle);
    return it == windows_.end() ? nullptr : &it->second;
  }

  FormWindow* FindRoot(HWND window) {
    for (auto& [handle, form] : windows_)
      if (form.window == window) return &form;
    return nullptr;
  }

  static Control* ControlOf(FormWindow& window, HWND child) {
    for (auto& [control, slot] : window.slots)
      if (slot.window == child) return control;
    return nullptr;
  }

  FormWindow* Create(Form& form) {
    const HINSTANCE module = ::GetModuleHandleA(nullptr);
    const std::wstring className = win32_io::WidenUtf8(form.ClassName());
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = FormWindowProc;
    windowClass.hInstance = module;
    windowClass.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hIcon = ::LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = className.c_str();
    // A second form of the class finds it registered already.
    ::RegisterClassExW(&windowClass);

    // A modal form belongs to the window it came from: it stays above it
    // and needs no task-bar button of its own.
    HWND owner = nullptr;
    if (form.Modal()) {
      HWND active = ::GetActiveWindow();
      if (active && FindRoot(active)) owner = active;
    }
    HWND hwnd = ::CreateWindowExW(ExStyleOf(form), className.c_str(),
                                  win32_io::WidenUtf8(form.caption).c_str(), StyleOf(form),
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, owner,
                                  nullptr, module, nullptr);
    if (!hwnd) return nullptr;
    // The class may have been registered by the headless lookup's hidden
    // windows of an earlier backend, with their procedure; set through the
    // wide call, ours also makes the window a Unicode one.
    ::SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&FormWindowProc));
    ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, static_cast<LONG_PTR>(form.Handle()));
    FormWindow& window = windows_[form.Handle()];
    window.window = hwnd;
    window.caption = form.caption;
    Place(form, window);
    return &window;
  }

  void Place(Form& form, FormWindow& window) {
    window.client = {std::max(1, form.ClientWidth()), std::max(1, form.ClientHeight())};
    const SIZE outer = OuterSize(window.window, window.client);
    int x = form.left, y = form.top;
    if (form.position != FormPosition::Designed) {
      RECT area{};
      ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
      x = area.left + (area.right - area.left - outer.cx) / 2;
      y = area.top + (area.bottom - area.top - outer.cy) / 2;
    }
    ::SetWindowPos(window.window, nullptr, x, y, outer.cx, outer.cy, SWP_NOZORDER | SWP_NOACTIVATE);
  }

  void Destroy(WindowHandle handle) {
    auto it = windows_.find(handle);
    if (it == windows_.end()) return;
    FormWindow window = std::move(it->second);
    windows_.erase(it);
    // The windows a modal form disabled come back before it goes, so the
    // system hands the activation back to one of them.
    for (HWND other : window.disabled)
      if (::IsWindow(other)) ::EnableWindow(other, TRUE);
    window.slots.clear();  // animations stop before their windows go
    ::DestroyWindow(window.window);
  }

  HFONT FontFor(const Form& form) {
    const auto key = std::make_pair(form.fontName, form.fontHeight);
    auto it = fonts_.find(key);
    if (it != fonts_.end()) return it->second;
    // The designed height is in pixels at 96 dots per inch.
    HDC screen = ::GetDC(nullptr);
    const int height = -::MulDiv(form.fontHeight, ::GetDeviceCaps(screen, LOGPIXELSY), 96);
    ::ReleaseDC(nullptr, screen);
    HFONT font =
        ::CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                      OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                      DEFAULT_PITCH | FF_DONTCARE, win32_io::WidenUtf8(form.fontName).c_str());
    if (!font) font = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
    fonts_[key] = font;
    return font;
  }

  void SyncAll() {
    for (auto& [handle, window] : windows_)
      if (Form* form = FromHandle(handle)) Sync(*form, window);
  }

  // Brings the window and its children in line with the form.
  void Sync(Form& form, FormWindow& window) {
    syncing_ = true;
    if (window.caption != form.caption) {
      window.caption = form.caption;
      ::SetWindowTextW(window.window, win32_io::WidenUtf8(form.caption).c_str());
    }
    const SIZE client{std::max(1, form.ClientWidth()), std::max(1, form.ClientHeight())};
    if (client.cx != window.client.cx || client.cy != window.client.cy) {
      window.client = client;
      const SIZE outer = OuterSize(window.window, client);
      ::SetWindowPos(window.window, nullptr, 0, 0, outer.cx, outer.cy,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    const HFONT font = FontFor(form);
    int id = kFirstControlId;
    for (const auto& owned : form.Controls()) {
      Control& control = *owned;
      const unsigned variant = user32::VariantOf(control);
      auto it = window.slots.find(&control);
      if (it != window.slots.end() &&
          (it->second.kind != control.kind || it->second.variant != variant)) {
        HWND child = it->second.window;
        window.slots.erase(it);
        ::DestroyWindow(child);
        it = window.slots.end();
      }
      if (it == window.slots.end()) {
        user32::Slot slot;
        slot.kind = control.kind;
        slot.variant = variant;
        slot.window = user32::MakeControlWindow(window.window, control, id);
        if (!slot.window) continue;
        it = window.slots.emplace(&control, std::move(slot)).first;
      }
      ++id;
      user32::Apply(control, it->second, font, client);
    }
    Reorder(form, window);
    syncing_ = false;
  }

  // The children stacked in tab order (tab stops first): the system's
  // keyboard navigation follows the stacking.
  void Reorder(Form& form, FormWindow& window) {
    std::vector<std::pair<Control*, int>> order;
    for (const auto& owned : form.Controls()) order.emplace_back(owned.get(), owned->tabOrder);
    if (order == window.tabOrder) return;
    window.tabOrder = order;
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
      const bool stopA = a.second >= 0, stopB = b.second >= 0;
      if (stopA != stopB) return stopA;
      return stopA && a.second < b.second;
    });
    HWND after = HWND_TOP;
    for (const auto& [control, tab] : order) {
      auto slot = window.slots.find(control);
      if (slot == window.slots.end()) continue;
      ::SetWindowPos(slot->second.window, after, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      after = slot->second.window;
    }
  }

  void Dispatch(MSG& message) {
    HWND root = message.hwnd ? ::GetAncestor(message.hwnd, GA_ROOT) : nullptr;
    FormWindow* window = root ? FindRoot(root) : nullptr;
    if (window && message.message == WM_KEYDOWN &&
        (message.wParam == static_cast<WPARAM>(VK_RETURN) ||
         message.wParam == static_cast<WPARAM>(VK_ESCAPE))) {
      SyncFocusFromSystem();
      const auto handle = static_cast<WindowHandle>(::GetWindowLongPtrA(root, GWLP_USERDATA));
      const int key = static_cast<int>(message.wParam);
      PostCall([handle, key] {
        if (Form* form = FromHandle(handle)) KeyDown(*form, key);
      });
      return;
    }
    // Tab and the arrow keys move the focus as in a dialog.
    if (window && ::IsDialogMessageW(root, &message)) return;
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }

  void SyncFocusFromSystem() {
    HWND focus = ::GetFocus();
    if (!focus) return;
    FormWindow* window = FindRoot(::GetAncestor(focus, GA_ROOT));
    Control* control = window ? ControlOf(*window, focus) : nullptr;
    if (!control) return;
    const auto handle =
        static_cast<WindowHandle>(::GetWindowLongPtrA(window->window, GWLP_USERDATA));
    Form* form = FromHandle(handle);
    if (!form || form->Focused() == control) return;
    syncingFocus_ = true;
    form->SetFocus(control);
    syncingFocus_ = false;
  }

  HANDLE wake_;
  std::map<WindowHandle, FormWindow> windows_;
  std::map<std::pair<std::string, int>, HFONT> fonts_;
  int inSystemLoop_ = 0;
  int quitAnswer_ = 0;  // of the innermost box
  bool syncing_ = false;
  bool syncingFocus_ = false;
};

LRESULT CALLBACK FormWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const auto handle = static_cast<WindowHandle>(::GetWindowLongPtrA(window, GWLP_USERDATA));
  switch (message) {
    case WM_COMMAND:
      if (lParam && instance)
        instance->Command(window, reinterpret_cast<HWND>(lParam), HIWORD(wParam));
      return 0;
    case WM_DRAWITEM:
      if (instance) {
        const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (Control* control = instance->ControlOfChild(window, item.hwndItem))
          user32::DrawGlyphButton(*control, item);
      }
      return TRUE;
    case WM_CLOSE:
      // The frame's close box; a form without caption buttons has none.
      PostCall([handle] {
        Form* form = FromHandle(handle);
        if (form && form->borderIcons) form->Close();
      });
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE && !HIWORD(wParam))
        PostCall([handle] { RunActivation(handle); });
      break;
    default:
      break;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

// Wine's null graphics driver accepts windows that no screen ever shows;
// the driver of the desktop is named under the desktop's display device.
bool WineWithoutDisplay() {
  char guid[64] = "";
  const auto atom = static_cast<ATOM>(reinterpret_cast<std::uintptr_t>(
      ::GetPropA(::GetDesktopWindow(), "__wine_display_device_guid")));
  if (!atom || !::GlobalGetAtomNameA(atom, guid, sizeof guid)) return false;
  const std::string key =
      std::string("System\\CurrentControlSet\\Control\\Video\\{") + guid + "}\\0000";
  char driver[64] = "";
  DWORD size = sizeof driver;
  if (::RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), "GraphicsDriver", RRF_RT_REG_SZ, nullptr,
                     driver, &size) != sdk::ERROR_SUCCESS_)
    return false;
  return std::string(driver) == "null";
}

bool DisplayAvailable() {
  // A driver that cannot reach its screen makes no windows at all.
  HWND probe = ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 ::GetModuleHandleA(nullptr), nullptr);
  if (!probe) return false;
  ::DestroyWindow(probe);
  // A service's window station is never shown.
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  if (::GetUserObjectInformationA(::GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags,
                                  &needed) &&
      !(flags.dwFlags & WSF_VISIBLE))
    return false;
  return !WineWithoutDisplay();
}

}  // namespace

std::unique_ptr<Backend> MakeDisplayBackend() {
  if (!DisplayAvailable()) return nullptr;
  return std::make_unique<User32Backend>();
}

void UseDisplayIfAvailable() {
  if (auto backend = MakeDisplayBackend()) SetBackend(std::move(backend));
}

}  // namespace ui
