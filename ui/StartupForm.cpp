#include "ui/StartupForm.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <iterator>

#include "core/MainModule.h"
#include "ui/Forms.h"
#include "ui/QtControls.h"
#include "ui/Twips.h"

namespace tarvel {

using ui::PlaceTwips;
using ui::Twips;

// The controls bound for the logic.
struct StartupForm::Binding {
  std::unique_ptr<qtforms::Window> form;
  std::unique_ptr<qtforms::OptionButton> lpt1;
  std::unique_ptr<qtforms::OptionButton> lpt2;
  std::unique_ptr<qtforms::OptionButton> prn;
  std::unique_ptr<qtforms::CommandButton> ok;
};

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
  binding_ = std::make_unique<Binding>();
  Binding& b = *binding_;
  b.form = std::make_unique<qtforms::Window>(this);
  b.lpt1 = std::make_unique<qtforms::OptionButton>(LPT1, [this] { LPT1_Click(); });
  b.lpt2 = std::make_unique<qtforms::OptionButton>(LPT2, [this] { LPT2_Click(); });
  b.prn = std::make_unique<qtforms::OptionButton>(PRN, [this] { PRN_Click(); });
  b.ok = std::make_unique<qtforms::CommandButton>(OK, [this] { OK_Click(); });
  logic_ = std::make_unique<forms::StartupFormLogic>(
      forms::StartupFormControls{b.form.get(), b.lpt1.get(), b.lpt2.get(), b.prn.get(), b.ok.get()},
      qtforms::Host());
}

StartupForm::~StartupForm() = default;

forms::Window& StartupForm::FormWindow() { return *binding_->form; }

// PortAddress := LPT1, delete a leftover "TRVOutput.dat", and command-line
// mode when there are arguments (never the case once windows are shown).
void StartupForm::Form_Load() { logic_->Form_Load(); }
void StartupForm::LPT1_Click() { logic_->LPT1_Click(); }
void StartupForm::LPT2_Click() { logic_->LPT2_Click(); }
void StartupForm::PRN_Click() { logic_->PRN_Click(); }
void StartupForm::OK_Click() { logic_->OK_Click(); }

}  // namespace tarvel
