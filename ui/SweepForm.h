// SweepForm: the "Sweep" window of the Tools menu. Steps the main window's
// current device through a ramp (From, To, Step, Dwell) or a loaded hop
// sequence, Repeat times, on a worker thread; plots the applied codes (and
// with Verify the read-back codes) against time as they go.
//
// While a run lasts the main window's code boxes and scroll bars follow the
// steps, and its send, receive, auto-transmit, device and code-entry
// controls are disabled so nothing else reaches the port; when it ends they
// get their states back and "Last Sent:" shows the last step's codes.
//
// The window is a top-level of its own, owned by the gain-control window but
// not its child: the about box disables the gain-control window only, and a
// running sweep can always be stopped. It follows the device chosen there.
//
// With a calibration table for the device loaded (the Calibration window),
// the ramp is in dB: From, To and Step in dB, each step the tabulated code
// nearest its gain, and the log has each step's gains beside its codes.
//
// The worker hands its steps over under a lock; the window takes them in
// batches on a timer, and the plot draws at most one stroke per pixel column.
#pragma once

#include <QWidget>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "instrument/Sweep.h"

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTimer;

namespace tarvel {

class AlertPresenter;
class MainForm;
class SweepPlot;

class SweepForm : public QWidget {
  Q_OBJECT

 public:
  explicit SweepForm(MainForm* main);
  ~SweepForm() override;

  // What the window needs of the device the gain-control window drives.
  struct Device {
    std::string name;  // a device token of the chip table, or empty
    CodeRange codes;
    QString channels[2];
    bool readBack = false;
  };
  static Device CurrentDevice();

  // Takes the main window's current device and code range.
  void Refresh();
  // Loads a hop sequence; an error shows the alert and keeps the ramp.
  bool LoadSequence(const QString& path);
  // True while the ramp is in dB: a table for the device is loaded.
  bool InDb() const { return inDb_; }
  // Back to the ramp of the boxes.
  void UseRamp();
  // Writes the last run's log CSV; an error shows the alert.
  bool SaveLog(const QString& path);

  void Start_Click();
  void Stop_Click();
  bool running() const { return worker_.joinable(); }
  const std::vector<StepRecord>& rows() const { return rows_; }
  SweepEnd lastEnd() const { return result_.end; }
  const SweepResult& lastResult() const { return result_; }

  QSpinBox* FromBox = nullptr;
  QSpinBox* ToBox = nullptr;
  QSpinBox* StepBox = nullptr;
  // The ramp in dB, shown instead of the three above while a table applies.
  QLineEdit* FromDbBox = nullptr;
  QLineEdit* ToDbBox = nullptr;
  QLineEdit* StepDbBox = nullptr;
  // The dwell in milliseconds, taken as the command line's --dwell takes it.
  QLineEdit* DwellBox = nullptr;
  QComboBox* ChannelBox = nullptr;
  QSpinBox* RepeatBox = nullptr;
  QCheckBox* VerifyBox = nullptr;
  QPushButton* StartButton = nullptr;
  QPushButton* StopButton = nullptr;
  QPushButton* LoadButton = nullptr;
  QPushButton* RampButton = nullptr;
  QPushButton* SaveButton = nullptr;
  QLabel* SourceLabel = nullptr;
  QProgressBar* Progress = nullptr;
  // How many steps started late, after a run that had any.
  QLabel* LateLabel = nullptr;
  // The port the window drives.
  QLabel* PortLabel = nullptr;
  SweepPlot* Plot = nullptr;

 signals:
  void finished();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // The dwell typed so far; a refused text goes back to the last taken.
  bool TakeDwell();
  // Takes what the entry boxes hold; false after a refusal.
  bool TakeEntries();
  void ShowPlan();
  class Observer;
  QWidget* BuildSettings();
  void BuildButtons();
  void LayOut(QWidget* settings);
  void ConnectControls();
  void Poll();
  void AddRows(const std::vector<StepRecord>& fresh);
  void Finish();
  void SetRunning(bool running);
  SweepPlan MakePlan() const;
  // The ramp in dB as steps: every value From, From +- Step, ... up to To
  // becomes the channel's nearest tabulated code. Empty with a reason when
  // a box holds no number or a value has no code.
  std::optional<std::vector<SweepStep>> GainRamp(std::string& error) const;
  // Shows the dB boxes or the code boxes, as a table applies or not.
  void ShowRampKind();

  QFormLayout* settingsForm_ = nullptr;
  bool inDb_ = false;
  // The table a run's codes were chosen from, at the working frequency the
  // run started with; empty when none applied. The log shows its gains
  // beside the codes.
  std::optional<Calibration> runCalibration_;

  MainForm* main_;
  std::vector<SweepStep> sequence_;
  QString sequenceName_;
  QTimer* poll_ = nullptr;

  // Worker side: records go into pending_ under the lock; the timer moves
  // them to rows_ on the GUI thread.
  std::thread worker_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::atomic<std::int64_t> waitedNs_{0};  // time of the run so far, during long dwells
  std::mutex lock_;
  std::vector<StepRecord> pending_;
  SweepResult result_;
  SweepPlan plan_;
  std::int64_t dwellNs_ = 100'000'000;
  QString dwellText_ = "100";
  std::int64_t startedNs_ = 0;  // steady clock at Start, for an endless run's elapsed time
  std::vector<StepRecord> rows_;
  static constexpr std::size_t kMaxWindowRows = 4'000'000;  // 128 MB of steps
  std::uint64_t droppedRows_ = 0;                           // oldest steps no longer kept
  std::unique_ptr<DeviceLink> link_;                        // the run's own, while it lasts

  // The main window's enabled states from before the run.
  std::vector<std::pair<QObject*, bool>> saved_;
};

// The plot: codes against time, a step line per channel and, with Verify,
// the read-back codes as dots.
class SweepPlot : public QWidget {
  Q_OBJECT

 public:
  explicit SweepPlot(QWidget* parent = nullptr);
  void SetData(const std::vector<StepRecord>* rows, std::int64_t spanNs, int highest, bool verify);
  // The channels' names for the legend.
  void SetNames(const QString& first, const QString& second);
  // The time axis' end label: the planned or run length, or nothing.
  QString SpanText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const std::vector<StepRecord>* rows_ = nullptr;
  std::int64_t spanNs_ = 0;
  int highest_ = 63;
  bool verify_ = false;
  QString names_[2] = {"Chan 1", "Chan 2"};
};

}  // namespace tarvel
