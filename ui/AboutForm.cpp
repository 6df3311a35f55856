#include "ui/AboutForm.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

#include "ui/Forms.h"
#include "ui/MainForm.h"
#include "ui/QtControls.h"
#include "ui/Twips.h"

namespace tarvel {

using ui::DesignFont;
using ui::PlaceTwips;
using ui::Twips;

// The controls bound for the logic.
struct AboutForm::Binding {
  std::unique_ptr<qtforms::Window> form;
  std::unique_ptr<qtforms::Label> versionLabel;
  std::unique_ptr<qtforms::Label> copyrightLabel;
  std::unique_ptr<qtforms::CommandButton> ok;
};

namespace {

// Centred over the gain-control window. Until the window manager has framed
// the box, its frame is taken to be as thick as that window's.
void CentreOverMain(QWidget* box) {
  const MainForm* main = forms::Main();
  if (main == nullptr) return;
  const QSize frame = main->frameGeometry().size() - main->size();
  const QSize outer = box->size() + frame;
  box->move(main->frameGeometry().center() - QPoint(outer.width() / 2, outer.height() / 2));
}

}  // namespace

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

  binding_ = std::make_unique<Binding>();
  Binding& b = *binding_;
  b.form = std::make_unique<qtforms::Window>(this, [this] { CentreOverMain(this); });
  b.versionLabel = std::make_unique<qtforms::Label>(VersionLabel);
  b.copyrightLabel = std::make_unique<qtforms::Label>(CopyrightLabel);
  b.ok = std::make_unique<qtforms::CommandButton>(OK, [this] { OK_Click(); });
  logic_ = std::make_unique<forms::AboutFormLogic>(
      forms::AboutFormControls{b.form.get(), b.versionLabel.get(), b.copyrightLabel.get(), b.ok.get()},
      qtforms::Host());
}

AboutForm::~AboutForm() = default;

forms::Window& AboutForm::FormWindow() { return *binding_->form; }

void AboutForm::Form_Load() { logic_->Form_Load(); }
void AboutForm::ExtraLabel_DblClick() { logic_->ExtraLabel_DblClick(); }
void AboutForm::OK_Click() { logic_->OK_Click(); }

bool AboutForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ExtraLabel && event->type() == QEvent::MouseButtonDblClick) ExtraLabel_DblClick();
  return QWidget::eventFilter(watched, event);
}

void AboutForm::closeEvent(QCloseEvent* event) {
  logic_->Form_Unload();
  QWidget::closeEvent(event);
}

}  // namespace tarvel
