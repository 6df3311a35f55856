// "Port Trace": the port accesses of this session as a timing diagram. One
// row per line the current device uses, labelled with the chip signal it
// carries, the decoded frames as labelled spans above the rows, the access
// number on the time axis. Wheel zooms around the pointer, drag pans, Home
// fits all, a click on a frame selects it and shows its bits. From the
// keyboard, + and - zoom around the middle, Left and Right pan, Up and
// Down select the previous and next frame, and Home fits all. It follows the accesses as the gain-control
// window sends, and says which port it watches.
#pragma once

#include <QWidget>
#include <functional>

#include "ui/PortTraceModel.h"

class QFontMetrics;
class QLabel;
class QTimer;

namespace tarvel {

class MainForm;

// The timing diagram itself.
class PortTraceView : public QWidget {
  Q_OBJECT

 public:
  PortTraceView(PortTraceModel& model, QWidget* parent);
  int selected() const { return selected_; }
  void Select(int frame);
  // Where access `a` is drawn, and the access drawn at `x`.
  double XOf(double a) const;
  double AccessAt(double x) const;
  // The label a frame gets at the view's present zoom: the whole text, or
  // without the chip's name, or the codes alone, whichever is the longest
  // that fits the frame; cut short only when not even the codes fit.
  QString LabelOf(int frame) const;

  static constexpr int kLabelWidth = 130, kFrameBand = 24, kRowHeight = 26, kAxis = 22;

 signals:
  void selectionChanged(int frame);

 protected:
  void paintEvent(QPaintEvent*) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  double PlotWidth() const;
  double FrameWidth(const DecodedFrame& f) const;
  QString LabelFor(const DecodedFrame& f, const QFontMetrics& metrics) const;

  PortTraceModel& model_;
  int selected_ = -1;
  double pressX_ = 0, lastX_ = 0;
  bool dragging_ = false;
};

class PortTraceWindow : public QWidget {
  Q_OBJECT

 public:
  // `chip` tells which device the gain-control window drives now (its index
  // in Chips()).
  explicit PortTraceWindow(std::function<std::size_t()> chip, QWidget* parent = nullptr);

  PortTraceModel& model() { return model_; }
  PortTraceView* view() const { return view_; }
  QLabel* bits() const { return bits_; }
  QLabel* port() const { return port_; }
  // Takes new accesses from the process's log; the timer calls it too.
  void Refresh();
  bool SaveVcd(const QString& path);
  bool SavePng(const QString& path);

 private:
  void ShowSelection(int frame);

  std::function<std::size_t()> chip_;
  PortTraceModel model_;
  PortTraceView* view_ = nullptr;
  QLabel* bits_ = nullptr;
  QLabel* port_ = nullptr;
  QTimer* timer_ = nullptr;
};

// Adds "Port Trace..." to the window's "Tools" menu (made after "Help" if
// there is none yet, so the other menus keep their places); it shows the one
// Port Trace window.
void AddPortTraceMenu(MainForm* main);
// The Port Trace window, or nullptr while none is open.
PortTraceWindow* ShownPortTrace();

}  // namespace tarvel
