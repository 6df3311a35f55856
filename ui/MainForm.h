// MainForm: the gain-control window "Tarvel Control". The user picks the
// chip, sets each channel's code with a text box or a scroll bar, and sends
// the codes or reads them back.
//
// The window's logic is forms/MainFormLogic's, shared with every toolkit;
// this class builds the Qt controls, binds them (ui/QtControls.h) and hands
// each event to the logic. Handlers run whenever a control's content
// changes, whether the user or the program changed it, nested inside the
// write that changed it: text boxes raise textChanged, scroll bars
// valueChanged, option buttons and the check box toggled, all synchronously
// and only on a real change.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <array>
#include <cstdint>
#include <memory>

#include "forms/MainFormLogic.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;

namespace tarvel {

class CodeScrollBar;
class SweepForm;

class MainForm : public QMainWindow {
  Q_OBJECT

 public:
  explicit MainForm(QWidget* parent = nullptr);
  ~MainForm() override;

  // ---- Load, device profiles, refresh -----------------------------------
  void Form_Load();
  void DeviceOption_Click(std::int16_t Index);
  // The index in Chips() of the chosen device option (0 when none is).
  std::size_t ChosenChip() const;
  void UpdateMainForm();

  // ---- Code entry --------------------------------------------------------
  void GainText_Change(std::int16_t Index);
  void GainText_LostFocus(std::int16_t Index);
  void GainSlide_Change(std::int16_t Index);
  void GainSlide_Scroll(std::int16_t Index);

  // ---- Transmit, receive, auto-transmit -----------------------------------
  void Transmit_Click();
  void Receive_Click();
  void AutoTransmit_Click();
  void CheckAutoTransmit();
  // Shows codes the chips already hold (a sweep's steps): the boxes and
  // scroll bars take them as if typed, without a send or an alert, so the
  // next entry behaves as after any other.
  void ShowHeldCodes(std::int16_t first, std::int16_t second);

  // ---- Menus ---------------------------------------------------------------
  void ExitMenu_Click();
  void OptionsMenu_Click();
  void UsersManualMenu_Click();
  void AboutMenu_Click();
  void SweepMenu_Click();
  // The Sweep window, or nullptr while none is open.
  SweepForm* Sweep() const;

  // The window as the logic of forms/ sees it.
  forms::Window& FormWindow();

  // ---- Controls --------------------------------------------------------------
  QGroupBox* LogoFrame = nullptr;
  QLabel* Picture1 = nullptr;
  std::array<QLabel*, 2> LogoText{};
  std::array<QGroupBox*, 2> FrameLabel{};
  std::array<QLineEdit*, 2> GainText{};
  std::array<CodeScrollBar*, 2> GainSlide{};
  std::array<QLabel*, 2> ReadText{};
  QGroupBox* ScaleFrame = nullptr;
  std::array<QRadioButton*, 2> DeviceOption{};
  QGroupBox* TransmitFrame = nullptr;
  QCheckBox* AutoTransmit = nullptr;
  QPushButton* Transmit = nullptr;
  QPushButton* Receive = nullptr;
  QLabel* LastSent = nullptr;

  QMenu* FileMenu = nullptr;
  QAction* ExitMenu = nullptr;
  QMenu* SetupMenu = nullptr;
  QAction* OptionsMenu = nullptr;
  QMenu* ToolsMenu = nullptr;
  QAction* SweepMenu = nullptr;
  QMenu* HelpMenu = nullptr;
  QAction* UsersManualMenu = nullptr;
  QAction* AboutMenu = nullptr;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  // Refused while the about box is open.
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  void BuildLogo(QWidget* client);
  void BuildCodeFrames(QWidget* client);
  void BuildDeviceFrame(QWidget* client);
  void BuildTransmitFrame(QWidget* client);
  void ConnectControls();
  void BuildMenus();
  // Swallows the mouse press that is being delivered while the leave check
  // refused a text: the click that moved the focus must not act afterwards.
  void CancelPendingPress();

  bool cancelPress_ = false;
  // Owned here, but a window of its own: the about box disables this window
  // and everything in it, and a running sweep must stay stoppable.
  QPointer<SweepForm> sweep_;
  // The controls bound for the logic, and the logic.
  struct Binding;
  std::unique_ptr<Binding> binding_;
  std::unique_ptr<forms::MainFormLogic> logic_;
};

// The manual the Help menu opens, in the working directory.
using forms::kUsersManualFile;

}  // namespace tarvel
