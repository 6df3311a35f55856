// The windows' logic bound to the Win32 windows: each control's notification
// to its handler, each handler's reach to the controls.
#pragma once

namespace tarvel::win32 {

// Loads "Setup Menu" (its load handler runs) and shows it.
void OpenStartupWindow();

}  // namespace tarvel::win32
