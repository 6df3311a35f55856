#include "ui/QtAlertPresenter.h"

#include <QApplication>

#include "ui/Forms.h"

namespace tarvel {

void ShowMessageBox(QMessageBox::Icon icon, const QString& title, const QString& text) {
  QMessageBox box(icon, title, text, QMessageBox::Ok, QApplication::activeWindow());
  box.setWindowIcon(forms::ProgramIcon());
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
}

void QtAlertPresenter::Present(const Alert& alert) {
  ShowMessageBox(alert.icon == AlertIcon::Warning ? QMessageBox::Warning : QMessageBox::Critical,
                 QString::fromStdString(alert.title), QString::fromStdString(alert.text));
}

}  // namespace tarvel
