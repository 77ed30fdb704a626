// The user-interface service: message boxes, windows and their message loop.
//
// Every window of the system is a plain class derived from Form that holds
// its controls' state (texts, positions, tab order, check states) and
// handlers, and runs without a screen. A Backend only shows forms and answers
// message boxes; the message loop, posted calls, private window messages,
// window timers and the hand-over from other threads live here and work the
// same with every backend.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace richtext {
class Document;
}

namespace ui {

// ---- Message boxes ------------------------------------------------------------

// Button sets and icons of a message box, with the Windows values.
enum : unsigned {
  MB_OK = 0x0,
  MB_OKCANCEL = 0x1,
  MB_ABORTRETRYIGNORE = 0x2,
  MB_YESNOCANCEL = 0x3,
  MB_YESNO = 0x4,
  MB_RETRYCANCEL = 0x5,
  MB_ICONERROR = 0x10,
  MB_ICONQUESTION = 0x20,
  MB_ICONWARNING = 0x30,
  MB_ICONINFORMATION = 0x40,
  MB_DEFBUTTON2 = 0x100,
  MB_DEFBUTTON3 = 0x200,
  MB_SYSTEMMODAL = 0x1000,
  MB_TASKMODAL = 0x2000,
  MB_TOPMOST = 0x40000,
  MB_TYPEMASK = 0xF,
  MB_ICONMASK = 0xF0,
  MB_DEFMASK = 0xF00,
};
// Answers.
enum : int { IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6, IDNO = 7 };

// The buttons of a box in display order, and its default answer.
std::vector<int> ButtonsOf(unsigned type);
int DefaultButtonOf(unsigned type);
// "OK", "Cancel", "Yes", ... for an answer.
const char* ButtonText(int id);
// A caption as shown: each "&" that marks the next letter as the shortcut
// is dropped ("&&" shows one "&").
std::string WithoutAccelerators(const std::string& caption);

class Form;

// Shows a message box owned by a form (or by none) and returns the answer.
int MessageBox(Form* owner, const std::string& text, const std::string& caption, unsigned type);

// ---- Windows --------------------------------------------------------------------

using WindowHandle = std::uint32_t;  // 0 is no window

enum class ControlKind {
  Label,
  Edit,
  Button,
  RadioButton,
  CheckBox,
  Memo,         // read-only word-wrapping text
  ProgressBar,  // standard progress bar
  StatusBar,
  Image,
  Animation,
  Panel,   // a sunken panel (a separator line when it is thin)
  Custom,  // drawn by its owner (a canvas), e.g. the level progress bar
};

// An RGB picture, one 0x00RRGGBB value a pixel, rows top to bottom.
struct Pixels {
  int width = 0, height = 0;
  std::vector<std::uint32_t> rgb;
};

inline constexpr int VK_RETURN = 0x0D;
inline constexpr int VK_ESCAPE = 0x1B;

struct Control {
  std::string name;
  ControlKind kind = ControlKind::Label;
  int left = 0, top = 0, width = 0, height = 0;
  std::string caption;  // label, button, radio, status text, memo text
  bool visible = true;
  bool enabled = true;
  int tabOrder = -1;  // -1: not a tab stop
  bool checked = false;
  bool password = false;      // edits: show "*"
  bool rightAligned = false;  // labels
  // Labels: sized to their text (also when width or height is 0); a
  // right-aligned one keeps its right edge at left + width.
  bool autoSize = false;
  int modalResult = 0;                   // buttons: closes a modal form with this answer
  int min = 0, max = 100, position = 0;  // progress bars
  std::string resource;                  // image or animation resource name
  // Memos: formatted text shown instead of the caption (which then holds the
  // same text unformatted); none for a plain memo.
  std::shared_ptr<const richtext::Document> richText;
  // Buttons: a two-state glyph resource shown left of the caption; Escape
  // on the form presses the cancel button, Enter on a focused button presses it.
  std::string glyph;
  bool cancel = false;
  // Buttons: Enter presses the form's default button when the focus is not
  // on another button.
  bool defaultButton = false;
  // Custom controls: what the owner painted, shown at the control's place.
  std::shared_ptr<const Pixels> pixels;
  std::function<void()> onClick;
  // A key pressed while the control has the focus (VK_RETURN, VK_ESCAPE, ...),
  // before the form's own handling of Enter and Escape.
  std::function<void(int key)> onKeyDown;
};

// A control of that kind at that place; the other fields keep their
// defaults for the caller to set.
inline Control MakeControl(ControlKind kind, std::string name, int left, int top, int width = 0,
                           int height = 0, std::string caption = {}, int tabOrder = -1) {
  Control c;
  c.kind = kind;
  c.name = std::move(name);
  c.left = left;
  c.top = top;
  c.width = width;
  c.height = height;
  c.caption = std::move(caption);
  c.tabOrder = tabOrder;
  return c;
}

enum class BorderStyle { Sizeable, Dialog, Single, ToolWindow, None };
enum class FormPosition { Designed, ScreenCenter, MainFormCenter };

// The frame the system draws around a window's client area: its width on
// each side and the height of the caption bar.
int FrameWidth(BorderStyle style);
int CaptionHeight(BorderStyle style);

// A top-level window. Derived classes build their controls in the
// constructor and may handle private messages and timers.
class Form {
 public:
  explicit Form(std::string className);
  virtual ~Form();
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;

  WindowHandle Handle() const { return handle_; }
  const std::string& ClassName() const { return className_; }

  std::string caption;
  // The outer bounds, frame and caption included.
  int left = 0, top = 0, width = 0, height = 0;
  // Designed forms give the size of the client area instead; when set (not
  // 0) it wins over width and height.
  int clientWidth = 0, clientHeight = 0;
  int ClientWidth() const;
  int ClientHeight() const;
  BorderStyle borderStyle = BorderStyle::Sizeable;
  FormPosition position = FormPosition::Designed;
  bool borderIcons = true;
  bool stayOnTop = false;
  // The form's font: a face name as the designer gave it ("MS Sans Serif")
  // and its height in pixels; the backend maps the face to one it has.
  std::string fontName = "MS Sans Serif";
  int fontHeight = 11;  // 8 points at 96 dots per inch

  // The control with the keyboard focus (null: none); a hidden, disabled or
  // foreign control cannot take it.
  Control* Focused() const { return focused_; }
  void SetFocus(Control* control);

  Control& Add(Control control);
  Control* Find(const std::string& name);
  const std::vector<std::unique_ptr<Control>>& Controls() const { return controls_; }

  // Shows the form without waiting; Hide takes it off the screen.
  void Show();
  void Hide();
  bool Visible() const { return visible_; }
  // True while the form runs its modal loop.
  bool Modal() const { return modal_; }
  // Shows the form and runs a nested message loop until ModalResult is set
  // (by a button with a modal result, Close, or code); returns the result.
  // A pending quit request ends it with IDCANCEL, so a quit never hangs in a
  // dialog; so does destroying the form from inside its own loop. A form that
  // is already modal returns 0 at once.
  int ShowModal();
  int modalResult = 0;
  // Ends a modal loop with IDCANCEL, hides a non-modal form.
  void Close();
  // Asks the backend to draw the form again after state changes.
  void Invalidate();

  // Private messages posted to this window (WM_USER and above).
  virtual void HandleMessage(unsigned message, std::intptr_t wParam, std::intptr_t lParam) {}
  // Window timers: the timer's handler runs on the user-interface thread.
  void SetTimer(unsigned id, unsigned milliseconds, std::function<void()> handler);
  void KillTimer(unsigned id);

  // Called each time the form becomes visible, and when it closes (Close of
  // a non-modal form, or the end of a modal loop).
  std::function<void()> onShow;
  std::function<void()> onClose;
  // Called when the window is brought to the front from outside (another
  // program, or the user activating it), through the message loop.
  std::function<void()> onActivate;

 private:
  std::string className_;
  WindowHandle handle_;
  std::vector<std::unique_ptr<Control>> controls_;
  Control* focused_ = nullptr;
  bool visible_ = false;
  bool modal_ = false;
};

// The form for a handle while it exists.
Form* FromHandle(WindowHandle handle);

// What a click on a control does, for backends forwarding input and for
// tests: a check box toggles, a radio button checks itself and unchecks the
// form's other radio buttons, then onClick runs, then a non-zero modalResult
// of the control becomes the form's. Disabled or hidden controls ignore it.
void Click(Form& form, Control& control);
// A key pressed on a form: the focused control's onKeyDown runs first; then
// Enter presses a focused button (or, when the focus is elsewhere, the
// form's default button) and Escape presses the form's cancel button.
void KeyDown(Form& form, int key);

// ---- Top-level windows of every process ------------------------------------------------

// A window of this or another process, found by its class name; 0 is none.
using TopLevelWindow = std::uint64_t;
inline constexpr int SW_RESTORE = 9;
// The first top-level window registered under that class name (title
// ignored), in any process of this user on this display.
TopLevelWindow FindWindow(const std::string& className);
bool IsIconic(TopLevelWindow window);
// Only SW_RESTORE is understood: a minimised window is shown again.
bool ShowWindow(TopLevelWindow window, int command);
bool SetForegroundWindow(TopLevelWindow window);
// Minimises one of our own forms (for the lookup's tests and the title bar).
void MinimizeForm(Form& form);
// The text of the task-bar button.
void SetApplicationTitle(const std::string& title);
const std::string& ApplicationTitle();

// ---- The message loop ---------------------------------------------------------------

inline constexpr unsigned WM_USER = 0x0400;

// Queues a call for the user-interface thread; callable from any thread.
void PostCall(std::function<void()> call);
// Queues a private message for a window; dropped when the window is gone by
// the time the loop reaches it. Callable from any thread.
bool PostMessage(WindowHandle window, unsigned message, std::intptr_t wParam = 0,
                 std::intptr_t lParam = 0);
// Runs everything that is due now (the backend's pending input and
// painting, posted calls, messages, timers), then returns ("process pending
// messages").
void ProcessMessages();
// Waits until something may be due: input, a posted call or message, a
// timer, or a quit request. A modal loop of a backend calls it between
// rounds of ProcessMessages.
void WaitMessage();
// Paints every window whose drawing is pending, now: afterwards the screen
// shows the forms as they are (what a screenshot needs).
void UpdateWindows();
// Asks the outermost loop to end with that exit code; callable from any
// thread. Nested modal loops end with IDCANCEL on the way out.
void PostQuitMessage(int exitCode);
// Runs until a quit request; returns its exit code. On the way out it runs
// the calls and messages that were queued before it saw the request (timers
// no longer fire). The outermost loop consumes the request, so a later loop
// runs again. Exceptions from handlers propagate to the caller.
int RunMessageLoop();
// True once a quit request is pending.
bool Terminated();
// Hands a call to the user-interface thread and waits until it has run
// there; runs it at once when called on that thread. Returns false when the
// loop was shut down before the call could run. An exception thrown by the
// call is rethrown in the waiting thread.
bool Synchronize(const std::function<void()>& call);
// Marks the calling thread as the user-interface thread (the first thread to
// use the loop otherwise).
void SetMainThread();
bool IsMainThread();
// Drops everything queued and releases waiting threads; for tests and exit.
void ResetMessageLoop();

// ---- Backends ----------------------------------------------------------------------------

struct MessageBoxRecord {
  std::string text, caption;
  unsigned type = 0;
  int answer = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual int MessageBox(Form* owner, const std::string& text, const std::string& caption,
                         unsigned type) = 0;
  virtual void ShowForm(Form& form) {}
  virtual void HideForm(Form& form) {}
  virtual void InvalidateForm(Form& form) {}
  virtual void DestroyForm(Form& form) {}
  // A modal form has been shown and its nested loop is about to run; a
  // backend that answers forms itself (the scripted one) may set
  // form.modalResult here.
  virtual void BeginModal(Form& form) {}
  virtual void FocusChanged(Form& form) {}
  virtual void TitleChanged(const std::string& title) {}
  // Handles the input, painting and other events that are already there,
  // without waiting.
  virtual void ProcessEvents() {}
  // Paints now what waits to be painted (see UpdateWindows).
  virtual void UpdateWindows() {}
  // Window lookup across processes (see FindWindow). Without a display
  // every backend uses a per-user registry of live windows: a form enters it
  // when shown and leaves it when hidden or destroyed. The registry belongs
  // to this user and this home folder, and a window in it vanishes with its
  // process.
  virtual void RegisterWindow(Form& form);
  virtual void UnregisterWindow(Form& form);
  virtual TopLevelWindow FindWindow(const std::string& className);
  virtual bool IsIconic(TopLevelWindow window);
  virtual bool RestoreWindow(TopLevelWindow window);
  virtual bool SetForegroundWindow(TopLevelWindow window);
  virtual void MinimizeForm(Form& form);
  // Waits for outside events (input) for at most the given time, or until
  // Wake is called from another thread.
  virtual void WaitForEvents(std::chrono::milliseconds timeout);
  virtual void Wake();

 protected:
  // The default wait, on the loop's own condition.
  void WaitOnQueue(std::chrono::milliseconds timeout);
};

// Real windows on the display named by DISPLAY; nothing when there is none
// or it cannot be opened. Must be made on the user-interface thread.
std::unique_ptr<Backend> MakeDisplayBackend();
// Installs the display backend when a display is available; otherwise the
// headless backend stays.
void UseDisplayIfAvailable();

// Without a display: boxes go to stderr and are answered from the terminal,
// or with their default button when standard input is not a terminal.
std::unique_ptr<Backend> MakeHeadlessBackend();

// For tests: answers boxes from a queue (the default button when it is
// empty), records every box and every form shown, and answers modal forms
// with a script (IDCANCEL at once when there is no script).
class ScriptedBackend : public Backend {
 public:
  int MessageBox(Form* owner, const std::string& text, const std::string& caption,
                 unsigned type) override;
  void ShowForm(Form& form) override;
  void HideForm(Form& form) override;
  void BeginModal(Form& form) override;

  std::deque<int> answers;
  std::vector<MessageBoxRecord> boxes;
  std::vector<std::string> shownForms;  // class names, in order of showing
  // Called for each modal form; it may change controls and must set
  // form.modalResult (or post something that does).
  std::function<void(Form&)> onModal;
};

// Installs a backend (the headless one is used until one is set) and
// returns the previous one.
std::unique_ptr<Backend> SetBackend(std::unique_ptr<Backend> backend);
Backend& CurrentBackend();

}  // namespace ui
