#include "ui/MainForm.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QUrl>

#include "core/MainModule.h"
#include "core/Numbers.h"
#include "device/ControlPPORT.h"
#include "ui/AboutForm.h"
#include "ui/CalibrationWindow.h"
#include "ui/CodeScrollBar.h"
#include "ui/Forms.h"
#include "ui/PortTraceWindow.h"
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

MainForm::MainForm(QWidget* parent) : QMainWindow(parent) {
  setObjectName("MainForm");
  setWindowTitle("Tarvel Control");
  setWindowIcon(forms::ProgramIcon());
  BuildControls();
  BuildMenus();
  AddPortTraceMenu(this);
  AddCalibrationMenu(this);
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
  for (std::size_t i = 0; i < 2; ++i) {
    const auto index = static_cast<std::int16_t>(i);
    // An edit that leaves the text as it was (a digit typed over itself) is
    // no change: the handler runs only when the text really differs.
    shownText_[i] = GainText[i]->text();
    connect(GainText[i], &QLineEdit::textChanged, this, [this, i, index](const QString& text) {
      if (text == shownText_[i]) return;
      shownText_[i] = text;
      GainText_Change(index);
    });
    GainText[i]->installEventFilter(this);
    connect(GainSlide[i], &QScrollBar::valueChanged, this, [this, i, index] {
      // Thumb drags report as scrolling, everything else as a change.
      if (GainSlide[i]->isSliderDown()) {
        GainSlide_Scroll(index);
      } else {
        GainSlide_Change(index);
      }
    });
    connect(DeviceOption[i], &QRadioButton::toggled, this, [this, index](bool on) {
      if (on) DeviceOption_Click(index);
    });
  }
  connect(AutoTransmit, &QCheckBox::toggled, this, [this] { AutoTransmit_Click(); });
  connect(Transmit, &QPushButton::clicked, this, [this] { Transmit_Click(); });
  connect(Receive, &QPushButton::clicked, this, [this] { Receive_Click(); });
}

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

// ---- Load, device profiles, refresh -------------------------------------------

void MainForm::Form_Load() {
  // The device choice survives a trip through the Options menu as "0"/"1".
  std::int16_t index = 0;
  if (!DeviceName.empty()) {
    const auto code = TextToCode(DeviceName);
    index = code ? static_cast<std::int16_t>(*code) : std::int16_t{-1};
  }
  if (index == 0 || index == 1) {
    DeviceOption[static_cast<std::size_t>(index)]->setChecked(true);
  } else {
    // No option button for this index: the profile step runs on its own.
    DeviceOption_Click(index);
  }

  for (std::size_t i = 0; i < 2; ++i) {
    GainSlide[i]->SetCodeRange(GainMax, GainMin);
    GainCode[i] = 0;
    ReadCode[i] = 0;
    GainText[i]->setText("0");
  }
  Transmit->setFocus();
}

void MainForm::DeviceOption_Click(std::int16_t Index) {
  // The device profile: the option's chip, 0 to the highest code the window
  // accepts for it.
  if (Index >= 0 && static_cast<std::size_t>(Index) < DeviceOption.size()) {
    const Chip& chip = *Chips().at(static_cast<std::size_t>(Index));
    DeviceName = chip.token;
    GainMin = 0;
    GainMax = static_cast<std::int16_t>(chip.windowHighest);
  } else {
    DeviceName.clear();
    GainMin = 0;
    GainMax = 0;
    ShowOptionAlert();
  }
  for (std::size_t i = 0; i < 2; ++i) GainSlide[i]->SetCodeRange(GainMax, GainMin);
  UpdateMainForm();
}

std::size_t MainForm::ChosenChip() const {
  for (std::size_t i = 0; i < DeviceOption.size(); ++i) {
    if (DeviceOption[i]->isChecked()) return i;
  }
  return 0;
}

void MainForm::UpdateMainForm() {
  const Chip* chip = FindChip(DeviceName);
  const bool device = chip != nullptr;
  const bool readsBack = device && chip->readsBack();

  if (!device) AutoTransmit->setChecked(false);  // may run AutoTransmit_Click, nested
  AutoTransmit->setEnabled(device);
  Transmit->setEnabled(device);
  Receive->setEnabled(readsBack);
  LastSent->setText("Last Sent:");
  for (std::size_t i = 0; i < 2; ++i)
    FrameLabel[i]->setTitle(device ? Text(std::string(chip->channels[i])) : "");
  for (std::size_t i = 0; i < 2; ++i) GainText[i]->setEnabled(device);
  for (std::size_t i = 0; i < 2; ++i) GainSlide[i]->setEnabled(device);
  for (std::size_t i = 0; i < 2; ++i) ReadText[i]->setText(readsBack ? "Read:" : "");

  if (AutoTransmit->isEnabled() && AutoTransmit->isChecked()) {
    Transmit->setEnabled(false);
    Receive->setEnabled(false);
  }
}

// ---- Code entry ------------------------------------------------------------------

void MainForm::GainText_Change(std::int16_t Index) {
  if (Index < 0 || Index > 1) return;
  const auto slot = static_cast<std::size_t>(Index);
  try {
    QLineEdit* box = GainText[slot];
    const auto aboveMax = CompareNumber(box->text().toStdString(), GainMax);
    if (!aboveMax) return;  // not a number (yet): ignored while typing
    if (*aboveMax > 0) {
      ShowRangeAlert(GainMin, GainMax);
      box->setText(Text(CodeToText(GainMax)));  // runs this handler again, nested
    } else {
      const auto belowMin = CompareNumber(box->text().toStdString(), GainMin);
      if (!belowMin) return;
      if (*belowMin < 0) {
        ShowRangeAlert(GainMin, GainMax);
        box->setText(Text(CodeToText(GainMin)));
      }
    }
    const auto code = TextToCode(box->text().toStdString());
    if (!code) return;
    GainSlide[slot]->SetCode(*code);  // runs GainSlide_Change if the position moves
    CheckAutoTransmit();
  } catch (...) {
    // A failure ends the change handling silently; what was done stays done.
  }
}

void MainForm::GainText_LostFocus(std::int16_t Index) {
  if (Index < 0 || Index > 1) return;
  const auto slot = static_cast<std::size_t>(Index);
  const QString plain = Text(CodeToText(GainSlide[slot]->Code()));
  if (GainText[slot]->text() == plain) return;
  ShowEntryAlert();
  GainText[slot]->setFocus(Qt::OtherFocusReason);
}

void MainForm::GainSlide_Change(std::int16_t Index) {
  if (Index < 0 || Index > 1) return;
  const auto slot = static_cast<std::size_t>(Index);
  GainText[slot]->setText(Text(CodeToText(GainSlide[slot]->Code())));
}

void MainForm::GainSlide_Scroll(std::int16_t Index) { GainSlide_Change(Index); }

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
  if (forms::About() != nullptr && forms::Main() == this) {
    event->ignore();
    return;
  }
  QMainWindow::closeEvent(event);
}

// ---- Transmit, receive, auto-transmit -------------------------------------------------

void MainForm::Transmit_Click() {
  const bool transmitWasEnabled = Transmit->isEnabled();
  const bool receiveWasEnabled = Receive->isEnabled();
  Transmit->setEnabled(false);
  Receive->setEnabled(false);

  // A box that does not hold a number refuses the send: nothing reaches the
  // port, and GainCode and LastSent keep what they had.
  const auto code0 = TextToCode(GainText[0]->text().toStdString());
  const auto code1 = TextToCode(GainText[1]->text().toStdString());
  if (code0 && code1) {
    GainCode[0] = *code0;
    GainCode[1] = *code1;
    if (RunDeviceCommand() == CommandStatus::Done) {
      LastSent->setText(Text("Last Sent: " + CodeToText(GainCode[0]) + ", " + CodeToText(GainCode[1])));
    }
  }

  Receive->setEnabled(receiveWasEnabled);
  Transmit->setEnabled(transmitWasEnabled);
  if (Transmit->isEnabled()) Transmit->setFocus();
}

void MainForm::Receive_Click() {
  if (ReadBackCodes() != CommandStatus::Done) return;  // the port alert was shown
  for (std::size_t i = 0; i < 2; ++i) ReadText[i]->setText(Text("Read: " + CodeToText(ReadCode[i])));
}

void MainForm::AutoTransmit_Click() {
  UpdateMainForm();
  if (AutoTransmit->isChecked()) Transmit_Click();
}

void MainForm::CheckAutoTransmit() {
  if (AutoTransmit->isChecked()) Transmit_Click();
}

void MainForm::ShowHeldCodes(std::int16_t first, std::int16_t second) {
  const std::int16_t codes[2] = {first, second};
  for (std::size_t i = 0; i < 2; ++i) {
    const QSignalBlocker blockText(GainText[i]);
    const QSignalBlocker blockSlide(GainSlide[i]);
    GainSlide[i]->SetCode(codes[i]);
    GainText[i]->setText(Text(CodeToText(codes[i])));
    shownText_[i] = GainText[i]->text();
  }
}

// ---- Menus ----------------------------------------------------------------------

void MainForm::ExitMenu_Click() {
  // Ends the program at once: no confirmation, nothing sent.
  QApplication::closeAllWindows();
  QCoreApplication::exit(0);
}

void MainForm::OptionsMenu_Click() {
  for (std::size_t i = 0; i < 2; ++i) {
    if (DeviceOption[i]->isChecked()) DeviceName = std::to_string(i);
  }
  StartupForm* startup = forms::LoadStartup();
  startup->show();
  forms::UnloadMain();
}

void MainForm::UsersManualMenu_Click() {
  const QFileInfo manual(QDir::current(), kUsersManualFile);
  if (!manual.isFile()) {
    ShowAlert({AlertIcon::Error, "Error: User's Manual",
               std::string("Help file not found.  (") + kUsersManualFile + ")  "});
    return;
  }
  // The desktop's opener starts the registered viewer and does not wait.
  if (QDesktopServices::openUrl(QUrl::fromLocalFile(manual.absoluteFilePath()))) return;
  ShowAlert({AlertIcon::Error, "Error: User's Manual",
             "No viewer for PDF files was found.  The manual is " +
                 QDir::toNativeSeparators(manual.absoluteFilePath()).toStdString() + "."});
}

void MainForm::AboutMenu_Click() {
  AboutForm* about = forms::LoadAbout();
  // Centred over this window. Until the window manager has framed the box,
  // its frame is taken to be as thick as this window's.
  const QSize frame = frameGeometry().size() - size();
  const QSize box = about->size() + frame;
  about->move(frameGeometry().center() - QPoint(box.width() / 2, box.height() / 2));
  about->show();
  setEnabled(false);
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
