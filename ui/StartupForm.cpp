#include "ui/StartupForm.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include "core/MainModule.h"
#include "app/Startup.h"
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

  OptionsMainFrame = new QGroupBox(this);
  OptionsMainFrame->setObjectName("OptionsMainFrame");
  PlaceTwips(OptionsMainFrame, 120, 120, 3735, 1935);

  ParallelFrame = new QGroupBox(OptionsMainFrame);
  ParallelFrame->setObjectName("ParallelFrame");
  PlaceTwips(ParallelFrame, 240, 240, 3255, 1452);

  // The three options share ParallelFrame, which makes them one exclusive group.
  struct Option {
    QRadioButton** button;
    const char* name;
    const char* caption;
    int top;
  };
  const Option options[] = {{&LPT1, "LPT1", "   LPT1 (H378-H37A)", 360},
                            {&LPT2, "LPT2", "   LPT2 (H278-H27A)", 720},
                            {&PRN, "PRN", "   PRN  (H3BC-H3BE)", 1080}};
  for (const Option& o : options) {
    *o.button = new QRadioButton(o.caption, ParallelFrame);
    (*o.button)->setObjectName(o.name);
    PlaceTwips(*o.button, 360, o.top, 2415, 252);
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
  connect(LPT1, &QRadioButton::toggled, this, [this](bool on) { if (on) LPT1_Click(); });
  connect(LPT2, &QRadioButton::toggled, this, [this](bool on) { if (on) LPT2_Click(); });
  connect(PRN, &QRadioButton::toggled, this, [this](bool on) { if (on) PRN_Click(); });
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
