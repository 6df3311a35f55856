#include "ui/QtControls.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QUrl>

#include "app/Startup.h"
#include "ui/AboutForm.h"
#include "ui/CodeScrollBar.h"
#include "ui/Forms.h"
#include "ui/MainForm.h"
#include "ui/StartupForm.h"

namespace tarvel::qtforms {

namespace {
QString Q(const std::string& text) { return QString::fromStdString(text); }
}  // namespace

// ---- Text box ---------------------------------------------------------------------

TextBox::TextBox(QLineEdit* edit, std::function<void()> changed) : edit_(edit), shown_(edit->text()) {
  QObject::connect(edit, &QLineEdit::textChanged, edit,
                   [this, changed = std::move(changed)](const QString& text) {
                     // An edit that leaves the text as it was (a digit typed over itself) is
                     // no change.
                     if (text == shown_) return;
                     shown_ = text;
                     changed();
                   });
}
std::string TextBox::Text() const { return edit_->text().toStdString(); }
void TextBox::SetText(const std::string& text) { edit_->setText(Q(text)); }
bool TextBox::Enabled() const { return edit_->isEnabled(); }
void TextBox::SetEnabled(bool enabled) { edit_->setEnabled(enabled); }
void TextBox::SetFocus() { edit_->setFocus(Qt::OtherFocusReason); }
void TextBox::Resync() { shown_ = edit_->text(); }

// ---- Scroll bar -------------------------------------------------------------------

ScrollBar::ScrollBar(CodeScrollBar* bar, std::function<void()> changed, std::function<void()> scrolled)
    : bar_(bar) {
  QObject::connect(bar, &QScrollBar::valueChanged, bar,
                   [bar, changed = std::move(changed), scrolled = std::move(scrolled)] {
                     // Thumb drags report as scrolling, everything else as a change.
                     if (bar->isSliderDown()) {
                       scrolled();
                     } else {
                       changed();
                     }
                   });
}
int ScrollBar::Value() const { return bar_->Code(); }
void ScrollBar::SetValue(int value) { bar_->SetCode(value); }
int ScrollBar::Min() const { return bar_->TopCode(); }
int ScrollBar::Max() const { return bar_->BottomCode(); }
void ScrollBar::SetRange(int min, int max) { bar_->SetCodeRange(min, max); }
int ScrollBar::SmallChange() const { return bar_->singleStep(); }
int ScrollBar::LargeChange() const { return bar_->pageStep(); }
void ScrollBar::SetSmallChange(int step) { bar_->setSingleStep(step); }
void ScrollBar::SetLargeChange(int step) { bar_->setPageStep(step); }
bool ScrollBar::Enabled() const { return bar_->isEnabled(); }
void ScrollBar::SetEnabled(bool enabled) { bar_->setEnabled(enabled); }

// ---- Option button ------------------------------------------------------------------

OptionButton::OptionButton(QRadioButton* button, std::function<void()> clicked) : button_(button) {
  QObject::connect(button, &QRadioButton::toggled, button, [clicked = std::move(clicked)](bool on) {
    if (on) clicked();
  });
}
bool OptionButton::Value() const { return button_->isChecked(); }
void OptionButton::SetValue(bool selected) {
  if (selected || !button_->isChecked()) {
    button_->setChecked(selected);
    return;
  }
  // An exclusive group keeps its selected button; cleared by the program, it
  // is left with none.
  const bool exclusive = button_->autoExclusive();
  button_->setAutoExclusive(false);
  button_->setChecked(false);
  button_->setAutoExclusive(exclusive);
}
bool OptionButton::Enabled() const { return button_->isEnabled(); }
void OptionButton::SetEnabled(bool enabled) { button_->setEnabled(enabled); }

// ---- Check box ------------------------------------------------------------------------

CheckBox::CheckBox(QCheckBox* box, std::function<void()> clicked) : box_(box) {
  QObject::connect(box, &QCheckBox::toggled, box, [clicked = std::move(clicked)] { clicked(); });
}
bool CheckBox::Value() const { return box_->isChecked(); }
void CheckBox::SetValue(bool checked) { box_->setChecked(checked); }
bool CheckBox::Enabled() const { return box_->isEnabled(); }
void CheckBox::SetEnabled(bool enabled) { box_->setEnabled(enabled); }
void CheckBox::SetFocus() { box_->setFocus(); }

// ---- Label ------------------------------------------------------------------------------

Label::Label(QLabel* label) : label_(label) {}
Label::Label(QGroupBox* frame) : frame_(frame) {}
std::string Label::Caption() const {
  return (label_ != nullptr ? label_->text() : frame_->title()).toStdString();
}
void Label::SetCaption(const std::string& caption) {
  if (label_ != nullptr) {
    label_->setText(Q(caption));
  } else {
    frame_->setTitle(Q(caption));
  }
}

// ---- Command button -------------------------------------------------------------------

CommandButton::CommandButton(QPushButton* button, std::function<void()> clicked) : button_(button) {
  QObject::connect(button, &QPushButton::clicked, button, [clicked = std::move(clicked)] { clicked(); });
}
bool CommandButton::Enabled() const { return button_->isEnabled(); }
void CommandButton::SetEnabled(bool enabled) { button_->setEnabled(enabled); }
void CommandButton::SetFocus() { button_->setFocus(); }

// ---- Window ------------------------------------------------------------------------------

Window::Window(QWidget* window, std::function<void()> placing)
    : window_(window), placing_(std::move(placing)) {}
void Window::Show() {
  if (placing_) placing_();
  window_->show();
  window_->raise();
  window_->activateWindow();
}
void Window::Hide() { window_->hide(); }
bool Window::Enabled() const { return window_->isEnabled(); }
void Window::SetEnabled(bool enabled) { window_->setEnabled(enabled); }
std::string Window::Caption() const { return window_->windowTitle().toStdString(); }
void Window::SetCaption(const std::string& caption) { window_->setWindowTitle(Q(caption)); }

// ---- The windows as a whole -----------------------------------------------------------------

namespace {

class QtHost final : public forms::WindowHost {
 public:
  forms::Window& Load(forms::FormId form) override {
    switch (form) {
      case forms::FormId::Startup: return tarvel::forms::LoadStartup()->FormWindow();
      case forms::FormId::Main: return tarvel::forms::LoadMain()->FormWindow();
      case forms::FormId::About: break;
    }
    return tarvel::forms::LoadAbout()->FormWindow();
  }
  forms::Window* Loaded(forms::FormId form) override {
    switch (form) {
      case forms::FormId::Startup:
        return tarvel::forms::Startup() != nullptr ? &tarvel::forms::Startup()->FormWindow() : nullptr;
      case forms::FormId::Main:
        return tarvel::forms::Main() != nullptr ? &tarvel::forms::Main()->FormWindow() : nullptr;
      case forms::FormId::About: break;
    }
    return tarvel::forms::About() != nullptr ? &tarvel::forms::About()->FormWindow() : nullptr;
  }
  void Unload(forms::FormId form) override {
    switch (form) {
      case forms::FormId::Startup: tarvel::forms::UnloadStartup(); return;
      case forms::FormId::Main: tarvel::forms::UnloadMain(); return;
      case forms::FormId::About: tarvel::forms::UnloadAbout(); return;
    }
  }
  void EndProgram() override {
    QApplication::closeAllWindows();
    QCoreApplication::exit(0);
  }
  void RunStartupSteps() override { tarvel::RunStartupSteps(); }
  bool OpenDocument(const std::string& path) override {
    // The desktop's opener starts the registered viewer and does not wait.
    return QDesktopServices::openUrl(QUrl::fromLocalFile(Q(path)));
  }
};

}  // namespace

forms::WindowHost& Host() {
  static QtHost host;
  return host;
}

}  // namespace tarvel::qtforms
