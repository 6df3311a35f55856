// The real-hardware back-ends, run against fakes at the system-call boundary
// and a fake kernel tree: no test here touches a real port.
#include <gtest/gtest.h>
#include <linux/parport.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>

#include "PortSeams.h"
#include "TestSupport.h"
#include "core/MainModule.h"
#include "device/ControlPPORT.h"
#include "ports/DirectPort.h"
#include "ports/PortDiscovery.h"
#include "ports/PortSelect.h"
#include "ports/PpdevPort.h"

namespace tarvel {
namespace {

namespace fs = std::filesystem;
using testing::DirectLog;
using testing::FakeDirectIo;
using testing::RecordingPpdev;
using testing::SysLog;

// ---- Discovery --------------------------------------------------------------

class FakeKernel {
 public:
  FakeKernel() {
    root = testing::FreshTempDir("kernel");
    fs::create_directories(root / "parport" / "default");
  }
  ~FakeKernel() { fs::remove_all(root); }
  void AddPort(int n, const std::string& baseAddr) {
    fs::create_directories(root / "parport" / ("parport" + std::to_string(n)));
    std::ofstream(root / "parport" / ("parport" + std::to_string(n)) / "base-addr") << baseAddr;
  }
  std::string proc() const { return (root / "parport").string(); }
  fs::path root;
};

TEST(PortDiscovery, EachChoiceFindsItsPortOnLegacyCardOnlyAndMixedMachines) {
  struct Machine {
    const char* name;
    std::vector<std::pair<int, std::string>> ports;
    int lpt1, lpt2, prn;  // parport number, -1 for none
  };
  const Machine machines[] = {
      {"legacy", {{0, "888\t1912\n"}, {1, "632\t1656\n"}}, 0, 1, -1},
      {"legacy in another order", {{0, "956\t1980\n"}, {1, "888\t1912\n"}}, 1, -1, 0},
      {"PCIe card only", {{0, "53264\t53248\n"}, {1, "53200\t53184\n"}}, 0, 1, -1},
      {"card beside a motherboard LPT1", {{0, "888\t1912\n"}, {1, "53264\t53248\n"}}, 0, 1, -1},
      {"kernel order is by number", {{3, "53264\t0\n"}, {2, "53200\t0\n"}}, 2, 3, -1},
      {"none at all", {}, -1, -1, -1},
      {"unreadable entry skipped", {{0, "garbage"}, {1, "53264"}}, 1, -1, -1},
  };
  for (const auto& m : machines) {
    FakeKernel kernel;
    for (const auto& [n, base] : m.ports) kernel.AddPort(n, base);
    const DiscoveryResult found = DiscoverParallelPorts(kernel.proc());
    EXPECT_TRUE(found.listFound) << m.name;
    const int expected[3] = {m.lpt1, m.lpt2, m.prn};
    const std::int32_t addresses[3] = {888, 632, 956};
    for (int i = 0; i < 3; ++i) {
      const ParallelPortInfo* p = MatchParallelPort(found.ports, addresses[i]);
      EXPECT_EQ(p ? p->number : -1, expected[i]) << m.name << " choice " << i;
    }
    EXPECT_EQ(MatchParallelPort(found.ports, 0x1234), nullptr) << m.name;
  }
  FakeKernel kernel;
  kernel.AddPort(0, "garbage");
  EXPECT_EQ(DiscoverParallelPorts(kernel.proc()).problems.size(), 1u);
  EXPECT_FALSE(DiscoverParallelPorts((kernel.root / "absent").string()).listFound);
}

// ---- ppdev ------------------------------------------------------------------

class Ppdev : public ::testing::Test {
 protected:
  void SetUp() override {
    presenter = std::make_shared<testing::RecordingPresenter>();
    SetAlertPresenter(presenter);
    PortAddress = kLpt1Address;
    kernel.AddPort(0, "888\t1912\n");
  }
  void TearDown() override {
    SetPortBackend(nullptr);
    SetAlertPresenter(nullptr);
  }
  std::shared_ptr<SysLog> Install(const std::string& device = {}) {
    auto log = std::make_shared<SysLog>();
    SetPortBackend(std::make_unique<PpdevPortBackend>(std::make_unique<RecordingPpdev>(log), device,
                                                      kernel.proc(), "/dev"));
    return log;
  }
  std::shared_ptr<testing::RecordingPresenter> presenter;
  FakeKernel kernel;
};

TEST_F(Ppdev, ACommandClaimsOnceWritesEveryByteInOrderAndReleases) {
  auto log = Install();
  DeviceName = "TQM7731";
  GainCode = {5, 3};
  ASSERT_EQ(RunDeviceCommand(), CommandStatus::Done);
  std::vector<std::string> expected = {"open /dev/parport0", "PPEXCL", "PPCLAIM",
                                       "PPSETMODE " + std::to_string(IEEE1284_MODE_COMPAT), "PPDATADIR 0"};
  for (const char* b : {"00", "00", "02", "05", "07", "05", "07", "04", "06", "04", "06", "04", "06",
                        "05", "07", "04", "06", "05", "07", "04", "06", "04", "06", "00", "02", "00"}) {
    expected.push_back(std::string("PPWDATA ") + b);
  }
  expected.push_back("PPRELEASE");
  expected.push_back("close");
  EXPECT_EQ(log->calls, expected);
  EXPECT_TRUE(presenter->shown.empty());
}

TEST_F(Ppdev, ReadBackSamplesTheStatusRegister) {
  auto log = Install();
  log->status = 0x30;  // both serial outputs high
  ASSERT_EQ(ReadBackCodes(), CommandStatus::Done);
  EXPECT_EQ(ReadCode, (std::array<std::int16_t, 2>{63, 63}));
  EXPECT_EQ(std::count(log->calls.begin(), log->calls.end(), "PPRSTATUS"), 14);
  EXPECT_EQ(log->claims, 1);
  EXPECT_EQ(log->releases, 1);
}

TEST_F(Ppdev, EachFailureHasItsOwnMessageAndStopsAllFurtherAccess) {
  struct Case {
    const char* name;
    std::function<void(SysLog&)> arrange;
    CommandStatus status;
    const char* mustSay;
  };
  const Case cases[] = {
      {"permission denied", [](SysLog& l) { l.openErrno["/dev/parport0"] = EACCES; },
       CommandStatus::PortUnavailable, "Add your user to the 'lp' group"},
      {"no ppdev device node", [](SysLog& l) { l.openErrno["/dev/parport0"] = ENOENT; },
       CommandStatus::PortUnavailable, "Load the ppdev module (modprobe ppdev)"},
      {"no port behind the device",
       [](SysLog& l) {
         l.claimErrnos = {ENXIO, ENXIO};
       },
       CommandStatus::PortUnavailable, "No parallel port found: load parport_pc"},
      {"busy port", [](SysLog& l) { l.claimErrnos = {EINTR}; }, CommandStatus::PortUnavailable,
       "Another program holds the port"},
      {"another signal, then busy until the timer",
       [](SysLog& l) {
         l.claimErrnos = {EINTR, EINTR, EINTR};
         l.timerFired = {false, false, true};
       },
       CommandStatus::PortUnavailable, "stayed busy for 2 seconds"},
      {"write fails mid-sequence", [](SysLog& l) { l.failWdataAt = 4; }, CommandStatus::PortFailed,
       "PPWDATA: Input/output error"},
  };
  for (const auto& c : cases) {
    auto log = Install();
    c.arrange(*log);
    presenter->shown.clear();
    DeviceName = "RX4410";
    GainCode = {1, 2};
    EXPECT_EQ(RunDeviceCommand(), c.status) << c.name;
    ASSERT_EQ(presenter->shown.size(), 1u) << c.name;
    const Alert& a = presenter->shown[0];
    EXPECT_EQ(a.title.rfind("Error: ", 0), 0u) << c.name;
    EXPECT_EQ(a.icon, AlertIcon::Error);
    EXPECT_NE(a.text.find("LPT1 (H378)"), std::string::npos) << a.text;
    EXPECT_NE(a.text.find(c.mustSay), std::string::npos) << c.name << ": " << a.text;
    EXPECT_LE(log->wdata, 5) << c.name << ": no access after the failure";
    EXPECT_EQ(log->claims, log->releases) << c.name << ": claim and release pair up";
    EXPECT_EQ(log->openFds, 0) << c.name << ": the device is closed again";
    EXPECT_EQ(log->timers, 0) << c.name << ": the claim timer is disarmed";
  }
}

TEST_F(Ppdev, WhenLpHoldsThePortTheClaimFallsBackToSharedAndSaysSoOnce) {
  auto log = Install();
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 2; ++i) {
    log->claimErrnos = {ENXIO, 0};  // exclusive refused, shared granted
    DeviceName = "RX4410";
    ASSERT_EQ(RunDeviceCommand(), CommandStatus::Done);
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("using it shared"), std::string::npos) << err;
  EXPECT_EQ(err.find("using it shared"), err.rfind("using it shared")) << "said once";
  EXPECT_EQ(log->claims, 2);
  EXPECT_EQ(log->releases, 2);
  EXPECT_EQ(log->openFds, 0);
}

TEST_F(Ppdev, PortChoiceAndNamedDevice) {
  PortAddress = kLpt2Address;  // no port at 0x278 and no card: nothing to use
  auto log = Install();
  DeviceName = "RX4410";
  EXPECT_EQ(RunDeviceCommand(), CommandStatus::PortUnavailable);
  EXPECT_TRUE(log->calls.empty()) << "no device opened";
  EXPECT_NE(presenter->shown.at(0).text.find("LPT2 (H278)"), std::string::npos);
  EXPECT_NE(presenter->shown.at(0).text.find("no port has base address 0x278"), std::string::npos)
      << presenter->shown.at(0).text;

  log = Install("/dev/parport5");
  ASSERT_EQ(RunDeviceCommand(), CommandStatus::Done);
  EXPECT_EQ(log->calls.front(), "open /dev/parport5");
}

// ---- Direct I/O ---------------------------------------------------------------

TEST_F(Ppdev, DirectIoUsesExactlyTheThreeRegistersOfALegacyPortAndRefusesOthers) {
  struct Case {
    std::int16_t address;
    int iopermErrno;
    bool root;
    CommandStatus status;
    const char* mustSay;
  };
  const Case cases[] = {
      {888, 0, true, CommandStatus::Done, ""},
      {956, 0, true, CommandStatus::Done, ""},
      {0x1234, 0, true, CommandStatus::PortUnavailable, "only allowed on the legacy addresses"},
      {-32768, 0, true, CommandStatus::PortUnavailable, "only allowed on the legacy addresses"},
      {888, EPERM, false, CommandStatus::PortUnavailable, "Direct I/O needs root"},
      {888, EPERM, true, CommandStatus::PortUnavailable, "lockdown (Secure Boot)"},
  };
  for (const auto& c : cases) {
    auto log = std::make_shared<DirectLog>();
    log->iopermErrno = c.iopermErrno;
    log->root = c.root;
    SetPortBackend(std::make_unique<DirectPortBackend>(std::make_unique<FakeDirectIo>(log)));
    presenter->shown.clear();
    PortAddress = c.address;
    DeviceName = "TQM7731";
    EXPECT_EQ(RunDeviceCommand(), c.status) << c.address;
    if (c.status == CommandStatus::Done) {
      ASSERT_EQ(log->calls.size(), 29u);
      EXPECT_EQ(log->calls.front(), "ioperm " + std::to_string(c.address) + " 3 1");
      EXPECT_EQ(log->calls[1], "drop root") << "root is given up before the first access";
      EXPECT_EQ(log->calls[2], "outb 0 " + std::to_string(c.address));
      EXPECT_EQ(log->calls.back(), "ioperm " + std::to_string(c.address) + " 3 0");
    } else {
      ASSERT_EQ(presenter->shown.size(), 1u);
      EXPECT_NE(presenter->shown[0].text.find(c.mustSay), std::string::npos) << presenter->shown[0].text;
      for (const auto& call : log->calls) EXPECT_EQ(call.rfind("outb", 0), std::string::npos) << call;
      if (c.address != 888) {
        EXPECT_TRUE(log->calls.empty()) << "no ioperm for a stray address";
      }
    }
  }
}

TEST_F(Ppdev, DirectIoGivesUpRootRightAfterIopermAndKeepsThePermissionThen) {
  struct Case {
    int drop;
    CommandStatus first, second;
    int iopermCalls;  // over both commands
  };
  const Case cases[] = {
      {1, CommandStatus::Done, CommandStatus::Done, 1},  // dropped: permission kept, never asked again
      {0, CommandStatus::Done, CommandStatus::Done, 4},  // nothing to drop: on and off per command
      {-1, CommandStatus::PortUnavailable, CommandStatus::PortUnavailable, 4},  // refused, revoked
  };
  for (const auto& c : cases) {
    auto log = std::make_shared<DirectLog>();
    log->drop = c.drop;
    SetPortBackend(std::make_unique<DirectPortBackend>(std::make_unique<FakeDirectIo>(log)));
    PortAddress = kLpt1Address;
    DeviceName = "TQM7731";
    EXPECT_EQ(RunDeviceCommand(), c.first) << c.drop;
    EXPECT_EQ(RunDeviceCommand(), c.second) << c.drop;
    const auto ioperms = std::count_if(log->calls.begin(), log->calls.end(),
                                       [](const std::string& call) { return call.rfind("ioperm", 0) == 0; });
    EXPECT_EQ(ioperms, c.iopermCalls) << c.drop;
    if (c.drop < 0) {
      EXPECT_NE(presenter->shown.back().text.find("cannot give up root"), std::string::npos);
      for (const auto& call : log->calls) EXPECT_EQ(call.rfind("outb", 0), std::string::npos) << call;
    }
  }
}

TEST_F(Ppdev, AnotherSignalDuringTheClaimRetriesIt) {
  auto log = Install();
  log->claimErrnos = {EINTR, 0};
  log->timerFired = {false};
  DeviceName = "RX4410";
  EXPECT_EQ(RunDeviceCommand(), CommandStatus::Done);
  EXPECT_EQ(std::count(log->calls.begin(), log->calls.end(), "PPCLAIM"), 2);
  EXPECT_EQ(log->timers, 0);
}

TEST(PortSelection, EveryFormIsAcceptedAndAnythingElseNamesTheForms) {
  for (const char* good : {"", "auto", "/dev/parport0", "direct", "sim", "sim:/tmp/x.state"}) {
    PortError error;
#if !defined(__x86_64__) && !defined(__i386__)
    // Only x86 processors have I/O port instructions; elsewhere (the Arm
    // builds) direct access is refused with the reason, never half made.
    if (std::string(good) == "direct") {
      EXPECT_EQ(MakePortBackend(good, error), nullptr);
      EXPECT_EQ(error.reason, "this processor has no I/O port instructions");
      EXPECT_EQ(error.remedy, "use ppdev (unset TARVEL_PORT)");
      continue;
    }
#endif
    EXPECT_NE(MakePortBackend(good, error), nullptr) << good << ": " << error.reason;
  }
  for (const char* bad : {"lpt1", "ppdev", "SIM", "sim:", "dev/parport0", " auto"}) {
    PortError error;
    EXPECT_EQ(MakePortBackend(bad, error), nullptr) << bad;
    EXPECT_EQ(error.failure, PortFailure::Unavailable);
    if (std::string(bad) != "sim:") {
      EXPECT_NE(
          error.remedy.find("one of auto, /dev/parportN, direct, sim, sim:PATH, ftdi, ftdi:DESCRIPTOR or "
                            "gpio:CHIP:L0,...,L7"),
          std::string::npos)
          << bad;
    }
  }
}

}  // namespace
}  // namespace tarvel
