#include "ui/StartupForm.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <iterator>

#include "app/Startup.h"
#include "core/MainModule.h"
#include "ui/Forms.h"
#include "ui/MainForm.h"
#include "ui/Twips.h"

namespace tarvel {

using ui::PlaceTwips;
using ui::Twips;

StartupForm::StartupForm(QWidget* parent) : QWidget(parent) {
  setObjectName("StartupForm");
  setWindowTitle("Setup Menu");
  setWindowIcon(forms::ProgramIcon());
  setFixedSize(Twips(3975), Twips(2790));

  OK = new QPushButton("OK", this);
  OK->setObjectName("OK");
  PlaceTwips(OK, 2520, 2280, 1332, 372);
  // Enter presses the focused OK, as Space does, and the focused OK is drawn
  // as the one Enter presses, from the first focus on.
  OK->setAutoDefault(true);

  OptionsMainFrame = new QGroupBox(this);
  OptionsMainFrame->setObjectName("OptionsMainFrame");
  PlaceTwips(OptionsMainFrame, 120, 120, 3735, 1935);

  ParallelFrame = new QGroupBox(OptionsMainFrame);
  ParallelFrame->setObjectName("ParallelFrame");
  PlaceTwips(ParallelFrame, 240, 240, 3255, 1452);

  // The three options share ParallelFrame, which makes them one exclusive group.
  // Their captions name each port's three registers: "   LPT1 (H378-H37A)".
  QRadioButton** buttons[] = {&LPT1, &LPT2, &PRN};
  static_assert(std::size(buttons) == std::size(kLegacyPorts));
  for (std::size_t i = 0; i < std::size(kLegacyPorts); ++i) {
    const LegacyPort& c = kLegacyPorts[i];
    const QString name = QString::fromLatin1(c.name.data(), static_cast<int>(c.name.size()));
    const QString caption =
        QString("   %1 (H%2-H%3)").arg(name, -4).arg(c.base, 0, 16).arg(c.base + 2, 0, 16).toUpper();
    QRadioButton*& button = *buttons[i];
    button = new QRadioButton(caption, ParallelFrame);
    button->setObjectName(name);
    PlaceTwips(button, 360, 360 * static_cast<int>(i + 1), 2415, 252);
  }

  // The label sits on the frame's top edge as its title: it paints its own
  // background so the frame line stops at the text.
  MainLabel = new QLabel("Select Transmission Port", OptionsMainFrame);
  MainLabel->setObjectName("MainLabel");
  MainLabel->setAutoFillBackground(true);
  PlaceTwips(MainLabel, 240, 0, 2052, 252);
  MainLabel->adjustSize();
  MainLabel->resize(std::min(MainLabel->width(), Twips(2052)), Twips(252));

  setTabOrder(OK, LPT1);
  setTabOrder(LPT1, LPT2);
  setTabOrder(LPT2, PRN);

  // An option's click runs whenever it becomes selected, by the user or by
  // the program.
  connect(LPT1, &QRadioButton::toggled, this, [this](bool on) {
    if (on) LPT1_Click();
  });
  connect(LPT2, &QRadioButton::toggled, this, [this](bool on) {
    if (on) LPT2_Click();
  });
  connect(PRN, &QRadioButton::toggled, this, [this](bool on) {
    if (on) PRN_Click();
  });
  connect(OK, &QPushButton::clicked, this, [this] { OK_Click(); });
}

void StartupForm::Form_Load() {
  LPT1->setChecked(true);
  // PortAddress := LPT1, delete a leftover "TRVOutput.dat", and command-line
  // mode when there are arguments (never the case once windows are shown).
  RunStartupSteps();
  OK->setFocus();
}

void StartupForm::LPT1_Click() { PortAddress = kLpt1Address; }
void StartupForm::LPT2_Click() { PortAddress = kLpt2Address; }
void StartupForm::PRN_Click() { PortAddress = kPrnAddress; }

void StartupForm::OK_Click() {
  MainForm* main = forms::LoadMain();
  main->show();
  main->raise();
  main->activateWindow();
  forms::UnloadStartup();
}

}  // namespace tarvel
