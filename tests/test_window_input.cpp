// Mouse, keyboard and closing in the windows: a refused leave cancels the
// click that caused it, retyped text is no change, Enter presses buttons,
// focus is drawn, and the about box holds the gain-control window open.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyleOptionSlider>
#include <QTest>
#include <QWindow>

#include "GuiTestSupport.h"
#include "ui/AboutForm.h"
#include "ui/CodeScrollBar.h"
#include "ui/Forms.h"
#include "ui/MainForm.h"
#include "ui/StartupForm.h"

namespace tarvel {
namespace {

class WindowInput : public testing::WindowTest {
 protected:
  std::uint64_t Sends() const { return Bench().rx4410Latches[0]; }
  static QPoint Thumb(CodeScrollBar* bar) {
    QStyleOptionSlider o;
    o.initFrom(bar);
    o.orientation = Qt::Vertical;
    o.subControls = QStyle::SC_All;
    o.minimum = bar->minimum();
    o.maximum = bar->maximum();
    o.sliderPosition = o.sliderValue = bar->value();
    o.singleStep = bar->singleStep();
    o.pageStep = bar->pageStep();
    return bar->style()->subControlRect(QStyle::CC_ScrollBar, &o, QStyle::SC_ScrollBarSlider, bar).center();
  }
  testing::TempWorkDir work{"window-input"};
};

TEST_F(WindowInput, AClickThatTheLeaveCheckRefusesDoesNothing) {
  Open();
  struct Click {
    const char* name;
    bool autoTransmit;
    std::function<QWidget*()> target;
    std::function<QPoint(QWidget*)> at;
  };
  auto bar = [this](std::size_t i) { return [this, i]() -> QWidget* { return main->GainSlide[i]; }; };
  auto top = [](QWidget* w) { return QPoint(w->width() / 2, 4); };
  auto bottom = [](QWidget* w) { return QPoint(w->width() / 2, w->height() - 4); };
  auto trough = [](QWidget* w) { return QPoint(w->width() / 2, w->height() / 4); };
  auto thumb = [](QWidget* w) { return Thumb(static_cast<CodeScrollBar*>(w)); };
  auto middle = [](QWidget* w) { return w->rect().center(); };
  const Click clicks[] = {
      {"Chan 1 top arrow", true, bar(0), top},
      {"Chan 1 bottom arrow", true, bar(0), bottom},
      {"Chan 1 trough", true, bar(0), trough},
      {"Chan 1 thumb drag", true, bar(0), thumb},
      {"Chan 2 top arrow", true, bar(1), top},
      {"Chan 2 bottom arrow", true, bar(1), bottom},
      {"Chan 2 trough", true, bar(1), trough},
      {"Chan 2 thumb drag", true, bar(1), thumb},
      {"Transmit", false, [this] { return main->Transmit; }, middle},
      {"Receive", false, [this] { return main->Receive; }, middle},
  };
  for (const Click& c : clicks) {
    main->AutoTransmit->setChecked(false);
    main->GainSlide[0]->SetCode(10);
    main->GainSlide[1]->SetCode(10);
    main->AutoTransmit->setChecked(c.autoTransmit);
    QLineEdit* box = main->GainText[0];
    box->setFocus();
    box->clear();
    presenter->shown.clear();
    const auto sends = Sends();
    QWidget* target = c.target();
    const QPoint at = c.at(target);
    QTest::mousePress(target, Qt::LeftButton, {}, at);
    testing::Settle();
    auto* button = qobject_cast<QPushButton*>(target);
    EXPECT_FALSE(button && button->isDown()) << c.name << ": drawn pressed";
    QTest::mouseMove(target, at - QPoint(0, 30));
    QTest::mouseRelease(target, Qt::LeftButton, {}, at - QPoint(0, 30));
    EXPECT_EQ(presenter->shown.size(), 1u) << c.name;
    EXPECT_EQ(main->GainSlide[0]->Code(), 10) << c.name;
    EXPECT_EQ(main->GainSlide[1]->Code(), 10) << c.name;
    EXPECT_EQ(Sends(), sends) << c.name;
    EXPECT_EQ(box->text(), "") << c.name;
    EXPECT_TRUE(box->hasFocus()) << c.name;
    box->setText("10");
  }
}

TEST_F(WindowInput, RetypingTheSameTextIsNoChange) {
  Open();
  QLineEdit* box = main->GainText[0];
  struct Edit {
    const char* name;
    QString text;
    std::function<void()> retype;
  };
  const Edit edits[] = {
      {"a digit typed over itself", "5", [&] { QTest::keyClicks(box, "5"); }},
      {"two digits pasted over themselves", "12", [&] { box->insert("12"); }},
  };
  main->AutoTransmit->setChecked(true);
  for (const Edit& e : edits) {
    box->setFocus();
    box->setText(e.text);
    const auto sends = Sends();
    box->selectAll();
    e.retype();
    EXPECT_EQ(box->text(), e.text) << e.name;
    EXPECT_EQ(Sends(), sends) << e.name;
  }
}

TEST_F(WindowInput, TheAboutBoxSitsOverTheMainWindowAndHoldsItOpen) {
  Open();
  main->move(150, 100);
  main->AboutMenu->trigger();
  AboutForm* about = forms::About();
  ASSERT_NE(about, nullptr);
  EXPECT_LE((about->frameGeometry().center() - main->frameGeometry().center()).manhattanLength(), 2);
  EXPECT_FALSE(main->close()) << "a close from the program";
  main->windowHandle()->close();  // the window system's request
  testing::Settle();
  ASSERT_EQ(forms::Main(), main);
  EXPECT_TRUE(main->isVisible());
  about->close();
  testing::Settle();
  EXPECT_TRUE(main->isEnabled());
  EXPECT_TRUE(main->close()) << "closes again once the box is gone";
}

TEST_F(WindowInput, EnterPressesTheFocusedButton) {
  struct Button {
    const char* name;
    std::function<QPushButton*()> focus;
    std::function<bool()> pressed;
  };
  std::uint64_t sends = 0;
  const Button buttons[] = {
      {"Setup Menu OK",
       [] {
         StartupForm* s = forms::LoadStartup();
         s->show();
         return s->OK;
       },
       [] { return forms::Startup() == nullptr; }},
      {"About OK",
       [&] {
         main->AboutMenu->trigger();
         return forms::About()->OK;
       },
       [] { return forms::About() == nullptr; }},
      {"Transmit", [&] { return main->Transmit; }, [&] { return Sends() > sends; }},
      {"Receive",
       [&] {
         main->ReadText[0]->setText("Read:");
         return main->Receive;
       },
       [&] { return main->ReadText[0]->text() == "Read: 0"; }},
  };
  Open();
  for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
    for (const Button& b : buttons) {
      sends = Sends();
      QPushButton* button = b.focus();
      button->setFocus();
      QTest::keyClick(button, key);
      testing::Settle();
      EXPECT_TRUE(b.pressed()) << b.name << (key == Qt::Key_Enter ? " (keypad Enter)" : "");
      Activate();
    }
  }
}

TEST_F(WindowInput, KeyboardFocusIsDrawn) {
  struct Focus {
    const char* name;
    std::function<QWidget*()> show;
  };
  const Focus cases[] = {
      {"Chan 1 scroll bar after Tab",
       [&] {
         Open();
         main->GainText[0]->setFocus();
         QTest::keyClick(main->GainText[0], Qt::Key_Tab);
         return main->GainSlide[0];
       }},
      {"Setup Menu's first focus",
       [] {
         StartupForm* s = forms::LoadStartup();
         s->show();
         QApplication::setActiveWindow(s);
         QApplication::processEvents();
         return s->OK;
       }},
  };
  for (const Focus& c : cases) {
    QWidget* w = c.show();
    ASSERT_TRUE(w->hasFocus()) << c.name;
    const QImage focused = w->grab().toImage();
    w->clearFocus();
    EXPECT_TRUE(focused != w->grab().toImage()) << c.name << ": the focus is not drawn";
  }
}

}  // namespace
}  // namespace tarvel
