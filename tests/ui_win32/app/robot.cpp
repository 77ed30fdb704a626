// Another program acting on the windows of the Windows display tests as a
// user or a second copy would, through the system's own calls:
//   robot <window class> <step>...
// It waits for a visible window of that class, then runs the steps in order:
//   find             nothing more (the window was found)
//   gone             the class has no window (checked at once, no waiting)
//   client:<w>x<h>   the window's client area has that size
//   restore          the window is minimised; restore it and bring it forward
//   close            closes the window through its frame
//   animates:<id>    the child of that id changes on the screen while its
//                    program's user-interface thread answers nothing
//   richtext:<text>  the window's rich-text control holds that text
//   owned            the window belongs to another one (stays above it)
//   type:<text>      types the text into the window's first edit
//   masked           the first edit shows "*" for what is typed
//   pictures:<w>x<h>,...  the picture controls, in tab order, show bitmaps
//                    of those sizes
//   click:<caption>  clicks the button of that caption
//   key:enter|escape|tab  presses the key in the control that has the focus
//   box:<title>:<caption>  clicks that button of the message box of that title
// Exit code 0 when every step could be done, else the number of the step
// that failed.
#include <windows.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

HWND WaitFor(const char* windowClass, const char* title) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    HWND window = ::FindWindowA(windowClass, title);
    if (window && ::IsWindowVisible(window)) return window;
    if (std::chrono::steady_clock::now() > deadline) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool Click(HWND parent, const std::string& caption) {
  HWND button = ::FindWindowExA(parent, nullptr, "Button", caption.c_str());
  return button && ::PostMessageA(button, BM_CLICK, 0, 0);
}

bool Step(HWND window, const std::string& step) {
  HWND edit = ::FindWindowExA(window, nullptr, "Edit", nullptr);
  if (step == "find") return true;
  if (step.starts_with("client:")) {
    RECT client{};
    ::GetClientRect(window, &client);
    return step.substr(7) == std::to_string(client.right) + "x" + std::to_string(client.bottom);
  }
  if (step.starts_with("pictures:")) {
    // The bitmaps are the other process's own (GDI handles are): that each
    // picture control has one and is as large as it says is enough.
    std::string shown;
    HWND picture = nullptr;
    while ((picture = ::FindWindowExA(window, picture, "Static", nullptr))) {
      RECT client{};
      if ((::GetWindowLongPtrA(picture, GWL_STYLE) & SS_TYPEMASK) != SS_BITMAP ||
          !::SendMessageA(picture, STM_GETIMAGE, IMAGE_BITMAP, 0) ||
          !::GetClientRect(picture, &client))
        continue;
      shown += (shown.empty() ? "" : ",") + std::to_string(client.right) + "x" +
               std::to_string(client.bottom);
    }
    return step.substr(9) == shown;
  }
  if (step.starts_with("animates:")) {
    // Only calls that need no answer from the window's thread, which is
    // blocked.
    HWND child = ::GetDlgItem(window, std::stoi(step.substr(9)));
    RECT r{};
    if (!child || !::GetWindowRect(child, &r)) return false;
    auto shoot = [&r] {
      const int w = r.right - r.left, h = r.bottom - r.top;
      HDC screen = ::GetDC(nullptr);
      HDC memory = ::CreateCompatibleDC(screen);
      HBITMAP bitmap = ::CreateCompatibleBitmap(screen, w, h);
      HGDIOBJ old = ::SelectObject(memory, bitmap);
      ::BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
      std::string pixels;
      for (int y = 0; y < h; y += 2)
        for (int x = 0; x < w; x += 2) pixels += std::to_string(::GetPixel(memory, x, y)) + ",";
      ::SelectObject(memory, old);
      ::DeleteObject(bitmap);
      ::DeleteDC(memory);
      ::ReleaseDC(nullptr, screen);
      return pixels;
    };
    const std::string first = shoot();
    for (int i = 0; i < 20; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (shoot() != first) return true;
    }
    return false;
  }
  if (step.starts_with("richtext:")) {
    HWND memo = ::FindWindowExA(window, nullptr, "RichEdit20W", nullptr);
    char text[256] = "";
    return memo && ::SendMessageA(memo, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text)) &&
           step.substr(9) == text;
  }
  if (step == "owned") return ::GetWindow(window, GW_OWNER) != nullptr;
  if (step == "close") return ::PostMessageA(window, WM_CLOSE, 0, 0);
  if (step == "restore") {
    if (!::IsIconic(window)) return false;
    ::ShowWindow(window, SW_RESTORE);
    ::SetForegroundWindow(window);
    return !::IsIconic(window);
  }
  if (step.starts_with("type:")) {
    if (!edit) return false;
    for (char c : step.substr(5)) ::PostMessageA(edit, WM_CHAR, static_cast<unsigned char>(c), 1);
    return true;
  }
  if (step == "masked") return edit && ::SendMessageA(edit, EM_GETPASSWORDCHAR, 0, 0) == '*';
  if (step.starts_with("click:")) return Click(window, step.substr(6));
  if (step.starts_with("key:")) {
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    ::GetGUIThreadInfo(::GetWindowThreadProcessId(window, nullptr), &thread);
    const WPARAM key = step == "key:enter" ? VK_RETURN : step == "key:tab" ? VK_TAB : VK_ESCAPE;
    return ::PostMessageA(thread.hwndFocus ? thread.hwndFocus : window, WM_KEYDOWN, key, 1);
  }
  if (step.starts_with("box:")) {
    const std::size_t colon = step.find(':', 4);
    if (colon == std::string::npos) return false;
    HWND box = WaitFor("#32770", step.substr(4, colon - 4).c_str());
    return box && Click(box, step.substr(colon + 1));
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 100;
  if (std::string(argv[2]) == "gone") return ::FindWindowA(argv[1], nullptr) ? 1 : 0;
  HWND window = std::string(argv[2]).starts_with("box:") ? nullptr : WaitFor(argv[1], nullptr);
  for (int i = 2; i < argc; ++i) {
    if (!window && !std::string(argv[i]).starts_with("box:")) return i - 1;
    if (!Step(window, argv[i])) return i - 1;
  }
  return 0;
}
