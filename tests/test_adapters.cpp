// The FTDI and GPIO back-ends, run against the fake libftdi1 / libgpiod
// function tables of PortSeams.h, whose pins are wired to the simulated
// bench's RX4410 and TQM7731 models: no test here touches USB or a GPIO chip.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "PortSeams.h"
#include "TestSupport.h"
#include "device/ControlPPORT.h"
#include "instrument/Scpi.h"
#include "instrument/Sweep.h"
#include "ports/FtdiPort.h"
#include "ports/GpioPort.h"
#include "ports/PortSelect.h"
#include "sim/SimBench.h"

namespace tarvel {
namespace {

using testing::FakeFtdi;
using testing::FakeGpiod;

// ---- fixture ----------------------------------------------------------------

class Adapters : public ::testing::Test {
 public:
  void SetUp() override {
    presenter = std::make_shared<testing::RecordingPresenter>();
    SetAlertPresenter(presenter);
    PortAddress = kLpt1Address;
    ReadCode = {-7, -7};
  }
  void TearDown() override {
    SetPortBackend(nullptr);
    SetAlertPresenter(nullptr);
  }
  FakeFtdi& UseFtdi(std::string descriptor = {}) {
    ftdi = {};
    SetPortBackend(testing::MakeFakeFtdiPort(ftdi, std::move(descriptor)));
    return ftdi;
  }
  FakeGpiod& UseGpio(const char* wiring = testing::kGpioWiring) {
    gpio = {};
    SetPortBackend(testing::MakeFakeGpioPort(gpio, wiring, libgpiod));
    return gpio;
  }
  CommandStatus Send(const char* device, std::int16_t a, std::int16_t b) {
    DeviceName = device;
    GainCode = {a, b};
    return RunDeviceCommand();
  }
  std::shared_ptr<testing::RecordingPresenter> presenter;
  FakeFtdi ftdi;
  FakeGpiod gpio;
  int libgpiod = 1;  // which library's fake UseGpio installs
};

TEST_F(Adapters, EveryCodeAndWordArrivesAndReadsBackThroughBothAdapters) {
  for (const int kind : {0, 1, 2}) {  // FTDI, GPIO through libgpiod 1.6, through libgpiod 2
    const bool usb = kind == 0;
    libgpiod = kind;
    SCOPED_TRACE(usb ? "ftdi" : "libgpiod " + std::to_string(kind));
    const SimBench& bench = usb ? UseFtdi().bench : UseGpio().bench;
    const auto usbWrites = [&](const auto& step) {  // the GPIO fake counts none
      const int before = ftdi.writes;
      EXPECT_EQ(step(), CommandStatus::Done);
      return ftdi.writes - before;
    };
    for (std::int16_t code = 0; code <= 63; ++code) {
      const auto other = static_cast<std::int16_t>(63 - code);
      EXPECT_EQ(usbWrites([&] { return Send("RX4410", code, other); }), usb ? 1 : 0)
          << "one write per command";
      EXPECT_EQ(bench.state().rx4410, (std::array<int, 2>{code, other}));
      EXPECT_LE(usbWrites([] { return ReadBackCodes(); }), 15) << "round trips of a read-back";
      EXPECT_EQ(ReadCode, (std::array<std::int16_t, 2>{code, other}));
    }
    for (std::int16_t a = 0; a <= 31; ++a) {
      for (std::int16_t b = 0; b <= 31; ++b) {
        ASSERT_EQ(usbWrites([&] { return Send("TQM7731", a, b); }), usb ? 1 : 0) << "one write per command";
        ASSERT_EQ(bench.state().tqm7731, (std::array<int, 2>{a, b}));
      }
    }
    EXPECT_EQ(bench.state().protocolErrors, 0u);
    EXPECT_EQ(ftdi.reads, ftdi.writes) << "the samples of each transfer are read with it";
    EXPECT_EQ(ftdi.mask, 0xE7);
    EXPECT_EQ(ftdi.mode, BITMODE_SYNCBB);
    EXPECT_EQ(ftdi.closes + gpio.closes, ftdi.opens + gpio.opens) << "closed after every command";
    EXPECT_EQ(ftdi.frees, ftdi.contexts);
    EXPECT_EQ(gpio.held, 0);
    EXPECT_EQ(gpio.frees, gpio.allocations) << "every libgpiod 2 object freed";
    EXPECT_TRUE(presenter->shown.empty());
  }
}

// The remote-control server holds the port for its whole life: each command
// must still reach the pins when it ends, not when the server stops.
TEST_F(Adapters, HeldByTheServerEachCommandReachesThePinsAndPortNamesTheAdapter) {
  for (const bool usb : {true, false}) {
    const SimBench& bench = usb ? UseFtdi("s:0x0403:0x6001:A5").bench : UseGpio().bench;
    ScpiInstrument instrument;  // held as the server holds it: on the instrument's own link
    PortSession held(instrument.link(), PortAddress, true);
    EXPECT_EQ(instrument.Execute("CODE 12,34;PORT?"),
              usb ? "\"ftdi:s:0x0403:0x6001:A5 (FTDI adapter)\"\n"
                  : "\"gpio:gpiochip0:17,GPIO18,27,22,GPIO23,24,25,4 (GPIO header)\"\n");
    EXPECT_EQ(bench.state().rx4410, (std::array<int, 2>{12, 34}));
    if (usb) {
      EXPECT_EQ(ftdi.writes, 1);
    }
    EXPECT_EQ(instrument.Execute("READ?"), "12,34\n");
    held.Finish();
    EXPECT_EQ(usb ? ftdi.closes : gpio.closes, 1);
  }
}

// *IDN?'s default serial: the adapter's own, however TARVEL_PORT found it,
// known once the port is open; none when the adapter has none.
TEST_F(Adapters, AnOpenFtdiAdapterNamesItsOwnSerialNumberHoweverItWasFound) {
  const struct {
    const char* descriptor;
    const char* usbSerial;
    const char* expected;
  } cases[] = {
      {"", "FT4XQ2KB", "FT4XQ2KB"},
      {"i:0x0403:0x6014", "FT4XQ2KB", "FT4XQ2KB"},
      {"s:0x0403:0x6001:A5", "A5", "A5"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.descriptor);
    ftdi.serial = c.usbSerial;
    const auto backend = MakeFakeFtdiPort(ftdi, c.descriptor);
    EXPECT_EQ(backend->SerialNumber(), "") << "unknown before the adapter opens";
    PortError error;
    ASSERT_TRUE(backend->Open(kLpt1Address, error)) << error.reason;
    EXPECT_EQ(backend->SerialNumber(), c.expected);
    EXPECT_TRUE(backend->Close(error));
  }
}

// A sweep holds the adapter for its whole run, yet every step is on the pins
// (one USB transfer) before its dwell starts, for either chip; the last one
// too, not only when the run lets go of the adapter.
TEST_F(Adapters, EveryFtdiSweepStepReachesThePinsBeforeItsDwell) {
  class Clock : public SweepClock {
   public:
    std::int64_t now = 0;
    std::int64_t Now() override { return now; }
    void SleepUntil(std::int64_t deadline, const std::atomic<bool>&) override {
      now = std::max(now, deadline);
    }
  };
  class OnThePins : public SweepObserver {
   public:
    OnThePins(const FakeFtdi& f, bool tqm) : ftdi(f), tqm7731(tqm) {}
    void OnStep(const StepRecord& r) override {
      const auto& state = ftdi.bench.state();
      EXPECT_EQ(tqm7731 ? state.tqm7731 : state.rx4410, (std::array<int, 2>{r.code1, r.code2})) << r.step;
      EXPECT_EQ(ftdi.writes, writesBefore + 1) << "step " << r.step << " took one transfer";
      writesBefore = ftdi.writes;
    }
    const FakeFtdi& ftdi;
    bool tqm7731;
    int writesBefore = 0;
  };
  for (const char* device : {"RX4410", "TQM7731"}) {
    SCOPED_TRACE(device);
    UseFtdi();
    SweepPlan plan;
    plan.device = device;
    for (std::int16_t c = 0; c < 5; ++c)
      plan.steps.push_back({1'000'000, c, static_cast<std::int16_t>(c + 20)});
    Clock clock;
    OnThePins observer(ftdi, std::string_view(device) == "TQM7731");
    const auto link = DeviceLink::SharingPortOf(ProcessLink());
    const std::atomic<bool> stop{false};
    const SweepResult result = RunSweep(plan, *link, clock, observer, stop);
    EXPECT_EQ(result.end, SweepEnd::Completed);
    EXPECT_EQ(result.applied, 5u);
    EXPECT_EQ(ftdi.closes, 1);
  }
}

struct FailureCase {
  std::string name;
  std::function<void(Adapters&)> arrange;  // installs a fake and plants the fault
  bool readBack;
  CommandStatus status;
  std::string mustSay;
};

void ExpectCleanFailure(const FailureCase& c, std::shared_ptr<testing::RecordingPresenter>& shown) {
  ASSERT_EQ(shown->shown.size(), 1u) << c.name;
  EXPECT_EQ(shown->shown[0].title, c.status == CommandStatus::PortUnavailable ? "Error: Port Not Available"
                                                                              : "Error: Port Access Failed");
  EXPECT_NE(shown->shown[0].text.find(c.mustSay), std::string::npos)
      << c.name << ": " << shown->shown[0].text;
  EXPECT_EQ(ReadCode, (std::array<std::int16_t, 2>{-7, -7})) << c.name << ": nothing read back";
}

TEST_F(Adapters, EachFtdiFailureAlertsFailsAndReleasesTheAdapter) {
  std::vector<FailureCase> cases = {
      {"no device", [](Adapters& t) { t.UseFtdi().openRc = -3; }, false, CommandStatus::PortUnavailable,
       "Plug in an FT232R, FT232H or FT2232H"},
      {"permission", [](Adapters& t) { t.UseFtdi("i:0x0403:0x6014").openRc = -4; }, false,
       CommandStatus::PortUnavailable, "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"0403\", MODE=\"0660\""},
      {"claim", [](Adapters& t) { t.UseFtdi().openRc = -5; }, false, CommandStatus::PortUnavailable,
       "libftdi detaches it"},
      {"bit-bang mode", [](Adapters& t) { t.UseFtdi().bitmodeRc = -1; }, false,
       CommandStatus::PortUnavailable, "ftdi_set_bitmode"},
      {"write", [](Adapters& t) { t.UseFtdi().failWriteAt = 1; }, false, CommandStatus::PortFailed,
       "ftdi_write_data: USB device unavailable"},
      {"short write", [](Adapters& t) { t.UseFtdi().shortWriteAt = 1; }, false, CommandStatus::PortFailed,
       "short write"},
      {"read", [](Adapters& t) { t.UseFtdi().failReadAt = 1; }, false, CommandStatus::PortFailed,
       "ftdi_read_data: USB device unavailable"},
  };
  for (int k = 1; k <= 15; ++k) {
    const auto at = std::to_string(k);
    cases.push_back({"read-back write " + at, [k](Adapters& t) { t.UseFtdi().failWriteAt = k; }, true,
                     CommandStatus::PortFailed, "ftdi_write_data"});
    cases.push_back({"read-back read " + at, [k](Adapters& t) { t.UseFtdi().failReadAt = k; }, true,
                     CommandStatus::PortFailed, "ftdi_read_data"});
    cases.push_back({"read-back silent " + at, [k](Adapters& t) { t.UseFtdi().silentReadAt = k; }, true,
                     CommandStatus::PortFailed, "short read"});
    cases.push_back({"unplugged after write " + at, [k](Adapters& t) { t.UseFtdi().unplugAfterWrites = k; },
                     true, CommandStatus::PortFailed, "FTDI adapter"});
  }
  for (const auto& c : cases) {
    presenter->shown.clear();
    c.arrange(*this);
    const CommandStatus status = c.readBack ? ReadBackCodes() : Send("RX4410", 5, 6);
    EXPECT_EQ(status, c.status) << c.name;
    ExpectCleanFailure(c, presenter);
    EXPECT_EQ(ftdi.callsAfterFailure, 0) << c.name << ": no transfer after the failure";
    EXPECT_EQ(ftdi.closes, ftdi.opens) << c.name << ": the adapter is closed";
    EXPECT_EQ(ftdi.frees, ftdi.contexts) << c.name << ": libftdi's context is freed";
  }
}

TEST_F(Adapters, EachGpioFailureAlertsFailsAndReleasesTheLines) {
  const std::vector<FailureCase> cases = {
      {"unknown chip", [](Adapters& t) { t.UseGpio("gpio:gpiochip9:0,1,2,3,4,5,6,7"); }, false,
       CommandStatus::PortUnavailable, "no such GPIO chip.  List the chips with gpiodetect"},
      {"permission", [](Adapters& t) { t.UseGpio().openErrno = EACCES; }, false,
       CommandStatus::PortUnavailable, "Add your user to the gpio group"},
      {"no such offset", [](Adapters& t) { t.UseGpio("gpio:gpiochip0:0,1,2,3,4,5,6,40"); }, false,
       CommandStatus::PortUnavailable, "pin 7: the chip has no line 40"},
      {"no such name", [](Adapters& t) { t.UseGpio("gpio:gpiochip0:0,1,2,3,4,5,6,LED"); }, false,
       CommandStatus::PortUnavailable, "no line called \"LED\""},
      {"name and offset of one line", [](Adapters& t) { t.UseGpio("gpio:gpiochip0:0,1,2,3,4,5,6,GPIO0"); },
       false, CommandStatus::PortUnavailable, "are the same line 0"},
      {"line in use", [](Adapters& t) { t.UseGpio().lines[22].consumer = "spi0"; }, false,
       CommandStatus::PortUnavailable, "line 22 is busy, used by \"spi0\""},
      {"output request", [](Adapters& t) { t.UseGpio().requestFailAt = 1, t.gpio.requestErrno = EBUSY; },
       false, CommandStatus::PortUnavailable, "Device or resource busy"},
      {"input request", [](Adapters& t) { t.UseGpio().requestFailAt = 2, t.gpio.requestErrno = EIO; }, false,
       CommandStatus::PortUnavailable, "gpiod_line_request_bulk_input"},
      {"first write", [](Adapters& t) { t.UseGpio().failSetAt = 1; }, false, CommandStatus::PortFailed,
       "gpiod_line_set_value_bulk: Input/output error"},
      {"write mid-sequence", [](Adapters& t) { t.UseGpio().failSetAt = 30; }, false,
       CommandStatus::PortFailed, "gpiod_line_set_value_bulk"},
      {"read", [](Adapters& t) { t.UseGpio().failGetAt = 5; }, true, CommandStatus::PortFailed,
       "gpiod_line_get_value_bulk"},
  };
  // The alerts name libgpiod 2's calls where that library is loaded.
  const std::pair<const char*, const char*> renamed[] = {
      {"gpiod_line_request_bulk_input", "gpiod_chip_request_lines"},
      {"gpiod_line_set_value_bulk", "gpiod_line_request_set_values"},
      {"gpiod_line_get_value_bulk", "gpiod_line_request_get_values"},
  };
  for (const int version : {1, 2})
    for (auto c : cases) {
      libgpiod = version;
      c.name += " (libgpiod " + std::to_string(version) + ")";
      for (const auto& [v1, v2] : renamed) {
        if (version == 2 && c.mustSay.starts_with(v1)) c.mustSay = v2 + c.mustSay.substr(std::strlen(v1));
      }
      presenter->shown.clear();
      c.arrange(*this);
      const bool beforeRequest = c.status == CommandStatus::PortUnavailable && gpio.requestFailAt == 0;
      EXPECT_EQ(c.readBack ? ReadBackCodes() : Send("RX4410", 5, 6), c.status) << c.name;
      ExpectCleanFailure(c, presenter);
      if (beforeRequest) {
        EXPECT_EQ(gpio.requests, 0) << c.name << ": found before any line is requested";
      }
      EXPECT_EQ(gpio.held, 0) << c.name << ": every line released";
      EXPECT_EQ(gpio.closes, gpio.opens) << c.name << ": the chip is closed";
      EXPECT_EQ(gpio.frees, gpio.allocations) << c.name << ": every libgpiod 2 object freed";
    }
}

// gpio:auto takes the chip that carries the header, by its label, on every
// Raspberry Pi and kernel; a label names a chip under either library.
TEST_F(Adapters, TheHeadersChipIsFoundByItsLabelThroughEitherLibrary) {
  const std::vector<std::string> pi5Old = {"gpio-brcmstb@107d508500", "gpio-brcmstb@107d508520",
                                           "gpio-brcmstb@107d517c00", "gpio-brcmstb@107d517c20",
                                           "pinctrl-rp1"};
  const std::vector<std::string> pi5New = {"pinctrl-rp1", "gpio-brcmstb@107d508500",
                                           "gpio-brcmstb@107d517c00"};
  const struct {
    const char* board;
    std::vector<std::string> labels;
    const char* chip;
    int takes;         // the chip whose lines are requested; -1: none
    const char* says;  // in PORT? or in the alert
  } cases[] = {
      {"Pi 5, kernel 6.1", pi5Old, "auto", 4, "(GPIO header on gpiochip4, pinctrl-rp1)"},
      {"Pi 5, kernel 6.6", pi5New, "auto", 0, "(GPIO header on gpiochip0, pinctrl-rp1)"},
      {"Pi 4", {"pinctrl-bcm2711", "raspberrypi-exp-gpio"}, "auto", 0, "on gpiochip0, pinctrl-bcm2711)"},
      {"Pi 3", {"raspberrypi-exp-gpio", "pinctrl-bcm2835"}, "auto", 1, "on gpiochip1, pinctrl-bcm2835)"},
      {"Pi 5 by label", pi5Old, "pinctrl-rp1", 4, "gpio:pinctrl-rp1:"},
      {"Pi 5 by number", pi5Old, "4", 4, "gpio:4:"},
      {"no header",
       {"gpio-mockup-A", "gpio-mockup-B"},
       "auto",
       -1,
       "no GPIO chip is labelled pinctrl-rp1, pinctrl-bcm2711 or pinctrl-bcm2835 (found gpiochip0 "
       "\"gpio-mockup-A\", gpiochip1 \"gpio-mockup-B\").  Name the chip instead of auto"},
      {"no chip at all", {}, "auto", -1, "(no chip could be opened)"},
      {"unknown label", pi5New, "pinctrl-bcm2711", -1, "no such GPIO chip"},
  };
  for (const int version : {1, 2}) {
    for (const auto& c : cases) {
      const std::string name = c.board + std::string(" (libgpiod ") + std::to_string(version) + ")";
      const std::string wiring = "gpio:" + std::string(c.chip) + ":17,27,22,23,24,5,6,13";
      gpio = {};
      gpio.labels = c.labels;
      auto backend = testing::MakeFakeGpioPort(gpio, wiring.c_str(), version);
      GpioPortBackend& port = *backend;
      SetPortBackend(std::move(backend));
      presenter->shown.clear();
      EXPECT_EQ(Send("RX4410", 5, 6), c.takes >= 0 ? CommandStatus::Done : CommandStatus::PortUnavailable)
          << name;
      const std::string said = c.takes >= 0               ? port.Describe(PortAddress)
                               : presenter->shown.empty() ? std::string()
                                                          : presenter->shown[0].text;
      EXPECT_NE(said.find(c.says), std::string::npos) << name << ": " << said;
      EXPECT_EQ(gpio.requestedOn, c.takes) << name;
      if (c.takes >= 0) {
        EXPECT_EQ(gpio.bench.state().rx4410, (std::array<int, 2>{5, 6})) << name;
      }
      EXPECT_EQ(gpio.closes, gpio.opens) << name << ": every chip looked at is closed";
      EXPECT_EQ(gpio.frees, gpio.allocations) << name;
    }
  }
}

TEST(FtdiRate, EveryLevelLastsAMicrosecondOrTheDelayAskedAndSlowerDelaysArePaced) {
  const std::pair<std::uint64_t, int> cases[] = {
      {0, 15625}, {1000, 15625}, {4000, 3906}, {52083, 300}, {52084, 0}};
  for (const auto& [ns, baud] : cases) EXPECT_EQ(FtdiPortBackend::BaudRateFor(ns), baud) << ns;
}

TEST_F(Adapters, ADelayBeyondTheSlowestRateSendsEachByteAlone) {
  SetPortDelayNanoseconds(60000);
  const SimBench& bench = UseFtdi().bench;
  EXPECT_EQ(Send("RX4410", 9, 50), CommandStatus::Done);
  EXPECT_EQ(ftdi.writes, 44) << "one transfer per byte";
  EXPECT_EQ(ReadBackCodes(), CommandStatus::Done);
  SetPortDelayNanoseconds(0);
  EXPECT_EQ(bench.state().rx4410, (std::array<int, 2>{9, 50}));
  EXPECT_EQ(ReadCode, (std::array<std::int16_t, 2>{9, 50}));
}

// Loading binds every call the back-ends make; it opens no device.
TEST(AdapterLibraries, LoadWithEveryCallTheBackEndsMake) {
  std::string reason;
  const FtdiApi* ftdiApi = LoadFtdiLibrary(reason);
  ASSERT_NE(ftdiApi, nullptr) << reason;
  EXPECT_NE(ftdiApi->getStrings, nullptr) << "the adapter's serial number is read through libftdi1";
  EXPECT_NE(ftdiApi->usbDevice, nullptr) << "and libusb, found through libftdi1";
  EXPECT_NE(LoadGpiodLibrary(reason), nullptr) << reason;
  // libgpiod 2 where it is installed (Debian 13, Raspberry Pi OS); the loader
  // then prefers it.
  void* v2 = ::dlopen("libgpiod.so.3", RTLD_NOW | RTLD_LOCAL);
  EXPECT_EQ(LoadGpiod2Library(reason) != nullptr, v2 != nullptr) << reason;
  GpioLibrary library;
  EXPECT_TRUE(LoadGpioLibrary(library, reason)) << reason;
  EXPECT_EQ(library.v2 != nullptr, v2 != nullptr);
  EXPECT_EQ(library.v1 != nullptr, v2 == nullptr);
  if (v2 != nullptr) ::dlclose(v2);
}

TEST(AdapterChoice, BadFormsAreRefusedWithTheirReasonBeforeAnyLibraryIsLoaded) {
  for (const char* good :
       {"ftdi", "ftdi:d:1/12", "ftdi:i:0x0403:0x6014", "ftdi:i:1027:24577:1", "ftdi:s:0x0403:0x6001:A12345",
        "gpio:gpiochip0:0,1,2,3,4,5,6,7", "gpio:/dev/gpiochip1:GPIO17,18,27,22,23,24,25,4"}) {
    PortError error;
    EXPECT_NE(MakePortBackend(good, error), nullptr) << good << ": " << error.reason;
  }
  const std::pair<const char*, const char*> bad[] = {
      {"ftdi:", "is not an FTDI device string"},
      {"ftdi:x:1", "is not an FTDI device string"},
      {"ftdi:i:0403", "is not an FTDI device string"},
      {"ftdi:i:0x10000:0x6001", "is not an FTDI device string"},
      {"ftdi:d:1-2", "is not an FTDI device string"},
      {"ftdi:s:0x0403:0x6001:", "is not an FTDI device string"},
      {"gpio:gpiochip0", "no GPIO chip and line list"},
      {"gpio::0,1,2,3,4,5,6,7", "no GPIO chip and line list"},
      {"gpio:gpiochip0:0,1,2,3,4,5,6", "7 lines named, but pins 0 to 7 need eight"},
      {"gpio:gpiochip0:0,1,2,3,4,5,6,7,8", "9 lines named"},
      {"gpio:gpiochip0:0,1,2,3,,5,6,7", "line entry 4"},
      {"gpio:gpiochip0:0,1,2,3,4,5,6,05", "named for both pin 5 and pin 7"},
      {"gpio:gpiochip0:A,B,C,D,E,F,G,A", "named for both pin 0 and pin 7"},
      {"ftdi2", "not a port choice"},
  };
  for (const auto& [choice, says] : bad) {
    PortError error;
    EXPECT_EQ(MakePortBackend(choice, error), nullptr) << choice;
    EXPECT_NE(error.reason.find(says), std::string::npos) << choice << ": " << error.reason;
    EXPECT_FALSE(error.remedy.empty()) << choice;
  }
}

}  // namespace
}  // namespace tarvel
