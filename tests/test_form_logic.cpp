// The windows' logic against the fake controls, without a display: the
// nested roads of the code-entry handlers, event by event.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "FakeControls.h"
#include "RecordingPort.h"
#include "TestSupport.h"
#include "core/MainModule.h"
#include "core/Version.h"
#include "forms/AboutFormLogic.h"
#include "forms/MainFormLogic.h"
#include "forms/StartupFormLogic.h"

namespace tarvel {
namespace {

using forms::FormId;
using testing::FakeCheckBox;
using testing::FakeCommandButton;
using testing::FakeHost;
using testing::FakeLabel;
using testing::FakeOptionButton;
using testing::FakeScrollBar;
using testing::FakeTextBox;
using testing::FormTrace;

std::string Indexed(const char* name, std::size_t i) {
  return std::string(name) + "(" + std::to_string(i) + ")";
}

// The gain-control window bound to the fake, each notification handed to
// its handler as a binding does.
struct FakeMainForm {
  explicit FakeMainForm(FormTrace& trace, FakeHost& host)
      : frameLabel{FakeLabel("FrameLabel(0)", trace), FakeLabel("FrameLabel(1)", trace)},
        gainText{FakeTextBox("GainText(0)", trace), FakeTextBox("GainText(1)", trace)},
        gainSlide{FakeScrollBar("GainSlide(0)", trace), FakeScrollBar("GainSlide(1)", trace)},
        readText{FakeLabel("ReadText(0)", trace), FakeLabel("ReadText(1)", trace)},
        deviceOption{FakeOptionButton("DeviceOption(0)", trace, group),
                     FakeOptionButton("DeviceOption(1)", trace, group)},
        autoTransmit("AutoTransmit", trace),
        transmit("Transmit", trace),
        receive("Receive", trace),
        lastSent("LastSent", trace) {
    forms::MainFormControls c;
    c.Form = &host.WindowOf(FormId::Main);
    for (std::size_t i = 0; i < 2; ++i) {
      c.FrameLabel[i] = &frameLabel[i];
      c.GainText[i] = &gainText[i];
      c.GainSlide[i] = &gainSlide[i];
      c.ReadText[i] = &readText[i];
      c.DeviceOption[i] = &deviceOption[i];
    }
    c.AutoTransmit = &autoTransmit;
    c.Transmit = &transmit;
    c.Receive = &receive;
    c.LastSent = &lastSent;
    logic = std::make_unique<forms::MainFormLogic>(c, host);
    for (std::size_t i = 0; i < 2; ++i) {
      const auto index = static_cast<std::int16_t>(i);
      gainText[i].onChange =
          trace.Handler(Indexed("GainText_Change", i), [this, index] { logic->GainText_Change(index); });
      gainSlide[i].onChange =
          trace.Handler(Indexed("GainSlide_Change", i), [this, index] { logic->GainSlide_Change(index); });
      gainSlide[i].onScroll =
          trace.Handler(Indexed("GainSlide_Scroll", i), [this, index] { logic->GainSlide_Scroll(index); });
      deviceOption[i].onClick = trace.Handler(Indexed("DeviceOption_Click", i),
                                              [this, index] { logic->DeviceOption_Click(index); });
    }
    autoTransmit.onClick = trace.Handler("AutoTransmit_Click", [this] { logic->AutoTransmit_Click(); });
    transmit.onClick = trace.Handler("Transmit_Click", [this] { logic->Transmit_Click(); });
    lastSent.traced = true;
  }

  std::vector<FakeOptionButton*> group;
  FakeLabel frameLabel[2];
  FakeTextBox gainText[2];
  FakeScrollBar gainSlide[2];
  FakeLabel readText[2];
  FakeOptionButton deviceOption[2];
  FakeCheckBox autoTransmit;
  FakeCommandButton transmit, receive;
  FakeLabel lastSent;
  std::unique_ptr<forms::MainFormLogic> logic;
};

class FormLogic : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceName.clear();
    port = testing::InstallRecordingPort();
    presenter = std::make_shared<testing::RecordingPresenter>();
    presenter->whileOpen = [this](const Alert& alert) { trace.Add("alert(" + alert.text + ")"); };
    SetAlertPresenter(presenter);
    main = std::make_unique<FakeMainForm>(trace, host);
    main->logic->Form_Load();
    trace.text.clear();
  }
  void TearDown() override { SetAlertPresenter(nullptr); }

  FormTrace trace;
  FakeHost host{trace};
  std::shared_ptr<testing::PortLog> port;
  std::shared_ptr<testing::RecordingPresenter> presenter;
  std::unique_ptr<FakeMainForm> main;
};

// What the user does to channel 0, and the road it takes.
enum class Act { Type, Step, Drag, Leave, Device };

struct Road {
  const char* name;
  int device;          // the option chosen first
  bool autoTransmit;   // checked before the act
  const char* before;  // channel 0's text (typed) before the act
  Act act;
  const char* what;      // the text typed, the position stepped or dragged to, the device
  const char* expected;  // the trace
  const char* after;     // channel 0's text afterwards
};

// A send shows as the label's caption with both codes.
constexpr Road kRoads[] = {
    {"plain new code, sent once", 0, true, "0", Act::Type, "30",
     "GainText_Change(0)[ GainSlide(0):=30 GainSlide_Change(0)[ GainText(0):=30 ] "
     "LastSent:=Last Sent: 30, 0 ]",
     "30"},
    {"auto-transmit off, nothing sent", 0, false, "0", Act::Type, "30",
     "GainText_Change(0)[ GainSlide(0):=30 GainSlide_Change(0)[ GainText(0):=30 ] ]", "30"},
    {"new code in another form, rewritten and sent twice", 0, true, "0", Act::Type, "07",
     "GainText_Change(0)[ GainSlide(0):=7 GainSlide_Change(0)[ GainText(0):=7 GainText_Change(0)[ "
     "GainSlide(0):=7 LastSent:=Last Sent: 7, 0 ] ] LastSent:=Last Sent: 7, 0 ]",
     "7"},
    {"the code the bar holds, in another form, stays as typed", 0, true, "7", Act::Type, "7.0",
     "GainText_Change(0)[ GainSlide(0):=7 LastSent:=Last Sent: 7, 0 ]", "7.0"},
    {"above the range: the alert, then the bound's text, sent twice", 0, true, "5", Act::Type, "50",
     "GainText_Change(0)[ alert(Valid input range from 0 to 42.  ) GainText(0):=42 GainText_Change(0)[ "
     "GainSlide(0):=42 GainSlide_Change(0)[ GainText(0):=42 ] LastSent:=Last Sent: 42, 0 ] "
     "GainSlide(0):=42 LastSent:=Last Sent: 42, 0 ]",
     "42"},
    {"below the range with the bar at the bound: still two sends", 0, true, "0", Act::Type, "-1",
     "GainText_Change(0)[ alert(Valid input range from 0 to 42.  ) GainText(0):=0 GainText_Change(0)[ "
     "GainSlide(0):=0 LastSent:=Last Sent: 0, 0 ] GainSlide(0):=0 LastSent:=Last Sent: 0, 0 ]",
     "0"},
    {"above the bound though its code is the bound", 0, false, "0", Act::Type, "42.4",
     "GainText_Change(0)[ alert(Valid input range from 0 to 42.  ) GainText(0):=42 GainText_Change(0)[ "
     "GainSlide(0):=42 GainSlide_Change(0)[ GainText(0):=42 ] ] GainSlide(0):=42 ]",
     "42"},
    {"a half rounds to even and the text follows", 0, false, "0", Act::Type, "40.5",
     "GainText_Change(0)[ GainSlide(0):=40 GainSlide_Change(0)[ GainText(0):=40 GainText_Change(0)[ "
     "GainSlide(0):=40 ] ] ]",
     "40"},
    {"the second chip's range", 1, false, "0", Act::Type, "32",
     "GainText_Change(0)[ alert(Valid input range from 0 to 31.  ) GainText(0):=31 GainText_Change(0)[ "
     "GainSlide(0):=31 GainSlide_Change(0)[ GainText(0):=31 ] ] GainSlide(0):=31 ]",
     "31"},
    {"not a number: ignored while typing", 0, true, "5", Act::Type, "-", "GainText_Change(0)[ ]", "-"},
    {"a step of the bar: one change of the text, one send", 0, true, "5", Act::Step, "6",
     "GainSlide_Change(0)[ GainText(0):=6 GainText_Change(0)[ GainSlide(0):=6 "
     "LastSent:=Last Sent: 6, 0 ] ]",
     "6"},
    {"a drag runs the scroll handler", 0, false, "5", Act::Drag, "9",
     "GainSlide_Scroll(0)[ GainText(0):=9 GainText_Change(0)[ GainSlide(0):=9 ] ]", "9"},
    {"leaving a text that is not the bar's: the alert, the focus back", 0, false, "7", Act::Leave, "07",
     "GainText_Change(0)[ GainSlide(0):=7 ] alert(Please enter a numeric value.  Blank entries are not "
     "permitted.) focus(GainText(0))",
     "07"},
    {"leaving the bar's own text: nothing", 0, false, "7", Act::Leave, "7", "", "7"},
    {"a device whose range cuts the bar: the text follows", 0, false, "40", Act::Device, "1",
     "DeviceOption_Click(1)[ GainSlide_Change(0)[ GainText(0):=31 GainText_Change(0)[ GainSlide(0):=31 ] ] "
     "LastSent:=Last Sent: ]",
     "31"},
};

void PrintTo(const Road& road, std::ostream* out) { *out << road.name; }

class Roads : public FormLogic, public ::testing::WithParamInterface<Road> {};

TEST_P(Roads, OfOneChange) {
  const Road& road = GetParam();
  FakeMainForm& f = *main;
  f.deviceOption[road.device].Click();
  f.gainText[0].Type(road.before);
  if (road.autoTransmit) f.autoTransmit.Click();
  trace.text.clear();
  presenter->shown.clear();

  switch (road.act) {
    case Act::Type: f.gainText[0].Type(road.what); break;
    case Act::Step: f.gainSlide[0].Move(std::stoi(road.what)); break;
    case Act::Drag: f.gainSlide[0].Drag(std::stoi(road.what)); break;
    case Act::Leave:
      f.gainText[0].Type(road.what);
      main->logic->GainText_LostFocus(0);
      break;
    case Act::Device: f.deviceOption[std::stoi(road.what)].Click(); break;
  }
  EXPECT_EQ(trace.text, road.expected);
  EXPECT_EQ(f.gainText[0].Text(), road.after);
  // Between events the bar holds the code of an accepted text.
  EXPECT_EQ(f.gainText[1].Text(), "0");
}

INSTANTIATE_TEST_SUITE_P(CodeEntry, Roads, ::testing::ValuesIn(kRoads),
                         [](const ::testing::TestParamInfo<Road>& road) {
                           std::string name;
                           for (const char* p = road.param.name; *p != '\0'; ++p) {
                             if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                           }
                           return name;
                         });

// The refresh that unchecks auto-transmit runs its click handler, whose own
// refresh finds the box unchecked and changes nothing: one level deep.
TEST_F(FormLogic, NoDeviceUnchecksAutoTransmitOneLevelDeep) {
  main->autoTransmit.Click();
  trace.text.clear();
  main->logic->DeviceOption_Click(2);
  EXPECT_EQ(trace.text,
            "alert(This option has not yet been implemented.) AutoTransmit:=0 AutoTransmit_Click[ "
            "AutoTransmit:=0 LastSent:=Last Sent: ] LastSent:=Last Sent:");
  EXPECT_FALSE(main->autoTransmit.enabled);
  EXPECT_FALSE(main->transmit.enabled);
  EXPECT_FALSE(main->gainText[0].enabled);
  EXPECT_EQ(DeviceName, "");
}

// The start-up window bound to the fake.
struct FakeStartupForm {
  FakeStartupForm(FormTrace& trace, FakeHost& host)
      : lpt{FakeOptionButton("LPT1", trace, group), FakeOptionButton("LPT2", trace, group),
            FakeOptionButton("PRN", trace, group)},
        ok("OK", trace),
        logic({&host.WindowOf(FormId::Startup), &lpt[0], &lpt[1], &lpt[2], &ok}, host) {
    lpt[0].onClick = [this] { logic.LPT1_Click(); };
    lpt[1].onClick = [this] { logic.LPT2_Click(); };
    lpt[2].onClick = [this] { logic.PRN_Click(); };
    ok.onClick = [this] { logic.OK_Click(); };
  }
  std::vector<FakeOptionButton*> group;
  FakeOptionButton lpt[3];
  FakeCommandButton ok;
  forms::StartupFormLogic logic;
};

// Options menu, a port, OK, the about box and its OK: the windows follow one
// another through the host, the device choice survives the trip and the port
// choice starts again at LPT1.
TEST_F(FormLogic, WindowsFollowOneAnother) {
  std::vector<std::unique_ptr<FakeStartupForm>> startups;
  std::vector<std::unique_ptr<FakeMainForm>> mains;
  FakeLabel version("VersionLabel", trace), copyright("CopyrightLabel", trace);
  FakeCommandButton aboutOk("OK", trace);
  forms::AboutFormLogic about({&host.WindowOf(FormId::About), &version, &copyright, &aboutOk}, host);
  aboutOk.onClick = [&] { about.OK_Click(); };
  host.load = [&](FormId form) {
    if (form == FormId::Startup) {
      startups.push_back(std::make_unique<FakeStartupForm>(trace, host));
      startups.back()->logic.Form_Load();
    } else if (form == FormId::Main) {
      mains.push_back(std::make_unique<FakeMainForm>(trace, host));
      mains.back()->logic->Form_Load();
    } else {
      about.Form_Load();
    }
  };
  host.unload = [&](FormId form) {
    if (form == FormId::About) about.Form_Unload();
  };

  main->deviceOption[1].Click();
  PortAddress = kPrnAddress;
  trace.text.clear();
  main->logic->OptionsMenu_Click();
  EXPECT_EQ(DeviceName, "1");
  EXPECT_EQ(trace.text, "load Startup LPT1:=1 startup steps focus(OK)");
  EXPECT_EQ(PortAddress, kLpt1Address);
  ASSERT_TRUE(host.WindowOf(FormId::Startup).shown);

  startups[0]->lpt[1].Click();
  EXPECT_EQ(PortAddress, kLpt2Address);
  trace.text.clear();
  startups[0]->ok.Click();
  ASSERT_EQ(mains.size(), 1u);
  EXPECT_TRUE(mains[0]->deviceOption[1].Value());
  EXPECT_EQ(DeviceName, "TQM7731");
  EXPECT_EQ(PortAddress, kLpt2Address);
  EXPECT_TRUE(host.WindowOf(FormId::Main).shown);
  EXPECT_EQ(host.Loaded(FormId::Startup), nullptr);

  mains[0]->logic->AboutMenu_Click();
  EXPECT_FALSE(host.WindowOf(FormId::Main).enabled);
  EXPECT_TRUE(mains[0]->logic->Form_QueryUnload());  // the title bar's close is refused
  EXPECT_EQ(version.Caption(), "Version: " + std::string(kVersion));
  about.ExtraLabel_DblClick();
  EXPECT_EQ(copyright.Caption(), forms::AboutFormLogic::CreditText());
  aboutOk.Click();
  EXPECT_TRUE(host.WindowOf(FormId::Main).enabled);
  EXPECT_EQ(host.Loaded(FormId::About), nullptr);
  EXPECT_FALSE(mains[0]->logic->Form_QueryUnload());
}

}  // namespace
}  // namespace tarvel
