// The Port Trace window's model (rows, frames, ring bounds, zoom arithmetic)
// and the window driven from the gain-control window's "Tools" menu.
#include <gtest/gtest.h>

#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <fstream>

#include "GuiTestSupport.h"
#include "capture/PortCapture.h"
#include "capture/VcdDecode.h"
#include "core/MainModule.h"
#include "device/ControlPPORT.h"
#include "ui/CodeScrollBar.h"
#include "ui/MainForm.h"
#include "ui/PortTraceWindow.h"

namespace tarvel {
namespace {

std::vector<std::string> Texts(const PortTraceModel& m) {
  std::vector<std::string> out;
  for (const auto& f : m.frames()) out.push_back(f.text);
  return out;
}

TEST(PortTraceModelTest, RowsAndFramesOfWhatWasSent) {
  struct Case {
    const char* device;
    std::array<std::int16_t, 2> codes;
    bool readBack;
    std::vector<std::string> rows, frames;
  };
  const std::vector<std::string> rx = {"Chan 1 select", "Chan 1 data", "Chan 1 clock", "Chan 1 out (S5)",
                                       "Chan 2 select", "Chan 2 data", "Chan 2 clock", "Chan 2 out (S4)"};
  const Case cases[] = {
      {"RX4410",
       {40, 21},
       true,
       rx,
       {"RX4410 Chan 1 write 40", "RX4410 Chan 2 write 21", "RX4410 Chan 1 read -> 40",
        "RX4410 Chan 2 read -> 21"}},
      {"TQM7731", {5, 3}, false, {"data", "clock", "enable"}, {"TQM7731 Attn A 5, Attn B 3"}},
  };
  PortAddress = kLpt1Address;
  for (const Case& c : cases) {
    SetPortBackend(std::make_unique<SimPortBackend>());
    RecentPortAccesses().clear();
    DeviceName = c.device;
    GainCode = c.codes;
    ASSERT_EQ(RunDeviceCommand(), CommandStatus::Done);
    if (c.readBack) {
      ASSERT_EQ(ReadBackCodes(), CommandStatus::Done);
    }
    SetPortBackend(nullptr);
    PortTraceModel m;
    ASSERT_TRUE(m.Refresh(RecentPortAccesses().Snapshot(), c.rows.size() == 3));
    EXPECT_FALSE(m.Refresh(RecentPortAccesses().Snapshot(), c.rows.size() == 3));  // nothing new
    std::vector<std::string> rows;
    for (const auto& r : m.rows()) rows.push_back(r.label);
    EXPECT_EQ(rows, c.rows);
    EXPECT_EQ(Texts(m), c.frames);
    // The first frame's select (RX4410, active low) or enable is active inside it.
    const DecodedFrame& f = m.frames().front();
    const TraceRow& frameLine = c.rows.size() == 3 ? m.rows()[2] : m.rows()[0];
    EXPECT_EQ(m.Level(frameLine, f.start), c.rows.size() == 3 ? 1 : 0);
    EXPECT_EQ(m.FrameAt(static_cast<double>(f.start) + 0.5), 0);
    EXPECT_EQ(m.FrameAt(static_cast<double>(f.start) - 0.5), -1);
  }
}

TEST(PortTraceModelTest, KeepsOnlyTheRingAndLevelsBeforeAnySampleAreUnknown) {
  PortAccessLog log(10);
  for (int i = 0; i < 25; ++i) log.RecordWrite(static_cast<std::uint8_t>(i));
  PortTraceModel m;
  m.Refresh(log, false);
  EXPECT_EQ(m.first(), 15u);
  EXPECT_EQ(m.end(), 25u);
  EXPECT_EQ(m.Level(m.rows()[0], 14), -1);  // dropped
  EXPECT_EQ(m.Level(m.rows()[0], 15), 1);   // 15 = 0b1111: D0 high
  EXPECT_EQ(m.Level(m.rows()[3], 20), -1);  // status never read
}

TEST(PortTraceModelTest, ZoomAndPanStayInsideTheAccesses) {
  PortAccessLog log(1000);
  for (int i = 0; i < 1000; ++i) log.RecordWrite(0);
  struct Case {
    const char* name;
    std::function<void(PortTraceModel&)> act;
    double start, end;
  };
  const Case cases[] = {
      {"home", [](PortTraceModel&) {}, 0, 1000},
      {"in around the middle", [](PortTraceModel& m) { m.ZoomAt(0.5, 2); }, 250, 750},
      {"in around the left edge", [](PortTraceModel& m) { m.ZoomAt(0, 4); }, 0, 250},
      {"in around a quarter, twice", [](PortTraceModel& m) { m.ZoomAt(0.25, 2), m.ZoomAt(0.25, 2); }, 187.5,
       437.5},
      {"deepest zoom", [](PortTraceModel& m) { m.ZoomAt(1, 1e9); }, 996, 1000},
      {"out past all", [](PortTraceModel& m) { m.ZoomAt(0.3, 0.01); }, 0, 1000},
      {"pan left", [](PortTraceModel& m) { m.ZoomAt(0.5, 2), m.Pan(-50); }, 200, 700},
      {"pan past the end", [](PortTraceModel& m) { m.ZoomAt(0.5, 2), m.Pan(1e6); }, 500, 1000},
      {"home after zoom", [](PortTraceModel& m) { m.ZoomAt(0.5, 8), m.Home(); }, 0, 1000},
  };
  for (const Case& c : cases) {
    PortTraceModel m;
    m.Refresh(log, false);
    c.act(m);
    EXPECT_DOUBLE_EQ(m.viewStart(), c.start) << c.name;
    EXPECT_DOUBLE_EQ(m.viewEnd(), c.end) << c.name;
  }
}

class PortTraceWindowTest : public testing::WindowTest {
 protected:
  testing::TempWorkDir work{"port-trace"};
};

TEST_F(PortTraceWindowTest, FollowsTheSendsShowsBitsAndSaves) {
  Open();
  QAction* menu = main->findChild<QAction*>("PortTraceMenu");
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(qobject_cast<QMenu*>(menu->parent())->title(), "Tools");
  menu->trigger();
  PortTraceWindow* w = ShownPortTrace();
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->isVisible());
  main->GainSlide[0]->SetCode(40);
  main->GainSlide[1]->SetCode(21);
  RecentPortAccesses().clear();
  main->Transmit->click();
  w->Refresh();
  ASSERT_EQ(Texts(w->model()),
            (std::vector<std::string>{"RX4410 Chan 1 write 40", "RX4410 Chan 2 write 21"}));

  const DecodedFrame& f = w->model().frames()[0];
  const int x = static_cast<int>(w->view()->XOf((static_cast<double>(f.start + f.end)) / 2));
  QTest::mouseClick(w->view(), Qt::LeftButton, {}, QPoint(x, PortTraceView::kFrameBand / 2));
  EXPECT_EQ(w->view()->selected(), 0);
  EXPECT_NE(w->bits()->text().indexOf("bits sent, first to last: 1 0 0 0 0 1 0 1"), -1)
      << w->bits()->text().toStdString();

  ASSERT_TRUE(w->SaveVcd("trace.vcd"));
  std::vector<std::string> decoded;
  VcdDecodeCallbacks out;
  out.frame = [&](const DecodedFrame& d, double) { decoded.push_back(d.text); };
  EXPECT_EQ(DecodeVcdFile("trace.vcd", {}, out).status, VcdDecodeResult::Status::Ok);
  EXPECT_EQ(decoded, Texts(w->model()));
  ASSERT_TRUE(w->SavePng("trace.png"));
  char magic[4] = {};
  std::ifstream("trace.png").read(magic, 4);
  EXPECT_EQ(std::string(magic + 1, 3), "PNG");
  // A folder that cannot be written: an alert like the program's others.
  EXPECT_FALSE(w->SavePng("no-such-folder/trace.png"));
  ASSERT_EQ(presenter->shown.size(), 1u);
  EXPECT_EQ(presenter->shown[0].title, "Error: Save as PNG");
  EXPECT_EQ(presenter->shown[0].text, "Cannot write no-such-folder/trace.png: No such file or directory.");

  main->DeviceOption[1]->click();
  w->Refresh();
  EXPECT_EQ(w->model().rows().size(), 3u);
  Close();
  EXPECT_EQ(ShownPortTrace(), nullptr);
}

// At the opening size a Transmit's and a Receive's frames show their codes,
// and a click puts the frame, codes first, in the status line.
TEST_F(PortTraceWindowTest, FrameLabelsShowTheCodesWhenThereIsRoom) {
  Open();
  main->findChild<QAction*>("PortTraceMenu")->trigger();
  PortTraceWindow* w = ShownPortTrace();
  struct Case {
    int device;
    std::vector<QStringList> codes;
  };
  const Case cases[] = {{0, {{"30"}, {"21"}, {"30"}, {"21"}}}, {1, {{"30", "21"}}}};
  for (const Case& c : cases) {
    main->DeviceOption[static_cast<std::size_t>(c.device)]->click();
    main->GainSlide[0]->SetCode(30);
    main->GainSlide[1]->SetCode(21);
    RecentPortAccesses().clear();
    main->Transmit->click();
    if (c.device == 0) main->Receive->click();
    w->Refresh();
    w->model().Home();
    ASSERT_EQ(w->model().frames().size(), c.codes.size());
    for (std::size_t f = 0; f < c.codes.size(); ++f) {
      const QString label = w->view()->LabelOf(static_cast<int>(f));
      for (const QString& code : c.codes[f]) EXPECT_TRUE(label.contains(code)) << label.toStdString();
      w->view()->Select(static_cast<int>(f));
      EXPECT_TRUE(w->bits()->text().startsWith(QString::fromStdString(w->model().frames()[f].text)));
    }
  }
  // Among many frames there is no room even for the codes.
  for (int i = 0; i < 100; ++i) main->Transmit->click();
  w->Refresh();
  w->model().Home();
  EXPECT_FALSE(w->view()->LabelOf(0).contains("21")) << w->view()->LabelOf(0).toStdString();
}

TEST_F(PortTraceWindowTest, TheKeyboardZoomsAndPans) {
  Open();
  main->findChild<QAction*>("PortTraceMenu")->trigger();
  PortTraceWindow* w = ShownPortTrace();
  RecentPortAccesses().clear();
  for (int i = 0; i < 20; ++i) main->Transmit->click();
  w->Refresh();
  const double all = w->model().viewEnd() - w->model().viewStart();
  struct Case {
    std::vector<int> keys;
    double start, end;  // as shares of all the accesses
  };
  const Case cases[] = {
      {{Qt::Key_Plus}, 0.25, 0.75},
      {{Qt::Key_Equal, Qt::Key_Left}, 0.125, 0.625},
      {{Qt::Key_Plus, Qt::Key_Right, Qt::Key_Right}, 0.5, 1},
      {{Qt::Key_Plus, Qt::Key_Plus, Qt::Key_Minus}, 0.25, 0.75},
      {{Qt::Key_Plus, Qt::Key_Left, Qt::Key_Home}, 0, 1},
  };
  for (const Case& c : cases) {
    w->model().Home();
    for (int key : c.keys) QTest::keyClick(w->view(), static_cast<Qt::Key>(key));
    EXPECT_DOUBLE_EQ((w->model().viewStart() - static_cast<double>(w->model().first())) / all, c.start)
        << c.keys.size();
    EXPECT_DOUBLE_EQ((w->model().viewEnd() - static_cast<double>(w->model().first())) / all, c.end)
        << c.keys.size();
  }
}

}  // namespace
}  // namespace tarvel
