// AboutForm: the about box.
#pragma once

#include <QWidget>

namespace tarvel {

class AboutForm : public QWidget {
  Q_OBJECT

 public:
  explicit AboutForm(QWidget* parent = nullptr);
  void Form_Load();
};

}  // namespace tarvel
