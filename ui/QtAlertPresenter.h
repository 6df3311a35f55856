// Alerts as modal message boxes: the exact title and text, the alert's icon
// and a single OK button.
#pragma once

#include <QMessageBox>

#include "core/MainModule.h"

namespace tarvel {

class QtAlertPresenter : public AlertPresenter {
 public:
  void Present(const Alert& alert) override;
};

// Shows one message box and returns when it has been closed.
void ShowMessageBox(QMessageBox::Icon icon, const QString& title, const QString& text);

}  // namespace tarvel
