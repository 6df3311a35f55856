#include "ui/PortTraceWindow.h"

#include <QAction>
#include <QBuffer>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "capture/PortCapture.h"
#include "chips/Chips.h"
#include "core/AtomicFile.h"
#include "core/MainModule.h"
#include "ui/Forms.h"
#include "ui/MainForm.h"

namespace tarvel {

// ---- The diagram ------------------------------------------------------------------

PortTraceView::PortTraceView(PortTraceModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  setObjectName("PortTraceView");
  setFocusPolicy(Qt::StrongFocus);
  setMinimumSize(400, kFrameBand + 8 * kRowHeight + kAxis);
  setAutoFillBackground(true);
  QPalette p = palette();
  p.setColor(QPalette::Window, Qt::white);
  setPalette(p);
}

double PortTraceView::PlotWidth() const { return std::max(1.0, width() - kLabelWidth - 8.0); }

double PortTraceView::XOf(double a) const {
  return kLabelWidth + (a - model_.viewStart()) / (model_.viewEnd() - model_.viewStart()) * PlotWidth();
}

double PortTraceView::AccessAt(double x) const {
  return model_.viewStart() + (x - kLabelWidth) / PlotWidth() * (model_.viewEnd() - model_.viewStart());
}

double PortTraceView::FrameWidth(const DecodedFrame& f) const {
  const double left = kLabelWidth, right = kLabelWidth + PlotWidth();
  const double x0 = std::max(left, XOf(double(f.start)));
  const double x1 = std::min(right, XOf(double(std::max(f.end, f.start + 1))));
  return std::max(2.0, x1 - x0);
}

QString PortTraceView::LabelFor(const DecodedFrame& f, const QFontMetrics& metrics) const {
  const int room = static_cast<int>(FrameWidth(f)) - 6;
  const QString whole = QString::fromStdString(f.text);
  QStringList texts{whole};
  const auto& chips = Chips();
  if (f.chip >= 0 && static_cast<std::size_t>(f.chip) < chips.size()) {
    const QString chip =
        QString::fromStdString(std::string(chips[static_cast<std::size_t>(f.chip)]->token)) + " ";
    if (whole.startsWith(chip)) texts << whole.mid(chip.size());
  }
  if (f.kind != FrameKind::Anomaly && f.codes[0] >= 0) {
    texts << (f.codes[1] >= 0 ? QString("%1, %2").arg(f.codes[0]).arg(f.codes[1])
                              : QString::number(f.codes[0]));
  }
  for (const QString& t : texts) {
    if (metrics.horizontalAdvance(t) <= room) return t;
  }
  return metrics.elidedText(texts.back(), Qt::ElideRight, room);
}

QString PortTraceView::LabelOf(int frame) const {
  if (frame < 0 || frame >= static_cast<int>(model_.frames().size())) return {};
  return LabelFor(model_.frames()[static_cast<std::size_t>(frame)], fontMetrics());
}

void PortTraceView::Select(int frame) {
  if (frame >= static_cast<int>(model_.frames().size())) frame = -1;
  selected_ = frame;
  update();
  emit selectionChanged(frame);
}

void PortTraceView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const double left = kLabelWidth, right = kLabelWidth + PlotWidth();
  const auto first =
      static_cast<std::uint64_t>(std::max(std::floor(model_.viewStart()), double(model_.first())));
  const auto last = static_cast<std::uint64_t>(std::min(std::ceil(model_.viewEnd()), double(model_.end())));
  p.setClipRect(QRectF(0, 0, width(), height()));

  // Frames as labelled spans.
  const auto& frames = model_.frames();
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const DecodedFrame& f = frames[i];
    const double x0 = std::max(left, XOf(double(f.start)));
    const double x1 = std::min(right, XOf(double(std::max(f.end, f.start + 1))));
    if (x1 < left || x0 > right) continue;
    const QRectF r(x0, 3, std::max(2.0, x1 - x0), kFrameBand - 6);
    const bool good = f.kind != FrameKind::Anomaly;
    p.setPen(static_cast<int>(i) == selected_ ? QPen(Qt::blue, 2)
                                              : QPen(good ? QColor(40, 120, 40) : QColor(170, 30, 30)));
    p.setBrush(good ? QColor(210, 240, 210) : QColor(250, 215, 215));
    p.drawRect(r);
    p.setPen(Qt::black);
    p.drawText(r.adjusted(3, 0, -3, 0), Qt::AlignVCenter | Qt::AlignLeft, LabelFor(f, p.fontMetrics()));
  }

  // One row per line.
  const auto& rows = model_.rows();
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const double top = kFrameBand + double(r) * kRowHeight;
    const double hi = top + 5, lo = top + kRowHeight - 5;
    p.setPen(QColor(230, 230, 230));
    p.drawLine(QPointF(0, top), QPointF(right, top));
    p.setPen(Qt::black);
    p.drawText(QRectF(4, top, kLabelWidth - 8, kRowHeight), Qt::AlignVCenter | Qt::AlignLeft,
               QString::fromStdString(rows[r].label));
    int prev = -2;
    double prevX = left;
    for (std::uint64_t n = first; n <= last; ++n) {
      const int v = n < last ? model_.Level(rows[r], n) : -3;
      if (v == prev) continue;
      const double x = std::clamp(XOf(double(n)), left, right);
      if (prev == -1) {
        p.fillRect(QRectF(prevX, hi, x - prevX, lo - hi), QColor(200, 200, 200));
      } else if (prev >= 0) {
        p.setPen(QPen(QColor(20, 60, 160), 1.5));
        p.drawLine(QPointF(prevX, prev ? hi : lo), QPointF(x, prev ? hi : lo));
        if (v >= 0) p.drawLine(QPointF(x, hi), QPointF(x, lo));
      }
      prev = v, prevX = x;
    }
  }

  // The time axis: access numbers at steps of 1, 2 or 5 times a power of ten.
  const double axisTop = kFrameBand + double(rows.size()) * kRowHeight;
  p.setPen(Qt::black);
  p.drawLine(QPointF(left, axisTop), QPointF(right, axisTop));
  const double perPixel = (model_.viewEnd() - model_.viewStart()) / PlotWidth();
  double step = std::pow(10.0, std::floor(std::log10(std::max(1.0, perPixel * 80))));
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    if (step * m >= perPixel * 80) {
      step *= m;
      break;
    }
  }
  for (double a = std::ceil(model_.viewStart() / step) * step; a <= model_.viewEnd(); a += step) {
    const double x = XOf(a);
    p.drawLine(QPointF(x, axisTop), QPointF(x, axisTop + 4));
    p.drawText(QRectF(x - 50, axisTop + 4, 100, kAxis - 4), Qt::AlignHCenter | Qt::AlignTop,
               QString::number(static_cast<qulonglong>(a)));
  }
  p.drawText(QRectF(4, axisTop, kLabelWidth - 8, kAxis), Qt::AlignVCenter | Qt::AlignLeft, "access");
}

void PortTraceView::wheelEvent(QWheelEvent* event) {
  const double steps = event->angleDelta().y() / 120.0;
  if (steps == 0) return;
  model_.ZoomAt((event->position().x() - kLabelWidth) / PlotWidth(), std::pow(1.25, steps));
  update();
  event->accept();
}

void PortTraceView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  pressX_ = lastX_ = event->position().x();
  dragging_ = false;
}

void PortTraceView::mouseMoveEvent(QMouseEvent* event) {
  if (!(event->buttons() & Qt::LeftButton)) return;
  const double x = event->position().x();
  if (!dragging_ && std::abs(x - pressX_) < 4) return;
  dragging_ = true;
  model_.Pan(-(x - lastX_) / PlotWidth() * (model_.viewEnd() - model_.viewStart()));
  lastX_ = x;
  update();
}

void PortTraceView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  if (!dragging_ && event->position().x() >= kLabelWidth)
    Select(model_.FrameAt(AccessAt(event->position().x())));
  dragging_ = false;
}

void PortTraceView::keyPressEvent(QKeyEvent* event) {
  const double span = model_.viewEnd() - model_.viewStart();
  switch (event->key()) {
    case Qt::Key_Home: model_.Home(); break;
    case Qt::Key_Plus:
    case Qt::Key_Equal: model_.ZoomAt(0.5, 2.0); break;
    case Qt::Key_Minus: model_.ZoomAt(0.5, 0.5); break;
    case Qt::Key_Left: model_.Pan(-span / 4); break;
    case Qt::Key_Right: model_.Pan(span / 4); break;
    case Qt::Key_Up:
    case Qt::Key_Down: {
      // The previous or next frame is selected and brought into view.
      const int count = static_cast<int>(model_.frames().size());
      if (count == 0) break;
      const int next = event->key() == Qt::Key_Down ? std::min(selected_ + 1, count - 1)
                                                    : std::max(selected_ < 0 ? count - 1 : selected_ - 1, 0);
      const DecodedFrame& f = model_.frames()[static_cast<std::size_t>(next)];
      const double middle = (static_cast<double>(f.start) + static_cast<double>(f.end)) / 2;
      if (middle < model_.viewStart() || middle > model_.viewEnd())
        model_.Pan(middle - (model_.viewStart() + model_.viewEnd()) / 2);
      Select(next);
      break;
    }
    default: QWidget::keyPressEvent(event); return;
  }
  update();
  event->accept();
}

// ---- The window -------------------------------------------------------------------

PortTraceWindow::PortTraceWindow(std::function<std::size_t()> chip, QWidget* parent)
    : QWidget(parent), chip_(std::move(chip)) {
  setObjectName("PortTraceWindow");
  setWindowTitle("Port Trace");
  setWindowIcon(forms::ProgramIcon());
  setAttribute(Qt::WA_DeleteOnClose);

  view_ = new PortTraceView(model_, this);
  view_->setToolTip("+ and - zoom, Left and Right pan, Up and Down select a frame, Home shows all");
  port_ = new QLabel("Port: " + forms::PortText(), this);
  port_->setObjectName("PortLabel");
  bits_ = new QLabel("Click a frame to see its bits.", this);
  bits_->setObjectName("FrameBits");
  bits_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  // A long selection wraps instead of widening the window.
  bits_->setWordWrap(true);
  bits_->setMinimumWidth(120);
  auto* home = new QPushButton("Home", this);
  home->setObjectName("Home");
  auto* saveVcd = new QPushButton("Save as VCD...", this);
  saveVcd->setObjectName("SaveVcd");
  auto* savePng = new QPushButton("Save as PNG...", this);
  savePng->setObjectName("SavePng");

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(bits_, 1);
  buttons->addWidget(home);
  buttons->addWidget(saveVcd);
  buttons->addWidget(savePng);
  for (QPushButton* b : {home, saveVcd, savePng}) b->setAutoDefault(true);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(port_);
  layout->addWidget(view_, 1);
  layout->addLayout(buttons);

  connect(view_, &PortTraceView::selectionChanged, this, [this](int f) { ShowSelection(f); });
  connect(home, &QPushButton::clicked, this, [this] {
    model_.Home();
    view_->update();
  });
  connect(saveVcd, &QPushButton::clicked, this, [this] {
    const QString path =
        QFileDialog::getSaveFileName(this, "Save as VCD", "port-trace.vcd", "Value Change Dump (*.vcd)");
    if (!path.isEmpty()) SaveVcd(path);
  });
  connect(savePng, &QPushButton::clicked, this, [this] {
    const QString path =
        QFileDialog::getSaveFileName(this, "Save as PNG", "port-trace.png", "PNG image (*.png)");
    if (!path.isEmpty()) SavePng(path);
  });

  timer_ = new QTimer(this);
  timer_->setInterval(100);
  connect(timer_, &QTimer::timeout, this, &PortTraceWindow::Refresh);
  timer_->start();
  Refresh();
  forms::FitToScreen(this, QSize(900, view_->minimumHeight() + 90));
  view_->setFocus();
}

void PortTraceWindow::Refresh() {
  // A copy: a sweep's worker thread may be recording while the window draws.
  if (!model_.Refresh(RecentPortAccesses().Snapshot(), chip_ ? chip_() : 0)) return;
  // A refresh decodes afresh: the selection's index no longer holds.
  view_->Select(-1);
  view_->update();
}

void PortTraceWindow::ShowSelection(int frame) {
  if (frame < 0) {
    bits_->setText("Click a frame to see its bits.");
    return;
  }
  const DecodedFrame& f = model_.frames()[static_cast<std::size_t>(frame)];
  const bool read = f.kind == FrameKind::Read;
  bits_->setText(QString("%1 \u2014 accesses %2 to %3, %4: %5")
                     .arg(QString::fromStdString(f.text))
                     .arg(f.start)
                     .arg(f.end)
                     .arg(read ? "code bits read, first to last" : "bits sent, first to last")
                     .arg(QString::fromStdString(FrameBitsText(f))));
}

bool PortTraceWindow::SaveVcd(const QString& path) {
  std::string error;
  if (RecentPortAccesses().SaveVcd(path.toStdString(), error)) return true;
  ShowAlert(
      {AlertIcon::Error, "Error: Save as VCD", "Cannot write " + path.toStdString() + ": " + error + "."});
  return false;
}

bool PortTraceWindow::SavePng(const QString& path) {
  // Encoded in memory, then written as every other file of the program is:
  // a failure has the system's reason, and never leaves half a picture.
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  std::string error = "the picture could not be encoded";
  if (view_->grab().save(&buffer, "PNG") &&
      WriteFileAtomically(path.toStdString(),
                          std::string_view(png.constData(), static_cast<std::size_t>(png.size())), error)) {
    return true;
  }
  ShowAlert(
      {AlertIcon::Error, "Error: Save as PNG", "Cannot write " + path.toStdString() + ": " + error + "."});
  return false;
}

// ---- The menu ---------------------------------------------------------------------

namespace {
QPointer<PortTraceWindow> gShown;
}  // namespace

PortTraceWindow* ShownPortTrace() { return gShown.data(); }

void AddPortTraceMenu(MainForm* main) {
  QMenu* tools = main->menuBar()->findChild<QMenu*>("ToolsMenu");
  if (tools == nullptr) {
    tools = new QMenu("Tools", main->menuBar());
    tools->setObjectName("ToolsMenu");
    main->menuBar()->addMenu(tools);
  }
  QAction* action = tools->addAction("Port Trace...");
  action->setObjectName("PortTraceMenu");
  QObject::connect(action, &QAction::triggered, main, [main] {
    if (gShown.isNull()) {
      QPointer<MainForm> owner(main);
      gShown = new PortTraceWindow([owner] { return owner ? owner->ChosenChip() : std::size_t{0}; });
      // It belongs to the gain-control window's session and goes with it: the
      // next session's gain-control window opens one of its own, which
      // labels its rows for the chip chosen there.
      QObject::connect(main, &QObject::destroyed, gShown.data(), [] { delete gShown.data(); });
    }
    gShown->show();
    gShown->raise();
    gShown->activateWindow();
  });
}

}  // namespace tarvel
