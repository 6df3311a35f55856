#include "ui/SweepForm.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cmath>

#include "chips/Chips.h"
#include "core/MainModule.h"
#include "core/Numbers.h"
#include "instrument/Calibration.h"
#include "ui/CalibrationWindow.h"
#include "ui/CodeScrollBar.h"
#include "ui/Forms.h"
#include "ui/MainForm.h"

namespace tarvel {

class SweepForm::Observer : public SweepObserver {
 public:
  explicit Observer(SweepForm* form) : form_(form) {}
  void OnStep(const StepRecord& r) override {
    std::lock_guard<std::mutex> hold(form_->lock_);
    form_->pending_.push_back(r);
  }
  void OnWait(std::int64_t elapsedNs) override { form_->waitedNs_ = elapsedNs; }

 private:
  SweepForm* form_;
};

namespace {

QString Text(const std::string& s) { return QString::fromStdString(s); }
QString ChannelName(const Chip& chip, std::size_t channel) {
  return Text(std::string(chip.channels[channel]));
}

std::int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A length of time as the window shows it: "250 ms", "4.3 s", "12 min", "3.5 h".
QString DurationText(std::int64_t ns) {
  const double s = static_cast<double>(ns) / 1e9;
  if (s < 1) return QString("%1 ms").arg(s * 1e3, 0, 'g', 3);
  if (s < 600) return QString("%1 s").arg(s, 0, 'g', 3);
  if (s < 7200) return QString("%1 min").arg(s / 60, 0, 'g', 3);
  return QString("%1 h").arg(s / 3600, 0, 'g', 3);
}

// A box for a whole number (From, To, Step). It shows what is typed, any
// 16-bit number, and takes it when the typing ends (Return, leaving the box,
// Start): a number outside the ones allowed is refused with the range alert,
// and the box goes back to the last number it took. Nothing typed is ever
// cut to another number. The arrows stay within the allowed numbers.
class EntryBox final : public QSpinBox {
 public:
  EntryBox(const char* name, int value, QWidget* parent) : QSpinBox(parent), held_(value) {
    setObjectName(name);
    setRange(-32768, 32767);
    setKeyboardTracking(false);
    setValue(value);
    connect(this, &QSpinBox::valueChanged, this, [this](int v) {
      if (v >= lo_ && v <= hi_) held_ = v;
    });
    connect(this, &QAbstractSpinBox::editingFinished, this, [this] { Take(); });
  }

  // The numbers the box takes; the number it holds moves inside them.
  void SetAllowed(int lo, int hi) {
    lo_ = lo, hi_ = std::max(lo, hi);
    if (held_ < lo_ || held_ > hi_) setValue(std::clamp(held_, lo_, hi_));
  }

  // Takes the text typed so far; false, after the alert, if it was refused.
  bool Take() {
    if (refusing_) return false;
    interpretText();
    if (value() >= lo_ && value() <= hi_) return true;
    // Back first: the alert takes the focus, and leaving the box takes again.
    refusing_ = true;
    setValue(held_);
    ShowRangeAlert(static_cast<std::int16_t>(lo_), static_cast<std::int16_t>(hi_));
    refusing_ = false;
    return false;
  }

 protected:
  StepEnabled stepEnabled() const override {
    StepEnabled e = StepNone;
    if (isReadOnly() || !isEnabled()) return e;
    if (value() > lo_) e |= StepDownEnabled;
    if (value() < hi_) e |= StepUpEnabled;
    return e;
  }
  void stepBy(int steps) override {
    const int target = std::clamp(value() + steps * singleStep(), lo_, hi_);
    QSpinBox::stepBy((target - value()) / std::max(1, singleStep()));
  }

 private:
  int lo_ = 0, hi_ = 32767, held_;
  bool refusing_ = false;
};

EntryBox* Entry(QSpinBox* box) { return static_cast<EntryBox*>(box); }

}  // namespace

SweepForm::SweepForm(MainForm* main) : QWidget(nullptr, Qt::Window), main_(main) {
  setObjectName("SweepForm");
  setWindowTitle("Sweep");
  setWindowIcon(forms::ProgramIcon());
  QWidget* settings = BuildSettings();
  BuildButtons();
  LayOut(settings);
  ConnectControls();
  Refresh();
  SetRunning(false);
  forms::FitToScreen(this, QSize(760, 440));
}

SweepForm::Device SweepForm::CurrentDevice() {
  Device d;
  d.name = DeviceName;
  d.codes = {GainMin, GainMax};
  if (const Chip* chip = FindChip(DeviceName)) {
    d.channels[0] = ChannelName(*chip, 0);
    d.channels[1] = ChannelName(*chip, 1);
    d.readBack = chip->readsBack();
  }
  return d;
}

// The ramp's and the run's settings, in a form.
QWidget* SweepForm::BuildSettings() {
  auto* settings = new QGroupBox(this);
  auto* form = new QFormLayout(settings);
  FromBox = new EntryBox("FromBox", 0, settings);
  ToBox = new EntryBox("ToBox", Chips().front()->windowHighest, settings);
  StepBox = new EntryBox("StepBox", 1, settings);
  // The command line's --step takes 1 to 32767.
  Entry(StepBox)->SetAllowed(1, 32767);
  DwellBox = new QLineEdit(dwellText_, settings);
  DwellBox->setObjectName("DwellBox");
  ChannelBox = new QComboBox(settings);
  ChannelBox->setObjectName("ChannelBox");
  ChannelBox->addItems({"Both", ChannelName(*Chips().front(), 0), ChannelName(*Chips().front(), 1)});
  RepeatBox = new QSpinBox(settings);
  RepeatBox->setObjectName("RepeatBox");
  RepeatBox->setRange(0, 1'000'000);
  RepeatBox->setValue(1);
  RepeatBox->setSpecialValueText("until stopped");
  VerifyBox = new QCheckBox("Verify", settings);
  VerifyBox->setObjectName("VerifyBox");
  FromDbBox = new QLineEdit(settings);
  FromDbBox->setObjectName("FromDbBox");
  ToDbBox = new QLineEdit(settings);
  ToDbBox->setObjectName("ToDbBox");
  StepDbBox = new QLineEdit("1", settings);
  StepDbBox->setObjectName("StepDbBox");
  form->addRow("From", FromBox);
  form->addRow("To", ToBox);
  form->addRow("Step", StepBox);
  form->addRow("From (dB)", FromDbBox);
  form->addRow("To (dB)", ToDbBox);
  form->addRow("Step (dB)", StepDbBox);
  for (QWidget* box : {FromDbBox, ToDbBox, StepDbBox}) form->setRowVisible(box, false);
  settingsForm_ = form;
  form->addRow("Dwell (ms)", DwellBox);
  form->addRow("Channel", ChannelBox);
  form->addRow("Repeat", RepeatBox);
  form->addRow("", VerifyBox);
  return settings;
}

void SweepForm::BuildButtons() {
  PortLabel = new QLabel(this);
  PortLabel->setObjectName("PortLabel");
  LateLabel = new QLabel(this);
  LateLabel->setObjectName("LateLabel");
  SourceLabel = new QLabel("Ramp", this);
  SourceLabel->setObjectName("SourceLabel");
  LoadButton = new QPushButton("Load sequence...", this);
  LoadButton->setObjectName("LoadButton");
  RampButton = new QPushButton("Use ramp", this);
  RampButton->setObjectName("RampButton");
  SaveButton = new QPushButton("Save log...", this);
  SaveButton->setObjectName("SaveButton");
  StartButton = new QPushButton("Start", this);
  StartButton->setObjectName("StartButton");
  StopButton = new QPushButton("Stop", this);
  StopButton->setObjectName("StopButton");
  StopButton->setToolTip("Stop the run (Esc)");
  // Return presses the focused button, as Space does.
  for (QPushButton* b : {LoadButton, RampButton, SaveButton, StartButton, StopButton})
    b->setAutoDefault(true);
  Progress = new QProgressBar(this);
  Progress->setObjectName("Progress");
  Progress->setRange(0, 1000);
  Progress->setValue(0);
  Plot = new SweepPlot(this);
  Plot->setObjectName("Plot");
}

// Settings and buttons on the left, the plot and the progress bar on the right.
void SweepForm::LayOut(QWidget* settings) {
  auto* side = new QVBoxLayout;
  side->addWidget(PortLabel);
  side->addWidget(settings);
  side->addWidget(SourceLabel);
  side->addWidget(LoadButton);
  side->addWidget(RampButton);
  side->addWidget(SaveButton);
  side->addStretch();
  side->addWidget(StartButton);
  side->addWidget(StopButton);
  auto* right = new QVBoxLayout;
  right->addWidget(Plot, 1);
  right->addWidget(Progress);
  right->addWidget(LateLabel);
  auto* top = new QHBoxLayout(this);
  top->addLayout(side);
  top->addLayout(right, 1);
  // The tab order follows the layout: settings, sequence buttons, Start, Stop.
  QWidget* order[] = {FromBox,    ToBox,      StepBox,    FromDbBox,   ToDbBox,
                      StepDbBox,  DwellBox,   ChannelBox, RepeatBox,   VerifyBox,
                      LoadButton, RampButton, SaveButton, StartButton, StopButton};
  for (std::size_t k = 1; k < std::size(order); ++k) setTabOrder(order[k - 1], order[k]);
}

void SweepForm::ConnectControls() {
  connect(StartButton, &QPushButton::clicked, this, [this] { Start_Click(); });
  connect(StopButton, &QPushButton::clicked, this, [this] { Stop_Click(); });
  connect(LoadButton, &QPushButton::clicked, this, [this] {
    const QString path =
        QFileDialog::getOpenFileName(this, "Load sequence", {}, "CSV files (*.csv);;All files (*)");
    if (!path.isEmpty()) LoadSequence(path);
  });
  connect(RampButton, &QPushButton::clicked, this, [this] { UseRamp(); });
  connect(SaveButton, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getSaveFileName(this, "Save log", "sweep.csv", "CSV files (*.csv)");
    if (!path.isEmpty()) SaveLog(path);
  });
  connect(DwellBox, &QLineEdit::editingFinished, this, [this] { TakeDwell(); });
  for (QSpinBox* box : {FromBox, ToBox, StepBox, RepeatBox})
    connect(box, &QSpinBox::valueChanged, this, [this] { ShowPlan(); });
  connect(ChannelBox, &QComboBox::currentIndexChanged, this, [this] { ShowPlan(); });
  for (QLineEdit* box : {FromDbBox, ToDbBox, StepDbBox})
    connect(box, &QLineEdit::editingFinished, this, [this] { ShowPlan(); });
  // The window follows the device chosen in the gain-control window; the
  // choice's own handler has run by then.
  for (QRadioButton* option : main_->DeviceOption)
    connect(option, &QRadioButton::toggled, this, [this](bool on) {
      if (on) Refresh();
    });
  // The run's steps are taken in batches: a step of 0.1 ms never costs the
  // window a turn of its event loop.
  poll_ = new QTimer(this);
  poll_->setInterval(40);
  connect(poll_, &QTimer::timeout, this, [this] { Poll(); });
}

SweepForm::~SweepForm() {
  if (worker_.joinable()) {
    stop_ = true;
    worker_.join();
  }
}

void SweepForm::Refresh() {
  const Device device = CurrentDevice();
  for (QSpinBox* box : {FromBox, ToBox}) Entry(box)->SetAllowed(device.codes.lowest, device.codes.highest);
  ChannelBox->setItemText(1, device.channels[0]);
  ChannelBox->setItemText(2, device.channels[1]);
  VerifyBox->setEnabled(device.readBack && !running());
  if (!device.readBack) VerifyBox->setChecked(false);
  // The port and the kind of ramp cannot change while a run holds it.
  if (!running()) {
    PortLabel->setText("Port: " + forms::PortText());
    ShowRampKind();
  }
  Plot->SetNames(device.channels[0], device.channels[1]);
  if (running() || !rows_.empty()) {
    Plot->SetData(&rows_, plan_.steps.empty() ? 0 : PlannedRunNs(plan_.steps, 1), device.codes.highest,
                  plan_.verify);
  } else {
    ShowPlan();
  }
}

// Before any run the plot's time axis shows how long the planned run lasts
// (nothing for an endless one).
void SweepForm::ShowPlan() {
  if (running() || !rows_.empty()) return;
  const SweepPlan plan = MakePlan();
  Plot->SetData(&rows_, plan.repeat == 0 ? 0 : PlannedRunNs(plan.steps, plan.repeat),
                CurrentDevice().codes.highest, plan.verify);
}

bool SweepForm::TakeDwell() {
  std::string error;
  if (const auto ns = ParseDwell(DwellBox->text().toStdString(), error)) {
    dwellNs_ = *ns;
    dwellText_ = DwellBox->text().trimmed();
    ShowPlan();
    return true;
  }
  if (DwellBox->text() == dwellText_) return true;
  DwellBox->setText(dwellText_);
  error[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(error[0])));
  ShowAlert({AlertIcon::Warning, "Error: Invalid Entry", error + "."});
  return false;
}

bool SweepForm::TakeEntries() {
  if (!sequence_.empty()) return true;
  if (inDb_) {
    for (QLineEdit* box : {FromDbBox, ToDbBox, StepDbBox}) {
      if (!GainFromText(box->text().toStdString())) {
        box->setFocus(Qt::OtherFocusReason);
        ShowEntryAlert();
        return false;
      }
    }
    if (*GainFromText(StepDbBox->text().toStdString()) <= 0) {
      StepDbBox->setFocus(Qt::OtherFocusReason);
      ShowAlert({AlertIcon::Warning, "Error: Invalid Entry", "The step in dB must be more than 0."});
      return false;
    }
    return TakeDwell();
  }
  for (QSpinBox* box : {FromBox, ToBox, StepBox}) {
    if (!Entry(box)->Take()) return false;
  }
  return TakeDwell();
}

void SweepForm::ShowRampKind() {
  const Calibration* table = LoadedCalibration(DeviceName);
  inDb_ = table != nullptr;
  for (QWidget* box : {FromBox, ToBox, StepBox}) settingsForm_->setRowVisible(box, !inDb_);
  for (QWidget* box : {FromDbBox, ToDbBox, StepDbBox}) settingsForm_->setRowVisible(box, inDb_);
  if (inDb_ && FromDbBox->text().isEmpty() && ToDbBox->text().isEmpty()) {
    // The range both channels reach, as a start.
    const auto first = table->Range(0), second = table->Range(1);
    if (first || second) {
      const double lo =
          std::max(first ? first->lowest : second->lowest, second ? second->lowest : first->lowest);
      const double hi =
          std::min(first ? first->highest : second->highest, second ? second->highest : first->highest);
      FromDbBox->setText(Text(GainText(std::min(lo, hi))));
      ToDbBox->setText(Text(GainText(std::max(lo, hi))));
    }
  }
  SetRunning(running());
}

std::optional<std::vector<SweepStep>> SweepForm::GainRamp(std::string& error) const {
  const Calibration* table = LoadedCalibration(DeviceName);
  const auto from = GainFromText(FromDbBox->text().toStdString());
  const auto to = GainFromText(ToDbBox->text().toStdString());
  const auto step = GainFromText(StepDbBox->text().toStdString());
  if (table == nullptr || !from || !to || !step || *step <= 0) {
    error = "The ramp needs From, To and Step in dB, the step more than 0.";
    return std::nullopt;
  }
  GainRampSpec spec;
  spec.fromDb = *from, spec.toDb = *to, spec.stepDb = *step;
  spec.dwellNs = dwellNs_;
  spec.channel = static_cast<SweepChannel>(ChannelBox->currentIndex());
  // The channel that is not swept holds the main window's current code.
  spec.otherCode =
      static_cast<std::int16_t>(main_->GainSlide[spec.channel == SweepChannel::First ? 1 : 0]->Code());
  spec.maxSteps = 10'000;  // what the plot and the log keep comfortably
  auto steps = BuildGainRamp(spec, *table, error);
  if (!steps) {
    if (!error.empty()) error[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(error[0])));
    error += ".";
    return std::nullopt;
  }
  // The window sends only the codes the gain-control window takes.
  for (std::size_t k = 0; k < steps->size(); ++k) {
    const SweepStep& s = (*steps)[k];
    for (const int code : {int{s.code1}, int{s.code2}}) {
      if (code < GainMin || code > GainMax) {
        const double db = *from + (*to < *from ? -1.0 : 1.0) * static_cast<double>(k) * *step;
        error = GainText(db) + " dB: the nearest code, " + CodeToText(code) + ", is outside the codes " +
                CodeToText(GainMin) + " to " + CodeToText(GainMax) + " the window sends.";
        return std::nullopt;
      }
    }
  }
  return steps;
}

bool SweepForm::LoadSequence(const QString& path) {
  SequenceParse parsed = LoadSequenceFile(path.toStdString(), DeviceName, {GainMin, GainMax});
  if (!parsed.error.empty()) {
    ShowAlert({AlertIcon::Error, "Error: Invalid Sequence", parsed.error});
    return false;
  }
  sequence_ = std::move(parsed.steps);
  sequenceName_ = QFileInfo(path).fileName();
  SetRunning(false);
  ShowPlan();
  return true;
}

void SweepForm::UseRamp() {
  sequence_.clear();
  sequenceName_.clear();
  SetRunning(false);
  ShowPlan();
}

bool SweepForm::SaveLog(const QString& path) {
  std::string error;
  if (WriteSweepLog(path.toStdString(), rows_, plan_.verify, error,
                    runCalibration_ ? &*runCalibration_ : nullptr))
    return true;
  ShowAlert({AlertIcon::Error, "Error: Save Log", error});
  return false;
}

SweepPlan SweepForm::MakePlan() const {
  SweepPlan plan;
  plan.device = DeviceName;
  plan.repeat = static_cast<std::uint64_t>(RepeatBox->value());
  plan.verify = VerifyBox->isEnabled() && VerifyBox->isChecked();
  if (!sequence_.empty()) {
    plan.steps = sequence_;
    return plan;
  }
  if (inDb_) {
    std::string error;
    plan.steps = GainRamp(error).value_or(std::vector<SweepStep>{});
    return plan;
  }
  RampSpec spec;
  spec.from = FromBox->value();
  spec.to = ToBox->value();
  spec.step = StepBox->value();
  spec.dwellNs = dwellNs_;
  spec.channel = static_cast<SweepChannel>(ChannelBox->currentIndex());
  // The channel that is not swept holds the main window's current code.
  spec.other = main_->GainSlide[spec.channel == SweepChannel::First ? 1 : 0]->Code();
  plan.steps = BuildRamp(spec);
  return plan;
}

void SweepForm::Start_Click() {
  if (running()) return;
  if (!TakeEntries()) return;
  Refresh();
  if (!SweepCodeRange(DeviceName)) {
    ShowOptionAlert();
    return;
  }
  // A sequence loaded for the other chip may hold codes this one refuses.
  for (const SweepStep& step : sequence_) {
    for (const int code : {int{step.code1}, int{step.code2}}) {
      if (code < GainMin || code > GainMax) {
        ShowAlert({AlertIcon::Error, "Error: Invalid Sequence",
                   sequenceName_.toStdString() + ": code " + std::to_string(code) + " is outside the " +
                       DeviceName + "'s codes " + std::to_string(GainMin) + ".." + std::to_string(GainMax)});
        return;
      }
    }
  }
  if (inDb_ && sequence_.empty()) {
    std::string error;
    if (!GainRamp(error)) {
      ShowAlert({AlertIcon::Warning, "Error: Gain Out of Range", error});
      return;
    }
  }
  plan_ = MakePlan();
  // The log's gains: the table's at its working frequency as the run starts.
  runCalibration_.reset();
  if (const Calibration* table = LoadedCalibration(DeviceName)) runCalibration_ = *table;
  rows_.clear();
  droppedRows_ = 0;
  pending_.clear();
  result_ = SweepResult{};
  stop_ = false;
  done_ = false;
  waitedNs_ = 0;
  startedNs_ = SteadyNs();
  Plot->SetData(&rows_, PlannedRunNs(plan_.steps, 1), GainMax, plan_.verify);
  Progress->setRange(0, 1000);
  Progress->setValue(0);
  Progress->setFormat("%p%");
  LateLabel->clear();

  // Nothing else may reach the port while the run holds it.
  saved_.clear();
  QWidget* controls[] = {main_->Transmit,        main_->Receive,         main_->AutoTransmit,
                         main_->DeviceOption[0], main_->DeviceOption[1], main_->GainText[0],
                         main_->GainText[1],     main_->GainSlide[0],    main_->GainSlide[1]};
  for (QWidget* w : controls) {
    saved_.emplace_back(w, w->isEnabled());
    w->setEnabled(false);
  }
  saved_.emplace_back(main_->OptionsMenu, main_->OptionsMenu->isEnabled());
  main_->OptionsMenu->setEnabled(false);

  // The run has a link of its own on the windows' port: the worker never
  // touches the globals the windows read, and the windows' own link finds
  // the port taken while the run holds it.
  link_ = DeviceLink::SharingPortOf(ProcessLink());
  link_->portAddress = PortAddress;
  worker_ = std::thread([this, plan = plan_, link = link_.get()] {
    MonotonicClock clock;
    Observer observer(this);
    const SweepResult result = RunSweep(plan, *link, clock, observer, stop_);
    std::lock_guard<std::mutex> hold(lock_);
    result_ = result;
    done_ = true;
  });
  SetRunning(true);
  poll_->start();
}

void SweepForm::Stop_Click() { stop_ = true; }

void SweepForm::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && running()) {
    Stop_Click();
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

void SweepForm::closeEvent(QCloseEvent* event) {
  // Closing the window ends its run too; the timer still finishes it.
  Stop_Click();
  QWidget::closeEvent(event);
}

void SweepForm::Poll() {
  std::vector<StepRecord> fresh;
  {
    std::lock_guard<std::mutex> hold(lock_);
    fresh.swap(pending_);
  }
  AddRows(fresh);
  if (!fresh.empty()) main_->ShowHeldCodes(fresh.back().code1, fresh.back().code2);
  const std::int64_t total = PlannedRunNs(plan_.steps, plan_.repeat);
  const std::int64_t at = std::max<std::int64_t>(waitedNs_, rows_.empty() ? 0 : rows_.back().startNs);
  if (plan_.repeat == 0) {
    // An endless run has no end to measure against: how far it got.
    Progress->setValue(0);
    Progress->setFormat(
        QString("%1 steps, %2").arg(droppedRows_ + rows_.size()).arg(DurationText(SteadyNs() - startedNs_)));
  } else if (total > 0) {
    Progress->setValue(
        static_cast<int>(std::min(1000.0, 1000.0 * static_cast<double>(at) / static_cast<double>(total))));
    Progress->setFormat(QString("%p%, %1 s left").arg(static_cast<double>(total - at) / 1e9, 0, 'f', 1));
  }
  Plot->update();
  if (done_) Finish();
}

void SweepForm::AddRows(const std::vector<StepRecord>& fresh) {
  rows_.insert(rows_.end(), fresh.begin(), fresh.end());
  // An endless run at short dwells would grow without bound: the window
  // keeps the newest steps only, and says so when the run ends.
  if (rows_.size() > kMaxWindowRows) {
    const std::size_t drop = rows_.size() - kMaxWindowRows * 3 / 4;
    rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(drop));
    droppedRows_ += drop;
  }
}

void SweepForm::Finish() {
  poll_->stop();
  worker_.join();
  link_.reset();
  {
    std::lock_guard<std::mutex> hold(lock_);
    AddRows(pending_);
    pending_.clear();
  }
  for (auto& [object, enabled] : saved_) {
    if (auto* w = qobject_cast<QWidget*>(object)) w->setEnabled(enabled);
    if (auto* a = qobject_cast<QAction*>(object)) a->setEnabled(enabled);
  }
  saved_.clear();
  if (result_.last) {
    // The boxes and scroll bars hold what the chips hold, as if typed there.
    main_->ShowHeldCodes(result_.last->code1, result_.last->code2);
    main_->LastSent->setText(
        Text("Last Sent: " + CodeToText(result_.last->code1) + ", " + CodeToText(result_.last->code2)));
  }
  const QString how = result_.end == SweepEnd::Completed ? "done" : "stopped";
  QString end = plan_.repeat == 0 ? QString("%1 steps in %2, %3")
                                        .arg(droppedRows_ + rows_.size())
                                        .arg(DurationText(result_.elapsedNs))
                                        .arg(how)
                                  : "%p%, " + how;
  if (result_.end == SweepEnd::Completed) Progress->setValue(1000);
  if (droppedRows_ > 0) end += QString(", the log keeps the last %1 steps").arg(rows_.size());
  Progress->setFormat(end);
  LateLabel->setText(Text(LateStepsText(result_)));
  SetRunning(false);
  Plot->update();
  emit finished();
  if (const auto alert = RunSweepAlert(result_)) ShowAlert(*alert);
}

void SweepForm::SetRunning(bool on) {
  // The focus stays where the user works: on Stop while a run lasts when it
  // was started from here, back on Start when Stop had it.
  const bool startFocused = StartButton->hasFocus(), stopFocused = StopButton->hasFocus();
  StopButton->setEnabled(on);
  StartButton->setEnabled(!on);
  if (on && startFocused) StopButton->setFocus(Qt::OtherFocusReason);
  if (!on && stopFocused) StartButton->setFocus(Qt::OtherFocusReason);
  const bool ramp = sequence_.empty();
  for (QWidget* w :
       {static_cast<QWidget*>(FromBox), static_cast<QWidget*>(ToBox), static_cast<QWidget*>(StepBox),
        static_cast<QWidget*>(FromDbBox), static_cast<QWidget*>(ToDbBox), static_cast<QWidget*>(StepDbBox),
        static_cast<QWidget*>(DwellBox), static_cast<QWidget*>(ChannelBox)}) {
    w->setEnabled(!on && ramp);
  }
  RepeatBox->setEnabled(!on);
  VerifyBox->setEnabled(!on && CurrentDevice().readBack);
  LoadButton->setEnabled(!on);
  RampButton->setEnabled(!on && !ramp);
  SaveButton->setEnabled(!on && !rows_.empty());
  SourceLabel->setText(ramp ? QString(inDb_ ? "Ramp in dB" : "Ramp")
                            : QString("Sequence: %1 (%2 steps)").arg(sequenceName_).arg(sequence_.size()));
}

// ---- Plot -------------------------------------------------------------------------

SweepPlot::SweepPlot(QWidget* parent) : QWidget(parent) {
  setMinimumSize(360, 240);
  setAutoFillBackground(true);
  QPalette p = palette();
  p.setColor(QPalette::Window, Qt::white);
  setPalette(p);
}

void SweepPlot::SetData(const std::vector<StepRecord>* rows, std::int64_t spanNs, int highest, bool verify) {
  rows_ = rows;
  spanNs_ = spanNs;
  highest_ = std::max(highest, 1);
  verify_ = verify;
  update();
}

void SweepPlot::SetNames(const QString& first, const QString& second) {
  names_[0] = first;
  names_[1] = second;
  update();
}

QString SweepPlot::SpanText() const {
  std::int64_t span = spanNs_;
  if (rows_ != nullptr && !rows_->empty()) span = std::max(span, rows_->back().startNs + 1);
  return span > 0 ? DurationText(span) : QString();
}

void SweepPlot::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRectF area = QRectF(rect()).adjusted(40, 10, -12, -28);
  painter.setPen(QPen(Qt::gray, 1));
  painter.drawRect(area);

  const bool any = rows_ != nullptr && !rows_->empty();
  std::int64_t span = spanNs_;
  if (any) span = std::max(span, rows_->back().startNs + 1);
  span = std::max<std::int64_t>(span, 1);
  const auto y = [&](int code) { return area.bottom() - area.height() * code / highest_; };

  painter.setPen(Qt::black);
  for (int code : {0, highest_ / 2, highest_}) {
    painter.drawText(QRectF(0, y(code) - 8, 36, 16), Qt::AlignRight | Qt::AlignVCenter,
                     QString::number(code));
  }
  painter.drawText(QRectF(area.left(), area.bottom() + 4, area.width(), 20), Qt::AlignLeft, "0 s");
  painter.drawText(QRectF(area.left(), area.bottom() + 4, area.width(), 20), Qt::AlignRight, SpanText());

  const QColor colors[2] = {QColor(0, 90, 200), QColor(200, 60, 0)};
  const auto pen = [&](int channel) { return QPen(colors[channel], channel == 0 ? 2.0 : 1.0); };
  // Legend, top left inside the frame.
  painter.setRenderHint(QPainter::Antialiasing, true);
  QPointF at = area.topLeft() + QPointF(8, 14);
  for (int channel = 0; channel < 2; ++channel) {
    painter.setPen(pen(channel));
    painter.drawLine(at, at + QPointF(20, 0));
    painter.setPen(Qt::black);
    painter.drawText(at + QPointF(24, 4), names_[channel]);
    at += QPointF(90, 0);
  }
  if (verify_) {
    painter.setBrush(colors[0]);
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(at + QPointF(10, 0), 2.5, 2.5);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(Qt::black);
    painter.drawText(at + QPointF(24, 4), "read back");
  }
  if (!any) return;
  painter.setRenderHint(QPainter::Antialiasing, false);

  // At most one stroke per pixel column and channel: the codes a column's
  // stretch of time held, from the lowest to the highest, then the level it
  // ends on across to the next column. However many steps, the work is one
  // pass over them and a few lines per pixel.
  const std::vector<StepRecord>& rows = *rows_;
  const int columns = std::max(1, static_cast<int>(area.width()));
  const auto timeOf = [&](int column) {
    return static_cast<std::int64_t>(static_cast<double>(span) * column / columns);
  };
  const auto xOf = [&](int column) { return area.left() + column; };
  const auto firstAt = [&](std::int64_t ns, std::size_t from) {
    return static_cast<std::size_t>(
        std::partition_point(rows.begin() + static_cast<std::ptrdiff_t>(from), rows.end(),
                             [ns](const StepRecord& r) { return r.startNs < ns; }) -
        rows.begin());
  };
  QVector<QLineF> lines[2];
  QVector<QPointF> dots[2];
  for (auto& l : lines) l.reserve(qsizetype{2} * columns);
  std::size_t i = 0;
  int level[2] = {-1, -1};
  for (int column = 0; column < columns && i < rows.size(); ++column) {
    const std::size_t end = firstAt(timeOf(column + 1), i);
    if (end == i && level[0] < 0) continue;  // before the first step
    int lo[2] = {level[0], level[1]}, hi[2] = {level[0], level[1]};
    int readLo[2] = {INT_MAX, INT_MAX}, readHi[2] = {INT_MIN, INT_MIN};
    for (; i < end; ++i) {
      const StepRecord& r = rows[i];
      const int codes[2] = {r.code1, r.code2}, reads[2] = {r.read1, r.read2};
      for (int c = 0; c < 2; ++c) {
        if (lo[c] < 0 || codes[c] < lo[c]) lo[c] = codes[c];
        hi[c] = std::max(hi[c], codes[c]);
        level[c] = codes[c];
        if (verify_ && r.verified)
          readLo[c] = std::min(readLo[c], reads[c]), readHi[c] = std::max(readHi[c], reads[c]);
      }
    }
    const double x = xOf(column);
    for (int c = 0; c < 2; ++c) {
      if (lo[c] != hi[c]) lines[c].append(QLineF(x, y(lo[c]), x, y(hi[c])));
      lines[c].append(QLineF(x, y(level[c]), i < rows.size() ? x + 1 : xOf(columns), y(level[c])));
      if (readLo[c] <= readHi[c]) {
        dots[c].append(QPointF(x, y(readLo[c])));
        if (readHi[c] != readLo[c]) dots[c].append(QPointF(x, y(readHi[c])));
      }
    }
  }
  for (int channel = 0; channel < 2; ++channel) {
    // Dashes would restart at every short line: the second channel is
    // drawn thinner instead.
    painter.setPen(pen(channel));
    painter.drawLines(lines[channel]);
  }
  if (verify_) {
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);
    for (int channel = 0; channel < 2; ++channel) {
      painter.setBrush(colors[channel]);
      for (const QPointF& p : dots[channel]) painter.drawEllipse(p, 2.5, 2.5);
    }
  }
}

}  // namespace tarvel
