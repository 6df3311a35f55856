// "Calibration": the gain in dB beside the codes, from a board's calibration
// table. Loads a table (a path typed or chosen), shows its device, board and
// frequencies, plots each channel's gain against code at the working
// frequency, and sets a channel by dB: the nearest tabulated code goes into
// the gain-control window's box and is sent as its Transmit sends.
//
// A table that is refused leaves everything as it was: the alert names the
// file and line. The table applies while the gain-control window drives the
// table's device; the Sweep window then takes its ramp in dB too.
//
// Owned by the gain-control window's session, a window of its own like the
// Sweep window: it closes with the gain-control window, and with it the table.
#pragma once

#include <QWidget>
#include <array>
#include <memory>
#include <optional>
#include <string>

#include "instrument/Calibration.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace tarvel {

class MainForm;

// Gain against code for both channels: each tabulated code's gain at the
// working frequency as a point, a channel's points joined in code order, and
// the codes the gain-control window holds ringed.
class CalibrationPlot : public QWidget {
  Q_OBJECT

 public:
  explicit CalibrationPlot(QWidget* parent = nullptr);
  // Nothing to draw without a table; `held` gives the codes to ring.
  void SetData(const Calibration* calibration, std::array<int, 2> held);
  void SetNames(const QString& first, const QString& second);
  // The caption drawn above the plot: the device and the working frequency.
  QString Caption() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const Calibration* calibration_ = nullptr;
  std::array<int, 2> held_{-1, -1};
  QString names_[2] = {"Chan 1", "Chan 2"};
};

class CalibrationWindow : public QWidget {
  Q_OBJECT

 public:
  explicit CalibrationWindow(MainForm* main);
  ~CalibrationWindow() override;

  // Loads the table at `path`; a refused one shows its "FILE:LINE: why" and
  // changes nothing (the table, the path shown, the frequency).
  bool LoadTable(const QString& path);
  // Takes the frequency box; a refused text goes back to the frequency held.
  bool TakeFrequency();
  // Sets the channel to the tabulated code nearest the dB its box holds and
  // sends both codes as the gain-control window's Transmit does. A gain more
  // than 0.5 dB beyond the channel's range, or a code the gain-control window
  // does not take, is refused with an alert and nothing is sent.
  bool SetGain(int channel);
  // Follows the device chosen in the gain-control window and its codes.
  void Refresh();

  // The table, or nullptr while none is loaded.
  const Calibration* calibration() const { return calibration_.get(); }
  // The table when it is for `device`, else nullptr.
  const Calibration* CalibrationFor(const std::string& device) const;

  QLineEdit* PathBox = nullptr;
  QPushButton* BrowseButton = nullptr;
  QPushButton* LoadButton = nullptr;
  // The table's device and "# key=value" lines, or "No table loaded".
  QLabel* TableLabel = nullptr;
  // In Hz, as --freq takes it; the table's frequencies beside it.
  QLineEdit* FrequencyBox = nullptr;
  QLabel* FrequencyLabel = nullptr;
  std::array<QLabel*, 2> ChannelLabel{};
  std::array<QLineEdit*, 2> GainBox{};
  std::array<QPushButton*, 2> SetButton{};
  // The code and gain a channel was last set to here.
  std::array<QLabel*, 2> ChosenLabel{};
  // Why the dB controls are off, when they are.
  QLabel* NoteLabel = nullptr;
  QLabel* PortLabel = nullptr;
  CalibrationPlot* Plot = nullptr;

 signals:
  // A table was loaded or the working frequency changed.
  void calibrationChanged();

 private:
  void BuildControls();
  void ConnectControls();
  // The codes the gain-control window holds.
  std::array<int, 2> HeldCodes() const;
  void ShowTable();

  MainForm* main_;
  std::unique_ptr<Calibration> calibration_;
  QString frequencyText_;
  QString loadedPath_;
};

// Adds "Calibration..." to the gain-control window's "Tools" menu; it shows
// the window's one Calibration window.
void AddCalibrationMenu(MainForm* main);
// The Calibration window, or nullptr while none is open.
CalibrationWindow* ShownCalibration();
// The loaded table when it is for `device`, else nullptr: what the Sweep
// window takes its ramp in dB from.
const Calibration* LoadedCalibration(const std::string& device);

}  // namespace tarvel
