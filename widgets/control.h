// The base of window-less controls, and the timer component they use.
//
// A graphic control has no window of its own: it occupies a rectangle of
// its parent form and paints into it. Here the part of the screen it covers
// is its surface, a canvas of the control's size; after each paint it is put
// on the parent form as a ui control of kind Custom named after the
// component, which a display backend shows at the control's place. Pixels
// the control leaves transparent show the parent's background colour there.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/component.h"
#include "platform/ui.h"
#include "widgets/canvas.h"

// ---- Timer ----------------------------------------------------------------------------

// A timer that is not tied to any visible window: like the framework's timer
// component it receives its ticks through a hidden window of its own, created
// when the timer first runs, so it ticks on the user-interface thread through
// the message loop whether or not its owner has a parent. It is created
// disabled.
class TTimer {
 public:
  TTimer();
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  // Milliseconds; 0 stops the ticks. Changing it restarts a running timer.
  unsigned Interval() const { return interval_; }
  void SetInterval(unsigned milliseconds);
  // True while ticks are scheduled (enabled, a non-zero interval, a handler).
  bool Running() const { return running_; }

  std::function<void()> OnTimer;

 private:
  void Update();
  bool enabled_ = false;
  unsigned interval_ = 1000;
  bool running_ = false;
  std::unique_ptr<ui::Form> window_;
};

// ---- Graphic control ---------------------------------------------------------------------

enum TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient, alCustom };
enum TAnchorKind : unsigned { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };
using TAnchors = unsigned;

enum TMouseButton { mbLeft, mbRight, mbMiddle };
enum TShiftFlag : unsigned {
  ssShift = 1,
  ssAlt = 2,
  ssCtrl = 4,
  ssLeft = 8,
  ssRight = 16,
  ssMiddle = 32,
  ssDouble = 64
};
using TShiftState = unsigned;

using TMouseEvent =
    std::function<void(TComponent* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(TComponent* Sender, TShiftState Shift, int X, int Y)>;

// Limits of a control's size; 0 is no limit.
class TSizeConstraints : public TPersistent {
 public:
  int MaxHeight = 0, MaxWidth = 0, MinHeight = 0, MinWidth = 0;
  void DefineProperties(PropertyList& properties) override;
};

class TGraphicControl : public TComponent {
 public:
  explicit TGraphicControl(TComponent* owner);
  ~TGraphicControl() override;

  // The form the control sits on; it must outlive the control or be reset
  // to null first. Without a parent nothing is painted.
  ui::Form* Parent() const { return parent_; }
  void SetParent(ui::Form* parent);

  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  // Sizes are kept within the constraints and never negative.
  void SetBounds(int left, int top, int width, int height);
  void SetLeft(int left) { SetBounds(left, top_, width_, height_); }
  void SetTop(int top) { SetBounds(left_, top, width_, height_); }
  void SetWidth(int width) { SetBounds(left_, top_, width, height_); }
  void SetHeight(int height) { SetBounds(left_, top_, width_, height); }
  TRect ClientRect() const { return {0, 0, width_, height_}; }

  bool Visible() const { return visible_; }
  void SetVisible(bool visible);

  // Stored layout settings; the forms of this system place their controls
  // at fixed positions, so they do not move anything yet.
  TAlign Align = alNone;
  TAnchors Anchors = akLeft | akTop;
  TSizeConstraints Constraints;
  bool ShowHint = false;

  // The background the parent shows where the control draws nothing.
  TColor ParentColor = clBtnFace;

  // Asks for a paint through the message loop; requests made before the
  // loop gets to it are served by one paint.
  void Invalidate();
  // Paints the control onto its surface now (only when visible and with a
  // parent).
  virtual void Paint() = 0;

  // What the control shows on its parent.
  const TCanvas& Surface() const { return surface_; }
  // Called after every paint that changed the surface (after the parent's
  // control has been given it).
  std::function<void(TGraphicControl&)> OnPresent;

  // Mouse input forwarded by a backend, in client coordinates.
  TMouseEvent OnMouseDown;
  TMouseEvent OnMouseUp;
  TMouseMoveEvent OnMouseMove;
  void MouseDown(TMouseButton button, TShiftState shift, int x, int y);
  void MouseUp(TMouseButton button, TShiftState shift, int x, int y);
  void MouseMove(TShiftState shift, int x, int y);

 protected:
  // Puts an off-screen image of the control's size on the screen in one
  // copy; pixels of the transparent colour show the parent's background.
  void Present(const TCanvas& image, std::optional<TColor> transparent);
  // Declarations of the inherited published properties, for the derived
  // class's DefineProperties to place in its own order.
  void DefineBounds(PropertyList& p);  // Left, Top, Width, Height
  void DefineLayout(PropertyList& p);  // Align, Anchors, Constraints
  void DefineShowHint(PropertyList& p);
  void DefineVisible(PropertyList& p);
  void DefineMouseEvents(PropertyList& p);

 private:
  // The parent's control that shows the surface (made when asked to).
  ui::Control* ShownControl(bool create);
  // Takes the surface off the parent.
  void Withdraw();
  ui::Form* parent_ = nullptr;
  int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
  bool visible_ = true;
  bool paintPending_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  TCanvas surface_;
};
