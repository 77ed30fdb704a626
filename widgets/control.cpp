#include "widgets/control.h"

#include <algorithm>
#include <utility>

#include "widgets/properties.h"

// ---- Timer ----------------------------------------------------------------------------

namespace {
constexpr unsigned kTimerId = 1;
}

TTimer::TTimer() = default;

TTimer::~TTimer() = default;  // the hidden window takes its timer with it

void TTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Update();
}

void TTimer::SetInterval(unsigned milliseconds) {
  if (milliseconds == interval_) return;
  interval_ = milliseconds;
  Update();
}

void TTimer::Update() {
  if (window_) window_->KillTimer(kTimerId);
  running_ = enabled_ && interval_ > 0;
  if (!running_) return;
  if (!window_) window_ = std::make_unique<ui::Form>("TPUtilWindow");
  // The handler is looked up at each tick, so it may be set or changed
  // while the timer runs.
  window_->SetTimer(kTimerId, interval_, [this] {
    if (OnTimer) OnTimer();
  });
}

// ---- Graphic control ---------------------------------------------------------------------

void TSizeConstraints::DefineProperties(PropertyList& p) {
  p.Integer("MaxHeight", MaxHeight, 0);
  p.Integer("MaxWidth", MaxWidth, 0);
  p.Integer("MinHeight", MinHeight, 0);
  p.Integer("MinWidth", MinWidth, 0);
}

TGraphicControl::TGraphicControl(TComponent* owner) : TComponent(owner) {}

TGraphicControl::~TGraphicControl() {
  *alive_ = false;
  Withdraw();
}

void TGraphicControl::SetParent(ui::Form* parent) {
  if (parent == parent_) return;
  Withdraw();
  parent_ = parent;
  if (parent_) Invalidate();
}

ui::Control* TGraphicControl::ShownControl(bool create) {
  if (!parent_) return nullptr;
  ui::Control* control = parent_->Find(Name);
  if (!control && create)
    control =
        &parent_->Add(ui::MakeControl(ui::ControlKind::Custom, Name, left_, top_, width_, height_));
  // A control of another kind under the same name is not ours to change.
  return control && control->kind == ui::ControlKind::Custom ? control : nullptr;
}

void TGraphicControl::Withdraw() {
  if (ui::Control* control = ShownControl(false)) {
    control->visible = false;
    control->pixels.reset();
    parent_->Invalidate();
  }
}

void TGraphicControl::SetBounds(int left, int top, int width, int height) {
  auto limit = [](int value, int minimum, int maximum) {
    if (maximum > 0) value = std::min(value, maximum);
    if (minimum > 0) value = std::max(value, minimum);
    return std::max(value, 0);
  };
  width = limit(width, Constraints.MinWidth, Constraints.MaxWidth);
  height = limit(height, Constraints.MinHeight, Constraints.MaxHeight);
  if (left == left_ && top == top_ && width == width_ && height == height_) return;
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
  Invalidate();
}

void TGraphicControl::SetVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  if (ui::Control* control = ShownControl(false)) control->visible = visible_;
  if (parent_) parent_->Invalidate();
  Invalidate();
}

void TGraphicControl::Invalidate() {
  // Without a parent there is nowhere to paint.
  if (!parent_ || paintPending_) return;
  paintPending_ = true;
  // Clears the request when the queued paint has run or has been dropped
  // with the queue, so that a later request posts a new one.
  struct Request {
    Request(std::weak_ptr<bool> a, bool* p) : alive(std::move(a)), pending(p) {}
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    std::weak_ptr<bool> alive;
    bool* pending;
    bool Live() const {
      auto lock = alive.lock();
      return lock && *lock;
    }
    ~Request() {
      if (Live()) *pending = false;
    }
  };
  auto request = std::make_shared<Request>(alive_, &paintPending_);
  ui::PostCall([this, request] {
    if (!request->Live()) return;
    paintPending_ = false;
    Paint();
  });
}

void TGraphicControl::Present(const TCanvas& image, std::optional<TColor> transparent) {
  if (surface_.Width() != image.Width() || surface_.Height() != image.Height())
    surface_.SetSize(image.Width(), image.Height());
  surface_.Clear(ParentColor);
  surface_.Draw(0, 0, image, transparent);
  // The parent form shows the surface through a control of its own.
  if (ui::Control* control = ShownControl(true)) {
    auto pixels = std::make_shared<ui::Pixels>();
    pixels->width = surface_.Width();
    pixels->height = surface_.Height();
    const std::vector<std::uint8_t>& rgb = surface_.Data();
    pixels->rgb.resize(rgb.size() / 3);
    for (std::size_t i = 0; i < pixels->rgb.size(); ++i)
      pixels->rgb[i] =
          (std::uint32_t{rgb[3 * i]} << 16) | (std::uint32_t{rgb[3 * i + 1]} << 8) | rgb[3 * i + 2];
    control->left = left_;
    control->top = top_;
    control->width = width_;
    control->height = height_;
    control->visible = visible_;
    control->pixels = std::move(pixels);
    parent_->Invalidate();
  }
  if (OnPresent) OnPresent(*this);
}

void TGraphicControl::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  if (OnMouseDown) OnMouseDown(this, button, shift, x, y);
}

void TGraphicControl::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
  if (OnMouseUp) OnMouseUp(this, button, shift, x, y);
}

void TGraphicControl::MouseMove(TShiftState shift, int x, int y) {
  if (OnMouseMove) OnMouseMove(this, shift, x, y);
}

void TGraphicControl::DefineBounds(PropertyList& p) {
  p.Integer(
      "Left", [this] { return left_; }, [this](int v) { SetLeft(v); }, std::nullopt);
  p.Integer(
      "Top", [this] { return top_; }, [this](int v) { SetTop(v); }, std::nullopt);
  p.Integer(
      "Width", [this] { return width_; }, [this](int v) { SetWidth(v); }, std::nullopt);
  p.Integer(
      "Height", [this] { return height_; }, [this](int v) { SetHeight(v); }, std::nullopt);
}

void TGraphicControl::DefineLayout(PropertyList& p) {
  p.Enum(
      "Align", [this] { return static_cast<int>(Align); },
      [this](int v) { Align = static_cast<TAlign>(v); },
      {"alNone", "alTop", "alBottom", "alLeft", "alRight", "alClient", "alCustom"}, alNone);
  p.FlagSet(
      "Anchors", [this] { return Anchors; }, [this](unsigned v) { Anchors = v; },
      {"akLeft", "akTop", "akRight", "akBottom"}, akLeft | akTop);
  p.Object("Constraints", Constraints);
}

void TGraphicControl::DefineShowHint(PropertyList& p) {
  p.Bool(
      "ShowHint", [this] { return ShowHint; }, [this](bool v) { ShowHint = v; }, false);
}

void TGraphicControl::DefineVisible(PropertyList& p) {
  p.Bool(
      "Visible", [this] { return visible_; }, [this](bool v) { SetVisible(v); }, true);
}

void TGraphicControl::DefineMouseEvents(PropertyList& p) {
  p.Event("OnMouseDown");
  p.Event("OnMouseUp");
  p.Event("OnMouseMove");
}
