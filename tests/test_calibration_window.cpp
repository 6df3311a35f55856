// The Calibration window offscreen, on the in-memory bench: tables loaded
// and refused, channels set by dB through the gain-control window's send,
// and the Sweep window's ramp in dB with the gains in its log.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <fstream>

#include "GuiTestSupport.h"
#include "ui/CalibrationWindow.h"
#include "ui/CodeScrollBar.h"
#include "ui/MainForm.h"
#include "ui/SweepForm.h"

namespace tarvel {
namespace {

// Chan 1: codes 0 and 10 measured at 1 and 2 GHz, code 20 at every
// frequency; Chan 2: codes 0, 30 and 50 (50 is the chip's, not the window's).
constexpr const char* kTable =
    "# tarvel-cal 1\n"
    "# device=RX4410\n"
    "# board=SN0042\n"
    "channel,code,freq_hz,gain_db\n"
    "1,0,1000000000,-20\n"
    "1,0,2000000000,-22\n"
    "1,10,1000000000,-10\n"
    "1,10,2000000000,-12\n"
    "1,20,,0\n"
    "2,0,,-30\n"
    "2,30,,-0.5\n"
    "2,50,,6\n";

class CalibrationWindowTest : public testing::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    Open();
    std::ofstream("board.csv") << kTable;
    main->findChild<QAction*>("CalibrationMenu")->trigger();
    cal = ShownCalibration();
    ASSERT_NE(cal, nullptr);
  }
  std::string Sent() const { return main->LastSent->text().toStdString(); }

  testing::TempWorkDir work{"calwindow"};
  CalibrationWindow* cal = nullptr;
};

TEST_F(CalibrationWindowTest, AGoodTableLoadsAndABadOneChangesNothing) {
  EXPECT_FALSE(cal->GainBox[0]->isEnabled()) << "no table yet";
  ASSERT_TRUE(cal->LoadTable("board.csv"));
  EXPECT_TRUE(cal->TableLabel->text().contains("board=SN0042"));
  EXPECT_EQ(cal->FrequencyBox->text(), "1000000000") << "the lowest frequency first";
  EXPECT_TRUE(cal->GainBox[0]->isEnabled());
  EXPECT_EQ(cal->Plot->Caption(), "RX4410 at 1 GHz");
  cal->FrequencyBox->setText("2e9");
  ASSERT_TRUE(cal->TakeFrequency());
  const Calibration* loaded = cal->calibration();
  const BenchState before = Bench();

  const std::string header = "# tarvel-cal 1\n# device=RX4410\nchannel,code,freq_hz,gain_db\n";
  // The rows after a good header, or a whole file.
  const struct {
    bool headed;
    const char* text;
    int line;  // 0: any line
  } bad[] = {
      {false, "# tarvel-cal 1\n# device=RX4410\n1,0,,-3\n", 3},  // no header line
      {false, "# tarvel-cal 1\n# device=RX9999\nchannel,code,freq_hz,gain_db\n1,0,,-3\n", 0},
      {true, "1,0,,-3\n1,64,,-3\n", 5},          // a code the RX4410 does not take
      {true, "1,0,,-3\n1,1,,nan\n", 5},          // not finite
      {true, "1,0,,-3\n1,1,,-2\n1,0,,-4\n", 6},  // a duplicate: the later row's line
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.text);
    std::string text = b.headed ? header : std::string();
    text += b.text;
    std::ofstream("bad.csv") << text;
    presenter->shown.clear();
    cal->PathBox->setText("bad.csv");
    cal->LoadButton->click();
    ASSERT_EQ(presenter->shown.size(), 1u);
    const std::string& why = presenter->shown[0].text;
    EXPECT_EQ(why.rfind(b.line > 0 ? "bad.csv:" + std::to_string(b.line) + ": " : "bad.csv:", 0), 0u) << why;
    EXPECT_EQ(cal->calibration(), loaded);
    EXPECT_EQ(cal->PathBox->text(), "board.csv");
    EXPECT_EQ(cal->FrequencyBox->text(), "2000000000");
    EXPECT_EQ(loaded->Frequency(), 2e9);
  }
  EXPECT_EQ(Bench(), before) << "nothing sent";
}

// The nearest tabulated code at the working frequency reaches the chip
// through the gain-control window's send: its boxes and Last Sent follow.
TEST_F(CalibrationWindowTest, SettingByDbSendsTheNearestCode) {
  ASSERT_TRUE(cal->LoadTable("board.csv"));
  const struct {
    const char* freq;
    int channel;
    const char* db;
    int code;
    const char* chosen;
  } cases[] = {
      {"1000000000", 0, "-10.4", 10, "code 10, -10.000 dB"},
      {"1000000000", 0, "-15", 0, "code 0, -20.000 dB"},     // a tie: the lower gain
      {"1000000000", 0, "0.5 dB", 20, "code 20, 0.000 dB"},  // the edge of the range
      {"2E9", 0, "-11.9", 10, "code 10, -12.000 dB"},
      {"1500000000", 0, "-16", 0, "code 0, -21.000 dB"},  // between the rows: -21 and -11, a tie
      {"1500000000", 1, "-1dB", 30, "code 30, -0.500 dB"},
  };
  int other[2] = {0, 0};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.freq) + " " + c.db);
    cal->FrequencyBox->setText(c.freq);
    cal->GainBox[static_cast<std::size_t>(c.channel)]->setText(c.db);
    cal->SetButton[static_cast<std::size_t>(c.channel)]->click();
    other[c.channel] = c.code;
    EXPECT_EQ(Bench().rx4410, (std::array<int, 2>{other[0], other[1]}));
    EXPECT_EQ(Sent(), "Last Sent: " + std::to_string(other[0]) + ", " + std::to_string(other[1]));
    EXPECT_EQ(main->GainText[static_cast<std::size_t>(c.channel)]->text().toInt(), c.code);
    EXPECT_EQ(main->GainSlide[static_cast<std::size_t>(c.channel)]->Code(), c.code);
    EXPECT_EQ(cal->ChosenLabel[static_cast<std::size_t>(c.channel)]->text().toStdString(), c.chosen);
  }
  EXPECT_TRUE(presenter->shown.empty());
}

TEST_F(CalibrationWindowTest, AGainOutOfRangeIsRefusedAndNothingIsSent) {
  ASSERT_TRUE(cal->LoadTable("board.csv"));
  main->Transmit_Click();
  const struct {
    int channel;
    const char* db;
    const char* title;
  } cases[] = {
      {0, "0.51", "Error: Gain Out of Range"},   // above 0 dB + 0.5
      {0, "-20.6", "Error: Gain Out of Range"},  // below -20 dB - 0.5
      {0, "loud", "Error: Invalid or Missing Entry"},
      {1, "5", "Error: Gain Out of Range"},  // code 50: the window sends 0 to 42
  };
  const BenchState before = Bench();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.db);
    presenter->shown.clear();
    cal->GainBox[static_cast<std::size_t>(c.channel)]->setText(c.db);
    cal->SetButton[static_cast<std::size_t>(c.channel)]->click();
    ASSERT_EQ(presenter->shown.size(), 1u);
    EXPECT_EQ(presenter->shown[0].title, c.title);
    EXPECT_EQ(Bench(), before);
    EXPECT_EQ(main->GainText[0]->text() + main->GainText[1]->text(), "00");
    EXPECT_EQ(Sent(), "Last Sent: 0, 0");
  }
  // A table for another chip sets nothing there.
  main->DeviceOption[1]->setChecked(true);
  EXPECT_FALSE(cal->GainBox[0]->isEnabled());
  EXPECT_FALSE(cal->SetGain(0));
  EXPECT_EQ(Bench(), before);
}

// With a table the ramp is in dB, each step its nearest code, and the log
// has the gains; without one (the other chip) it is in codes as before.
TEST_F(CalibrationWindowTest, TheSweepWindowTakesItsRampInDb) {
  main->SweepMenu->trigger();
  SweepForm* sweep = main->Sweep();
  EXPECT_FALSE(sweep->InDb());
  ASSERT_TRUE(cal->LoadTable("board.csv"));
  ASSERT_TRUE(sweep->InDb());
  EXPECT_FALSE(sweep->FromBox->isVisibleTo(sweep));
  sweep->FromDbBox->setText("-20"), sweep->ToDbBox->setText("0"), sweep->StepDbBox->setText("5");
  sweep->DwellBox->setText("0.1");
  sweep->ChannelBox->setCurrentIndex(1);
  sweep->StartButton->click();
  QElapsedTimer t;
  t.start();
  while (sweep->running() && t.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 10);
  ASSERT_EQ(sweep->lastEnd(), SweepEnd::Completed);
  std::vector<int> codes;
  for (const StepRecord& r : sweep->rows()) codes.push_back(r.code1);
  // -20, -15 (a tie), -10, -5 (a tie), 0 dB.
  EXPECT_EQ(codes, (std::vector<int>{0, 0, 10, 10, 20}));
  ASSERT_TRUE(sweep->SaveLog("log.csv"));
  std::ifstream in("log.csv");
  std::string header, row;
  std::getline(in, header), std::getline(in, row);
  EXPECT_EQ(header, "t_ms,step,code1,code2,gain1_db,gain2_db");
  EXPECT_EQ(row.substr(row.find(',')), ",1,0,0,-20.000,-30.000");

  // A value with no code near it stops the run before it starts.
  sweep->ToDbBox->setText("5");
  const BenchState before = Bench();
  sweep->StartButton->click();
  EXPECT_FALSE(sweep->running());
  ASSERT_EQ(presenter->shown.size(), 1u);
  EXPECT_EQ(presenter->shown[0].title, "Error: Gain Out of Range");
  EXPECT_EQ(Bench(), before);

  main->DeviceOption[1]->setChecked(true);
  EXPECT_FALSE(sweep->InDb());
  EXPECT_TRUE(sweep->FromBox->isVisibleTo(sweep));
}

}  // namespace
}  // namespace tarvel
