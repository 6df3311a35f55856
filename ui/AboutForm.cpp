#include "ui/AboutForm.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

#include "core/Version.h"
#include "ui/Forms.h"
#include "ui/MainForm.h"
#include "ui/Twips.h"

namespace tarvel {

using ui::DesignFont;
using ui::PlaceTwips;
using ui::Twips;

AboutForm::AboutForm(QWidget* parent) : QWidget(parent) {
  setObjectName("AboutForm");
  setWindowTitle("About Program");
  setWindowIcon(forms::ProgramIcon());
  setFixedSize(Twips(5460), Twips(1950));

  OK = new QPushButton("OK", this);
  OK->setObjectName("OK");
  PlaceTwips(OK, 4320, 1440, 1092, 372);
  // Enter presses the focused OK, as Space does, and the focused OK is drawn
  // as the one Enter presses, from the first focus on.
  OK->setAutoDefault(true);

  LogoFrame = new QGroupBox(this);
  LogoFrame->setObjectName("LogoFrame");
  PlaceTwips(LogoFrame, 120, 120, 5292, 1215);

  Picture1 = new QLabel(LogoFrame);
  Picture1->setObjectName("Picture1");
  Picture1->setPixmap(QPixmap(":/tarvel/logo-87x26.png"));
  Picture1->setGeometry(Twips(300), (LogoFrame->height() - 26) / 2, 87, 26);

  ExtraLabel = new QLabel(".", LogoFrame);
  ExtraLabel->setObjectName("ExtraLabel");
  ExtraLabel->setFont(DesignFont("Times New Roman", 9));
  PlaceTwips(ExtraLabel, 120, 120, 132, 132);
  ExtraLabel->installEventFilter(this);

  VersionLabel = new QLabel("Version: #.#", LogoFrame);
  VersionLabel->setObjectName("VersionLabel");
  VersionLabel->setFont(DesignFont("Times New Roman", 10.5, true));
  PlaceTwips(VersionLabel, 3720, 720, 1335, 255);

  LogoLabel = new QLabel("Tarvel Control Software", LogoFrame);
  LogoLabel->setObjectName("LogoLabel");
  LogoLabel->setFont(DesignFont("Arial", 12, true, true));
  PlaceTwips(LogoLabel, 1680, 360, 3375, 255);

  CopyrightLabel = new QLabel("Copyright \u00A9 #### Tarvel Control Software", this);
  CopyrightLabel->setObjectName("CopyrightLabel");
  CopyrightLabel->setFont(DesignFont("Times New Roman", 9));
  PlaceTwips(CopyrightLabel, 120, 1560, 4095, 255);

  connect(OK, &QPushButton::clicked, this, [this] { OK_Click(); });
}

void AboutForm::Form_Load() {
  VersionLabel->setText(QString("Version: ") + kVersion);
  CopyrightLabel->setText(QString("Copyright \u00A9") + " " + kCopyrightYear + " " +
                          "Tarvel Control Software");
  OK->setFocus();
}

void AboutForm::ExtraLabel_DblClick() {
  CopyrightLabel->setText("Written by the Tarvel Control Software product team");
}

void AboutForm::OK_Click() {
  MainForm* main = forms::LoadMain();
  main->show();
  main->raise();
  main->activateWindow();
  main->setEnabled(true);
  forms::UnloadAbout();
}

bool AboutForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ExtraLabel && event->type() == QEvent::MouseButtonDblClick) ExtraLabel_DblClick();
  return QWidget::eventFilter(watched, event);
}

void AboutForm::closeEvent(QCloseEvent* event) {
  if (MainForm* main = forms::Main()) main->setEnabled(true);
  QWidget::closeEvent(event);
}

}  // namespace tarvel
