// The user-interface backend for a real display (X11 through FLTK).
//
// It draws the Form model generically: every Control becomes one toolkit
// widget of its kind (fltk_widgets.h, fltk_memo.h), and the widgets follow
// the model, which is compared with them before the toolkit waits or
// handles events. Input goes back the way the headless code expects it:
// clicks through ui::Click, keys through ui::KeyDown, typed text into
// Control::caption, focus through Form::SetFocus. No window logic lives
// here.
//
// Top-level windows are found across processes by their WM_CLASS, which our
// forms set to their class name (x11_windows.h).

// Our headers come first: X11's macros (None, Status, ...) would break them.
#include "platform/posix/fltk_memo.h"
#include "platform/posix/fltk_text.h"
#include "platform/posix/fltk_widgets.h"
#include "platform/posix/x11_windows.h"
#include "platform/richtext.h"
#include "platform/ui.h"

// (the toolkit's X11 part after them)
#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Progress.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ui {
namespace {

using namespace fltk;

class FltkBackend;

// One control's widget and what it was last made to show.
struct Slot {
  ControlKind kind;
  bool password = false;
  Fl_Widget* widget = nullptr;
  std::shared_ptr<const richtext::Document> richText;
  std::string memoText;
  std::string fontKey;
  int tabOrder = -2;
};

class FormWindow : public Fl_Double_Window {
 public:
  FormWindow(FltkBackend& backend, Form& form)
      : Fl_Double_Window(0, 0, std::max(1, form.ClientWidth()), std::max(1, form.ClientHeight())),
        backend_(backend),
        handle_(form.Handle()),
        className_(form.ClassName()) {
    end();
    xclass(className_.c_str());
    callback([](Fl_Widget* w, void*) { static_cast<FormWindow*>(w)->CloseRequested(); });
  }
  ~FormWindow() override { StopAnimations(); }

  WindowHandle Handle() const { return handle_; }
  std::map<Control*, Slot>& Slots() { return slots_; }
  std::string caption;
  bool placed = false;
  std::pair<int, int> range{-1, -1};

  Control* ControlOf(Fl_Widget* widget) {
    for (Fl_Widget* w = widget; w && w != this; w = w->parent())
      for (auto& [control, slot] : slots_)
        if (slot.widget == w) return control;
    return nullptr;
  }

  void StopAnimations() {
    for (auto& [control, slot] : slots_)
      if (slot.kind == ControlKind::Animation) static_cast<AnimationWidget*>(slot.widget)->Stop();
  }

  void CloseRequested();

 private:
  FltkBackend& backend_;
  WindowHandle handle_;
  std::string className_;
  std::map<Control*, Slot> slots_;
};

// A message box: icon, text, and the buttons of its type.
class BoxWindow : public Fl_Double_Window {
 public:
  BoxWindow(int w, int h) : Fl_Double_Window(w, h) {}
  int answer = 0;
  int onEscape = 0;
  int handle(int event) override {
    if ((event == FL_KEYBOARD || event == FL_SHORTCUT) && Fl::event_key() == FL_Escape) {
      if (onEscape) answer = onEscape;
      return 1;
    }
    if ((event == FL_KEYBOARD || event == FL_SHORTCUT) &&
        (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter)) {
      if (Fl_Widget* focus = Fl::focus(); focus && focus->window() == this && focus->user_data()) {
        answer = static_cast<int>(reinterpret_cast<std::intptr_t>(focus->user_data()));
        return 1;
      }
    }
    return Fl_Double_Window::handle(event);
  }
};
class FltkBackend : public Backend {
 public:
  FltkBackend() {
    instance_ = this;
    Fl::lock();  // makes Fl::awake usable from other threads
    Fl::scheme("base");
    Fl::background(240, 240, 240);
    Fl::background2(255, 255, 255);
    Fl::foreground(0, 0, 0);
    Fl::visible_focus(1);
    RegisterLabelTypes();
    Fl::event_dispatch(&FltkBackend::Dispatch);
  }

  ~FltkBackend() override {
    Fl::event_dispatch(nullptr);
    for (auto& [handle, window] : windows_) {
      window->StopAnimations();
      window->hide();
      Fl::delete_widget(window);
    }
    windows_.clear();
    Fl::check();
    if (instance_ == this) instance_ = nullptr;
  }

  // ---- Message boxes ----

  int MessageBox(Form* owner, const std::string& text, const std::string& caption,
                 unsigned type) override {
    const std::vector<int> buttons = ButtonsOf(type);
    const int byDefault = DefaultButtonOf(type);
    int onEscape = 0;
    for (int id : buttons)
      if (id == IDCANCEL) onEscape = IDCANCEL;
    if (!onEscape && buttons.size() == 1) onEscape = buttons.front();
    const unsigned icon = type & MB_ICONMASK;

    const Fl_Font font = FontOf(FaceFor("", text + caption));
    constexpr int kSize = 12, kMargin = 12, kIcon = 32, kButtonW = 75, kButtonH = 23, kGap = 6;
    fl_font(font, kSize);
    // Long texts wrap at 400 pixels.
    int textW = 400, textH = 0;
    fl_measure(text.c_str(), textW, textH, 0);
    const int textX = kMargin + (icon ? kIcon + kMargin : 0);
    const int bodyH = std::max(textH, icon ? kIcon : 0);
    const int buttonsW =
        static_cast<int>(buttons.size()) * kButtonW + (static_cast<int>(buttons.size()) - 1) * kGap;
    const int width = std::max(textX + textW + kMargin, buttonsW + 2 * kMargin);
    const int height = kMargin + bodyH + 2 * kMargin + kButtonH + kMargin;

    auto box = std::make_unique<BoxWindow>(width, height);
    box->onEscape = onEscape;
    box->copy_label(caption.c_str());
    box->xclass("TMessageBox");
    box->callback([](Fl_Widget* w, void*) {
      auto* b = static_cast<BoxWindow*>(w);
      if (b->onEscape) b->answer = b->onEscape;
    });
    if (icon) {
      auto* iconWidget = new IconWidget(icon);
      iconWidget->position(kMargin, kMargin);
      box->add(iconWidget);
    }
    auto* label = new Fl_Box(textX, kMargin + (bodyH - textH) / 2, textW, textH);
    label->box(FL_NO_BOX);
    label->labeltype(kPlainLabel);
    label->labelfont(font);
    label->labelsize(kSize);
    label->align(FL_ALIGN_INSIDE | FL_ALIGN_TOP_LEFT | FL_ALIGN_WRAP);
    label->copy_label(text.c_str());
    box->add(label);
    int bx = (width - buttonsW) / 2;
    const int by = height - kMargin - kButtonH;
    Fl_Button* focus = nullptr;
    for (int id : buttons) {
      auto* button = new ButtonWidget();
      button->resize(bx, by, kButtonW, kButtonH);
      button->copy_label(ButtonText(id));
      button->labelfont(FontOf(Face::Sans));
      button->labelsize(kSize);
      button->isDefault = id == byDefault;
      button->user_data(reinterpret_cast<void*>(static_cast<std::intptr_t>(id)));
      button->callback([](Fl_Widget* w, void* data) {
        static_cast<BoxWindow*>(w->window())->answer =
            static_cast<int>(reinterpret_cast<std::intptr_t>(data));
      });
      box->add(button);
      if (id == byDefault) focus = button;
      bx += kButtonW + kGap;
    }
    box->end();
    box->set_modal();
    box->size_range(width, height, width, height);
    Center(*box, FrameWidth(BorderStyle::Dialog), CaptionHeight(BorderStyle::Dialog));
    if (!title_.empty()) box->iconlabel(title_.c_str());
    box->show();
    AfterShow(*box, BorderStyle::Dialog, true, false);
    if (focus) focus->take_focus();

    while (box->answer == 0 && box->shown()) {
      if (Terminated()) {
        box->answer = onEscape ? onEscape : byDefault;
        break;
      }
      WaitMessage();
      ProcessMessages();
    }
    const int answer = box->answer ? box->answer : (onEscape ? onEscape : byDefault);
    box->hide();
    Fl::delete_widget(box.release());
    return answer;
  }

  // ---- Forms ----

  void ShowForm(Form& form) override {
    FormWindow& window = WindowFor(form);
    Sync(form, window);
    window.clear_modal_states();
    if (form.Modal()) window.set_modal();
    if (!window.placed) {
      Place(form, window);
      window.placed = true;
    }
    if (!title_.empty()) window.iconlabel(title_.c_str());
    window.show();
    AfterShow(window, form.borderStyle, form.borderIcons, form.stayOnTop);
    StartAnimations(window);
  }

  void HideForm(Form& form) override {
    auto it = windows_.find(form.Handle());
    if (it == windows_.end()) return;
    it->second->StopAnimations();
    it->second->hide();
  }

  void InvalidateForm(Form& form) override {
    auto it = windows_.find(form.Handle());
    if (it == windows_.end()) return;
    Sync(form, *it->second);
    it->second->redraw();
  }

  void DestroyForm(Form& form) override {
    auto it = windows_.find(form.Handle());
    if (it == windows_.end()) return;
    FormWindow* window = it->second;
    windows_.erase(it);
    window->StopAnimations();
    window->hide();
    // Deleted once the toolkit is out of any callback of the window.
    Fl::delete_widget(window);
  }

  void FocusChanged(Form& form) override {
    if (syncingFocus_) return;
    auto it = windows_.find(form.Handle());
    if (it == windows_.end()) return;
    Control* focused = form.Focused();
    auto& slots = it->second->Slots();
    auto slot = focused ? slots.find(focused) : slots.end();
    if (slot != slots.end() && it->second->shown()) slot->second.widget->take_focus();
  }

  void TitleChanged(const std::string& title) override {
    title_ = title;
    for (auto& [handle, window] : windows_) window->iconlabel(title_.c_str());
  }

  void ProcessEvents() override {
    SyncAll();
    Fl::check();
  }

  void UpdateWindows() override {
    SyncAll();
    Fl::flush();
    x11::Sync();
  }

  void WaitForEvents(std::chrono::milliseconds timeout) override {
    SyncAll();
    wakePending_ = false;
    Fl::wait(static_cast<double>(timeout.count()) / 1000.0);
  }

  void Wake() override {
    if (!wakePending_.exchange(true)) Fl::awake();
  }

  // ---- Window lookup ----

  void RegisterWindow(Form&) override {}
  void UnregisterWindow(Form&) override {}

  TopLevelWindow FindWindow(const std::string& className) override {
    return x11::FindWindow(className);
  }
  bool IsIconic(TopLevelWindow window) override { return x11::IsIconic(window); }
  bool RestoreWindow(TopLevelWindow window) override { return x11::Restore(window); }
  bool SetForegroundWindow(TopLevelWindow window) override { return x11::SetForeground(window); }

  void MinimizeForm(Form& form) override {
    auto it = windows_.find(form.Handle());
    if (it == windows_.end() || !it->second->shown()) return;
    FormWindow& window = *it->second;
    if (x11::WindowManagerRunning()) {
      window.iconize();
    } else {
      window.StopAnimations();
      x11::IconifyUnmanaged(fl_xid(&window));
    }
    x11::Sync();
  }

  // ---- Input ----

  void Clicked(Fl_Widget* widget) {
    auto* window = dynamic_cast<FormWindow*>(widget->window());
    if (!window) return;
    Form* form = FromHandle(window->Handle());
    Control* control = window->ControlOf(widget);
    if (!form || !control) return;
    Click(*form, *control);
    SyncAll();
  }

  void Typed(Fl_Widget* widget) {
    auto* window = dynamic_cast<FormWindow*>(widget->window());
    if (!window) return;
    Control* control = window->ControlOf(widget);
    if (control && FromHandle(window->Handle()))
      control->caption = static_cast<Fl_Input_*>(widget)->value();
  }

  void CloseRequested(FormWindow& window) {
    Form* form = FromHandle(window.Handle());
    // A window without caption buttons cannot be closed from its frame.
    if (!form || !form->borderIcons) return;
    if (Fl::event() == FL_SHORTCUT || Fl::event() == FL_KEYBOARD) return;  // Escape
    form->Close();
  }

 private:
  static int Dispatch(int event, Fl_Window* window) {
    FltkBackend* self = instance_;
    if (!self) return Fl::handle_(event, window);
    if (self->holdInput_ &&
        (event == FL_PUSH || event == FL_RELEASE || event == FL_KEYBOARD || event == FL_KEYUP ||
         event == FL_SHORTCUT || event == FL_DRAG || event == FL_MOUSEWHEEL))
      return 1;
    auto* formWindow = dynamic_cast<FormWindow*>(window);
    if (formWindow && event == FL_KEYBOARD) {
      const int key = Fl::event_key();
      int vk = 0;
      if (key == FL_Escape) vk = VK_ESCAPE;
      if (key == FL_Enter || key == FL_KP_Enter) vk = VK_RETURN;
      if (vk) {
        if (Form* form = FromHandle(formWindow->Handle())) {
          self->SyncFocusFromToolkit();
          KeyDown(*form, vk);
          self->SyncAll();
        }
        return 1;
      }
    }
    const WindowHandle handle = formWindow ? formWindow->Handle() : 0;
    int result = Fl::handle_(event, window);
    if (instance_ == self) {
      self->SyncFocusFromToolkit();
      // The window came to the front from outside.
      if (event == FL_FOCUS && handle) {
        PostCall([handle] {
          Form* form = FromHandle(handle);
          if (form && form->onActivate) {
            auto handler = form->onActivate;
            handler();
          }
        });
      }
    }
    return result;
  }

  void SyncFocusFromToolkit() {
    Fl_Widget* focus = Fl::focus();
    if (!focus) return;
    auto* window = dynamic_cast<FormWindow*>(focus->window());
    if (!window) return;
    Form* form = FromHandle(window->Handle());
    Control* control = window->ControlOf(focus);
    if (!form || !control || form->Focused() == control) return;
    syncingFocus_ = true;
    form->SetFocus(control);
    syncingFocus_ = false;
  }

  FormWindow& WindowFor(Form& form) {
    auto it = windows_.find(form.Handle());
    if (it != windows_.end()) return *it->second;
    auto* window = new FormWindow(*this, form);
    windows_[form.Handle()] = window;
    return *window;
  }

  void SyncAll() {
    for (auto& [handle, window] : windows_)
      if (window->shown())
        if (Form* form = FromHandle(handle)) Sync(*form, *window);
  }

  // Client-area origin for a window of that frame centred on the screen.
  static void Center(Fl_Window& window, int frame, int caption) {
    int sx, sy, sw, sh;
    Fl::screen_xywh(sx, sy, sw, sh);
    const int outerW = window.w() + 2 * frame, outerH = window.h() + 2 * frame + caption;
    window.position(sx + (sw - outerW) / 2 + frame, sy + (sh - outerH) / 2 + frame + caption);
  }

  void Place(Form& form, FormWindow& window) {
    const int frame = FrameWidth(form.borderStyle), caption = CaptionHeight(form.borderStyle);
    if (form.position == FormPosition::Designed)
      window.position(form.left + frame, form.top + frame + caption);
    else
      Center(window, frame, caption);
  }

  // Frame decorations, stacking and focus once the window exists; waits
  // until it is on the screen and drawn, so that a caller that blocks right
  // after showing it still leaves a painted window.
  void AfterShow(Fl_Window& window, BorderStyle style, bool borderIcons, bool stayOnTop) {
    const x11::XWindow xid = fl_xid(&window);
    if (!xid) return;
    x11::Decorate(xid, style, borderIcons, stayOnTop);
    // Wait (briefly, input held back) until the window is viewable and drawn.
    holdInput_ = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
      const std::optional<bool> viewable = x11::IsOnScreen(xid);
      if (!viewable || *viewable || std::chrono::steady_clock::now() > deadline) break;
      Fl::wait(0.01);
    }
    Fl::check();
    holdInput_ = false;
    if (!x11::WindowManagerRunning()) {
      // Nobody activates new windows: do it, and keep the stay-on-top
      // windows above the others.
      x11::Focus(xid);
      for (auto& [handle, other] : windows_) {
        Form* form = FromHandle(handle);
        if (other != &window && other->shown() && form && form->stayOnTop)
          x11::Raise(fl_xid(other));
      }
    }
    window.redraw();
    Fl::flush();
    x11::Sync();
  }

  void StartAnimations(FormWindow& window) {
    if (!window.shown()) return;
    for (auto& [control, slot] : window.Slots())
      if (slot.kind == ControlKind::Animation && control->visible) {
        auto* animation = static_cast<AnimationWidget*>(slot.widget);
        if (!animation->Playing()) animation->Play(fl_xid(&window));
      }
  }

  // ---- Model to widgets ----

  Fl_Widget* MakeWidget(ControlKind kind, bool password) {
    switch (kind) {
      case ControlKind::Label:
        return new LabelWidget();
      case ControlKind::Edit: {
        Fl_Input* input = password ? static_cast<Fl_Input*>(new PasswordWidget())
                                   : static_cast<Fl_Input*>(new EditWidget());
        input->when(FL_WHEN_CHANGED);
        input->callback([](Fl_Widget* w, void*) {
          if (instance_) instance_->Typed(w);
        });
        return input;
      }
      case ControlKind::Button:
      case ControlKind::RadioButton:
      case ControlKind::CheckBox: {
        Fl_Button* button = kind == ControlKind::Button ? new ButtonWidget()
                            : kind == ControlKind::RadioButton
                                ? static_cast<Fl_Button*>(new RadioWidget())
                                : static_cast<Fl_Button*>(new CheckWidget());
        button->callback([](Fl_Widget* w, void*) {
          if (instance_) instance_->Clicked(w);
        });
        return button;
      }
      case ControlKind::Memo:
        return new MemoWidget();
      case ControlKind::ProgressBar:
        return new ProgressWidget();
      case ControlKind::StatusBar:
        return new StatusWidget();
      case ControlKind::Image:
        return new PictureWidget();
      case ControlKind::Animation:
        return new AnimationWidget();
      case ControlKind::Panel:
        return new PanelWidget();
      case ControlKind::Custom:
        return new PixelsWidget();
    }
    return new LabelWidget();
  }

  static void SetLabel(Fl_Widget& widget, const std::string& text) {
    const char* now = widget.label();
    if (!now || text != now) {
      widget.copy_label(text.c_str());
      widget.redraw();
    }
  }

  // Brings the window and its widgets in line with the form.
  void Sync(Form& form, FormWindow& window) {
    if (window.caption != form.caption) {
      window.caption = form.caption;
      window.copy_label(form.caption.c_str());
    }
    const int cw = std::max(1, form.ClientWidth()), ch = std::max(1, form.ClientHeight());
    if (window.w() != cw || window.h() != ch || window.range != std::make_pair(cw, ch)) {
      window.size(cw, ch);
      // Fixed in size: the controls have fixed places.
      window.size_range(cw, ch, cw, ch);
      window.range = {cw, ch};
    }

    bool reorder = false;
    bool changed = false;
    auto& slots = window.Slots();
    for (const auto& owned : form.Controls()) {
      Control& control = *owned;
      auto it = slots.find(&control);
      const bool password = control.kind == ControlKind::Edit && control.password;
      if (it != slots.end() &&
          (it->second.kind != control.kind || it->second.password != password)) {
        if (it->second.kind == ControlKind::Animation)
          static_cast<AnimationWidget*>(it->second.widget)->Stop();
        window.remove(it->second.widget);
        Fl::delete_widget(it->second.widget);
        slots.erase(it);
        it = slots.end();
      }
      if (it == slots.end()) {
        Slot slot;
        slot.kind = control.kind;
        slot.password = password;
        slot.widget = MakeWidget(control.kind, password);
        window.add(slot.widget);
        it = slots.emplace(&control, std::move(slot)).first;
        reorder = true;
      }
      if (it->second.tabOrder != control.tabOrder) {
        it->second.tabOrder = control.tabOrder;
        reorder = true;
      }
      changed |= Apply(form, window, control, it->second);
    }
    if (reorder) Reorder(form, window);
    if (changed) window.redraw();
  }

  // The children in tab order (tab stops first), so that the toolkit's
  // keyboard navigation follows Control::tabOrder.
  void Reorder(Form& form, FormWindow& window) {
    std::vector<Control*> order;
    for (const auto& owned : form.Controls()) order.push_back(owned.get());
    std::stable_sort(order.begin(), order.end(), [](Control* a, Control* b) {
      const bool stopA = a->tabOrder >= 0, stopB = b->tabOrder >= 0;
      if (stopA != stopB) return stopA;
      return stopA && a->tabOrder < b->tabOrder;
    });
    int index = 0;
    for (Control* control : order) {
      auto it = window.Slots().find(control);
      if (it == window.Slots().end()) continue;
      window.insert(*it->second.widget, index++);
    }
  }

  // One control; true when something visible changed.
  bool Apply(Form& form, FormWindow& window, Control& control, Slot& slot) {
    Fl_Widget& widget = *slot.widget;
    bool changed = false;
    const std::string fontKey = form.fontName + "/" + std::to_string(form.fontHeight);
    const Fl_Font font = FontOf(FaceFor(form.fontName, control.caption));
    const int size = std::max(6, form.fontHeight);

    int x = control.left, y = control.top, w = control.width, h = control.height;
    switch (control.kind) {
      case ControlKind::Label: {
        SetLabel(widget, control.caption);
        widget.labelfont(font);
        widget.labelsize(size);
        const Fl_Align align =
            static_cast<Fl_Align>(FL_ALIGN_INSIDE | FL_ALIGN_TOP |
                                  (control.rightAligned ? FL_ALIGN_RIGHT : FL_ALIGN_LEFT));
        if (widget.align() != align) {
          widget.align(align);
          changed = true;
        }
        if (control.autoSize || w <= 0 || h <= 0) {
          fl_font(font, size);
          int tw = 0, th = 0;
          fl_measure(WithoutAccelerators(control.caption).c_str(), tw, th, 0);
          if (control.rightAligned && control.autoSize) x = control.left + control.width - tw;
          w = tw;
          h = std::max(th, size + 2);
        }
        break;
      }
      case ControlKind::Edit: {
        auto& input = static_cast<Fl_Input&>(widget);
        if (control.caption != input.value()) {
          input.value(control.caption.c_str());
          changed = true;
        }
        input.textfont(font);
        input.textsize(size);
        break;
      }
      case ControlKind::Button:
      case ControlKind::RadioButton:
      case ControlKind::CheckBox: {
        auto& button = static_cast<Fl_Button&>(widget);
        SetLabel(button, control.caption);
        button.labelfont(font);
        button.labelsize(size);
        if (control.kind != ControlKind::Button && button.value() != (control.checked ? 1 : 0)) {
          button.value(control.checked ? 1 : 0);
          changed = true;
        }
        if (control.kind == ControlKind::Button) {
          auto& push = static_cast<ButtonWidget&>(button);
          const bool isDefault = control.defaultButton;
          if (push.isDefault != isDefault) {
            push.isDefault = isDefault;
            changed = true;
          }
          if (push.glyph != control.glyph) {
            push.glyph = control.glyph;
            push.normal.reset();
            push.disabled.reset();
            std::shared_ptr<Fl_RGB_Image> strip =
                control.glyph.empty() ? nullptr : Picture(control.glyph);
            if (strip) {
              // Two states side by side: normal, then disabled.
              const int gw = strip->w() >= 2 * strip->h() ? strip->w() / 2 : strip->w();
              push.normal = Crop(*strip, 0, 0, gw, strip->h());
              push.disabled = gw < strip->w() ? Crop(*strip, gw, 0, gw, strip->h())
                                              : Crop(*strip, 0, 0, gw, strip->h());
            }
            push.image(push.normal.get());
            push.deimage(push.disabled.get());
            changed = true;
          }
        }
        break;
      }
      case ControlKind::Memo: {
        auto& memo = static_cast<MemoWidget&>(widget);
        if (slot.richText != control.richText ||
            (!control.richText && slot.memoText != control.caption) || slot.fontKey != fontKey ||
            !memo.Document()) {
          slot.richText = control.richText;
          slot.memoText = control.caption;
          slot.fontKey = fontKey;
          if (control.richText)
            memo.SetDocument(control.richText, true, form.fontName, size);
          else
            memo.SetDocument(std::make_shared<richtext::Document>(
                                 richtext::Document::FromPlainText(control.caption)),
                             false, form.fontName, size);
          changed = true;
        }
        break;
      }
      case ControlKind::ProgressBar: {
        auto& bar = static_cast<Fl_Progress&>(widget);
        const float lo = static_cast<float>(control.min), hi = static_cast<float>(control.max);
        const float at =
            static_cast<float>(std::clamp(control.position, std::min(control.min, control.max),
                                          std::max(control.min, control.max)));
        if (bar.minimum() != lo || bar.maximum() != hi || bar.value() != at) {
          bar.minimum(lo);
          bar.maximum(hi);
          bar.value(at);
          changed = true;
        }
        break;
      }
      case ControlKind::StatusBar: {
        SetLabel(widget, control.caption);
        widget.labelfont(font);
        widget.labelsize(size);
        if (h <= 0) h = 21;
        if (w <= 0) {
          x = 0;
          y = window.h() - h;
          w = window.w();
        }
        break;
      }
      case ControlKind::Image: {
        auto& picture = static_cast<PictureWidget&>(widget);
        if (picture.resource != control.resource) {
          picture.resource = control.resource;
          picture.picture = control.resource.empty() ? nullptr : Picture(control.resource);
          changed = true;
        }
        if (picture.picture) {
          if (w <= 0) w = picture.picture->w();
          if (h <= 0) h = picture.picture->h();
        }
        break;
      }
      case ControlKind::Animation: {
        auto& animation = static_cast<AnimationWidget&>(widget);
        if (animation.resource != control.resource) {
          animation.Stop();
          animation.resource = control.resource;
          animation.strip = control.resource.empty() ? nullptr : Picture(control.resource);
          changed = true;
        }
        if (animation.strip && h <= 0) h = animation.strip->h();
        break;
      }
      case ControlKind::Panel:
        break;
      case ControlKind::Custom: {
        auto& pixels = static_cast<PixelsWidget&>(widget);
        if (pixels.pixels != control.pixels) {
          pixels.SetPixels(control.pixels);
          changed = true;
        }
        break;
      }
    }

    if (widget.x() != x || widget.y() != y || widget.w() != w || widget.h() != h) {
      if (slot.kind == ControlKind::Animation) static_cast<AnimationWidget&>(widget).Stop();
      widget.resize(x, y, w, h);
      changed = true;
    }
    const bool focusable = control.tabOrder >= 0 && control.kind != ControlKind::Label &&
                           control.kind != ControlKind::Image &&
                           control.kind != ControlKind::StatusBar;
    if ((widget.visible_focus() != 0) != focusable) {
      if (focusable)
        widget.set_visible_focus();
      else
        widget.clear_visible_focus();
    }
    if ((widget.visible() != 0) != control.visible) {
      if (control.visible) {
        widget.show();
      } else {
        if (slot.kind == ControlKind::Animation) static_cast<AnimationWidget&>(widget).Stop();
        widget.hide();
      }
      changed = true;
    }
    if ((widget.active() != 0) != control.enabled) {
      if (control.enabled)
        widget.activate();
      else
        widget.deactivate();
      changed = true;
    }
    if (slot.kind == ControlKind::Animation && control.visible && window.shown() &&
        !static_cast<AnimationWidget&>(widget).Playing() &&
        !static_cast<AnimationWidget&>(widget).unplayable) {
      if (x11::IsOnScreen(fl_xid(&window)).value_or(false))
        static_cast<AnimationWidget&>(widget).Play(fl_xid(&window));
    }
    return changed;
  }

  static inline FltkBackend* instance_ = nullptr;
  std::map<WindowHandle, FormWindow*> windows_;
  std::string title_;
  bool syncingFocus_ = false;
  bool holdInput_ = false;
  std::atomic<bool> wakePending_{false};

  friend class FormWindow;
};

void FormWindow::CloseRequested() {
  backend_.CloseRequested(*this);
}

}  // namespace

std::unique_ptr<Backend> MakeDisplayBackend() {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return nullptr;
  if (!fl_display) {
    Display* display = XOpenDisplay(name);
    if (!display) return nullptr;
    fl_open_display(display);
  }
  return std::make_unique<FltkBackend>();
}

void UseDisplayIfAvailable() {
  if (auto backend = MakeDisplayBackend()) SetBackend(std::move(backend));
}

}  // namespace ui

// In sanitizer builds: the display libraries keep caches (fonts, their
// fontconfig patterns, the connection's tables) for the life of the process
// and never free them; the leak checker is told so for every program that
// shows windows.
#if defined(__SANITIZE_ADDRESS__)
#define KESTREL_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTREL_LEAK_CHECKED 1
#endif
#endif
#ifdef KESTREL_LEAK_CHECKED
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libXft.so\nleak:libX11.so\nleak:libfltk.so\n"
         "leak:libfltk_images.so\n";
}
#endif
