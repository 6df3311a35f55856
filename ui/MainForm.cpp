#include "ui/MainForm.h"

#include "ui/Forms.h"
#include "ui/Twips.h"

namespace tarvel {

MainForm::MainForm(QWidget* parent) : QWidget(parent) {
  setObjectName("MainForm");
  setWindowTitle("Tarvel Control");
  setWindowIcon(forms::ProgramIcon());
  setFixedSize(ui::Twips(6405), ui::Twips(5490));
}

void MainForm::Form_Load() {}

}  // namespace tarvel
