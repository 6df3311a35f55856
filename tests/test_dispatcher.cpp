// The dispatcher: tokens, masks, channel order, alerts and failure statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "RecordingPort.h"
#include "TestSupport.h"
#include "core/MainModule.h"
#include "device/ControlPPORT.h"
#include "ports/SimPortBackend.h"
#include "sim/SimBench.h"

namespace tarvel {
namespace {

namespace fs = std::filesystem;

class Dispatcher : public ::testing::Test {
 protected:
  void SetUp() override {
    PortAddress = kLpt1Address;
    presenter = std::make_shared<testing::RecordingPresenter>();
    SetAlertPresenter(presenter);
    auto backend = std::make_unique<SimPortBackend>();
    sim = backend.get();
    SetPortBackend(std::move(backend));
    cwd = fs::current_path();
    dir = testing::FreshTempDir("dispatch");
    fs::current_path(dir);
  }
  void TearDown() override {
    fs::current_path(cwd);
    fs::remove_all(dir);
    SetPortBackend(nullptr);
    SetAlertPresenter(nullptr);
  }
  const BenchState& bench() const { return sim->bench().state(); }
  std::shared_ptr<testing::RecordingPresenter> presenter;
  SimPortBackend* sim = nullptr;
  fs::path cwd, dir;
};

TEST_F(Dispatcher, MasksTheCodesToEachChipsWidth) {
  struct Case {
    const char* device;
    std::int16_t code0, code1;
    std::array<int, 2> rx, tqm;
  };
  const Case cases[] = {
      {"RX4410", 12, 30, {12, 30}, {0, 0}},   {"RX4410", 64, -1, {0, 63}, {0, 0}},
      {"RX4410", 65, 32767, {1, 63}, {0, 0}}, {"RX4410", -32768, 42, {0, 42}, {0, 0}},
      {"TQM7731", 31, 31, {0, 0}, {31, 31}},  {"TQM7731", 32, 0, {0, 0}, {0, 0}},
      {"TQM7731", 65, -1, {0, 0}, {1, 31}},   {"TQM7731", 5, 3, {0, 0}, {5, 3}},
  };
  for (const auto& c : cases) {
    sim->bench().SetState(BenchState{});
    DeviceName = c.device;
    GainCode = {c.code0, c.code1};
    ASSERT_EQ(RunDeviceCommand(), CommandStatus::Done) << c.device;
    EXPECT_EQ(bench().rx4410, c.rx) << c.device << ' ' << c.code0 << ' ' << c.code1;
    EXPECT_EQ(bench().tqm7731, c.tqm) << c.device << ' ' << c.code0 << ' ' << c.code1;
    EXPECT_EQ(GainCode, (std::array<std::int16_t, 2>{c.code0, c.code1})) << "codes left unchanged";
  }
  EXPECT_TRUE(presenter->shown.empty());
}

TEST_F(Dispatcher, Rx4410SendsTheFirstChannelThenTheSecondBackToBack) {
  auto log = testing::InstallRecordingPort();
  DeviceName = "RX4410";
  GainCode = {40, 63};
  ASSERT_EQ(RunDeviceCommand(), CommandStatus::Done);
  auto expected = testing::Bytes("81 81 85 82 86 80 84 80 84 80 84 80 84 82 86 80 84 82 86 81 85 81");
  const auto second = testing::Bytes("81 81 A1 41 61 01 21 41 61 41 61 41 61 41 61 41 61 41 61 81 A1 81");
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(log->Writes(), expected);
  EXPECT_EQ(log->opens, 1) << "one claim for the whole command";
  EXPECT_EQ(log->closes, 1);
}

TEST_F(Dispatcher, UnknownTokensGiveTheOptionAlertAndTouchNoPort) {
  auto log = testing::InstallRecordingPort();
  for (const char* token : {"rx4410", "RX4410 ", "", "tqm7731", "RX4410r", "RX44", "0", "1"}) {
    presenter->shown.clear();
    DeviceName = token;
    GainCode = {3, 4};
    EXPECT_EQ(RunDeviceCommand(), CommandStatus::UnknownDevice) << '"' << token << '"';
    ASSERT_EQ(presenter->shown.size(), 1u);
    EXPECT_EQ(presenter->shown[0].title, "Error: Invalid Option");
    EXPECT_EQ(presenter->shown[0].text, "This option has not yet been implemented.");
    EXPECT_EQ(presenter->shown[0].icon, AlertIcon::Error);
  }
  EXPECT_TRUE(log->accesses.empty());
  EXPECT_EQ(log->opens, 0);
}

TEST_F(Dispatcher, ReadBackWritesTheResultLineAndIgnoresGainCode) {
  BenchState s;
  s.rx4410 = {0, 63};
  sim->bench().SetState(s);
  DeviceName = "RX4410R";
  GainCode = {5, 6};
  ASSERT_EQ(RunDeviceCommand(), CommandStatus::Done);
  EXPECT_EQ(testing::Slurp("TRVOutput.dat"), "RX4410R, 0, 63\r\n");
  EXPECT_EQ(bench().rx4410Latches[0] + bench().rx4410Latches[1] + bench().tqm7731Latches, 0u);
  EXPECT_EQ(ReadCode, (std::array<std::int16_t, 2>{0, 63}));
}

TEST_F(Dispatcher, PortFailuresAreReportedNeverTakenAsSuccess) {
  struct Case {
    const char* device;
    int failOpen;
    long failAt;
    bool failClose;
    CommandStatus status;
    const char* title;
  };
  const Case cases[] = {
      {"RX4410", 1, -1, false, CommandStatus::PortUnavailable, "Error: Port Not Available"},
      {"TQM7731", 1, -1, false, CommandStatus::PortUnavailable, "Error: Port Not Available"},
      {"RX4410R", 1, -1, false, CommandStatus::PortUnavailable, "Error: Port Not Available"},
      {"RX4410", 0, 30, false, CommandStatus::PortFailed, "Error: Port Access Failed"},
      {"TQM7731", 0, 3, false, CommandStatus::PortFailed, "Error: Port Access Failed"},
      {"RX4410R", 0, 40, false, CommandStatus::PortFailed, "Error: Port Access Failed"},
      {"RX4410", 0, -1, true, CommandStatus::PortFailed, "Error: Port Access Failed"},
  };
  for (const auto& c : cases) {
    auto log = testing::InstallRecordingPort();
    log->failOpen = c.failOpen;
    log->failAtAccess = c.failAt;
    log->failClose = c.failClose;
    log->statusScript.assign(20, 0x30);
    presenter->shown.clear();
    ReadCode = {11, 22};
    DeviceName = c.device;
    EXPECT_EQ(RunDeviceCommand(), c.status) << c.device;
    ASSERT_EQ(presenter->shown.size(), 1u) << c.device;
    EXPECT_EQ(presenter->shown[0].title, c.title);
    EXPECT_EQ(presenter->shown[0].icon, AlertIcon::Error);
    EXPECT_NE(presenter->shown[0].text.find("LPT1 (H378)"), std::string::npos) << presenter->shown[0].text;
    if (c.failAt >= 0) {
      EXPECT_EQ(log->accesses.size(), static_cast<std::size_t>(c.failAt));
    }
    EXPECT_EQ(log->opens, log->closes) << "every claim is released";
    EXPECT_EQ(ReadCode, (std::array<std::int16_t, 2>{11, 22})) << "nothing read, nothing changed";
    EXPECT_FALSE(fs::exists("TRVOutput.dat")) << "no result line from a failed read-back";
  }
}

TEST_F(Dispatcher, PortAlertNamesThePortTheReasonAndTheRemedy) {
  auto log = testing::InstallRecordingPort();
  log->failOpen = 1;
  PortAddress = kPrnAddress;
  DeviceName = "RX4410";
  EXPECT_EQ(RunDeviceCommand(), CommandStatus::PortUnavailable);
  ASSERT_EQ(presenter->shown.size(), 1u);
  EXPECT_EQ(presenter->shown[0].text,
            "Cannot use PRN (H3BC) at /dev/parport-test: Permission denied.  "
            "Add your user to the 'lp' group.");
}

TEST_F(Dispatcher, AResultFileThatCannotBeWrittenIsReported) {
  fs::create_directory("TRVOutput.dat");  // a folder in its place
  DeviceName = "RX4410R";
  EXPECT_EQ(RunDeviceCommand(), CommandStatus::ResultFileFailed);
  EXPECT_TRUE(presenter->shown.empty()) << "the writer stays silent";
}

}  // namespace
}  // namespace tarvel
