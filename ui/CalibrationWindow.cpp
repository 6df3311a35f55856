#include "ui/CalibrationWindow.h"

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "chips/Chips.h"
#include "core/MainModule.h"
#include "core/Numbers.h"
#include "ui/CodeScrollBar.h"
#include "ui/Forms.h"
#include "ui/MainForm.h"
#include "ui/SweepForm.h"

namespace tarvel {

namespace {

QString Text(const std::string& s) { return QString::fromStdString(s); }

// A frequency for people: "1 GHz", "2.45 GHz", "150 kHz", "0 Hz".
QString FrequencyForPeople(double hz) {
  const struct {
    double scale;
    const char* unit;
  } units[] = {{1e9, "GHz"}, {1e6, "MHz"}, {1e3, "kHz"}};
  for (const auto& u : units) {
    if (std::fabs(hz) >= u.scale) return QString("%1 %2").arg(hz / u.scale, 0, 'g', 6).arg(u.unit);
  }
  return QString("%1 Hz").arg(hz, 0, 'g', 6);
}

// A frequency in the box: whole hertz as plain digits, as --freq takes them.
QString HzText(double hz) {
  return hz == std::floor(hz) && std::fabs(hz) < 1e15 ? QString::number(hz, 'f', 0)
                                                      : QString::number(hz, 'g', 15);
}

// A number as the program reads numbers, here also with an exponent
// ("2.4E9"), as SCPI's CALibration:FREQuency takes it.
std::optional<double> ReadNumber(const QString& text) {
  const auto plain = WithoutExponent(text.trimmed().toStdString());
  return plain ? TextToNumber(*plain) : std::nullopt;
}

// Round steps for an axis from `lo` to `hi`: 1, 2 or 5 times a power of ten,
// about `count` of them.
double TickStep(double lo, double hi, int count) {
  const double raw = std::max(hi - lo, 1e-9) / count;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double m : {1.0, 2.0, 5.0}) {
    if (m * power >= raw) return m * power;
  }
  return 10 * power;
}

}  // namespace

// ---- The plot ---------------------------------------------------------------------

CalibrationPlot::CalibrationPlot(QWidget* parent) : QWidget(parent) {
  setMinimumSize(320, 240);
  setAutoFillBackground(true);
  QPalette p = palette();
  p.setColor(QPalette::Window, Qt::white);
  setPalette(p);
}

void CalibrationPlot::SetData(const Calibration* calibration, std::array<int, 2> held) {
  calibration_ = calibration;
  held_ = held;
  update();
}

void CalibrationPlot::SetNames(const QString& first, const QString& second) {
  names_[0] = first;
  names_[1] = second;
  update();
}

QString CalibrationPlot::Caption() const {
  if (calibration_ == nullptr) return "No table loaded";
  return QString("%1 at %2")
      .arg(Text(calibration_->Table().device), FrequencyForPeople(calibration_->Frequency()));
}

void CalibrationPlot::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRectF area = QRectF(rect()).adjusted(58, 26, -14, -34);
  painter.setPen(QPen(Qt::gray, 1));
  painter.drawRect(area);
  painter.setPen(Qt::black);
  painter.drawText(QRectF(area.left(), 4, area.width(), 18), Qt::AlignHCenter | Qt::AlignVCenter, Caption());
  if (calibration_ == nullptr) return;

  // The axes span every point of both channels, a little beyond.
  std::vector<QPointF> points[2];
  double loCode = 0, hiCode = 1, loDb = 0, hiDb = 0;
  bool any = false;
  for (int c = 0; c < 2; ++c) {
    for (const int code : calibration_->Codes(c)) {
      const auto gain = calibration_->GainOf(c, code);
      if (!gain) continue;
      points[c].emplace_back(code, *gain);
      if (!any) loCode = hiCode = code, loDb = hiDb = *gain;
      loCode = std::min<double>(loCode, code), hiCode = std::max<double>(hiCode, code);
      loDb = std::min(loDb, *gain), hiDb = std::max(hiDb, *gain);
      any = true;
    }
  }
  if (!any) return;
  if (hiCode - loCode < 1) hiCode = loCode + 1;
  if (hiDb - loDb < 1) loDb -= 0.5, hiDb += 0.5;
  const double padDb = (hiDb - loDb) * 0.05;
  loDb -= padDb, hiDb += padDb;
  const auto x = [&](double code) {
    return area.left() + area.width() * (code - loCode) / (hiCode - loCode);
  };
  const auto y = [&](double db) { return area.bottom() - area.height() * (db - loDb) / (hiDb - loDb); };

  // Grid lines at round gains and codes.
  const double dbStep = TickStep(loDb, hiDb, 6);
  const int decimals = dbStep < 1 ? static_cast<int>(std::ceil(-std::log10(dbStep))) : 0;
  for (double db = std::ceil(loDb / dbStep) * dbStep; db <= hiDb; db += dbStep) {
    painter.setPen(QColor(225, 225, 225));
    painter.drawLine(QPointF(area.left() + 1, y(db)), QPointF(area.right() - 1, y(db)));
    painter.setPen(Qt::black);
    painter.drawText(QRectF(0, y(db) - 8, 54, 16), Qt::AlignRight | Qt::AlignVCenter,
                     QString::number(std::fabs(db) < dbStep / 2 ? 0.0 : db, 'f', decimals) + " dB");
  }
  const double codeStep = std::max(1.0, TickStep(loCode, hiCode, 6));
  for (double code = std::ceil(loCode / codeStep) * codeStep; code <= hiCode; code += codeStep) {
    painter.setPen(QColor(225, 225, 225));
    painter.drawLine(QPointF(x(code), area.top() + 1), QPointF(x(code), area.bottom() - 1));
    painter.setPen(Qt::black);
    painter.drawText(QRectF(x(code) - 30, area.bottom() + 2, 60, 14), Qt::AlignHCenter,
                     QString::number(code, 'f', 0));
  }
  painter.drawText(QRectF(area.left(), area.bottom() + 14, area.width(), 16), Qt::AlignHCenter, "code");

  const QColor colors[2] = {QColor(0, 90, 200), QColor(200, 60, 0)};
  painter.setRenderHint(QPainter::Antialiasing, true);
  QPointF at = area.topLeft() + QPointF(8, 14);
  for (int c = 0; c < 2; ++c) {
    painter.setPen(QPen(colors[c], 1.5));
    painter.drawLine(at, at + QPointF(20, 0));
    painter.setBrush(colors[c]);
    painter.drawEllipse(at + QPointF(10, 0), 2.5, 2.5);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(Qt::black);
    painter.drawText(at + QPointF(24, 4), names_[c]);
    at += QPointF(90, 0);
  }
  for (int c = 0; c < 2; ++c) {
    QPolygonF line;
    for (const QPointF& p : points[c]) line << QPointF(x(p.x()), y(p.y()));
    painter.setPen(QPen(colors[c], c == 0 ? 1.5 : 1.0));
    painter.drawPolyline(line);
    painter.setBrush(colors[c]);
    for (const QPointF& p : line) painter.drawEllipse(p, 2.5, 2.5);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(colors[c], 2.0));
    for (const QPointF& p : points[c]) {
      if (static_cast<int>(p.x()) == held_[static_cast<std::size_t>(c)])
        painter.drawEllipse(QPointF(x(p.x()), y(p.y())), 6, 6);
    }
  }
}

// ---- The window -------------------------------------------------------------------

CalibrationWindow::CalibrationWindow(MainForm* main) : QWidget(nullptr, Qt::Window), main_(main) {
  setObjectName("CalibrationWindow");
  setWindowTitle("Calibration");
  setWindowIcon(forms::ProgramIcon());
  BuildControls();
  ConnectControls();
  ShowTable();
  forms::FitToScreen(this, QSize(860, 480));
}

CalibrationWindow::~CalibrationWindow() = default;

void CalibrationWindow::BuildControls() {
  PortLabel = new QLabel(this);
  PortLabel->setObjectName("PortLabel");

  auto* file = new QGroupBox("Table", this);
  PathBox = new QLineEdit(file);
  PathBox->setObjectName("PathBox");
  PathBox->setPlaceholderText("calibration table (CSV)");
  BrowseButton = new QPushButton("Browse...", file);
  BrowseButton->setObjectName("BrowseButton");
  LoadButton = new QPushButton("Load", file);
  LoadButton->setObjectName("LoadButton");
  TableLabel = new QLabel(file);
  TableLabel->setObjectName("TableLabel");
  TableLabel->setWordWrap(true);
  auto* fileRows = new QGridLayout(file);
  fileRows->addWidget(PathBox, 0, 0);
  fileRows->addWidget(BrowseButton, 0, 1);
  fileRows->addWidget(LoadButton, 0, 2);
  fileRows->addWidget(TableLabel, 1, 0, 1, 3);

  auto* gains = new QGroupBox("Gain", this);
  auto* gainRows = new QGridLayout(gains);
  FrequencyBox = new QLineEdit(gains);
  FrequencyBox->setObjectName("FrequencyBox");
  FrequencyLabel = new QLabel(gains);
  FrequencyLabel->setObjectName("FrequencyLabel");
  gainRows->addWidget(new QLabel("Frequency (Hz)", gains), 0, 0);
  FrequencyBox->setMinimumWidth(120);
  gainRows->addWidget(FrequencyBox, 0, 1, 1, 2);
  gainRows->addWidget(FrequencyLabel, 1, 1, 1, 2);
  for (std::size_t i = 0; i < 2; ++i) {
    const int row = 2 + static_cast<int>(i);
    ChannelLabel[i] = new QLabel(gains);
    ChannelLabel[i]->setObjectName(QString("ChannelLabel(%1)").arg(i));
    GainBox[i] = new QLineEdit(gains);
    GainBox[i]->setObjectName(QString("GainBox(%1)").arg(i));
    GainBox[i]->setPlaceholderText("dB");
    GainBox[i]->setMinimumWidth(80);
    SetButton[i] = new QPushButton("Set", gains);
    SetButton[i]->setObjectName(QString("SetButton(%1)").arg(i));
    SetButton[i]->setAutoDefault(true);
    ChosenLabel[i] = new QLabel(gains);
    ChosenLabel[i]->setObjectName(QString("ChosenLabel(%1)").arg(i));
    gainRows->addWidget(ChannelLabel[i], row, 0);
    gainRows->addWidget(GainBox[i], row, 1);
    gainRows->addWidget(SetButton[i], row, 2);
    gainRows->addWidget(ChosenLabel[i], row, 3);
  }
  gainRows->setColumnStretch(3, 1);
  NoteLabel = new QLabel(this);
  NoteLabel->setObjectName("NoteLabel");
  NoteLabel->setWordWrap(true);
  Plot = new CalibrationPlot(this);
  Plot->setObjectName("Plot");

  // The table and the dB controls on the left, the plot on the right.
  auto* side = new QVBoxLayout;
  side->addWidget(PortLabel);
  side->addWidget(file);
  side->addWidget(gains);
  side->addWidget(NoteLabel);
  side->addStretch();
  auto* top = new QHBoxLayout(this);
  top->addLayout(side, 2);
  top->addWidget(Plot, 3);
  QWidget* order[] = {PathBox,    BrowseButton, LoadButton, FrequencyBox,
                      GainBox[0], SetButton[0], GainBox[1], SetButton[1]};
  for (std::size_t k = 1; k < std::size(order); ++k) setTabOrder(order[k - 1], order[k]);
}

void CalibrationWindow::ConnectControls() {
  connect(BrowseButton, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getOpenFileName(this, "Load calibration table", PathBox->text(),
                                                      "CSV files (*.csv);;All files (*)");
    if (!path.isEmpty()) LoadTable(path);
  });
  connect(LoadButton, &QPushButton::clicked, this, [this] { LoadTable(PathBox->text()); });
  connect(PathBox, &QLineEdit::returnPressed, this, [this] { LoadTable(PathBox->text()); });
  connect(FrequencyBox, &QLineEdit::editingFinished, this, [this] { TakeFrequency(); });
  for (int i = 0; i < 2; ++i) {
    const auto slot = static_cast<std::size_t>(i);
    connect(SetButton[slot], &QPushButton::clicked, this, [this, i] { SetGain(i); });
    connect(GainBox[slot], &QLineEdit::returnPressed, this, [this, i] { SetGain(i); });
    // The rings follow the codes as they change there.
    connect(main_->GainSlide[slot], &QScrollBar::valueChanged, this,
            [this] { Plot->SetData(calibration(), HeldCodes()); });
  }
  // The window follows the device chosen in the gain-control window.
  for (QRadioButton* option : main_->DeviceOption)
    connect(option, &QRadioButton::toggled, this, [this](bool on) {
      if (on) Refresh();
    });
}

std::array<int, 2> CalibrationWindow::HeldCodes() const {
  return {main_->GainSlide[0]->Code(), main_->GainSlide[1]->Code()};
}

const Calibration* CalibrationWindow::CalibrationFor(const std::string& device) const {
  return calibration_ && calibration_->Table().device == device ? calibration_.get() : nullptr;
}

bool CalibrationWindow::LoadTable(const QString& path) {
  const CalParse parsed = LoadCalibrationFile(path.toStdString());
  if (!parsed.table) {
    // The path shown stays the loaded table's, as the box of a refused
    // number goes back to the last one taken.
    PathBox->setText(loadedPath_);
    ShowAlert({AlertIcon::Error, "Error: Invalid Calibration Table",
               parsed.error.empty() ? path.toStdString() + ": not a calibration table" : parsed.error});
    return false;
  }
  calibration_ = std::make_unique<Calibration>(*parsed.table);
  loadedPath_ = path;
  PathBox->setText(path);
  for (QLabel* chosen : ChosenLabel) chosen->clear();
  ShowTable();
  emit calibrationChanged();
  return true;
}

bool CalibrationWindow::TakeFrequency() {
  if (!calibration_ || FrequencyBox->text() == frequencyText_) return true;
  const auto hz = ReadNumber(FrequencyBox->text());
  if (!hz || !calibration_->SetFrequency(*hz)) {
    FrequencyBox->setText(frequencyText_);
    ShowAlert({AlertIcon::Warning, "Error: Invalid Entry", "The frequency is a number of hertz, 0 or more."});
    return false;
  }
  for (QLabel* chosen : ChosenLabel) chosen->clear();
  ShowTable();
  emit calibrationChanged();
  return true;
}

bool CalibrationWindow::SetGain(int channel) {
  if (channel < 0 || channel > 1 || !TakeFrequency()) return false;
  const auto slot = static_cast<std::size_t>(channel);
  const Calibration* table = CalibrationFor(DeviceName);
  if (table == nullptr) {
    Refresh();
    return false;
  }
  // With a chip chosen, the gain-control window's boxes are off only while
  // a sweep holds the port.
  if (!main_->GainText[slot]->isEnabled()) {
    ShowAlert({AlertIcon::Warning, "Error: Gain Not Set",
               "A sweep is running; set the gain when it has ended. Nothing was sent."});
    return false;
  }
  const auto db = GainFromText(GainBox[slot]->text().toStdString());
  if (!db) {
    ShowEntryAlert();
    return false;
  }
  std::string error;
  const auto choice = table->Nearest(channel, *db, error);
  if (!choice) {
    ShowAlert({AlertIcon::Warning, "Error: Gain Out of Range", error});
    return false;
  }
  if (choice->code < GainMin || choice->code > GainMax) {
    ShowAlert({AlertIcon::Warning, "Error: Gain Out of Range",
               "The nearest code, " + CodeToText(choice->code) + " (" + GainText(choice->gainDb) +
                   " dB), is outside the codes " + CodeToText(GainMin) + " to " + CodeToText(GainMax) +
                   " the gain-control window sends."});
    return false;
  }
  // The boxes take the code as if typed, and the gain-control window's own
  // send carries both codes to the chips.
  std::array<int, 2> codes = HeldCodes();
  codes[slot] = choice->code;
  main_->ShowHeldCodes(static_cast<std::int16_t>(codes[0]), static_cast<std::int16_t>(codes[1]));
  main_->Transmit_Click();
  ChosenLabel[slot]->setText(
      Text("code " + CodeToText(choice->code) + ", " + GainText(choice->gainDb) + " dB"));
  Plot->SetData(calibration(), HeldCodes());
  return true;
}

void CalibrationWindow::Refresh() {
  PortLabel->setText("Port: " + forms::PortText());
  const Chip* chip = FindChip(DeviceName);
  for (std::size_t i = 0; i < 2; ++i) {
    ChannelLabel[i]->setText(chip != nullptr ? Text(std::string(chip->channels[i])) + " (dB)"
                                             : QString("Channel %1 (dB)").arg(i + 1));
  }
  if (chip != nullptr)
    Plot->SetNames(Text(std::string(chip->channels[0])), Text(std::string(chip->channels[1])));
  const bool applies = CalibrationFor(DeviceName) != nullptr;
  for (std::size_t i = 0; i < 2; ++i) {
    const bool rows = applies && !calibration_->Codes(static_cast<int>(i)).empty();
    GainBox[i]->setEnabled(rows);
    SetButton[i]->setEnabled(rows);
  }
  FrequencyBox->setEnabled(calibration_ != nullptr);
  if (!calibration_) {
    NoteLabel->setText("Load a table to set the gain in dB.");
  } else if (!applies) {
    NoteLabel->setText(Text("The table is for the " + calibration_->Table().device +
                            "; choose it in Tarvel Control to set the gain in dB."));
  } else {
    NoteLabel->clear();
  }
  Plot->SetData(calibration(), HeldCodes());
}

void CalibrationWindow::ShowTable() {
  if (!calibration_) {
    TableLabel->setText("No table loaded");
    FrequencyLabel->clear();
  } else {
    const CalTable& table = calibration_->Table();
    QString about = Text(table.device);
    for (const auto& [key, value] : table.meta) {
      if (key != "device") about += QString(", %1=%2").arg(Text(key), Text(value));
    }
    TableLabel->setText(about);
    const auto lo = calibration_->LowestFrequency(), hi = calibration_->HighestFrequency();
    FrequencyLabel->setText(
        !lo          ? QString("the table holds at every frequency")
        : *lo == *hi ? QString("table: %1").arg(FrequencyForPeople(*lo))
                     : QString("table: %1 to %2").arg(FrequencyForPeople(*lo), FrequencyForPeople(*hi)));
    frequencyText_ = HzText(calibration_->Frequency());
    FrequencyBox->setText(frequencyText_);
  }
  Refresh();
}

// ---- The menu ---------------------------------------------------------------------

namespace {
QPointer<CalibrationWindow> gShown;
}  // namespace

CalibrationWindow* ShownCalibration() { return gShown.data(); }

const Calibration* LoadedCalibration(const std::string& device) {
  return gShown.isNull() ? nullptr : gShown->CalibrationFor(device);
}

void AddCalibrationMenu(MainForm* main) {
  QAction* action = main->ToolsMenu->addAction("Calibration...");
  action->setObjectName("CalibrationMenu");
  QObject::connect(action, &QAction::triggered, main, [main] {
    if (gShown.isNull()) {
      gShown = new CalibrationWindow(main);
      // The Sweep window takes its ramp in dB from the table.
      QObject::connect(gShown.data(), &CalibrationWindow::calibrationChanged, main, [main] {
        if (SweepForm* sweep = main->Sweep()) sweep->Refresh();
      });
      // It belongs to the gain-control window's session and goes with it.
      QObject::connect(main, &QObject::destroyed, gShown.data(), [] { delete gShown.data(); });
    }
    gShown->Refresh();
    gShown->show();
    gShown->raise();
    gShown->activateWindow();
  });
}

}  // namespace tarvel
