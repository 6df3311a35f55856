// A vertical scroll bar whose position is a gain code, with the highest code
// at the top. Qt's vertical scroll bar puts its minimum at the top, so the bar
// runs over the negated range (position = minus the code); every input then
// moves the code the way it looks: thumb up, the top arrow, the trough above
// the thumb, Up, Page Up and the wheel all raise it.
#pragma once

#include <QPainter>
#include <QScrollBar>

namespace tarvel {

class CodeScrollBar : public QScrollBar {
  Q_OBJECT

 public:
  explicit CodeScrollBar(QWidget* parent = nullptr) : QScrollBar(Qt::Vertical, parent) {
    setSingleStep(1);
    setPageStep(5);
    // Qt's scroll bars take no focus by default; these are in the tab order
    // and answer the arrow and page keys.
    setFocusPolicy(Qt::StrongFocus);
  }

  int Code() const { return -value(); }
  // Moves the thumb; raises valueChanged only when the position changes.
  void SetCode(int code) { setValue(-code); }
  // The code at the top end and at the bottom end, set in one step so the
  // range never passes through an empty state.
  void SetCodeRange(int top, int bottom) { setRange(-top, -bottom); }
  int TopCode() const { return -minimum(); }
  int BottomCode() const { return -maximum(); }

 protected:
  // The style draws no focus on scroll bars: a frame just inside the edge
  // shows which bar the arrow and page keys move.
  void paintEvent(QPaintEvent* event) override {
    QScrollBar::paintEvent(event);
    if (!hasFocus()) return;
    QPainter painter(this);
    painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
  }
};

}  // namespace tarvel
