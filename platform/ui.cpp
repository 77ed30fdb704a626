// The portable part of the user-interface service: message-box helpers,
// forms and their handles, the message loop with posted calls, private
// messages, window timers and the hand-over from other threads, and the
// scripted backend. Only the drawing and the answering of boxes differ
// between backends.
#include "platform/ui.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace ui {

// ---- Message boxes ------------------------------------------------------------

std::vector<int> ButtonsOf(unsigned type) {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
      return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE:
      return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL:
      return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO:
      return {IDYES, IDNO};
    case MB_RETRYCANCEL:
      return {IDRETRY, IDCANCEL};
    default:
      // MB_OK, and button sets this system never asks for.
      return {IDOK};
  }
}

int DefaultButtonOf(unsigned type) {
  std::vector<int> buttons = ButtonsOf(type);
  std::size_t index = (type & MB_DEFMASK) >> 8;
  // A default beyond the last button falls back to the first, as Windows does.
  return index < buttons.size() ? buttons[index] : buttons.front();
}

std::string WithoutAccelerators(const std::string& caption) {
  std::string out;
  for (std::size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] == '&' && i + 1 < caption.size()) ++i;
    out.push_back(caption[i]);
  }
  return out;
}

const char* ButtonText(int id) {
  switch (id) {
    case IDOK:
      return "OK";
    case IDCANCEL:
      return "Cancel";
    case IDABORT:
      return "Abort";
    case IDRETRY:
      return "Retry";
    case IDIGNORE:
      return "Ignore";
    case IDYES:
      return "Yes";
    case IDNO:
      return "No";
    default:
      return "";
  }
}

int MessageBox(Form* owner, const std::string& text, const std::string& caption, unsigned type) {
  return CurrentBackend().MessageBox(owner, text, caption, type);
}

// ---- Loop state -------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

struct SyncRequest {
  const std::function<void()>* call = nullptr;  // lives on the waiting thread's stack
  bool done = false;
  bool released = false;
  std::exception_ptr error;
};

struct Entry {
  enum class Kind { Call, Message, Sync };
  Kind kind = Kind::Call;
  std::uint64_t seq = 0;
  std::function<void()> call;
  WindowHandle window = 0;
  unsigned message = 0;
  std::intptr_t wParam = 0, lParam = 0;
  std::shared_ptr<SyncRequest> sync;
};

struct Timer {
  std::chrono::milliseconds interval{0};
  Clock::time_point due;
  std::function<void()> handler;
};

// Everything the loop shares between threads, under one mutex. Handlers
// never run with the mutex held.
struct LoopState {
  std::mutex mutex;
  std::condition_variable queueChanged;  // the default wait of the UI thread
  std::condition_variable syncChanged;   // threads waiting in Synchronize
  std::deque<Entry> queue;
  std::uint64_t nextSeq = 1;
  std::map<std::pair<WindowHandle, unsigned>, Timer> timers;
  std::map<WindowHandle, Form*> forms;
  WindowHandle lastHandle = 0;
  std::optional<std::thread::id> mainThread;
  bool quitPending = false;
  int exitCode = 0;
  bool woken = false;
  int loopDepth = 0;  // RunMessageLoop nesting, UI thread only
};

LoopState& State() {
  // Never destroyed: a worker thread may still wait in Synchronize when the
  // program ends after its loop (a quit request overtook the hand-over), and
  // destroying the condition it waits on would hang the exit.
  static LoopState& state = *new LoopState;
  return state;
}

std::mutex backendMutex;
// Never destroyed either, and for the same reason: a worker thread that hands
// work over while the program ends wakes the loop through the backend. The
// backend itself goes when the program's statics do; a wake after that finds
// none and does nothing.
std::unique_ptr<Backend>& BackendSlot() {
  static auto& slot = *new std::unique_ptr<Backend>;
  return slot;
}
bool backendEnded = false;  // under backendMutex
struct BackendEnd {
  ~BackendEnd() {
    std::unique_ptr<Backend> last;
    {
      std::lock_guard lock(backendMutex);
      backendEnded = true;
      last = std::move(BackendSlot());
    }
  }
} backendEnd;

// Longest single wait when nothing is due; the loop re-checks afterwards.
constexpr std::chrono::milliseconds kIdleWait = std::chrono::hours(1);
// Windows never runs a timer faster than this.
constexpr std::chrono::milliseconds kMinimumTimer{10};

bool IsOrBecomesMainThread() {
  LoopState& s = State();
  std::lock_guard lock(s.mutex);
  if (!s.mainThread) s.mainThread = std::this_thread::get_id();
  return *s.mainThread == std::this_thread::get_id();
}

void WakeLoop() {
  std::lock_guard lock(backendMutex);
  if (backendEnded) return;
  std::unique_ptr<Backend>& current = BackendSlot();
  if (!current) current = MakeHeadlessBackend();
  current->Wake();
}

void Enqueue(Entry entry) {
  LoopState& s = State();
  {
    std::lock_guard lock(s.mutex);
    entry.seq = s.nextSeq++;
    s.queue.push_back(std::move(entry));
  }
  WakeLoop();
}

void Dispatch(Entry& entry) {
  switch (entry.kind) {
    case Entry::Kind::Call:
      if (entry.call) entry.call();
      break;
    case Entry::Kind::Message:
      // The window may have gone since the message was posted.
      if (Form* form = FromHandle(entry.window))
        form->HandleMessage(entry.message, entry.wParam, entry.lParam);
      break;
    case Entry::Kind::Sync: {
      std::exception_ptr error;
      try {
        (*entry.sync->call)();
      } catch (...) {
        error = std::current_exception();
      }
      LoopState& s = State();
      {
        std::lock_guard lock(s.mutex);
        entry.sync->done = true;
        entry.sync->error = error;
      }
      s.syncChanged.notify_all();
      break;
    }
  }
}

// Runs the queued calls and messages up to and including sequence number
// `last`; what they post in turn waits for the next round, so a call that
// posts itself cannot keep this from returning.
void RunPosted(std::uint64_t last) {
  LoopState& s = State();
  for (;;) {
    Entry entry;
    {
      std::lock_guard lock(s.mutex);
      if (s.queue.empty() || s.queue.front().seq > last) return;
      entry = std::move(s.queue.front());
      s.queue.pop_front();
    }
    Dispatch(entry);
  }
}

std::uint64_t LastQueued() {
  LoopState& s = State();
  std::lock_guard lock(s.mutex);
  return s.nextSeq - 1;
}

void FireDueTimers() {
  LoopState& s = State();
  Clock::time_point now = Clock::now();
  std::vector<std::pair<WindowHandle, unsigned>> due;
  {
    std::lock_guard lock(s.mutex);
    for (const auto& [key, timer] : s.timers)
      if (timer.due <= now) due.push_back(key);
  }
  for (const auto& key : due) {
    std::function<void()> handler;
    {
      std::lock_guard lock(s.mutex);
      auto it = s.timers.find(key);
      // Killed, or set anew, by a handler that ran before this one.
      if (it == s.timers.end() || it->second.due > now) continue;
      // Like Windows, a late timer fires once and does not catch up.
      it->second.due = Clock::now() + it->second.interval;
      handler = it->second.handler;
    }
    if (handler) handler();
  }
}

// How long the loop may wait before something is due.
std::chrono::milliseconds TimeToNextDue() {
  LoopState& s = State();
  std::lock_guard lock(s.mutex);
  if (!s.queue.empty() || s.quitPending) return std::chrono::milliseconds(0);
  std::chrono::milliseconds wait = kIdleWait;
  Clock::time_point now = Clock::now();
  for (const auto& entry : s.timers) {
    const Timer& timer = entry.second;
    if (timer.due <= now) return std::chrono::milliseconds(0);
    // Rounded up, so the loop does not wake just before the timer is due.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(timer.due - now);
    wait = std::min(wait, left);
  }
  return wait;
}

bool QuitPending() {
  LoopState& s = State();
  std::lock_guard lock(s.mutex);
  return s.quitPending;
}

void WaitForWork() {
  CurrentBackend().WaitForEvents(TimeToNextDue());
}

void RemoveTimersOf(WindowHandle window) {
  LoopState& s = State();
  std::lock_guard lock(s.mutex);
  std::erase_if(s.timers, [window](const auto& entry) { return entry.first.first == window; });
}

}  // namespace

// ---- The message loop ---------------------------------------------------------------

void PostCall(std::function<void()> call) {
  Entry entry;
  entry.kind = Entry::Kind::Call;
  entry.call = std::move(call);
  Enqueue(std::move(entry));
}

bool PostMessage(WindowHandle window, unsigned message, std::intptr_t wParam,
                 std::intptr_t lParam) {
  {
    LoopState& s = State();
    std::lock_guard lock(s.mutex);
    if (!s.forms.contains(window)) return false;
  }
  Entry entry;
  entry.kind = Entry::Kind::Message;
  entry.window = window;
  entry.message = message;
  entry.wParam = wParam;
  entry.lParam = lParam;
  Enqueue(std::move(entry));
  return true;
}

void ProcessMessages() {
  if (!IsOrBecomesMainThread()) return;
  CurrentBackend().ProcessEvents();
  RunPosted(LastQueued());
  FireDueTimers();
}

void WaitMessage() {
  if (IsOrBecomesMainThread()) WaitForWork();
}

void UpdateWindows() {
  if (IsOrBecomesMainThread()) CurrentBackend().UpdateWindows();
}

void PostQuitMessage(int exitCode) {
  {
    LoopState& s = State();
    std::lock_guard lock(s.mutex);
    s.quitPending = true;
    s.exitCode = exitCode;
  }
  WakeLoop();
}

int RunMessageLoop() {
  if (!IsOrBecomesMainThread()) return 0;
  LoopState& s = State();
  struct Depth {
    LoopState& s;
    explicit Depth(LoopState& state) : s(state) { ++s.loopDepth; }
    ~Depth() { --s.loopDepth; }
  } depth(s);
  for (;;) {
    ProcessMessages();
    if (QuitPending()) {
      RunPosted(LastQueued());
      break;
    }
    WaitForWork();
  }
  std::lock_guard lock(s.mutex);
  int code = s.exitCode;
  if (s.loopDepth == 1) {
    s.quitPending = false;
    s.exitCode = 0;
  }
  return code;
}

bool Terminated() {
  return QuitPending();
}

bool Synchronize(const std::function<void()>& call) {
  if (IsOrBecomesMainThread()) {
    call();
    return true;
  }
  auto request = std::make_shared<SyncRequest>();
  request->call = &call;
  Entry entry;
  entry.kind = Entry::Kind::Sync;
  entry.sync = request;
  Enqueue(std::move(entry));
  LoopState& s = State();
  std::unique_lock lock(s.mutex);
  s.syncChanged.wait(lock, [&] { return request->done || request->released; });
  if (request->error) std::rethrow_exception(request->error);
  return request->done;
}

void SetMainThread() {
  LoopState& s = State();
  std::lock_guard lock(s.mutex);
  s.mainThread = std::this_thread::get_id();
}

bool IsMainThread() {
  return IsOrBecomesMainThread();
}

void ResetMessageLoop() {
  LoopState& s = State();
  {
    std::lock_guard lock(s.mutex);
    // A request already taken off the queue is running on the UI thread and
    // still holds its caller's call, so only the queued ones are released.
    for (Entry& entry : s.queue)
      if (entry.kind == Entry::Kind::Sync) entry.sync->released = true;
    s.queue.clear();
    s.timers.clear();
    s.quitPending = false;
    s.exitCode = 0;
    s.woken = false;
    s.mainThread.reset();
  }
  s.syncChanged.notify_all();
  s.queueChanged.notify_all();
}

// ---- Windows --------------------------------------------------------------------

Form::Form(std::string className) : className_(std::move(className)) {
  IsOrBecomesMainThread();
  LoopState& s = State();
  std::lock_guard lock(s.mutex);
  do {
    ++s.lastHandle;
  } while (s.lastHandle == 0 || s.forms.contains(s.lastHandle));
  handle_ = s.lastHandle;
  s.forms[handle_] = this;
}

Form::~Form() {
  RemoveTimersOf(handle_);
  {
    LoopState& s = State();
    std::lock_guard lock(s.mutex);
    s.forms.erase(handle_);
  }
  if (visible_) CurrentBackend().UnregisterWindow(*this);
  CurrentBackend().DestroyForm(*this);
}

int FrameWidth(BorderStyle style) {
  switch (style) {
    case BorderStyle::None:
      return 0;
    case BorderStyle::Sizeable:
      return 4;
    default:
      return 3;
  }
}

int CaptionHeight(BorderStyle style) {
  switch (style) {
    case BorderStyle::None:
      return 0;
    case BorderStyle::ToolWindow:
      return 15;
    default:
      return 19;
  }
}

int Form::ClientWidth() const {
  if (clientWidth > 0) return clientWidth;
  return std::max(0, width - 2 * FrameWidth(borderStyle));
}

int Form::ClientHeight() const {
  if (clientHeight > 0) return clientHeight;
  return std::max(0, height - 2 * FrameWidth(borderStyle) - CaptionHeight(borderStyle));
}

Control& Form::Add(Control control) {
  controls_.push_back(std::make_unique<Control>(std::move(control)));
  return *controls_.back();
}

Control* Form::Find(const std::string& name) {
  for (auto& control : controls_)
    if (control->name == name) return control.get();
  return nullptr;
}

void Form::Show() {
  if (visible_) return;
  visible_ = true;
  CurrentBackend().ShowForm(*this);
  CurrentBackend().RegisterWindow(*this);
  if (onShow) {
    auto handler = onShow;
    handler();
  }
}

void Form::Hide() {
  if (!visible_) return;
  visible_ = false;
  CurrentBackend().UnregisterWindow(*this);
  CurrentBackend().HideForm(*this);
}

int Form::ShowModal() {
  if (modal_) return 0;
  const WindowHandle self = handle_;
  // Handlers run inside the loop may destroy this form; after each round
  // only the handle is trusted.
  auto alive = [self, this] { return FromHandle(self) == this; };
  modalResult = 0;
  modal_ = true;
  Show();
  if (alive() && modalResult == 0) CurrentBackend().BeginModal(*this);
  try {
    for (;;) {
      if (!alive()) return IDCANCEL;
      if (modalResult != 0) break;
      if (QuitPending()) {
        modalResult = IDCANCEL;
        break;
      }
      WaitForWork();
      ProcessMessages();
    }
  } catch (...) {
    // A handler's error leaves the loop; the form must not stay modal.
    if (alive()) {
      modal_ = false;
      Hide();
    }
    throw;
  }
  modal_ = false;
  int result = modalResult;
  if (onClose) {
    auto handler = onClose;
    handler();
    if (!alive()) return result;
  }
  Hide();
  return result;
}

void Form::Close() {
  if (modal_) {
    if (modalResult == 0) modalResult = IDCANCEL;
    return;
  }
  if (onClose) {
    const WindowHandle self = handle_;
    auto handler = onClose;
    handler();
    if (FromHandle(self) != this) return;
  }
  Hide();
}

void Form::Invalidate() {
  CurrentBackend().InvalidateForm(*this);
}

void Form::SetTimer(unsigned id, unsigned milliseconds, std::function<void()> handler) {
  IsOrBecomesMainThread();
  Timer timer;
  timer.interval = std::max(kMinimumTimer, std::chrono::milliseconds(milliseconds));
  timer.due = Clock::now() + timer.interval;
  timer.handler = std::move(handler);
  LoopState& s = State();
  std::lock_guard lock(s.mutex);
  // Setting an existing timer again replaces it and restarts its interval.
  s.timers[{handle_, id}] = std::move(timer);
}

void Form::KillTimer(unsigned id) {
  LoopState& s = State();
  std::lock_guard lock(s.mutex);
  s.timers.erase({handle_, id});
}

Form* FromHandle(WindowHandle handle) {
  LoopState& s = State();
  std::lock_guard lock(s.mutex);
  auto it = s.forms.find(handle);
  return it == s.forms.end() ? nullptr : it->second;
}

void Form::SetFocus(Control* control) {
  if (control) {
    bool own = false;
    for (const auto& c : controls_) own |= c.get() == control;
    if (!own || !control->visible || !control->enabled) return;
  }
  if (focused_ == control) return;
  focused_ = control;
  CurrentBackend().FocusChanged(*this);
}

void KeyDown(Form& form, int key) {
  const WindowHandle window = form.Handle();
  Control* focused = form.Focused();
  if (focused && focused->onKeyDown) {
    auto handler = focused->onKeyDown;
    handler(key);
    // A handler that moved the focus has used the key up.
    if (FromHandle(window) != &form || form.Focused() != focused) return;
  }
  if (key == VK_RETURN && focused && focused->kind == ControlKind::Button) {
    Click(form, *focused);
  } else if (key == VK_RETURN) {
    for (const auto& c : form.Controls())
      if (c->kind == ControlKind::Button && c->defaultButton) {
        Click(form, *c);
        return;
      }
  } else if (key == VK_ESCAPE) {
    for (const auto& c : form.Controls())
      if (c->kind == ControlKind::Button && c->cancel) {
        Click(form, *c);
        return;
      }
  }
}

namespace {
std::string applicationTitle;
}

void SetApplicationTitle(const std::string& title) {
  applicationTitle = title;
  CurrentBackend().TitleChanged(title);
}

const std::string& ApplicationTitle() {
  return applicationTitle;
}

TopLevelWindow FindWindow(const std::string& className) {
  return CurrentBackend().FindWindow(className);
}

bool IsIconic(TopLevelWindow window) {
  return window != 0 && CurrentBackend().IsIconic(window);
}

bool ShowWindow(TopLevelWindow window, int command) {
  return window != 0 && command == SW_RESTORE && CurrentBackend().RestoreWindow(window);
}

bool SetForegroundWindow(TopLevelWindow window) {
  return window != 0 && CurrentBackend().SetForegroundWindow(window);
}

void MinimizeForm(Form& form) {
  CurrentBackend().MinimizeForm(form);
}

void Click(Form& form, Control& control) {
  if (!control.enabled || !control.visible) return;
  if (control.kind == ControlKind::CheckBox) {
    control.checked = !control.checked;
  } else if (control.kind == ControlKind::RadioButton) {
    for (const auto& other : form.Controls())
      if (other->kind == ControlKind::RadioButton) other->checked = false;
    control.checked = true;
  }
  // The handler may destroy the control or the whole form.
  const WindowHandle window = form.Handle();
  const int result = control.modalResult;
  if (control.onClick) {
    auto handler = control.onClick;
    handler();
  }
  if (result != 0 && FromHandle(window) == &form) form.modalResult = result;
}

// ---- Backends ----------------------------------------------------------------------------

void Backend::WaitForEvents(std::chrono::milliseconds timeout) {
  WaitOnQueue(timeout);
}

void Backend::Wake() {
  LoopState& s = State();
  {
    std::lock_guard lock(s.mutex);
    s.woken = true;
  }
  s.queueChanged.notify_all();
}

void Backend::WaitOnQueue(std::chrono::milliseconds timeout) {
  LoopState& s = State();
  std::unique_lock lock(s.mutex);
  s.queueChanged.wait_for(lock, timeout,
                          [&] { return s.woken || s.quitPending || !s.queue.empty(); });
  s.woken = false;
}

std::unique_ptr<Backend> SetBackend(std::unique_ptr<Backend> backend) {
  std::lock_guard lock(backendMutex);
  std::swap(backend, BackendSlot());
  return backend;
}

Backend& CurrentBackend() {
  std::lock_guard lock(backendMutex);
  std::unique_ptr<Backend>& current = BackendSlot();
  if (!current) current = MakeHeadlessBackend();
  return *current;
}

// ---- Scripted backend -----------------------------------------------------------------

int ScriptedBackend::MessageBox(Form* owner, const std::string& text, const std::string& caption,
                                unsigned type) {
  int answer = DefaultButtonOf(type);
  if (!answers.empty()) {
    answer = answers.front();
    answers.pop_front();
  }
  boxes.push_back({text, caption, type, answer});
  return answer;
}

void ScriptedBackend::ShowForm(Form& form) {
  shownForms.push_back(form.ClassName());
}

void ScriptedBackend::HideForm(Form& form) {}

void ScriptedBackend::BeginModal(Form& form) {
  // Without a script nobody could ever answer the form.
  if (!onModal) {
    form.modalResult = IDCANCEL;
    return;
  }
  auto script = onModal;
  script(form);
}

}  // namespace ui
