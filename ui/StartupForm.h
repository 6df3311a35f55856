// StartupForm: the port-selection window "Setup Menu". Loading it is how the
// program starts in window mode. Its logic is forms/StartupFormLogic's; this
// class builds and binds the Qt controls.
#pragma once

#include <QWidget>
#include <memory>

#include "forms/StartupFormLogic.h"

class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace tarvel {

class StartupForm : public QWidget {
  Q_OBJECT

 public:
  explicit StartupForm(QWidget* parent = nullptr);

  // Checks LPT1, sets PortAddress to LPT1 and deletes a leftover result file.
  void Form_Load();

  void LPT1_Click();
  void LPT2_Click();
  void PRN_Click();
  // Shows the gain-control window, then unloads this one.
  void OK_Click();

  QPushButton* OK = nullptr;
  QGroupBox* OptionsMainFrame = nullptr;
  QGroupBox* ParallelFrame = nullptr;
  QRadioButton* LPT1 = nullptr;
  QRadioButton* LPT2 = nullptr;
  QRadioButton* PRN = nullptr;
  QLabel* MainLabel = nullptr;

  // The window as the logic of forms/ sees it.
  forms::Window& FormWindow();
  ~StartupForm() override;

 private:
  struct Binding;
  std::unique_ptr<Binding> binding_;
  std::unique_ptr<forms::StartupFormLogic> logic_;
};

}  // namespace tarvel
