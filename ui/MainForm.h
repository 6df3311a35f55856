// MainForm: the gain-control window "Tarvel Control".
#pragma once

#include <QWidget>

namespace tarvel {

class MainForm : public QWidget {
  Q_OBJECT

 public:
  explicit MainForm(QWidget* parent = nullptr);
  void Form_Load();
};

}  // namespace tarvel
