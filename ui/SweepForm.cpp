#include "ui/SweepForm.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "chips/Chips.h"
#include "core/MainModule.h"
#include "core/Numbers.h"
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

}  // namespace

SweepForm::SweepForm(MainForm* main) : QWidget(main, Qt::Window), main_(main) {
  setObjectName("SweepForm");
  setWindowTitle("Sweep");
  setWindowIcon(forms::ProgramIcon());
  QWidget* settings = BuildSettings();
  BuildButtons();
  LayOut(settings);
  ConnectControls();
  Refresh();
  SetRunning(false);
}

// The ramp's and the run's settings, in a form.
QWidget* SweepForm::BuildSettings() {
  auto* settings = new QGroupBox(this);
  auto* form = new QFormLayout(settings);
  const auto spin = [&](const char* name, int lo, int hi, int value) {
    auto* box = new QSpinBox(settings);
    box->setObjectName(name);
    box->setRange(lo, hi);
    box->setValue(value);
    return box;
  };
  // Until the first refresh: the first chip's range and names, steps up to
  // the widest chip's codes.
  const Chip& first = *Chips().front();
  int widest = 0;
  for (const Chip* chip : Chips()) widest = std::max(widest, chip->highest());
  FromBox = spin("FromBox", 0, first.highest(), 0);
  ToBox = spin("ToBox", 0, first.highest(), first.windowHighest);
  StepBox = spin("StepBox", 1, widest, 1);
  DwellBox = new QDoubleSpinBox(settings);
  DwellBox->setObjectName("DwellBox");
  DwellBox->setDecimals(1);
  DwellBox->setRange(0.1, 86'400'000.0);
  DwellBox->setValue(100.0);
  ChannelBox = new QComboBox(settings);
  ChannelBox->setObjectName("ChannelBox");
  ChannelBox->addItems({"Both", ChannelName(first, 0), ChannelName(first, 1)});
  RepeatBox = spin("RepeatBox", 0, 1'000'000, 1);
  RepeatBox->setSpecialValueText("until stopped");
  VerifyBox = new QCheckBox("Verify", settings);
  VerifyBox->setObjectName("VerifyBox");
  form->addRow("From", FromBox);
  form->addRow("To", ToBox);
  form->addRow("Step", StepBox);
  form->addRow("Dwell (ms)", DwellBox);
  form->addRow("Channel", ChannelBox);
  form->addRow("Repeat", RepeatBox);
  form->addRow("", VerifyBox);
  return settings;
}

void SweepForm::BuildButtons() {
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
  auto* top = new QHBoxLayout(this);
  top->addLayout(side);
  top->addLayout(right, 1);
  resize(760, 420);
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
  poll_ = new QTimer(this);
  poll_->setInterval(50);
  connect(poll_, &QTimer::timeout, this, [this] { Poll(); });
}

SweepForm::~SweepForm() {
  if (worker_.joinable()) {
    stop_ = true;
    worker_.join();
  }
}

void SweepForm::Refresh() {
  // The chosen chip's channel names (without a device, the second chip's
  // as ever); only a chip that reads back can verify.
  const Chip* chip = FindChip(DeviceName);
  const bool rx = chip && chip->readsBack();
  const Chip& named = chip ? *chip : *Chips().at(1);
  for (QSpinBox* box : {FromBox, ToBox}) box->setRange(GainMin, GainMax);
  ChannelBox->setItemText(1, ChannelName(named, 0));
  ChannelBox->setItemText(2, ChannelName(named, 1));
  VerifyBox->setEnabled(rx && !running());
  if (!rx) VerifyBox->setChecked(false);
  Plot->SetNames(ChannelBox->itemText(1), ChannelBox->itemText(2));
  Plot->SetData(&rows_, plan_.steps.empty() ? 0 : PlannedRunNs(plan_.steps, 1), GainMax, plan_.verify);
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
  return true;
}

void SweepForm::UseRamp() {
  sequence_.clear();
  sequenceName_.clear();
  SetRunning(false);
}

bool SweepForm::SaveLog(const QString& path) {
  std::string error;
  if (WriteSweepLog(path.toStdString(), rows_, plan_.verify, error)) return true;
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
  RampSpec spec;
  spec.from = FromBox->value();
  spec.to = ToBox->value();
  spec.step = StepBox->value();
  spec.dwellNs = static_cast<std::int64_t>(std::llround(DwellBox->value() * 1e6));
  spec.channel = static_cast<SweepChannel>(ChannelBox->currentIndex());
  // The channel that is not swept holds the main window's current code.
  spec.other = main_->GainSlide[spec.channel == SweepChannel::First ? 1 : 0]->Code();
  plan.steps = BuildRamp(spec);
  return plan;
}

void SweepForm::Start_Click() {
  if (running()) return;
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
  plan_ = MakePlan();
  rows_.clear();
  droppedRows_ = 0;
  pending_.clear();
  result_ = SweepResult{};
  stop_ = false;
  done_ = false;
  waitedNs_ = 0;
  Plot->SetData(&rows_, PlannedRunNs(plan_.steps, 1), GainMax, plan_.verify);

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
  if (!fresh.empty()) {
    // The main window follows without running its change handlers: nothing
    // is sent from there and no range alert can come up.
    const StepRecord& r = fresh.back();
    const std::int16_t codes[2] = {r.code1, r.code2};
    for (std::size_t i = 0; i < 2; ++i) {
      const QSignalBlocker blockText(main_->GainText[i]);
      const QSignalBlocker blockSlide(main_->GainSlide[i]);
      main_->GainSlide[i]->SetCode(codes[i]);
      main_->GainText[i]->setText(Text(CodeToText(codes[i])));
    }
  }
  const std::int64_t total = PlannedRunNs(plan_.steps, plan_.repeat);
  const std::int64_t at = std::max<std::int64_t>(waitedNs_, rows_.empty() ? 0 : rows_.back().startNs);
  if (plan_.repeat == 0) {
    Progress->setRange(0, 0);
    Progress->setFormat(QString("step %1").arg(droppedRows_ + rows_.size()));
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
    main_->LastSent->setText(
        Text("Last Sent: " + CodeToText(result_.last->code1) + ", " + CodeToText(result_.last->code2)));
  }
  Progress->setRange(0, 1000);
  if (result_.end == SweepEnd::Completed) Progress->setValue(1000);
  QString end = result_.end == SweepEnd::Completed ? "%p%, done" : "%p%, stopped";
  if (droppedRows_ > 0) end += QString(", the log keeps the last %1 steps").arg(rows_.size());
  Progress->setFormat(end);
  SetRunning(false);
  Plot->update();
  if (const auto alert = RunSweepAlert(result_)) ShowAlert(*alert);
}

void SweepForm::SetRunning(bool on) {
  const bool ramp = sequence_.empty();
  for (QWidget* w :
       {static_cast<QWidget*>(FromBox), static_cast<QWidget*>(ToBox), static_cast<QWidget*>(StepBox),
        static_cast<QWidget*>(DwellBox), static_cast<QWidget*>(ChannelBox)}) {
    w->setEnabled(!on && ramp);
  }
  RepeatBox->setEnabled(!on);
  const Chip* chip = FindChip(DeviceName);
  VerifyBox->setEnabled(!on && chip && chip->readsBack());
  LoadButton->setEnabled(!on);
  RampButton->setEnabled(!on && !ramp);
  SaveButton->setEnabled(!on && !rows_.empty());
  StartButton->setEnabled(!on);
  StopButton->setEnabled(on);
  SourceLabel->setText(ramp ? QString("Ramp")
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

void SweepPlot::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing, true);
  const QRectF area = QRectF(rect()).adjusted(40, 10, -12, -28);
  painter.setPen(QPen(Qt::gray, 1));
  painter.drawRect(area);

  const bool any = rows_ != nullptr && !rows_->empty();
  std::int64_t span = spanNs_;
  if (any) span = std::max(span, rows_->back().startNs + 1);
  span = std::max<std::int64_t>(span, 1);
  const auto x = [&](std::int64_t ns) {
    return area.left() + area.width() * static_cast<double>(ns) / static_cast<double>(span);
  };
  const auto y = [&](int code) { return area.bottom() - area.height() * code / highest_; };

  painter.setPen(Qt::black);
  for (int code : {0, highest_ / 2, highest_}) {
    painter.drawText(QRectF(0, y(code) - 8, 36, 16), Qt::AlignRight | Qt::AlignVCenter,
                     QString::number(code));
  }
  painter.drawText(QRectF(area.left(), area.bottom() + 4, area.width(), 20), Qt::AlignLeft, "0 s");
  painter.drawText(QRectF(area.left(), area.bottom() + 4, area.width(), 20), Qt::AlignRight,
                   QString("%1 s").arg(static_cast<double>(span) / 1e9, 0, 'g', 3));

  const QColor colors[2] = {QColor(0, 90, 200), QColor(200, 60, 0)};
  const auto pen = [&](int channel) {
    return QPen(colors[channel], channel == 0 ? 2.0 : 1.5, channel == 0 ? Qt::SolidLine : Qt::DashLine);
  };
  // Legend, top left inside the frame.
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

  // At most about two points per pixel: long runs are thinned for drawing.
  const std::size_t n = rows_->size();
  const std::size_t stride =
      std::max<std::size_t>(1, n / static_cast<std::size_t>(std::max(1, 2 * static_cast<int>(area.width()))));
  for (int channel = 0; channel < 2; ++channel) {
    QPainterPath path;
    for (std::size_t i = 0; i < n; i += stride) {
      const StepRecord& r = (*rows_)[i];
      const double px = x(r.startNs), py = y(channel == 0 ? r.code1 : r.code2);
      if (i == 0) {
        path.moveTo(px, py);
      } else {
        path.lineTo(px, path.currentPosition().y());
        path.lineTo(px, py);
      }
    }
    path.lineTo(x(span), path.currentPosition().y());
    painter.setPen(pen(channel));
    painter.drawPath(path);
    if (verify_) {
      painter.setBrush(colors[channel]);
      for (std::size_t i = 0; i < n; i += stride) {
        const StepRecord& r = (*rows_)[i];
        if (r.verified)
          painter.drawEllipse(QPointF(x(r.startNs), y(channel == 0 ? r.read1 : r.read2)), 2.5, 2.5);
      }
      painter.setBrush(Qt::NoBrush);
    }
  }
}

}  // namespace tarvel
