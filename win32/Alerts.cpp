#include "win32/Alerts.h"

#include <windows.h>

#include "win32/Form.h"
#include "win32/Units.h"

namespace tarvel::win32 {

namespace {
UINT IconStyle(AlertIcon icon) { return icon == AlertIcon::Warning ? MB_ICONWARNING : MB_ICONERROR; }
}  // namespace

void MessageBoxPresenter::Present(const Alert& alert) {
  // Owned by the active window of the program, so the box is modal to it and
  // the focus comes back to where it was when the box closes.
  HWND owner = ::GetActiveWindow();
  if (Form::Of(owner) == nullptr) owner = nullptr;
  ::MessageBoxW(owner, Wide(alert.text).c_str(), Wide(alert.title).c_str(), MB_OK | IconStyle(alert.icon));
}

void ShowOwnerlessBox(AlertIcon icon, const std::string& title, const std::string& text) {
  ::MessageBoxW(nullptr, Wide(text).c_str(), Wide(title).c_str(), MB_OK | IconStyle(icon) | MB_SETFOREGROUND);
}

}  // namespace tarvel::win32
