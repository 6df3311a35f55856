#include "win32/Controls.h"

#include <algorithm>

#include "win32/Form.h"

namespace tarvel::win32 {

// ---- Control ---------------------------------------------------------------------

Control::Control(Form& form, const Control* container, TwipRect geometry, DesignFont font)
    : form_(form), place_(geometry), font_(font) {
  if (container != nullptr) {
    place_.left += container->place_.left;
    place_.top += container->place_.top;
  }
}

Control::~Control() {
  if (hwnd_ != nullptr) {
    form_.Forget(*this);
    ::DestroyWindow(hwnd_);
  }
  if (hfont_ != nullptr) ::DeleteObject(hfont_);
}

void Control::Create(const wchar_t* windowClass, const std::string& text, DWORD style, DWORD exStyle) {
  id_ = form_.NextControlId();
  hwnd_ = ::CreateWindowExW(exStyle, windowClass, Wide(text).c_str(), style | WS_CHILD | WS_VISIBLE, 0, 0, 0,
                            0, form_.hwnd(), reinterpret_cast<HMENU>(static_cast<INT_PTR>(id_)),
                            ::GetModuleHandleW(nullptr), nullptr);
  form_.Adopt(*this);
  Layout(form_.dpi());
}

void Control::Layout(UINT dpi) {
  const RECT r = PixelRect(place_, dpi);
  ::SetWindowPos(hwnd_, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  HFONT font = CreateDesignFont(font_, dpi);
  ::SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  if (hfont_ != nullptr) ::DeleteObject(hfont_);
  hfont_ = font;
}

void Control::SetControlEnabled(bool on) { ::EnableWindow(hwnd_, on ? TRUE : FALSE); }
bool Control::ControlEnabled() const { return ::IsWindowEnabled(hwnd_) != FALSE; }
void Control::FocusControl() { ::SetFocus(hwnd_); }

std::string Control::WindowText() const {
  std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(hwnd_)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(::GetWindowTextW(hwnd_, text.data(), static_cast<int>(text.size()))));
  return Narrow(text);
}

void Control::SetWindowText(const std::string& text) { ::SetWindowTextW(hwnd_, Wide(text).c_str()); }

// ---- Label, Picture, Frame, PushButton -------------------------------------------------

Label::Label(Form& form, const Control* container, TwipRect geometry, const std::string& text,
             DesignFont font, Align align)
    : Control(form, container, geometry, font) {
  // SS_NOPREFIX: an "&" is shown as it is. SS_NOTIFY: double-clicks report.
  Create(L"STATIC", text, (align == Align::Centre ? SS_CENTER : SS_LEFT) | SS_NOPREFIX | SS_NOTIFY);
}

void Label::Command(WORD code) {
  if (code == STN_DBLCLK && onDoubleClick) onDoubleClick();
}

Picture::Picture(Form& form, const Control* container, TwipRect geometry)
    : Control(form, container, geometry) {
  Create(L"STATIC", "", SS_BITMAP | SS_CENTERIMAGE);
}

Picture::~Picture() {
  if (bitmap_ != nullptr) ::DeleteObject(bitmap_);
}

void Picture::Layout(UINT dpi) {
  Control::Layout(dpi);
  if (!render) return;
  RECT r{};
  ::GetClientRect(hwnd(), &r);
  HBITMAP bitmap = render(r.right, r.bottom);
  HANDLE old = reinterpret_cast<HANDLE>(
      ::SendMessageW(hwnd(), STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
  if (old != nullptr && old != bitmap_) ::DeleteObject(old);
  if (bitmap_ != nullptr) ::DeleteObject(bitmap_);
  bitmap_ = bitmap;
}

Frame::Frame(Form& form, const Control* container, TwipRect geometry, const std::string& caption,
             DesignFont font)
    : Control(form, container, geometry, font) {
  // Below every other control of the window (a frame inside another just
  // above that one), and never painting over what lies above it.
  Create(L"BUTTON", caption, BS_GROUPBOX | WS_CLIPSIBLINGS);
  HWND below = HWND_BOTTOM;
  if (container != nullptr) {
    below = ::GetWindow(container->hwnd(), GW_HWNDPREV);
    if (below == nullptr) below = HWND_TOP;
  }
  if (below != hwnd()) ::SetWindowPos(hwnd(), below, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

PushButton::PushButton(Form& form, const Control* container, TwipRect geometry, const std::string& caption,
                       DesignFont font)
    : Control(form, container, geometry, font) {
  Create(L"BUTTON", caption, BS_PUSHBUTTON | WS_TABSTOP | WS_GROUP);
}

void PushButton::Command(WORD code) {
  if (code == BN_CLICKED && onClick) onClick();
}

// ---- CheckBox, OptionButton ---------------------------------------------------------

CheckBox::CheckBox(Form& form, const Control* container, TwipRect geometry, const std::string& caption,
                   DesignFont font)
    : Control(form, container, geometry, font) {
  // Not BS_AUTOCHECKBOX: the state changes here, so a click follows each change.
  Create(L"BUTTON", caption, BS_CHECKBOX | WS_TABSTOP | WS_GROUP);
}

bool CheckBox::Value() const { return ::SendMessageW(hwnd(), BM_GETCHECK, 0, 0) == BST_CHECKED; }

void CheckBox::SetValue(bool on) {
  if (Value() == on) return;
  ::SendMessageW(hwnd(), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
  if (onClick) onClick();
}

void CheckBox::Command(WORD code) {
  if (code == BN_CLICKED) SetValue(!Value());
}

OptionButton::OptionButton(Form& form, const Control* container, TwipRect geometry,
                           const std::string& caption, DesignFont font)
    : Control(form, container, geometry, font) {
  Create(L"BUTTON", caption, BS_RADIOBUTTON | WS_TABSTOP | WS_GROUP);
}

void OptionButton::Group(const std::vector<OptionButton*>& buttons) {
  for (OptionButton* b : buttons) b->group_ = buttons;
}

bool OptionButton::Value() const { return ::SendMessageW(hwnd(), BM_GETCHECK, 0, 0) == BST_CHECKED; }

void OptionButton::SetValue(bool selected) {
  if (!selected) {
    ::SendMessageW(hwnd(), BM_SETCHECK, BST_UNCHECKED, 0);
    return;
  }
  if (Value()) return;
  for (OptionButton* other : group_) {
    if (other != this) ::SendMessageW(other->hwnd(), BM_SETCHECK, BST_UNCHECKED, 0);
  }
  ::SendMessageW(hwnd(), BM_SETCHECK, BST_CHECKED, 0);
  if (onClick) onClick();
}

void OptionButton::Command(WORD code) {
  if (code == BN_CLICKED) SetValue(true);
}

// ---- TextBox --------------------------------------------------------------------------

TextBox::TextBox(Form& form, const Control* container, TwipRect geometry, const std::string& text,
                 DesignFont font)
    : Control(form, container, geometry, font) {
  writing_ = true;
  Create(L"EDIT", text, ES_CENTER | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP | WS_GROUP);
  writing_ = false;
  shown_ = Wide(text);
  ::SendMessageW(hwnd(), EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, 0);
  // The edit's own procedure kept, this one in front of it (the plain
  // user32 way: comctl32's SetWindowSubclass would load comctl32 into every
  // command-line run, and under Wine its classes start a desktop process).
  ::SetWindowLongPtrW(hwnd(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  editProc_ = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrW(hwnd(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TextBox::Subclass)));
}

void TextBox::SetText(const std::string& text) {
  const std::wstring wide = Wide(text);
  std::wstring now(static_cast<std::size_t>(::GetWindowTextLengthW(hwnd())) + 1, L'\0');
  now.resize(static_cast<std::size_t>(::GetWindowTextW(hwnd(), now.data(), static_cast<int>(now.size()))));
  if (now == wide) return;  // the same text: no change, no notification
  writing_ = true;          // the EN_CHANGE WM_SETTEXT raises is this write's
  ::SetWindowTextW(hwnd(), wide.c_str());
  writing_ = false;
  shown_ = wide;
  if (onChange) onChange();
}

void TextBox::Command(WORD code) {
  if (code != EN_CHANGE || writing_) return;
  std::wstring now(static_cast<std::size_t>(::GetWindowTextLengthW(hwnd())) + 1, L'\0');
  now.resize(static_cast<std::size_t>(::GetWindowTextW(hwnd(), now.data(), static_cast<int>(now.size()))));
  // A key that leaves the text as it was (a digit typed over itself) is no change.
  if (now == shown_) return;
  shown_ = now;
  if (onChange) onChange();
}

LRESULT CALLBACK TextBox::Subclass(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* box = reinterpret_cast<TextBox*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  const LRESULT result = ::CallWindowProcW(box->editProc_, hwnd, message, wParam, lParam);
  if (message != WM_KILLFOCUS) return result;
  // A leave is a move to another control of this window; a message box,
  // another window or another program taking the focus is not.
  const HWND next = reinterpret_cast<HWND>(wParam);
  if (next != nullptr && next != hwnd && ::GetAncestor(next, GA_ROOT) == ::GetAncestor(hwnd, GA_ROOT) &&
      box->onLeave) {
    box->form_.LeaveRunning(next, [box] { box->onLeave(); });
  }
  return result;
}

// ---- ScrollBar ----------------------------------------------------------------------------

ScrollBar::ScrollBar(Form& form, const Control* container, TwipRect geometry)
    : Control(form, container, geometry) {
  Create(L"SCROLLBAR", "", SBS_VERT | WS_TABSTOP | WS_GROUP);
  SCROLLINFO info{sizeof info, SIF_RANGE | SIF_POS | SIF_PAGE, 0, 0, 0, 0, 0};
  ::SetScrollInfo(hwnd(), SB_CTL, &info, TRUE);
}

int ScrollBar::Value() const { return Sign() * ::GetScrollPos(hwnd(), SB_CTL); }

void ScrollBar::SetValue(int value) { MoveTo(Sign() * value, false); }

void ScrollBar::MoveTo(int position, bool dragging) {
  const int top = Sign() * min_, bottom = Sign() * max_;
  position = std::clamp(position, top, bottom);
  if (position == ::GetScrollPos(hwnd(), SB_CTL)) return;
  ::SetScrollPos(hwnd(), SB_CTL, position, TRUE);
  const auto& handler = dragging ? onScroll : onChange;
  if (handler) handler();
}

void ScrollBar::SetRange(int min, int max) {
  const int before = Value();
  min_ = min;
  max_ = max;
  SCROLLINFO info{
      sizeof info, SIF_RANGE | SIF_POS | SIF_DISABLENOSCROLL, Sign() * min, Sign() * max, 0, 0, 0};
  // The value kept where the new range allows, else at its nearer end; a
  // move is a change.
  const int after = std::clamp(before, std::min(min, max), std::max(min, max));
  info.nPos = Sign() * after;
  ::SetScrollInfo(hwnd(), SB_CTL, &info, TRUE);
  if (after != before && onChange) onChange();
}

void ScrollBar::Scroll(WORD request) {
  const int position = ::GetScrollPos(hwnd(), SB_CTL);
  switch (request) {
    case SB_LINEUP: MoveTo(position - small_, false); break;
    case SB_LINEDOWN: MoveTo(position + small_, false); break;
    case SB_PAGEUP: MoveTo(position - large_, false); break;
    case SB_PAGEDOWN: MoveTo(position + large_, false); break;
    case SB_TOP: MoveTo(Sign() * min_, false); break;
    case SB_BOTTOM: MoveTo(Sign() * max_, false); break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: {
      SCROLLINFO info{sizeof info, SIF_TRACKPOS, 0, 0, 0, 0, 0};
      ::GetScrollInfo(hwnd(), SB_CTL, &info);
      MoveTo(info.nTrackPos, request == SB_THUMBTRACK);
      break;
    }
    default: break;
  }
}

}  // namespace tarvel::win32
