// The gain-control window driven as a user would: device profiles, refresh,
// code entry and its coupling to the scroll bars.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QWheelEvent>

#include "GuiTestSupport.h"
#include "core/MainModule.h"
#include "device/PortIO.h"
#include "sim/SimBench.h"
#include "ui/CodeScrollBar.h"
#include "ui/Forms.h"
#include "ui/MainForm.h"

namespace tarvel {
namespace {

class MainWindow : public testing::WindowTest {
 protected:
  // Sets a channel's code the way the scroll bar would.
  void SetCode(std::size_t i, int code) { main->GainSlide[i]->SetCode(code); }
  std::vector<std::string> AlertTexts() const {
    std::vector<std::string> out;
    for (const auto& a : presenter->shown) out.push_back(a.title + " | " + a.text);
    return out;
  }
  std::uint64_t Sends() const { return Bench().rx4410Latches[0] + Bench().tqm7731Latches; }
};

const std::string kRange42 = "Error: Invalid Entry | Valid input range from 0 to 42.  ";
const std::string kRange31 = "Error: Invalid Entry | Valid input range from 0 to 31.  ";
const std::string kEntry =
    "Error: Invalid or Missing Entry | Please enter a numeric value.  Blank entries are not permitted.";

TEST_F(MainWindow, FirstOpeningChoosesTheRx4410AndStartsAtZero) {
  GainCode = {5, 6};
  ReadCode = {7, 8};
  Open();
  EXPECT_EQ(main->windowTitle(), "Tarvel Control");
  EXPECT_TRUE(main->DeviceOption[0]->isChecked());
  EXPECT_FALSE(main->DeviceOption[1]->isChecked());
  EXPECT_EQ(DeviceName, "RX4410");
  EXPECT_EQ(GainMin, 0);
  EXPECT_EQ(GainMax, 42);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(main->GainText[i]->text(), "0");
    EXPECT_EQ(main->GainSlide[i]->Code(), 0);
    EXPECT_EQ(main->GainSlide[i]->TopCode(), 42);
    EXPECT_EQ(main->GainSlide[i]->BottomCode(), 0);
    EXPECT_EQ(main->GainSlide[i]->value(), main->GainSlide[i]->maximum()) << "thumb at the bottom";
    EXPECT_EQ(main->ReadText[i]->text(), "Read:");
  }
  EXPECT_EQ(GainCode, (std::array<std::int16_t, 2>{0, 0}));
  EXPECT_EQ(ReadCode, (std::array<std::int16_t, 2>{0, 0}));
  EXPECT_EQ(main->FrameLabel[0]->title(), "Chan 1");
  EXPECT_EQ(main->FrameLabel[1]->title(), "Chan 2");
  EXPECT_EQ(main->LastSent->text(), "Last Sent:");
  EXPECT_TRUE(main->Transmit->isEnabled());
  EXPECT_TRUE(main->Receive->isEnabled());
  EXPECT_TRUE(main->AutoTransmit->isEnabled());
  EXPECT_FALSE(main->AutoTransmit->isChecked());
  EXPECT_EQ(Sends(), 0u) << "loading sends nothing";
  EXPECT_TRUE(presenter->shown.empty());
}

TEST_F(MainWindow, ReopeningRestoresTheDeviceChoiceFromItsIndex) {
  DeviceName = "1";
  GainCode = {5, 6};
  ReadCode = {7, 8};
  Open();
  EXPECT_TRUE(main->DeviceOption[1]->isChecked());
  EXPECT_EQ(DeviceName, "TQM7731");
  EXPECT_EQ(GainMax, 31);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(main->GainSlide[i]->TopCode(), 31);
    EXPECT_EQ(main->GainText[i]->text(), "0");
    EXPECT_EQ(main->ReadText[i]->text(), "");
  }
  EXPECT_EQ(main->FrameLabel[0]->title(), "Attn A");
  EXPECT_EQ(main->FrameLabel[1]->title(), "Attn B");
  EXPECT_FALSE(main->Receive->isEnabled());
  EXPECT_EQ(GainCode, (std::array<std::int16_t, 2>{0, 0}));
  EXPECT_EQ(ReadCode, (std::array<std::int16_t, 2>{0, 0}));
}

TEST_F(MainWindow, DeviceChangesSetTheRangesAndSendNothing) {
  Open();
  SetCode(0, 12);
  SetCode(1, 30);
  GainCode = {3, 4};
  ReadCode = {5, 6};
  for (bool autoOn : {false, true}) {
    main->AutoTransmit->setChecked(autoOn);
    const auto sendsBefore = Sends();
    const auto codesBefore = GainCode;
    main->DeviceOption[1]->click();
    EXPECT_EQ(main->GainSlide[0]->TopCode(), 31);
    EXPECT_EQ(main->GainSlide[1]->TopCode(), 31);
    main->DeviceOption[0]->click();
    EXPECT_EQ(main->GainSlide[0]->TopCode(), 42);
    EXPECT_EQ(main->GainSlide[1]->BottomCode(), 0);
    EXPECT_EQ(main->GainText[0]->text(), "12");
    EXPECT_EQ(main->GainText[1]->text(), "30");
    EXPECT_EQ(Sends(), sendsBefore) << "auto " << autoOn;
    EXPECT_EQ(GainCode, codesBefore);
    EXPECT_EQ(ReadCode, (std::array<std::int16_t, 2>{5, 6}));
    EXPECT_EQ(main->AutoTransmit->isChecked(), autoOn) << "the check box keeps its state";
  }
}

TEST_F(MainWindow, ACodeAboveTheNewRangeFollowsTheScrollBarDown) {
  Open();
  SetCode(0, 40);
  main->DeviceOption[1]->click();
  EXPECT_EQ(main->GainSlide[0]->Code(), 31);
  EXPECT_EQ(main->GainText[0]->text(), "31");
}

TEST_F(MainWindow, RefreshShowsEachDevicesControlsInEveryMode) {
  struct Column {
    int device;  // option index; 2 = no profile
    bool autoOn;
    bool transmit, receive, autoEnabled, autoChecked, entry;
    const char *chan0, *chan1, *read;
  };
  const Column columns[] = {
      {0, false, true, true, true, false, true, "Chan 1", "Chan 2", "Read:"},
      {0, true, false, false, true, true, true, "Chan 1", "Chan 2", "Read:"},
      {1, false, true, false, true, false, true, "Attn A", "Attn B", ""},
      {1, true, false, false, true, true, true, "Attn A", "Attn B", ""},
      {2, false, false, false, false, false, false, "", "", ""},
      {2, true, false, false, false, false, false, "", "", ""},
  };
  for (const auto& c : columns) {
    Open();
    main->ReadText[0]->setText("Read: 9");
    main->LastSent->setText("Last Sent: 1, 2");
    if (c.device < 2) main->DeviceOption[static_cast<std::size_t>(c.device)]->click();
    main->AutoTransmit->setChecked(c.autoOn);
    presenter->shown.clear();
    main->DeviceOption_Click(static_cast<std::int16_t>(c.device));
    const std::string name = "device " + std::to_string(c.device) + (c.autoOn ? " auto" : "");
    EXPECT_EQ(main->Transmit->isEnabled(), c.transmit) << name;
    EXPECT_EQ(main->Receive->isEnabled(), c.receive) << name;
    EXPECT_EQ(main->AutoTransmit->isEnabled(), c.autoEnabled) << name;
    EXPECT_EQ(main->AutoTransmit->isChecked(), c.autoChecked) << name;
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(main->GainText[i]->isEnabled(), c.entry) << name;
      EXPECT_EQ(main->GainSlide[i]->isEnabled(), c.entry) << name;
      EXPECT_EQ(main->ReadText[i]->text().toStdString(), c.read) << name;
    }
    EXPECT_EQ(main->FrameLabel[0]->title().toStdString(), c.chan0) << name;
    EXPECT_EQ(main->FrameLabel[1]->title().toStdString(), c.chan1) << name;
    EXPECT_EQ(main->LastSent->text(), "Last Sent:") << name;
    if (c.device == 2) {
      EXPECT_EQ(DeviceName, "");
      EXPECT_EQ(GainMax, 0);
      EXPECT_EQ(main->GainSlide[0]->TopCode(), 0);
      ASSERT_FALSE(presenter->shown.empty()) << name;
      EXPECT_EQ(presenter->shown[0].title, "Error: Invalid Option");
    }
    Close();
  }
}

// ---- Typing ----------------------------------------------------------------------

struct Entry {
  const char* name;
  int device;     // 0 RX4410, 1 TQM7731
  int startCode;  // scroll bar (and text) before the entry
  bool paste;     // true: the whole text arrives at once; false: typed key by key
  const char* input;
  const char* text;  // the box afterwards
  int code;          // the scroll bar afterwards
  std::vector<std::string> alerts;
  int checks;  // CheckAutoTransmit calls: sends, with auto-transmit on
};

TEST_F(MainWindow, EntriesAreCheckedClampedAndCoupledToTheScrollBar) {
  const Entry entries[] = {
      {"42 typed", 0, 0, false, "42", "42", 42, {}, 2},
      {"43 typed", 0, 0, false, "43", "42", 42, {kRange42}, 3},
      {"45 after 4", 0, 0, false, "45", "42", 42, {kRange42}, 3},
      {"32 on the TQM7731", 1, 0, false, "32", "31", 31, {kRange31}, 3},
      {"-1", 0, 0, false, "-1", "0", 0, {kRange42}, 2},
      {"-0.4", 0, 0, false, "-0.4", "0", 0, {kRange42}, 4},
      {"0.4 from 5", 0, 5, true, "0.4", "0", 0, {}, 2},
      {"0.4 at 0 stays", 0, 0, true, "0.4", "0.4", 0, {}, 1},
      {"41.5 gives 42", 0, 0, true, "41.5", "42", 42, {}, 2},
      {"40.5 gives 40", 0, 0, true, "40.5", "40", 40, {}, 2},
      {"41.5 at 42 stays", 0, 42, true, "41.5", "41.5", 42, {}, 1},
      {"41.7 is in range", 0, 0, true, "41.7", "42", 42, {}, 2},
      {"42.4 is clamped", 0, 0, true, "42.4", "42", 42, {kRange42}, 2},
      {"a hair above 42 is clamped", 0, 0, true, "42.00000000000000000001", "42", 42, {kRange42}, 2},
      {"07 from 0", 0, 0, true, "07", "7", 7, {}, 2},
      {" 7 from 0", 0, 0, true, " 7", "7", 7, {}, 2},
      {"7.0 at 7 stays", 0, 7, true, "7.0", "7.0", 7, {}, 1},
      {"a lone minus sign", 0, 9, false, "-", "-", 9, {}, 0},
      {"letters", 0, 9, true, "abc", "abc", 9, {}, 0},
      {"the box emptied", 0, 9, true, "", "", 9, {}, 0},
      {"a clamp at the bound still checks twice", 0, 42, true, "50", "42", 42, {kRange42}, 2},
  };
  for (const auto& e : entries) {
    Open();
    if (e.device == 1) main->DeviceOption[1]->click();
    SetCode(0, e.startCode);
    ASSERT_EQ(main->GainText[0]->text(), QString::number(e.startCode));
    presenter->shown.clear();
    main->AutoTransmit->setChecked(true);
    const auto before = Sends();
    QLineEdit* box = main->GainText[0];
    box->setFocus();
    if (e.paste) {
      box->setText(e.input);
    } else {
      box->selectAll();
      QTest::keyClicks(box, e.input);
    }
    EXPECT_EQ(box->text().toStdString(), e.text) << e.name;
    EXPECT_EQ(main->GainSlide[0]->Code(), e.code) << e.name;
    EXPECT_EQ(AlertTexts(), e.alerts) << e.name;
    EXPECT_EQ(Sends() - before, static_cast<std::uint64_t>(e.checks)) << e.name;
    EXPECT_EQ(main->GainText[1]->text(), "0") << e.name << ": the other channel is untouched";
    Close();
  }
}

TEST_F(MainWindow, TypingZeroInFrontOfSevenKeepsTheTextUntilTheLeaveCheck) {
  Open();
  SetCode(0, 7);
  QLineEdit* box = main->GainText[0];
  box->setFocus();
  box->setCursorPosition(0);
  QTest::keyClick(box, Qt::Key_0);
  EXPECT_EQ(box->text(), "07");
  EXPECT_EQ(main->GainSlide[0]->Code(), 7);
  QTest::keyClick(box, Qt::Key_Tab);
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kEntry});
  EXPECT_EQ(QApplication::focusWidget(), box);
}

// ---- The leave check ---------------------------------------------------------------

TEST_F(MainWindow, LeavingABoxRefusesAnyTextButTheScrollBarsPlainCode) {
  struct Case {
    const char* text;
    bool refused;
  };
  // Each refused number names the scroll bar's code, so typing it left the bar at 7.
  const Case cases[] = {{"", true},   {"abc", true}, {"-", true},  {"7.0", true}, {"07", true},
                        {"7 ", true}, {" 7", true},  {"+7", true}, {"6.6", true}, {"7", false}};
  for (const auto& c : cases) {
    Open();
    SetCode(0, 7);
    QLineEdit* box = main->GainText[0];
    box->setFocus();
    box->setText(c.text);
    presenter->shown.clear();
    QTest::keyClick(box, Qt::Key_Tab);
    if (c.refused) {
      EXPECT_EQ(AlertTexts(), std::vector<std::string>{kEntry}) << '"' << c.text << '"';
      EXPECT_EQ(QApplication::focusWidget(), box) << '"' << c.text << '"';
      EXPECT_EQ(box->text().toStdString(), c.text) << "the text stays, to be corrected";
      EXPECT_EQ(main->GainSlide[0]->Code(), 7);
    } else {
      EXPECT_TRUE(presenter->shown.empty());
      EXPECT_EQ(QApplication::focusWidget(), main->GainSlide[0]);
    }
    Close();
  }
}

TEST_F(MainWindow, AnAlertTakingTheFocusIsNotALeave) {
  Open();
  QLineEdit* box = main->GainText[0];
  box->setFocus();
  // While the range alert is up, the box loses the focus to the alert's window.
  presenter->whileOpen = [&](const Alert&) {
    QWidget box2;
    box2.setWindowTitle("alert");
    box2.show();
    QApplication::setActiveWindow(&box2);
    box2.setFocus();
    QApplication::processEvents();
    box2.close();
    QApplication::setActiveWindow(main);
  };
  box->selectAll();
  QTest::keyClicks(box, "43");
  EXPECT_EQ(AlertTexts(), std::vector<std::string>{kRange42}) << "no entry alert from the focus change";
  EXPECT_EQ(box->text(), "42");
}

// ---- The scroll bars -----------------------------------------------------------------

TEST_F(MainWindow, EveryWayOfMovingTheScrollBarUpRaisesTheCode) {
  Open();
  CodeScrollBar* bar = main->GainSlide[0];
  struct Move {
    const char* name;
    std::function<void()> act;
    int from, to;
  };
  const Move moves[] = {
      {"top arrow", [&] { QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() / 2, 4)); }, 10, 11},
      {"bottom arrow",
       [&] { QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() / 2, bar->height() - 4)); }, 10,
       9},
      {"trough above the thumb (at 0)",
       [&] { QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() / 2, bar->height() / 3)); }, 0,
       5},
      {"Up key", [&] { QTest::keyClick(bar, Qt::Key_Up); }, 10, 11},
      {"Down key", [&] { QTest::keyClick(bar, Qt::Key_Down); }, 10, 9},
      {"Page Up", [&] { QTest::keyClick(bar, Qt::Key_PageUp); }, 10, 15},
      {"Page Down", [&] { QTest::keyClick(bar, Qt::Key_PageDown); }, 10, 5},
      {"wheel up",
       [&] {
         const QPointF at(bar->width() / 2.0, bar->height() / 2.0);
         QWheelEvent wheel(at, bar->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                           Qt::NoScrollPhase, false);
         QApplication::sendEvent(bar, &wheel);
       },
       10, 13},
  };
  for (const auto& m : moves) {
    SetCode(0, m.from);
    bar->setFocus();
    m.act();
    if (std::string(m.name) == "wheel up") {
      EXPECT_GT(bar->Code(), m.from) << m.name;
    } else {
      EXPECT_EQ(bar->Code(), m.to) << m.name;
    }
    EXPECT_EQ(main->GainText[0]->text(), QString::number(bar->Code())) << m.name;
  }
}

TEST_F(MainWindow, ADraggedThumbIsFollowedByTheTextAtEveryStep) {
  Open();
  CodeScrollBar* bar = main->GainSlide[0];
  main->AutoTransmit->setChecked(true);
  const auto before = Sends();
  bar->setSliderDown(true);
  for (int code = 0; code <= 42; ++code) {
    bar->setSliderPosition(-code);
    ASSERT_EQ(main->GainText[0]->text(), QString::number(code));
  }
  bar->setSliderPosition(-42);  // a scroll notification that changes nothing
  bar->setSliderDown(false);
  EXPECT_EQ(Sends() - before, 42u) << "one send per change of the text";
}

TEST_F(MainWindow, TabOrderRunsFromTransmitToTheSecondScrollBar) {
  Open();
  std::vector<QWidget*> chain;
  QWidget* w = main->Transmit;
  do {
    if ((w->focusPolicy() & Qt::TabFocus) && w->window() == main) chain.push_back(w);
    w = w->nextInFocusChain();
  } while (w != main->Transmit && chain.size() < 30);
  const std::vector<QWidget*> expected = {main->Transmit,     main->AutoTransmit,    main->DeviceOption[0],
                                          main->Receive,      main->DeviceOption[1], main->GainText[0],
                                          main->GainSlide[0], main->GainText[1],     main->GainSlide[1]};
  EXPECT_EQ(chain, expected);
}

}  // namespace
}  // namespace tarvel
