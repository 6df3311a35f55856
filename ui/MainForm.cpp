#include "ui/MainForm.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QTimer>

#include "chips/Chips.h"
#include "core/MainModule.h"
#include "core/Numbers.h"
#include "ui/AboutForm.h"
#include "ui/CodeScrollBar.h"
#include "ui/Forms.h"
#include "ui/PortTraceWindow.h"
#include "ui/QtControls.h"
#include "ui/StartupForm.h"
#include "ui/SweepForm.h"
#include "ui/Twips.h"

namespace tarvel {

using ui::DesignFont;
using ui::PlaceTwips;
using ui::Twips;

namespace {

QString Text(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

// The controls bound for the logic; each binding hands its control's
// notifications to this window's handlers.
struct MainForm::Binding {
  std::unique_ptr<qtforms::Window> form;
  std::array<std::unique_ptr<qtforms::Label>, 2> frameLabel;
  std::array<std::unique_ptr<qtforms::TextBox>, 2> gainText;
  std::array<std::unique_ptr<qtforms::ScrollBar>, 2> gainSlide;
  std::array<std::unique_ptr<qtforms::Label>, 2> readText;
  std::array<std::unique_ptr<qtforms::OptionButton>, 2> deviceOption;
  std::unique_ptr<qtforms::CheckBox> autoTransmit;
  std::unique_ptr<qtforms::CommandButton> transmit;
  std::unique_ptr<qtforms::CommandButton> receive;
  std::unique_ptr<qtforms::Label> lastSent;
};

MainForm::MainForm(QWidget* parent) : QMainWindow(parent) {
  setObjectName("MainForm");
  setWindowTitle("Tarvel Control");
  setWindowIcon(forms::ProgramIcon());
  BuildControls();
  BuildMenus();
  AddPortTraceMenu(this);
  // A fixed-size window: the client area below the menu bar keeps the window's twip size.
  adjustSize();
  setFixedSize(Twips(6405), Twips(5490) + menuBar()->sizeHint().height());
}

MainForm::~MainForm() {
  // The Sweep window closes with this window (ending its run), so that
  // closing the last window still ends the program.
  if (!sweep_.isNull()) {
    sweep_->close();
    delete sweep_.data();
  }
}

SweepForm* MainForm::Sweep() const { return sweep_.data(); }

void MainForm::BuildControls() {
  auto* client = new QWidget(this);
  client->setObjectName("client");
  client->setFixedSize(Twips(6405), Twips(5490));
  setCentralWidget(client);
  BuildLogo(client);
  BuildCodeFrames(client);
  BuildDeviceFrame(client);
  BuildTransmitFrame(client);

  // The tab order of the window; frames and labels take no focus.
  QWidget* order[] = {Transmit,    AutoTransmit, DeviceOption[0], Receive,     DeviceOption[1],
                      GainText[0], GainSlide[0], GainText[1],     GainSlide[1]};
  for (std::size_t k = 1; k < std::size(order); ++k) setTabOrder(order[k - 1], order[k]);
  ConnectControls();
}

void MainForm::BuildLogo(QWidget* client) {
  LogoFrame = new QGroupBox(client);
  LogoFrame->setObjectName("LogoFrame");
  PlaceTwips(LogoFrame, 120, 0, 6135, 1335);
  Picture1 = new QLabel(LogoFrame);
  Picture1->setObjectName("Picture1");
  Picture1->setPixmap(QPixmap(":/tarvel/logo-174x52.png"));
  Picture1->setGeometry(Twips(120), (LogoFrame->height() - 52) / 2, 174, 52);
  const char* logoTexts[2] = {"Tarvel", "Control Software"};
  const int logoGeometry[2][4] = {{2880, 240, 2895, 495}, {2880, 720, 3015, 375}};
  for (std::size_t i = 0; i < 2; ++i) {
    LogoText[i] = new QLabel(logoTexts[i], LogoFrame);
    LogoText[i]->setObjectName(QString("LogoText(%1)").arg(i));
    LogoText[i]->setFont(DesignFont("Arial", 18, true, true));
    PlaceTwips(LogoText[i], logoGeometry[i][0], logoGeometry[i][1], logoGeometry[i][2], logoGeometry[i][3]);
  }
}

// The two code frames: a code box, its scroll bar and the read-back label each.
void MainForm::BuildCodeFrames(QWidget* client) {
  for (std::size_t i = 0; i < 2; ++i) {
    FrameLabel[i] = new QGroupBox("Frame", client);
    FrameLabel[i]->setObjectName(QString("FrameLabel(%1)").arg(i));
    FrameLabel[i]->setFont(DesignFont("MS Sans Serif", 9.75, true));
    PlaceTwips(FrameLabel[i], i == 0 ? 120 : 1440, 1320, 1095, 3975);

    GainText[i] = new QLineEdit("Text", FrameLabel[i]);
    GainText[i]->setObjectName(QString("GainText(%1)").arg(i));
    GainText[i]->setFont(DesignFont("MS Serif", 6.75));
    GainText[i]->setAlignment(Qt::AlignCenter);
    GainText[i]->setTextMargins(0, 0, 0, 0);
    PlaceTwips(GainText[i], 360, 360, 372, 216);

    GainSlide[i] = new CodeScrollBar(FrameLabel[i]);
    GainSlide[i]->setObjectName(QString("GainSlide(%1)").arg(i));
    PlaceTwips(GainSlide[i], 360, 600, 372, 2895);

    ReadText[i] = new QLabel("Read: -", FrameLabel[i]);
    ReadText[i]->setObjectName(QString("ReadText(%1)").arg(i));
    ReadText[i]->setFont(DesignFont("MS Sans Serif", 9.75));
    ReadText[i]->setAlignment(Qt::AlignCenter);
    PlaceTwips(ReadText[i], 120, 3600, 855, 255);
  }
}

void MainForm::BuildDeviceFrame(QWidget* client) {
  ScaleFrame = new QGroupBox(client);
  ScaleFrame->setObjectName("ScaleFrame");
  ScaleFrame->setFont(DesignFont("Arial", 10.5, false, true));
  PlaceTwips(ScaleFrame, 4080, 1320, 2175, 975);
  // The first two chips of the table: the frame has room for two options.
  for (std::size_t i = 0; i < 2; ++i) {
    DeviceOption[i] = new QRadioButton(Text(std::string(Chips().at(i)->token)), ScaleFrame);
    DeviceOption[i]->setObjectName(QString("DeviceOption(%1)").arg(i));
    DeviceOption[i]->setFont(DesignFont("Arial", 10.5));
    PlaceTwips(DeviceOption[i], 120, i == 0 ? 240 : 600, 1452, 252);
  }
}

void MainForm::BuildTransmitFrame(QWidget* client) {
  TransmitFrame = new QGroupBox(client);
  TransmitFrame->setObjectName("TransmitFrame");
  TransmitFrame->setFont(DesignFont("Courier", 12, true));
  PlaceTwips(TransmitFrame, 4080, 3120, 2172, 2175);
  AutoTransmit = new QCheckBox("Auto Transmit", TransmitFrame);
  AutoTransmit->setObjectName("AutoTransmit");
  AutoTransmit->setFont(DesignFont("Arial", 10.5));
  PlaceTwips(AutoTransmit, 120, 240, 1812, 252);
  Transmit = new QPushButton("Transmit", TransmitFrame);
  Transmit->setObjectName("Transmit");
  Transmit->setFont(DesignFont("MS Sans Serif", 12));
  PlaceTwips(Transmit, 120, 600, 1935, 492);
  Receive = new QPushButton("Receive", TransmitFrame);
  Receive->setObjectName("Receive");
  Receive->setFont(DesignFont("MS Sans Serif", 12));
  PlaceTwips(Receive, 120, 1200, 1935, 492);
  // Enter presses the focused button, as Space does.
  Transmit->setAutoDefault(true);
  Receive->setAutoDefault(true);
  LastSent = new QLabel("Last Sent: -, -", TransmitFrame);
  LastSent->setObjectName("LastSent");
  LastSent->setFont(DesignFont("Times New Roman", 10.5));
  // A 1455-twip label cuts "Last Sent: 42, 42" short in today's fonts;
  // the label gets the frame's inner width instead.
  PlaceTwips(LastSent, 120, 1800, 1935, 255);
}

// Each control's signal to its event handler.
void MainForm::ConnectControls() {
  binding_ = std::make_unique<Binding>();
  Binding& b = *binding_;
  forms::MainFormControls controls;
  b.form = std::make_unique<qtforms::Window>(this);
  controls.Form = b.form.get();
  for (std::size_t i = 0; i < 2; ++i) {
    const auto index = static_cast<std::int16_t>(i);
    b.frameLabel[i] = std::make_unique<qtforms::Label>(FrameLabel[i]);
    b.gainText[i] =
        std::make_unique<qtforms::TextBox>(GainText[i], [this, index] { GainText_Change(index); });
    GainText[i]->installEventFilter(this);
    b.gainSlide[i] = std::make_unique<qtforms::ScrollBar>(
        GainSlide[i], [this, index] { GainSlide_Change(index); }, [this, index] { GainSlide_Scroll(index); });
    b.readText[i] = std::make_unique<qtforms::Label>(ReadText[i]);
    b.deviceOption[i] = std::make_unique<qtforms::OptionButton>(DeviceOption[i],
                                                                [this, index] { DeviceOption_Click(index); });
    controls.FrameLabel[i] = b.frameLabel[i].get();
    controls.GainText[i] = b.gainText[i].get();
    controls.GainSlide[i] = b.gainSlide[i].get();
    controls.ReadText[i] = b.readText[i].get();
    controls.DeviceOption[i] = b.deviceOption[i].get();
  }
  b.autoTransmit = std::make_unique<qtforms::CheckBox>(AutoTransmit, [this] { AutoTransmit_Click(); });
  b.transmit = std::make_unique<qtforms::CommandButton>(Transmit, [this] { Transmit_Click(); });
  b.receive = std::make_unique<qtforms::CommandButton>(Receive, [this] { Receive_Click(); });
  b.lastSent = std::make_unique<qtforms::Label>(LastSent);
  controls.AutoTransmit = b.autoTransmit.get();
  controls.Transmit = b.transmit.get();
  controls.Receive = b.receive.get();
  controls.LastSent = b.lastSent.get();
  logic_ = std::make_unique<forms::MainFormLogic>(controls, qtforms::Host());
}

forms::Window& MainForm::FormWindow() { return *binding_->form; }

void MainForm::BuildMenus() {
  FileMenu = menuBar()->addMenu("File");
  FileMenu->setObjectName("FileMenu");
  ExitMenu = FileMenu->addAction("Exit", this, [this] { ExitMenu_Click(); });
  ExitMenu->setObjectName("ExitMenu");
  SetupMenu = menuBar()->addMenu("Setup");
  SetupMenu->setObjectName("SetupMenu");
  OptionsMenu = SetupMenu->addAction("Options Menu", this, [this] { OptionsMenu_Click(); });
  OptionsMenu->setObjectName("OptionsMenu");
  ToolsMenu = menuBar()->addMenu("Tools");
  ToolsMenu->setObjectName("ToolsMenu");
  SweepMenu = ToolsMenu->addAction("Sweep...", this, [this] { SweepMenu_Click(); });
  SweepMenu->setObjectName("SweepMenu");
  HelpMenu = menuBar()->addMenu("Help");
  HelpMenu->setObjectName("HelpMenu");
  UsersManualMenu = HelpMenu->addAction("User's Manual", this, [this] { UsersManualMenu_Click(); });
  UsersManualMenu->setObjectName("UsersManualMenu");
  AboutMenu = HelpMenu->addAction("About Program", this, [this] { AboutMenu_Click(); });
  AboutMenu->setObjectName("AboutMenu");
}

// ---- The handlers: the logic's ---------------------------------------------------

void MainForm::Form_Load() { logic_->Form_Load(); }
void MainForm::DeviceOption_Click(std::int16_t Index) { logic_->DeviceOption_Click(Index); }
std::size_t MainForm::ChosenChip() const { return logic_->ChosenChip(); }
void MainForm::UpdateMainForm() { logic_->UpdateMainForm(); }
void MainForm::GainText_Change(std::int16_t Index) { logic_->GainText_Change(Index); }
void MainForm::GainText_LostFocus(std::int16_t Index) { logic_->GainText_LostFocus(Index); }
void MainForm::GainSlide_Change(std::int16_t Index) { logic_->GainSlide_Change(Index); }
void MainForm::GainSlide_Scroll(std::int16_t Index) { logic_->GainSlide_Scroll(Index); }
void MainForm::Transmit_Click() { logic_->Transmit_Click(); }
void MainForm::Receive_Click() { logic_->Receive_Click(); }
void MainForm::AutoTransmit_Click() { logic_->AutoTransmit_Click(); }
void MainForm::CheckAutoTransmit() { logic_->CheckAutoTransmit(); }
void MainForm::ExitMenu_Click() { logic_->ExitMenu_Click(); }
void MainForm::OptionsMenu_Click() { logic_->OptionsMenu_Click(); }
void MainForm::UsersManualMenu_Click() { logic_->UsersManualMenu_Click(); }
void MainForm::AboutMenu_Click() { logic_->AboutMenu_Click(); }

bool MainForm::eventFilter(QObject* watched, QEvent* event) {
  if (cancelPress_ &&
      (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)) {
    cancelPress_ = false;
    qApp->removeEventFilter(this);
    return true;
  }
  if (event->type() == QEvent::FocusOut) {
    for (std::size_t i = 0; i < 2; ++i) {
      if (watched != GainText[i]) continue;
      // A leave is a move to another control of this window; a message box
      // or another window taking the focus is not.
      const auto reason = static_cast<QFocusEvent*>(event)->reason();
      const bool moved = reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
                         reason == Qt::MouseFocusReason || reason == Qt::ShortcutFocusReason ||
                         reason == Qt::OtherFocusReason;
      QWidget* next = QApplication::focusWidget();
      if (moved && next != nullptr && next != GainText[i] && next->window() == this) {
        GainText_LostFocus(static_cast<std::int16_t>(i));
        // A click moved the focus, and the check sent it back: the press that
        // is on its way to the clicked control (an arrow, the trough, a
        // thumb, a button) would otherwise start acting after the alert,
        // with its release long gone to the alert's OK.
        if (reason == Qt::MouseFocusReason && focusWidget() == GainText[i]) CancelPendingPress();
      }
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void MainForm::CancelPendingPress() {
  if (cancelPress_) return;
  cancelPress_ = true;
  qApp->installEventFilter(this);
  // The press follows the focus change at once; should it never come, the
  // next turn of the event loop stops waiting for it.
  QTimer::singleShot(0, this, [this] {
    if (!cancelPress_) return;
    cancelPress_ = false;
    qApp->removeEventFilter(this);
  });
}

void MainForm::closeEvent(QCloseEvent* event) {
  // While the about box is open this window is disabled and stays open: a
  // close request from the window manager is refused. Unloading the window
  // (it is forgotten first) still closes it.
  if (forms::Main() == this && logic_->Form_QueryUnload()) {
    event->ignore();
    return;
  }
  QMainWindow::closeEvent(event);
}

void MainForm::ShowHeldCodes(std::int16_t first, std::int16_t second) {
  const std::int16_t codes[2] = {first, second};
  for (std::size_t i = 0; i < 2; ++i) {
    const QSignalBlocker blockText(GainText[i]);
    const QSignalBlocker blockSlide(GainSlide[i]);
    GainSlide[i]->SetCode(codes[i]);
    GainText[i]->setText(Text(CodeToText(codes[i])));
    binding_->gainText[i]->Resync();
  }
}

void MainForm::SweepMenu_Click() {
  // One Sweep window per main window, modeless, for the current device.
  if (sweep_.isNull()) sweep_ = new SweepForm(this);
  sweep_->Refresh();
  sweep_->show();
  sweep_->raise();
  sweep_->activateWindow();
}

}  // namespace tarvel
