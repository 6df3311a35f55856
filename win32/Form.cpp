#include "win32/Form.h"

#include <algorithm>

#include "win32/Controls.h"
#include "win32/Units.h"

namespace tarvel::win32 {

namespace {

constexpr wchar_t kClassName[] = L"TarvelForm";
// Not WS_CLIPCHILDREN: the window paints the inside of its frames, which do not.
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kExStyle = WS_EX_CONTROLPARENT;
// Posted after a leave check that kept the focus: releases the press of the
// control that was clicked, so it does not act after the alert.
constexpr UINT kCancelPress = WM_APP + 1;
// The program icon in the executable's resources.
constexpr WORD kIconId = 1;

void RegisterClassOnce() {
  static const bool done = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &DefDlgProcW;  // replaced per window once it is made
    wc.cbWndExtra = DLGWINDOWEXTRA;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClassName;
    wc.hIcon = ::LoadIconW(wc.hInstance, MAKEINTRESOURCEW(kIconId));
    return ::RegisterClassExW(&wc) != 0;
  }();
  (void)done;
}

}  // namespace

Form::Form(const std::string& caption, int clientWidthTwips, int clientHeightTwips)
    : widthTwips_(clientWidthTwips), heightTwips_(clientHeightTwips) {
  RegisterClassOnce();
  hwnd_ = ::CreateWindowExW(kExStyle, kClassName, Wide(caption).c_str(), kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                            0, 0, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  ::SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  ::SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Form::Proc));
  dpi_ = ::GetDpiForWindow(hwnd_);
  if (dpi_ == 0) dpi_ = 96;
  SetIcons();
  Resize(dpi_, nullptr);
}

Form::~Form() {
  // The controls go first (their destructors forget them here).
  ::SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
  ::DestroyWindow(hwnd_);
  for (HICON icon : icons_) {
    if (icon != nullptr) ::DestroyIcon(icon);
  }
}

Form* Form::Of(HWND hwnd) {
  if (hwnd == nullptr) return nullptr;
  HWND root = ::GetAncestor(hwnd, GA_ROOT);
  wchar_t name[32] = {};
  if (root == nullptr || ::GetClassNameW(root, name, 32) == 0 || std::wstring(name) != kClassName)
    return nullptr;
  return reinterpret_cast<Form*>(::GetWindowLongPtrW(root, GWLP_USERDATA));
}

void Form::Show() {
  ::ShowWindow(hwnd_, SW_SHOW);
  ::SetForegroundWindow(hwnd_);
  ::BringWindowToTop(hwnd_);
}

void Form::Hide() { ::ShowWindow(hwnd_, SW_HIDE); }
void Form::SetEnabled(bool on) { ::EnableWindow(hwnd_, on ? TRUE : FALSE); }
bool Form::Enabled() const { return ::IsWindowEnabled(hwnd_) != FALSE; }

std::string Form::Caption() const {
  std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(hwnd_)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(::GetWindowTextW(hwnd_, text.data(), static_cast<int>(text.size()))));
  return Narrow(text);
}

void Form::SetCaption(const std::string& caption) { ::SetWindowTextW(hwnd_, Wide(caption).c_str()); }

void Form::SetMenuBar(HMENU menu) {
  ::SetMenu(hwnd_, menu);
  Resize(dpi_, nullptr);
}

void Form::CentreOver(const Form& other) {
  RECT over{}, own{};
  ::GetWindowRect(other.hwnd_, &over);
  ::GetWindowRect(hwnd_, &own);
  const LONG width = own.right - own.left, height = own.bottom - own.top;
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  ::GetMonitorInfoW(::MonitorFromWindow(other.hwnd_, MONITOR_DEFAULTTONEAREST), &monitor);
  const RECT& area = monitor.rcWork;
  const LONG x =
      std::clamp((over.left + over.right - width) / 2, area.left, std::max(area.left, area.right - width));
  const LONG y =
      std::clamp((over.top + over.bottom - height) / 2, area.top, std::max(area.top, area.bottom - height));
  ::SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Form::Adopt(Control& control) { controls_.push_back(&control); }

void Form::Forget(Control& control) {
  controls_.erase(std::remove(controls_.begin(), controls_.end(), &control), controls_.end());
}

void Form::LeaveRunning(HWND next, const std::function<void()>& leave) {
  leave();
  // The check sent the focus back: the mouse press that moved it (on a
  // button, an arrow or the trough of a scroll bar) is still on its way and
  // would act after the alert, its release long gone to the alert's OK.
  if (::GetFocus() != next) ::PostMessageW(hwnd_, kCancelPress, reinterpret_cast<WPARAM>(next), 0);
}

void Form::SetIcons() {
  const int sizes[2] = {::GetSystemMetricsForDpi(SM_CXICON, dpi_),
                        ::GetSystemMetricsForDpi(SM_CXSMICON, dpi_)};
  const WPARAM kinds[2] = {ICON_BIG, ICON_SMALL};
  for (int i = 0; i < 2; ++i) {
    HICON icon = static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kIconId),
                                                 IMAGE_ICON, sizes[i], sizes[i], LR_DEFAULTCOLOR));
    if (icon == nullptr) continue;
    ::SendMessageW(hwnd_, WM_SETICON, kinds[i], reinterpret_cast<LPARAM>(icon));
    if (icons_[i] != nullptr) ::DestroyIcon(icons_[i]);
    icons_[i] = icon;
  }
}

void Form::Resize(UINT dpi, const RECT* suggested) {
  dpi_ = dpi;
  const int width = Pixels(widthTwips_, dpi), height = Pixels(heightTwips_, dpi);
  RECT frame{0, 0, width, height};
  const BOOL menu = ::GetMenu(hwnd_) != nullptr ? TRUE : FALSE;
  ::AdjustWindowRectExForDpi(&frame, kStyle, menu, kExStyle, dpi);
  RECT now{};
  ::GetWindowRect(hwnd_, &now);
  const int x = suggested != nullptr ? suggested->left : now.left;
  const int y = suggested != nullptr ? suggested->top : now.top;
  ::SetWindowPos(hwnd_, nullptr, x, y, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  // A menu bar that wraps onto a second row takes from the client area: grow
  // the window by what is missing.
  RECT client{};
  ::GetClientRect(hwnd_, &client);
  if (client.bottom < height) {
    ::SetWindowPos(hwnd_, nullptr, 0, 0, frame.right - frame.left,
                   frame.bottom - frame.top + height - client.bottom,
                   SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
  }
  for (Control* control : controls_) control->Layout(dpi);
}

LRESULT CALLBACK Form::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* form = reinterpret_cast<Form*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (form == nullptr) return ::DefDlgProcW(hwnd, message, wParam, lParam);
  return form->Handle(message, wParam, lParam);
}

LRESULT Form::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      const WORD id = LOWORD(wParam), code = HIWORD(wParam);
      if (lParam == 0) {
        if (code == 0) Menu(id);  // a menu item (1 would be an accelerator)
        return 0;
      }
      const HWND from = reinterpret_cast<HWND>(lParam);
      for (Control* control : controls_) {
        if (control->hwnd() == from) {
          control->Command(code);
          break;
        }
      }
      return 0;
    }
    case WM_VSCROLL: {
      const HWND from = reinterpret_cast<HWND>(lParam);
      for (Control* control : controls_) {
        if (control->hwnd() == from) {
          control->Scroll(LOWORD(wParam));
          break;
        }
      }
      return 0;
    }
    case WM_CLOSE:
      if (onClose) onClose();
      return 0;
    case WM_DPICHANGED: {
      Resize(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
      SetIcons();
      return 0;
    }
    case kCancelPress: {
      const HWND pressed = reinterpret_cast<HWND>(wParam);
      if (::GetCapture() == pressed) ::ReleaseCapture();
      return 0;
    }
    default: break;
  }
  return ::DefDlgProcW(hwnd_, message, wParam, lParam);
}

}  // namespace tarvel::win32
