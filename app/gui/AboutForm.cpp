#include "app/gui/AboutForm.h"

#include "ui/Forms.h"
#include "ui/Twips.h"

namespace tarvel {

AboutForm::AboutForm(QWidget* parent) : QWidget(parent) {
  setObjectName("AboutForm");
  setWindowTitle("About Program");
  setWindowIcon(forms::ProgramIcon());
  setFixedSize(ui::Twips(5460), ui::Twips(1950));
}

void AboutForm::Form_Load() {}

}  // namespace tarvel
