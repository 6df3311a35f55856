// SweepForm: the "Sweep" window of the Tools menu. Steps the main window's
// current device through a ramp (From, To, Step, Dwell) or a loaded hop
// sequence, Repeat times, on a worker thread; plots the applied codes (and
// with Verify the read-back codes) against time as they go.
//
// While a run lasts the main window's code boxes and scroll bars follow the
// steps, and its send, receive, auto-transmit, device and code-entry
// controls are disabled so nothing else reaches the port; when it ends they
// get their states back and "Last Sent:" shows the last step's codes.
#pragma once

#include <QWidget>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "instrument/Sweep.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
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

  // Takes the main window's current device and code range.
  void Refresh();
  // Loads a hop sequence; an error shows the alert and keeps the ramp.
  bool LoadSequence(const QString& path);
  // Back to the ramp of the boxes.
  void UseRamp();
  // Writes the last run's log CSV; an error shows the alert.
  bool SaveLog(const QString& path);

  void Start_Click();
  void Stop_Click();
  bool running() const { return worker_.joinable(); }
  const std::vector<StepRecord>& rows() const { return rows_; }
  SweepEnd lastEnd() const { return result_.end; }

  QSpinBox* FromBox = nullptr;
  QSpinBox* ToBox = nullptr;
  QSpinBox* StepBox = nullptr;
  QDoubleSpinBox* DwellBox = nullptr;
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
  SweepPlot* Plot = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
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
