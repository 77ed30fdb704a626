#include "platform/win32/user32_controls.h"

#include <algorithm>
#include <vector>

#include "platform/richtext.h"
#include "platform/win32/user32_pictures.h"
#include "platform/win32/win32_io.h"

namespace ui::user32 {
namespace {

constexpr int kStatusBarHeight = 21;

bool TakesFocus(const Control& control) {
  switch (control.kind) {
    case ControlKind::Edit:
    case ControlKind::Button:
    case ControlKind::RadioButton:
    case ControlKind::CheckBox:
    case ControlKind::Memo:
      return control.tabOrder >= 0;
    default:
      return false;
  }
}

// Multi-line edits break lines at "\r\n" only.
std::string WithWindowsLineBreaks(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

// The size a label takes for its text in that font, "&" marks included as
// the static control draws them.
SIZE TextSize(HWND window, HFONT font, const std::string& text) {
  HDC dc = ::GetDC(window);
  HGDIOBJ old = ::SelectObject(dc, font);
  RECT r{0, 0, 0, 0};
  ::DrawTextW(dc, text.empty() ? L" " : win32_io::WidenUtf8(text).c_str(), -1, &r,
              DT_CALCRECT | DT_LEFT);
  TEXTMETRICA metrics{};
  ::GetTextMetricsA(dc, &metrics);
  ::SelectObject(dc, old);
  ::ReleaseDC(window, dc);
  return {r.right - r.left, std::max<LONG>(r.bottom - r.top, metrics.tmHeight)};
}

// The system's rich-text control, loaded once for the life of the process.
bool RichEditLoaded() {
  static const bool loaded = ::LoadLibraryA("riched20.dll") != nullptr;
  return loaded;
}

// Fills a rich-text control with the document, run by run, each in its own
// format; unset faces take the form's.
void FillRichText(HWND window, const richtext::Document& document, HFONT font) {
  LOGFONTW base{};
  ::GetObjectW(font, sizeof base, &base);
  ::SendMessageW(window, WM_SETREDRAW, FALSE, 0);
  ::SetWindowTextW(window, L"");
  auto atEnd = [window] { ::SendMessageA(window, EM_SETSEL, -1, -1); };
  for (std::size_t i = 0; i < document.paragraphs.size(); ++i) {
    const richtext::Paragraph& paragraph = document.paragraphs[i];
    atEnd();
    if (i > 0) ::SendMessageW(window, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L"\r"));
    PARAFORMAT2 para{};
    para.cbSize = sizeof para;
    para.dwMask = PFM_ALIGNMENT;
    switch (paragraph.alignment) {
      case richtext::Alignment::Center:
        para.wAlignment = PFA_CENTER;
        break;
      case richtext::Alignment::Right:
        para.wAlignment = PFA_RIGHT;
        break;
      case richtext::Alignment::Justify:
        para.wAlignment = PFA_JUSTIFY;
        break;
      case richtext::Alignment::Left:
        para.wAlignment = PFA_LEFT;
        break;
    }
    ::SendMessageA(window, EM_SETPARAFORMAT, 0, reinterpret_cast<LPARAM>(&para));
    for (const richtext::Run& run : paragraph.runs) {
      CHARFORMAT2W format{};
      format.cbSize = sizeof format;
      format.dwMask = CFM_BOLD | CFM_ITALIC | CFM_UNDERLINE | CFM_SIZE | CFM_COLOR | CFM_FACE;
      format.dwEffects = (run.format.bold ? CFE_BOLD : 0) | (run.format.italic ? CFE_ITALIC : 0) |
                         (run.format.underline ? CFE_UNDERLINE : 0) |
                         (run.format.color ? 0 : CFE_AUTOCOLOR);
      format.yHeight = run.format.halfPoints * 10;  // twips
      if (run.format.color)
        format.crTextColor =
            static_cast<COLORREF>(run.format.color->red | (run.format.color->green << 8) |
                                  (run.format.color->blue << 16));
      const std::wstring face = run.format.font.empty() ? std::wstring(base.lfFaceName)
                                                        : win32_io::WidenUtf8(run.format.font);
      face.copy(format.szFaceName, std::size(format.szFaceName) - 1);
      // A line break inside a paragraph is a vertical tab to the control.
      std::wstring text = win32_io::WidenUtf8(run.text);
      std::replace(text.begin(), text.end(), L'\n', L'\v');
      atEnd();
      ::SendMessageW(window, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
      ::SendMessageW(window, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    }
  }
  ::SendMessageA(window, EM_SETSEL, 0, 0);
  ::SendMessageA(window, WM_SETREDRAW, TRUE, 0);
  ::InvalidateRect(window, nullptr, TRUE);
}

}  // namespace

unsigned VariantOf(const Control& control) {
  enum : unsigned { kPassword = 1, kGlyph = 2, kRich = 4 };
  if (control.kind == ControlKind::Edit && control.password) return kPassword;
  if (control.kind == ControlKind::Memo && control.richText) return kRich;
  if (control.kind == ControlKind::Button && !control.glyph.empty()) return kGlyph;
  return 0;
}

void DrawGlyphButton(const Control& control, const DRAWITEMSTRUCT& item) {
  HDC dc = item.hDC;
  RECT r = item.rcItem;
  const bool pushed = item.itemState & ODS_SELECTED;
  const bool disabled = item.itemState & ODS_DISABLED;
  // The default button has a dark frame, as on the system's dialogs.
  if (control.defaultButton) {
    ::FrameRect(dc, &r, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
    ::InflateRect(&r, -1, -1);
  }
  ::DrawFrameControl(dc, &r, DFC_BUTTON, DFCS_BUTTONPUSH | (pushed ? DFCS_PUSHED : 0));

  // Two states side by side: normal, then disabled.
  HBITMAP strip = Picture(control.glyph);
  const SIZE stripSize = BitmapSize(strip);
  const LONG glyphW = stripSize.cx >= 2 * stripSize.cy ? stripSize.cx / 2 : stripSize.cx;
  const LONG glyphX = disabled && glyphW < stripSize.cx ? glyphW : 0;
  HGDIOBJ oldFont =
      ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageA(item.hwndItem, WM_GETFONT, 0, 0)));
  const std::wstring caption = win32_io::WidenUtf8(control.caption);
  RECT textRect{0, 0, 0, 0};
  ::DrawTextW(dc, caption.c_str(), -1, &textRect, DT_CALCRECT | DT_SINGLELINE);
  constexpr LONG kGap = 4;
  const LONG textW = textRect.right - textRect.left;
  const LONG total = glyphW + (glyphW && textW ? kGap : 0) + textW;
  const LONG shift = pushed ? 1 : 0;
  LONG x = r.left + (r.right - r.left - total) / 2 + shift;
  if (strip && glyphW > 0) {
    HDC source = ::CreateCompatibleDC(dc);
    HGDIOBJ oldBitmap = ::SelectObject(source, strip);
    ::BitBlt(dc, x, r.top + (r.bottom - r.top - stripSize.cy) / 2 + shift, glyphW, stripSize.cy,
             source, glyphX, 0, SRCCOPY);
    ::SelectObject(source, oldBitmap);
    ::DeleteDC(source);
    x += glyphW + (textW ? kGap : 0);
  }
  RECT textAt{x, r.top + shift, x + textW, r.bottom + shift};
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, ::GetSysColor(disabled ? COLOR_GRAYTEXT : COLOR_BTNTEXT));
  ::DrawTextW(dc, caption.c_str(), -1, &textAt, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
  ::SelectObject(dc, oldFont);
  if (item.itemState & ODS_FOCUS) {
    ::InflateRect(&r, -3, -3);
    ::DrawFocusRect(dc, &r);
  }
}

std::string WindowText(HWND window) {
  const int length = ::GetWindowTextLengthW(window);
  std::vector<wchar_t> text(static_cast<std::size_t>(length) + 1);
  const int got = ::GetWindowTextW(window, text.data(), length + 1);
  return win32_io::NarrowToUtf8(
      std::wstring_view(text.data(), static_cast<std::size_t>(std::max(0, got))));
}

HWND MakeControlWindow(HWND parent, const Control& control, int id) {
  const wchar_t* windowClass = L"STATIC";
  DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
  DWORD exStyle = 0;
  switch (control.kind) {
    case ControlKind::Label:
      style |= control.rightAligned ? SS_RIGHT : SS_LEFT;
      break;
    case ControlKind::Edit:
      windowClass = L"EDIT";
      style |= ES_AUTOHSCROLL | (control.password ? ES_PASSWORD : 0);
      exStyle |= WS_EX_CLIENTEDGE;
      break;
    case ControlKind::Memo:
      windowClass = control.richText && RichEditLoaded() ? RICHEDIT_CLASSW : L"EDIT";
      style |= ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL;
      exStyle |= WS_EX_CLIENTEDGE;
      break;
    // Check marks follow the model, which toggles them in ui::Click: the
    // system's automatic styles would toggle them a second time.
    case ControlKind::Button:
      windowClass = L"BUTTON";
      style |= control.glyph.empty() ? BS_PUSHBUTTON : BS_OWNERDRAW;
      break;
    case ControlKind::CheckBox:
      windowClass = L"BUTTON";
      style |= BS_CHECKBOX;
      break;
    case ControlKind::RadioButton:
      windowClass = L"BUTTON";
      style |= BS_RADIOBUTTON;
      break;
    case ControlKind::ProgressBar:
      windowClass = PROGRESS_CLASSW;
      break;
    case ControlKind::StatusBar:
      // Placed like any control: the model says where it sits.
      windowClass = STATUSCLASSNAMEW;
      style |= CCS_NOPARENTALIGN | CCS_NORESIZE | CCS_NODIVIDER;
      break;
    case ControlKind::Panel:
      exStyle |= WS_EX_STATICEDGE;
      break;
    case ControlKind::Image:
    case ControlKind::Custom:
      style |= SS_BITMAP;
      break;
    case ControlKind::Animation:
      // Painted by its player (user32_animation.h).
      break;
  }
  if (TakesFocus(control)) style |= WS_TABSTOP;
  HWND window = ::CreateWindowExW(exStyle, windowClass, L"", style, 0, 0, 0, 0, parent,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                  ::GetModuleHandleA(nullptr), nullptr);
  if (window && control.kind == ControlKind::Edit && control.password)
    ::SendMessageW(window, EM_SETPASSWORDCHAR, L'*', 0);
  return window;
}

void Apply(const Control& control, Slot& slot, HFONT font, SIZE client) {
  HWND window = slot.window;
  if (slot.font != font) {
    ::SendMessageA(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    slot.font = font;
  }

  if (control.kind == ControlKind::Memo && control.richText) {
    if (slot.richText != control.richText || slot.richFont != font) {
      slot.richText = control.richText;
      slot.richFont = font;
      FillRichText(window, *control.richText, font);
    }
  }
  std::string text = control.caption;
  if (control.kind == ControlKind::Memo) text = WithWindowsLineBreaks(text);
  const bool hasText = !(control.kind == ControlKind::Memo && control.richText) &&
                       control.kind != ControlKind::ProgressBar &&
                       control.kind != ControlKind::Panel && control.kind != ControlKind::Image &&
                       control.kind != ControlKind::Animation &&
                       control.kind != ControlKind::Custom;
  if (hasText && slot.text != text) {
    slot.text = text;
    ::SetWindowTextW(window, win32_io::WidenUtf8(text).c_str());
  }

  LONG x = control.left, y = control.top, w = control.width, h = control.height;
  if (control.kind == ControlKind::Label && (control.autoSize || w <= 0 || h <= 0)) {
    if (slot.measuredFont != font || slot.measuredText != control.caption) {
      slot.measured = TextSize(window, font, control.caption);
      slot.measuredFont = font;
      slot.measuredText = control.caption;
    }
    if (control.rightAligned && control.autoSize)
      x = control.left + control.width - slot.measured.cx;
    w = slot.measured.cx;
    h = slot.measured.cy;
  }
  if (control.kind == ControlKind::Button && slot.resource != control.glyph) {
    slot.resource = control.glyph;
    ::InvalidateRect(window, nullptr, TRUE);
  }
  if (control.kind == ControlKind::Image) {
    HBITMAP picture = control.resource.empty() ? nullptr : Picture(control.resource);
    if (!slot.pictureSet || slot.resource != control.resource) {
      slot.pictureSet = true;
      slot.resource = control.resource;
      ::SendMessageA(window, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(picture));
      // The control has taken the picture's size; the model's wins again.
      slot.bounds = RECT{-1, -1, -1, -1};
    }
    const SIZE size = BitmapSize(picture);
    if (w <= 0) w = size.cx;
    if (h <= 0) h = size.cy;
  }
  if (control.kind == ControlKind::Custom && slot.pixels != control.pixels) {
    slot.pixels = control.pixels;
    auto drawn = std::shared_ptr<std::remove_pointer_t<HBITMAP>>(
        control.pixels ? BitmapOf(*control.pixels) : nullptr, [](HBITMAP b) {
          if (b) ::DeleteObject(b);
        });
    ::SendMessageA(window, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(drawn.get()));
    // The old bitmap goes only once the control no longer shows it.
    slot.drawn = std::move(drawn);
    slot.bounds = RECT{-1, -1, -1, -1};
  }
  if (control.kind == ControlKind::Custom && (w <= 0 || h <= 0)) {
    const SIZE size = BitmapSize(slot.drawn.get());
    if (w <= 0) w = size.cx;
    if (h <= 0) h = size.cy;
  }
  if (control.kind == ControlKind::Animation) {
    auto strip = control.resource.empty() ? nullptr : PicturePixels(control.resource);
    if (strip && h <= 0) h = strip->height;
    // Square frames unless the control says how wide they are.
    const int frameWidth = w > 0 ? w : (strip ? strip->height : 0);
    if (w <= 0) w = frameWidth;
    if (!strip || !control.visible || frameWidth <= 0) {
      slot.player.reset();
    } else if (!slot.player || slot.resource != control.resource || slot.frameWidth != frameWidth) {
      slot.player.reset();
      slot.player = std::make_shared<AnimationPlayer>(window, strip, frameWidth);
    }
    slot.resource = control.resource;
    slot.frameWidth = frameWidth;
  }
  if (control.kind == ControlKind::StatusBar) {
    if (h <= 0) h = kStatusBarHeight;
    if (w <= 0) {
      x = 0;
      y = client.cy - h;
      w = client.cx;
    }
  }
  const RECT bounds{x, y, x + w, y + h};
  if (!::EqualRect(&bounds, &slot.bounds)) {
    slot.bounds = bounds;
    ::MoveWindow(window, x, y, std::max<LONG>(0, w), std::max<LONG>(0, h), TRUE);
  }

  if (control.kind == ControlKind::CheckBox || control.kind == ControlKind::RadioButton) {
    if (slot.checked != (control.checked ? 1 : 0)) {
      slot.checked = control.checked ? 1 : 0;
      ::SendMessageA(window, BM_SETCHECK, control.checked ? BST_CHECKED : BST_UNCHECKED, 0);
    }
  }
  if (control.kind == ControlKind::Button && slot.isDefault != (control.defaultButton ? 1 : 0)) {
    slot.isDefault = control.defaultButton ? 1 : 0;
    // An owner-drawn button draws its own frame; a new style would end that.
    if (!control.glyph.empty())
      ::InvalidateRect(window, nullptr, TRUE);
    else
      ::SendMessageA(window, BM_SETSTYLE, control.defaultButton ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON,
                     TRUE);
  }
  if (control.kind == ControlKind::ProgressBar) {
    const int position = std::clamp(control.position, std::min(control.min, control.max),
                                    std::max(control.min, control.max));
    if (slot.min != control.min || slot.max != control.max) {
      slot.min = control.min;
      slot.max = control.max;
      ::SendMessageA(window, PBM_SETRANGE32, static_cast<WPARAM>(control.min),
                     static_cast<LPARAM>(control.max));
      slot.position = -1;
    }
    if (slot.position != position) {
      slot.position = position;
      ::SendMessageA(window, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    }
  }

  if (slot.enabled != (control.enabled ? 1 : 0)) {
    slot.enabled = control.enabled ? 1 : 0;
    ::EnableWindow(window, control.enabled);
  }
  if (slot.visible != (control.visible ? 1 : 0)) {
    slot.visible = control.visible ? 1 : 0;
    ::ShowWindow(window, control.visible ? SW_SHOWNA : SW_HIDE);
  }
}

}  // namespace ui::user32
