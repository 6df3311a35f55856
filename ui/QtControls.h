// The interface of the controls (forms/Controls.h) bound with Qt widgets.
// Qt raises its notifications synchronously, nested inside the write that
// caused them (rule 1); a text box and a scroll bar report a change only when
// the content really differs (rule 2, with an edit that leaves the text as it
// was filtered out here); the leave of rule 3 is the window's event filter's
// (ui/MainForm.cpp).
#pragma once

#include <QPointer>
#include <QString>
#include <functional>
#include <string>

#include "forms/Controls.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QWidget;

namespace tarvel {

class CodeScrollBar;

namespace qtforms {

// A QLineEdit. `changed` runs on every real change of its text.
class TextBox final : public forms::TextBox {
 public:
  TextBox(QLineEdit* edit, std::function<void()> changed);
  std::string Text() const override;
  void SetText(const std::string& text) override;
  bool Enabled() const override;
  void SetEnabled(bool enabled) override;
  void SetFocus() override;
  // The text the box shows now counts as seen: after a write made with the
  // box's signals blocked, the next edit is compared with it.
  void Resync();

 private:
  QLineEdit* edit_;
  QString shown_;
};

// A CodeScrollBar: the value is the code, the top end (Min) the highest.
// `changed` runs on a change, `scrolled` while the thumb is dragged.
class ScrollBar final : public forms::ScrollBar {
 public:
  ScrollBar(CodeScrollBar* bar, std::function<void()> changed, std::function<void()> scrolled);
  int Value() const override;
  void SetValue(int value) override;
  int Min() const override;
  int Max() const override;
  void SetRange(int min, int max) override;
  int SmallChange() const override;
  int LargeChange() const override;
  void SetSmallChange(int step) override;
  void SetLargeChange(int step) override;
  bool Enabled() const override;
  void SetEnabled(bool enabled) override;

 private:
  CodeScrollBar* bar_;
};

// A QRadioButton. `clicked` runs when it becomes selected.
class OptionButton final : public forms::OptionButton {
 public:
  OptionButton(QRadioButton* button, std::function<void()> clicked);
  bool Value() const override;
  void SetValue(bool selected) override;
  bool Enabled() const override;
  void SetEnabled(bool enabled) override;

 private:
  QRadioButton* button_;
};

// A QCheckBox. `clicked` runs whenever its state changes.
class CheckBox final : public forms::CheckBox {
 public:
  CheckBox(QCheckBox* box, std::function<void()> clicked);
  bool Value() const override;
  void SetValue(bool checked) override;
  bool Enabled() const override;
  void SetEnabled(bool enabled) override;
  void SetFocus() override;

 private:
  QCheckBox* box_;
};

// A QLabel's text, or a QGroupBox's title.
class Label final : public forms::Label {
 public:
  explicit Label(QLabel* label);
  explicit Label(QGroupBox* frame);
  std::string Caption() const override;
  void SetCaption(const std::string& caption) override;

 private:
  QLabel* label_ = nullptr;
  QGroupBox* frame_ = nullptr;
};

// A QPushButton. `clicked` runs on its click.
class CommandButton final : public forms::CommandButton {
 public:
  CommandButton(QPushButton* button, std::function<void()> clicked);
  bool Enabled() const override;
  void SetEnabled(bool enabled) override;
  void SetFocus() override;

 private:
  QPushButton* button_;
};

// A top-level QWidget. `placing` (optional) runs before each Show, to place
// the window.
class Window final : public forms::Window {
 public:
  explicit Window(QWidget* window, std::function<void()> placing = {});
  void Show() override;
  void Hide() override;
  bool Enabled() const override;
  void SetEnabled(bool enabled) override;
  std::string Caption() const override;
  void SetCaption(const std::string& caption) override;

 private:
  QWidget* window_;
  std::function<void()> placing_;
};

// The three windows of ui/Forms.h, the program's end, the start-up steps of
// app/Startup.h and the desktop's document opener.
forms::WindowHost& Host();

}  // namespace qtforms
}  // namespace tarvel
