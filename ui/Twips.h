// The windows' design units: geometry in twips (1/1440 inch), converted to
// pixels at the screen's logical resolution, and fonts by family and points.
#pragma once

#include <QFont>
#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>
#include <cmath>

namespace tarvel::ui {

inline double LogicalDpi() {
  if (const QScreen* screen = QGuiApplication::primaryScreen()) return screen->logicalDotsPerInch();
  return 96.0;
}

inline int Twips(int twips) { return static_cast<int>(std::lround(twips * LogicalDpi() / 1440.0)); }

inline QRect TwipsRect(int left, int top, int width, int height) {
  return QRect(Twips(left), Twips(top), Twips(width), Twips(height));
}

inline void PlaceTwips(QWidget* w, int left, int top, int width, int height) {
  w->setGeometry(TwipsRect(left, top, width, height));
}

inline QFont DesignFont(const char* family, double points, bool bold = false, bool italic = false) {
  QFont font(family);
  font.setPointSizeF(points);
  font.setBold(bold);
  font.setItalic(italic);
  return font;
}

}  // namespace tarvel::ui
