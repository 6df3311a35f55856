// AboutForm: the about box, opened from the gain-control window's Help menu.
// The gain-control window is disabled while it is open, which makes the box
// behave like a modal dialog although it is shown modeless. Its logic is
// forms/AboutFormLogic's; this class builds and binds the Qt controls.
#pragma once

#include <QWidget>
#include <memory>

#include "forms/AboutFormLogic.h"

class QGroupBox;
class QLabel;
class QPushButton;

namespace tarvel {

class AboutForm : public QWidget {
  Q_OBJECT

 public:
  explicit AboutForm(QWidget* parent = nullptr);

  void Form_Load();
  // Replaces the copyright line with the credit until the box closes.
  void ExtraLabel_DblClick();
  // Shows and enables the gain-control window, then unloads the box.
  void OK_Click();

  QPushButton* OK = nullptr;
  QGroupBox* LogoFrame = nullptr;
  QLabel* Picture1 = nullptr;
  QLabel* ExtraLabel = nullptr;
  QLabel* VersionLabel = nullptr;
  QLabel* LogoLabel = nullptr;
  QLabel* CopyrightLabel = nullptr;

  static constexpr const char* kCopyrightYear = forms::AboutFormLogic::kCopyrightYear;

  // The window as the logic of forms/ sees it.
  forms::Window& FormWindow();
  ~AboutForm() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  // Closing the box any other way than OK must also enable the main window.
  void closeEvent(QCloseEvent* event) override;

 private:
  struct Binding;
  std::unique_ptr<Binding> binding_;
  std::unique_ptr<forms::AboutFormLogic> logic_;
};

}  // namespace tarvel
