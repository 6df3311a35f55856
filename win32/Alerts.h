// Alerts in window mode: a modal message box owned by the program's active
// window, with the alert's title, text and icon and a single OK button.
#pragma once

#include "core/MainModule.h"

namespace tarvel::win32 {

class MessageBoxPresenter : public AlertPresenter {
 public:
  void Present(const Alert& alert) override;
};

// One box with no owner (the program's message box before any window).
void ShowOwnerlessBox(AlertIcon icon, const std::string& title, const std::string& text);

}  // namespace tarvel::win32
