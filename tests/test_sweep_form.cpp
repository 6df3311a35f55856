// The Sweep window offscreen: runs on the worker thread against the
// in-memory bench, the main window following and getting its state back.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <QTest>
#include <fstream>
#include <regex>

#include "GuiTestSupport.h"
#include "capture/PortCapture.h"
#include "device/PortIO.h"
#include "ui/AboutForm.h"
#include "ui/CalibrationWindow.h"
#include "ui/CodeScrollBar.h"
#include "ui/Forms.h"
#include "ui/MainForm.h"
#include "ui/PortTraceWindow.h"
#include "ui/SweepForm.h"

namespace tarvel {
namespace {

class SweepWindow : public testing::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    Open();
  }
  SweepForm* OpenSweep() {
    main->SweepMenu->trigger();
    SweepForm* sweep = main->Sweep();
    EXPECT_NE(sweep, nullptr);
    return sweep;
  }
  void Ramp(SweepForm* s, int from, int to, int step, double dwell, int repeat) {
    s->FromBox->setValue(from), s->ToBox->setValue(to), s->StepBox->setValue(step);
    s->DwellBox->setText(QString::number(dwell, 'g', 12)), s->RepeatBox->setValue(repeat);
  }
  // Types over what the box holds and presses Return, as a user would.
  static void Type(QWidget* box, const QString& text) {
    box->setFocus();
    if (auto* spin = qobject_cast<QAbstractSpinBox*>(box)) spin->selectAll();
    if (auto* line = qobject_cast<QLineEdit*>(box)) line->selectAll();
    QTest::keyClicks(box, text);
    QTest::keyClick(box, Qt::Key_Return);
  }
  std::vector<std::string> AlertTexts() const {
    std::vector<std::string> texts;
    for (const Alert& a : presenter->shown) texts.push_back(a.text);
    return texts;
  }
  void ActivateSweep(SweepForm* s) {
    s->activateWindow();
    QApplication::setActiveWindow(s);
    QApplication::processEvents();
  }
  bool WaitUntil(const std::function<bool()>& done, int ms = 10000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
  }
  std::vector<bool> MainStates() const {
    return {main->Transmit->isEnabled(),        main->Receive->isEnabled(),
            main->AutoTransmit->isEnabled(),    main->DeviceOption[0]->isEnabled(),
            main->DeviceOption[1]->isEnabled(), main->GainText[0]->isEnabled(),
            main->OptionsMenu->isEnabled()};
  }

  testing::TempWorkDir work{"sweepform"};
};

TEST_F(SweepWindow, ARunFollowsInTheMainWindowAndRestoresItAfterwards) {
  EXPECT_EQ(main->menuBar()->actions().at(2)->text(), "Tools") << "Tools comes after Setup";
  struct Case {
    int device;
    bool autoTransmit, verify;
    int channel;                           // 0 both, 1 first, 2 second
    std::array<std::uint64_t, 2> latches;  // RX4410 channel latches, or TQM7731 words in [0]
    const char* lastSent;
  };
  const Case cases[] = {
      {0, false, false, 0, {3, 3}, "Last Sent: 4, 4"},
      {0, false, true, 1, {3, 3}, "Last Sent: 4, 9"},
      {1, true, false, 2, {3, 0}, "Last Sent: 9, 4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device * 10 + c.channel);
    Close();
    sim->bench().SetState({});
    Open();
    main->DeviceOption[static_cast<std::size_t>(c.device)]->setChecked(true);
    main->GainSlide[0]->SetCode(9), main->GainSlide[1]->SetCode(9);
    main->AutoTransmit->setChecked(c.autoTransmit);
    const BenchState before = Bench();
    const std::vector<bool> states = MainStates();
    SweepForm* sweep = OpenSweep();
    EXPECT_EQ(sweep->VerifyBox->isEnabled(), c.device == 0);
    Ramp(sweep, 0, 4, 2, 0.1, 1);
    sweep->ChannelBox->setCurrentIndex(c.channel);
    sweep->VerifyBox->setChecked(c.verify);
    sweep->StartButton->click();
    EXPECT_TRUE(sweep->running());
    EXPECT_EQ(MainStates(), std::vector<bool>(7, false));
    ASSERT_TRUE(WaitUntil([&] { return !sweep->running(); }));

    EXPECT_EQ(sweep->lastEnd(), SweepEnd::Completed);
    EXPECT_EQ(sweep->rows().size(), 3u);
    EXPECT_EQ(MainStates(), states);
    EXPECT_EQ(main->LastSent->text().toStdString(), c.lastSent);
    const std::string sent = c.lastSent;
    EXPECT_EQ(main->GainText[0]->text().toStdString() + ", " + main->GainText[1]->text().toStdString(),
              sent.substr(sent.find(": ") + 2));
    EXPECT_EQ(main->GainText[1]->text().toInt(), main->GainSlide[1]->Code());
    if (c.device == 0) {
      EXPECT_EQ(Bench().rx4410Latches[0] - before.rx4410Latches[0], c.latches[0]);
      EXPECT_EQ(sweep->rows().back().verified, c.verify);
    } else {
      EXPECT_EQ(Bench().tqm7731Latches - before.tqm7731Latches, c.latches[0]) << "following sent nothing";
    }
    EXPECT_TRUE(presenter->shown.empty());
  }
}

// While the worker sweeps, the GUI thread draws and saves the Port Trace and
// the main window sends: the run has its own link, the trace window reads a
// copy of the capture, and the main window's send is refused at once because
// the run holds the port (run under ThreadSanitizer in CI).
TEST_F(SweepWindow, ThePortTraceAndTheMainWindowStaySafeWhileARunHoldsThePort) {
  main->findChild<QAction*>("PortTraceMenu")->trigger();
  PortTraceWindow* trace = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* t = qobject_cast<PortTraceWindow*>(w)) trace = t;
  }
  ASSERT_NE(trace, nullptr);
  SweepForm* sweep = OpenSweep();
  Ramp(sweep, 0, 42, 1, 0.1, 0);
  const BenchState before = Bench();
  sweep->StartButton->click();
  ASSERT_TRUE(WaitUntil([&] { return sweep->rows().size() > 20; }));
  const auto shownBefore = presenter->shown.size();
  constexpr int kSends = 5;
  for (int i = 0; i < kSends; ++i) {
    trace->Refresh();
    ASSERT_TRUE(trace->SaveVcd("during.vcd"));
    main->Transmit_Click();
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  sweep->StopButton->click();
  ASSERT_TRUE(WaitUntil([&] { return !sweep->running(); }));
  ASSERT_EQ(presenter->shown.size(), shownBefore + kSends);
  for (std::size_t i = shownBefore; i < presenter->shown.size(); ++i) {
    EXPECT_EQ(presenter->shown[i].title, "Error: Port Not Available");
    EXPECT_NE(presenter->shown[i].text.find("in use by a sweep"), std::string::npos)
        << presenter->shown[i].text;
  }
  EXPECT_GT(Bench().rx4410Latches[0], before.rx4410Latches[0] + 20);
  trace->Refresh();
  EXPECT_FALSE(trace->model().frames().empty());
  // With the run over, the main window has the port again.
  main->Transmit_Click();
  EXPECT_EQ(presenter->shown.size(), shownBefore + kSends);
}

TEST_F(SweepWindow, StopOrClosingEndsTheRunWithinAStep) {
  for (const bool byClosing : {false, true}) {
    SCOPED_TRACE(byClosing ? "closing" : "Stop");
    SweepForm* sweep = OpenSweep();
    Ramp(sweep, 0, 42, 1, 60000.0, 0);
    const std::vector<bool> states = MainStates();
    sweep->StartButton->click();
    ASSERT_TRUE(WaitUntil([&] { return !sweep->rows().empty(); }));
    QElapsedTimer t;
    t.start();
    if (byClosing) {
      sweep->close();
    } else {
      sweep->StopButton->click();
    }
    ASSERT_TRUE(WaitUntil([&] { return !sweep->running(); }));
    EXPECT_LT(t.elapsed(), 1000);
    EXPECT_EQ(sweep->lastEnd(), SweepEnd::Stopped);
    EXPECT_EQ(sweep->rows().size(), 1u);
    EXPECT_EQ(MainStates(), states);
    EXPECT_EQ(main->LastSent->text(), "Last Sent: 0, 0");
  }
}

TEST_F(SweepWindow, SequencesAreCheckedLoadedRunAndLogged) {
  SweepForm* sweep = OpenSweep();
  std::ofstream("over.csv") << "1,1,43\n";
  EXPECT_FALSE(sweep->LoadSequence("over.csv"));
  ASSERT_EQ(presenter->shown.size(), 1u);
  EXPECT_EQ(presenter->shown[0].title, "Error: Invalid Sequence");
  EXPECT_EQ(presenter->shown[0].text, "over.csv:1: code2 43 is outside the RX4410's codes 0..42");

  std::ofstream("hop.csv") << "0.2,7,8\n0.2,9,10\n";
  ASSERT_TRUE(sweep->LoadSequence("hop.csv"));
  EXPECT_FALSE(sweep->FromBox->isEnabled());
  EXPECT_EQ(sweep->SourceLabel->text(), "Sequence: hop.csv (2 steps)");
  sweep->StartButton->click();
  ASSERT_TRUE(WaitUntil([&] { return !sweep->running(); }));
  EXPECT_EQ(Bench().rx4410, (std::array<int, 2>{9, 10}));
  ASSERT_TRUE(sweep->SaveLog("log.csv"));
  std::ifstream in("log.csv");
  std::string header, row;
  std::getline(in, header), std::getline(in, row), std::getline(in, row);
  EXPECT_EQ(header, "t_ms,step,code1,code2");
  EXPECT_EQ(row.substr(row.find(',')), ",2,9,10");
  // Loaded for the RX4410, refused for the TQM7731's smaller range.
  std::ofstream("high.csv") << "0.2,40,1\n";
  ASSERT_TRUE(sweep->LoadSequence("high.csv"));
  main->DeviceOption[1]->setChecked(true);
  sweep->StartButton->click();
  EXPECT_FALSE(sweep->running());
  ASSERT_EQ(presenter->shown.size(), 2u);
  EXPECT_EQ(presenter->shown[1].text, "high.csv: code 40 is outside the TQM7731's codes 0..31");
  sweep->RampButton->click();
  EXPECT_TRUE(sweep->FromBox->isEnabled());
}

// A number outside what the box takes is refused whole with the range
// alert, and the box keeps the last number it took: never a cut-off "6" for
// a typed "63". The dwell takes what --dwell takes, to the nanosecond.
TEST_F(SweepWindow, EntriesOutsideTheirRangeAreRefusedWhole) {
  struct Case {
    const char* box;
    int held;
    const char* typed;
    int value;          // what the box holds afterwards
    const char* alert;  // the alert's text, or "" for none
  };
  const Case cases[] = {
      {"ToBox", 30, "63", 30, "Valid input range from 0 to 42.  "},
      {"ToBox", 30, "41", 41, ""},
      {"FromBox", 5, "-1", 5, "Valid input range from 0 to 42.  "},
      {"StepBox", 2, "0", 2, "Valid input range from 1 to 32767.  "},
      {"StepBox", 2, "100", 100, ""},
  };
  SweepForm* sweep = OpenSweep();
  ActivateSweep(sweep);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.box) + " " + c.typed);
    auto* box = sweep->findChild<QSpinBox*>(c.box);
    box->setValue(c.held);
    presenter->shown.clear();
    Type(box, c.typed);
    EXPECT_EQ(box->value(), c.value);
    EXPECT_EQ(AlertTexts(), *c.alert ? std::vector<std::string>{c.alert} : std::vector<std::string>{});
  }
  struct Dwell {
    const char* typed;
    const char* text;  // the box afterwards
    const char* span;  // 10 steps of it, as the plot's axis shows them
    const char* alert;
  };
  const Dwell dwells[] = {
      {"0.25", "0.25", "2.5 ms", ""},
      {"0.05", "0.25", "2.5 ms", "Dwell 0.05 ms is below 0.1 ms."},
      {"12.0004", "12.0004", "120 ms", ""},
      {"x", "12.0004", "120 ms", "Dwell \"x\" is not a number of milliseconds."},
  };
  Ramp(sweep, 0, 9, 1, 100, 1);
  for (const Dwell& d : dwells) {
    SCOPED_TRACE(d.typed);
    presenter->shown.clear();
    Type(sweep->DwellBox, d.typed);
    EXPECT_EQ(sweep->DwellBox->text(), d.text);
    EXPECT_EQ(sweep->Plot->SpanText(), d.span);
    EXPECT_EQ(AlertTexts(), *d.alert ? std::vector<std::string>{d.alert} : std::vector<std::string>{});
  }
  // A refusal at Start starts nothing.
  sweep->ToBox->findChild<QLineEdit*>()->setText("50");
  presenter->shown.clear();
  sweep->Start_Click();
  EXPECT_FALSE(sweep->running());
  EXPECT_EQ(sweep->ToBox->value(), 9);
  EXPECT_EQ(presenter->shown.size(), 1u);
}

TEST_F(SweepWindow, FollowsTheDeviceChosenInTheMainWindow) {
  SweepForm* sweep = OpenSweep();
  struct Case {
    int device;
    int to;
    const char* first;
    bool verify;
  };
  const Case cases[] = {{1, 31, "Attn A", false}, {0, 31, "Chan 1", true}};
  for (const Case& c : cases) {
    main->DeviceOption[static_cast<std::size_t>(c.device)]->setChecked(true);
    EXPECT_EQ(sweep->ToBox->value(), c.to);
    EXPECT_EQ(sweep->ChannelBox->itemText(1), c.first);
    EXPECT_EQ(sweep->VerifyBox->isEnabled(), c.verify);
  }
  // What the TQM7731 refuses, the RX4410 takes again.
  Type(sweep->ToBox, "42");
  EXPECT_EQ(sweep->ToBox->value(), 42);
  EXPECT_TRUE(presenter->shown.empty());
}

// The progress bar says how far a run got and how it ended; the steps that
// started late are counted when the run ends (a port slowed to 200 us an
// access makes every step of 0.1 ms late).
TEST_F(SweepWindow, ProgressSaysHowFarARunGotHowItEndedAndWhatWasLate) {
  struct Case {
    int repeat;
    bool stop;
    std::uint64_t delayNs;
    const char* during;  // pattern of the text while it runs
    const char* after;   // pattern of the text at the end
    const char* late;    // pattern of the late-step line
  };
  const Case cases[] = {
      {0, true, 0, R"(\d+ steps, .*)", R"(\d+ steps in [\d.]+ m?s, stopped)", ""},
      {1, false, 0, R"(\d+%.*)", R"(100%, done)", ""},
      {1, false, 200'000, R"(\d+%.*)", R"(100%, done)",
       R"([23] of 3 steps started late, by up to [\d.]+ ms)"},
  };
  SweepForm* sweep = OpenSweep();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.after);
    ProcessLink().SetDelayNanoseconds(c.delayNs);
    Ramp(sweep, 0, c.repeat == 0 ? 42 : 2, 1, 0.1, c.repeat);
    sweep->StartButton->click();
    ASSERT_TRUE(WaitUntil([&] { return !sweep->rows().empty() || !sweep->running(); }));
    if (sweep->running()) {
      EXPECT_TRUE(std::regex_match(sweep->Progress->text().toStdString(), std::regex(c.during)))
          << sweep->Progress->text().toStdString();
    }
    if (c.stop) sweep->StopButton->click();
    ASSERT_TRUE(WaitUntil([&] { return !sweep->running(); }));
    ProcessLink().SetDelayNanoseconds(0);
    EXPECT_TRUE(std::regex_match(sweep->Progress->text().toStdString(), std::regex(c.after)))
        << sweep->Progress->text().toStdString();
    if (*c.late == '\0') continue;  // a loaded machine may start a step late anyway
    EXPECT_TRUE(std::regex_match(sweep->LateLabel->text().toStdString(), std::regex(c.late)))
        << sweep->LateLabel->text().toStdString();
  }
}

// After a run the boxes and scroll bars hold the last step's codes as if
// typed there: typing the old text moves the scroll bar back.
TEST_F(SweepWindow, AfterARunTheMainWindowTakesEntriesAsBefore) {
  SweepForm* sweep = OpenSweep();
  Ramp(sweep, 0, 42, 42, 0.1, 1);
  sweep->StartButton->click();
  ASSERT_TRUE(WaitUntil([&] { return !sweep->running(); }));
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(main->GainText[i]->text(), "42");
    EXPECT_EQ(main->GainSlide[i]->Code(), 42);
    main->GainText[i]->setText("0");
    EXPECT_EQ(main->GainSlide[i]->Code(), 0) << i;
  }
}

TEST_F(SweepWindow, StopStaysUsableWhileTheAboutBoxIsOpen) {
  SweepForm* sweep = OpenSweep();
  Ramp(sweep, 0, 42, 1, 1, 0);
  sweep->StartButton->click();
  main->AboutMenu->trigger();
  EXPECT_FALSE(main->isEnabled());
  EXPECT_TRUE(sweep->StopButton->isEnabled());
  QTest::mouseClick(sweep->StopButton, Qt::LeftButton);
  EXPECT_TRUE(WaitUntil([&] { return !sweep->running(); }));
  EXPECT_EQ(sweep->lastEnd(), SweepEnd::Stopped);
}

TEST_F(SweepWindow, TheEmptyPlotShowsThePlannedLength) {
  struct Case {
    int to, step;
    double dwell;
    int repeat;
    const char* span;
  };
  const Case cases[] = {
      {42, 1, 100, 1, "4.3 s"}, {42, 1, 100, 0, ""}, {9, 1, 0.25, 2, "5 ms"}, {1, 1, 86'400'000, 1, "48 h"}};
  SweepForm* sweep = OpenSweep();
  for (const Case& c : cases) {
    Ramp(sweep, 0, c.to, c.step, c.dwell, c.repeat);
    Type(sweep->DwellBox, QString::number(c.dwell, 'g', 12));
    EXPECT_EQ(sweep->Plot->SpanText(), c.span) << c.dwell;
  }
}

// Return presses the focused Start, the focus moves to Stop and Escape
// stops; the focus comes back to Start.
TEST_F(SweepWindow, TheKeyboardStartsAndStopsAndTheFocusStays) {
  SweepForm* sweep = OpenSweep();
  ActivateSweep(sweep);
  Ramp(sweep, 0, 42, 1, 1, 0);
  sweep->StartButton->setFocus();
  QTest::keyClick(sweep->StartButton, Qt::Key_Return);
  ASSERT_TRUE(sweep->running());
  EXPECT_EQ(QApplication::focusWidget(), sweep->StopButton);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
  ASSERT_TRUE(WaitUntil([&] { return !sweep->running(); }));
  EXPECT_EQ(QApplication::focusWidget(), sweep->StartButton);
}

// However many steps, the plot draws per pixel column what the codes did
// there: a single step among 200,000 still shows.
TEST(SweepPlotTest, OneStepAmongManyStillShows) {
  std::vector<StepRecord> rows(200'000);
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].startNs = static_cast<std::int64_t>(i) * 100'000;
  rows[100'001].code1 = 42;
  SweepPlot plot;
  plot.resize(400, 300);
  plot.SetData(&rows, rows.back().startNs + 100'000, 42, false);
  QImage image(plot.size(), QImage::Format_RGB32);
  plot.render(&image);
  int blue = 0;  // the first channel's colour along the top of the frame
  for (int x = 41; x < 388; ++x) {
    const QColor c = image.pixelColor(x, 10);
    if (c.blue() > 150 && c.red() < 60) ++blue;
  }
  EXPECT_GT(blue, 0);
}

class ToolsWindows : public SweepWindow {};

// The Tools windows open inside the screen's available area (the test runs
// again on a 1600 x 1000 screen at double scale) and name the port.
TEST_F(ToolsWindows, OpenWithinTheScreenAndNameThePort) {
  main->findChild<QAction*>("PortTraceMenu")->trigger();
  main->findChild<QAction*>("CalibrationMenu")->trigger();
  SweepForm* sweep = OpenSweep();
  for (QWidget* w : std::initializer_list<QWidget*>{ShownPortTrace(), ShownCalibration(), sweep}) {
    SCOPED_TRACE(w->objectName().toStdString());
    const QRect area = w->screen()->availableGeometry();
    EXPECT_TRUE(area.contains(w->frameGeometry()))
        << w->frameGeometry().width() << " x " << w->frameGeometry().height() << " in " << area.width()
        << " x " << area.height();
    EXPECT_EQ(w->findChild<QLabel*>("PortLabel")->text(), "Port: LPT1 (H378), simulated bench");
  }
}

// A Tools window belongs to the gain-control window that opened it: after
// Options Menu and OK it goes, and the next one serves the new window.
TEST_F(ToolsWindows, GoWithTheGainControlWindowThatOpenedThem) {
  for (const char* menu : {"PortTraceMenu", "CalibrationMenu"}) {
    SCOPED_TRACE(menu);
    main->findChild<QAction*>(menu)->trigger();
    const QPointer<QWidget> first = std::string(menu) == "PortTraceMenu"
                                        ? static_cast<QWidget*>(ShownPortTrace())
                                        : static_cast<QWidget*>(ShownCalibration());
    ASSERT_FALSE(first.isNull());
    Close();
    testing::Settle();
    EXPECT_TRUE(first.isNull());
    EXPECT_EQ(ShownPortTrace(), nullptr);
    Open();
  }
}

}  // namespace
}  // namespace tarvel
