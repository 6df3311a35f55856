// The Sweep window offscreen: runs on the worker thread against the
// in-memory bench, the main window following and getting its state back.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <fstream>

#include "GuiTestSupport.h"
#include "capture/PortCapture.h"
#include "ui/CodeScrollBar.h"
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
    auto* sweep = main->findChild<SweepForm*>();
    EXPECT_NE(sweep, nullptr);
    return sweep;
  }
  void Ramp(SweepForm* s, int from, int to, int step, double dwell, int repeat) {
    s->FromBox->setValue(from), s->ToBox->setValue(to), s->StepBox->setValue(step);
    s->DwellBox->setValue(dwell), s->RepeatBox->setValue(repeat);
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
  Ramp(sweep, 0, 63, 1, 0.1, 0);
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
  ASSERT_TRUE(WaitUntil([&] { return !sweep->running(); }, 2000));
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
    ASSERT_TRUE(WaitUntil([&] { return !sweep->running(); }, 2000));
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

}  // namespace
}  // namespace tarvel
