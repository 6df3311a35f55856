// The simulated bench: chip models driven by the real sequences, and the
// state file that carries the chips' registers from one process to the next.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <filesystem>
#include <fstream>

#include "TestSupport.h"
#include "core/AtomicFile.h"
#include "core/MainModule.h"
#include "device/ControlPPORT.h"
#include "ports/SimPortBackend.h"
#include "sim/BenchStateFile.h"
#include "sim/SimBench.h"

namespace tarvel {
namespace {

namespace fs = std::filesystem;

class Bench : public ::testing::Test {
 protected:
  void SetUp() override {
    PortAddress = kLpt1Address;
    auto backend = std::make_unique<SimPortBackend>();
    sim = backend.get();
    SetPortBackend(std::move(backend));
  }
  void TearDown() override { SetPortBackend(nullptr); }
  const BenchState& state() const { return sim->bench().state(); }
  SimPortBackend* sim = nullptr;
};

TEST_F(Bench, EveryRx4410CodeIsLatchedAndReadBackOnBothChannels) {
  for (std::int16_t code = 0; code <= 63; ++code) {
    const auto other = static_cast<std::int16_t>(63 - code);
    WriteRX4410Channel(-1, code);
    WriteRX4410Channel(0, other);
    ASSERT_EQ(state().rx4410[0], code);
    ASSERT_EQ(state().rx4410[1], other);
    ASSERT_EQ(ReadBackCodes(), CommandStatus::Done);
    ASSERT_EQ(ReadCode[0], code);
    ASSERT_EQ(ReadCode[1], other);
  }
  EXPECT_EQ(state().rx4410Latches[0], 64u);
  EXPECT_EQ(state().rx4410Latches[1], 64u);
  EXPECT_EQ(state().protocolErrors, 0u);
}

TEST_F(Bench, EveryTqm7731WordLandsInBothAttenuators) {
  for (std::int16_t word = 0; word <= 1023; ++word) {
    WriteTQM7731Word(word);
    ASSERT_EQ(state().tqm7731[0], word >> 5) << word;
    ASSERT_EQ(state().tqm7731[1], word & 31) << word;
  }
  EXPECT_EQ(state().tqm7731Latches, 1024u);
  EXPECT_EQ(state().protocolErrors, 0u);
}

TEST_F(Bench, EachChipIgnoresTheOthersTrafficOnSharedLines) {
  WriteRX4410Channel(-1, 12);
  WriteRX4410Channel(0, 30);
  for (const std::int16_t word :
       {std::int16_t{0}, std::int16_t{163}, std::int16_t{341}, std::int16_t{682}, std::int16_t{1023}})
    WriteTQM7731Word(word);
  ASSERT_EQ(ReadBackCodes(), CommandStatus::Done);
  EXPECT_EQ(ReadCode[0], 12);
  EXPECT_EQ(ReadCode[1], 30);
  EXPECT_EQ(state().tqm7731[0], 31);
  EXPECT_EQ(state().tqm7731[1], 31);
  EXPECT_EQ(state().protocolErrors, 0u);
  EXPECT_EQ(state().rx4410Latches[0], 1u);
  EXPECT_EQ(state().tqm7731Latches, 5u);
}

TEST(BenchModel, TruncatedOrGarbledFramesLatchNothingAndCountAsErrors) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
  };
  // Bits (1, 0, code 0..5) on the first channel; code 5 would be 82 86 80 84 82 86 80 84 ...
  const Case cases[] = {
      {"RX write frame of 7 bits",
       {0x81, 0x82, 0x86, 0x80, 0x84, 0x82, 0x86, 0x80, 0x84, 0x82, 0x86, 0x80, 0x84, 0x80, 0x84, 0x81}},
      {"RX write frame of 9 bits", {0x81, 0x82, 0x86, 0x80, 0x84, 0x82, 0x86, 0x80, 0x84, 0x82,
                                    0x86, 0x80, 0x84, 0x80, 0x84, 0x80, 0x84, 0x80, 0x84, 0x81}},
      {"RX write frame whose bit 1 is 1",
       {0x81, 0x82, 0x86, 0x82, 0x86, 0x82, 0x86, 0x80, 0x84, 0x82, 0x86, 0x80, 0x84, 0x80, 0x84, 0x80, 0x84,
        0x81}},
      {"TQM frame of 9 bits", {0x00, 0x05, 0x07, 0x05, 0x07, 0x05, 0x07, 0x05, 0x07, 0x05,
                               0x07, 0x05, 0x07, 0x05, 0x07, 0x05, 0x07, 0x05, 0x07, 0x00}},
      {"TQM frame of 11 bits", {0x00, 0x05, 0x07, 0x05, 0x07, 0x05, 0x07, 0x05, 0x07, 0x05, 0x07, 0x05,
                                0x07, 0x05, 0x07, 0x05, 0x07, 0x05, 0x07, 0x05, 0x07, 0x05, 0x07, 0x00}},
  };
  for (const auto& c : cases) {
    BenchState start;
    start.data = c.bytes.front();
    start.rx4410 = {7, 9};
    start.tqm7731 = {3, 4};
    SimBench bench(start);
    for (std::uint8_t b : c.bytes) bench.WriteData(b);
    EXPECT_EQ(bench.state().rx4410, (std::array<int, 2>{7, 9})) << c.name;
    EXPECT_EQ(bench.state().tqm7731, (std::array<int, 2>{3, 4})) << c.name;
    EXPECT_EQ(bench.state().protocolErrors, 1u) << c.name;
    EXPECT_EQ(bench.state().rx4410Latches[0] + bench.state().tqm7731Latches, 0u) << c.name;
  }
}

TEST(BenchModel, StatusBitsNoChipDrivesReadZero) {
  BenchState start;
  start.rx4410 = {63, 63};
  start.data = 0x81;
  SimBench bench(start);
  EXPECT_EQ(bench.ReadStatus(), 0);
  for (const int b : {0x81, 0x85, 0x80, 0x84, 0x80, 0x84}) bench.WriteData(static_cast<std::uint8_t>(b));
  EXPECT_EQ(bench.ReadStatus(), 0x20);  // bit 0 of the first channel's code, only bit 5
  bench.WriteData(0x81);
  EXPECT_EQ(bench.ReadStatus(), 0);  // select high: the output is released
}

TEST(BenchStateText, RoundTripsAndRejectsDamagedText) {
  BenchState s;
  s.data = 0x81;
  s.rx4410 = {12, 63};
  s.tqm7731 = {31, 0};
  s.rx4410Latches = {5, 6};
  s.tqm7731Latches = 7;
  s.protocolErrors = 2;
  const std::string text = FormatBenchState(s);
  EXPECT_EQ(ParseBenchState(text), s);
  // Blank lines, as an editor leaves them, change nothing.
  for (const std::string& edited :
       {text + "\n", text + " \t\r\n\n", std::string(text).insert(text.find("data"), "\n")})
    EXPECT_EQ(ParseBenchState(edited), s) << edited;

  const std::string damaged[] = {
      "",
      "garbage\n",
      text.substr(0, text.size() / 2),
      "tarvel-bench-state 1\n",
      std::string(text).replace(text.find("rx4410 12"), 9, "rx4410 64"),
      std::string(text).replace(text.find("data 129"), 8, "data 300"),
      text + "data 1\n",
      text + "unknown 1\n",
      std::string(text).replace(text.find("protocol-errors 2"), 17, "protocol-errors -2"),
      std::string(text).replace(text.find("tqm7731 31 0"), 12, "tqm7731 31 0 9"),
  };
  for (const auto& d : damaged) EXPECT_FALSE(ParseBenchState(d).has_value()) << d;
}

class BenchFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testing::FreshTempDir(std::string("bench-") +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
    path = (dir / "sub" / "bench.state").string();
    fs::create_directories(dir / "sub");  // only the user's own state folder is made on demand
    PortAddress = kLpt1Address;
  }
  void TearDown() override {
    SetPortBackend(nullptr);
    fs::remove_all(dir);
  }
  void Use() { SetPortBackend(std::make_unique<SimPortBackend>(path)); }
  fs::path dir;
  std::string path;
  struct stat st_ {};
};

TEST_F(BenchFile, StateSurvivesFromOneBackendToTheNext) {
  Use();
  DeviceName = "RX4410";
  GainCode = {12, 30};
  ASSERT_EQ(RunDeviceCommand(), CommandStatus::Done);
  ASSERT_TRUE(fs::exists(path));

  Use();  // a fresh backend, as a second process would have
  ASSERT_EQ(ReadBackCodes(), CommandStatus::Done);
  EXPECT_EQ(ReadCode, (std::array<std::int16_t, 2>{12, 30}));
  const auto saved = ParseBenchState(testing::Slurp(path));
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ(saved->rx4410Latches[0], 1u);
  EXPECT_FALSE(fs::exists(path + ".tmp"));
}

TEST_F(BenchFile, DamagedStateStartsAFreshBenchWithAWarning) {
  const std::string contents[] = {"", "tarvel-bench-state 1\ndata 1", "\x01\x02garbage\xff"};
  for (const auto& content : contents) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    Use();
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(ReadBackCodes(), CommandStatus::Done);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("kept it as " + path + ".damaged and started a fresh bench"), std::string::npos)
        << err;
    EXPECT_EQ(testing::Slurp(path + ".damaged"), content);
    EXPECT_EQ(ReadCode, (std::array<std::int16_t, 2>{0, 0}));
    EXPECT_TRUE(ParseBenchState(testing::Slurp(path)).has_value()) << "the fresh state was saved";
  }
}

// The bench keeps its files open and saves in place: no file is made,
// replaced or left beside the state; a state saved by another process in the
// meantime (a new file at the path) is the one the next command starts from.
TEST_F(BenchFile, CommandsSaveInPlaceAndSeeWhatOthersSaved) {
  auto inode = [this] { return fs::exists(path) ? ::stat(path.c_str(), &st_), st_.st_ino : 0; };
  Use();
  DeviceName = "RX4410";
  GainCode = {63, 63};
  ASSERT_EQ(RunDeviceCommand(), CommandStatus::Done);
  const auto first = inode();
  const struct {
    const char* device;
    std::array<std::int16_t, 2> codes;
    std::array<int, 2> rx4410, tqm7731;
  } steps[] = {
      {"RX4410", {0, 0}, {0, 0}, {0, 0}},
      {"TQM7731", {31, 31}, {0, 0}, {31, 31}},
      {"RX4410", {5, 60}, {5, 60}, {31, 31}},
  };
  for (const auto& step : steps) {
    DeviceName = step.device;
    GainCode = step.codes;
    ASSERT_EQ(RunDeviceCommand(), CommandStatus::Done);
    EXPECT_EQ(inode(), first) << step.device << " saved in place";
    const auto saved = ParseBenchState(testing::Slurp(path));
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->rx4410, step.rx4410);
    EXPECT_EQ(saved->tqm7731, step.tqm7731);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "sub"), {}), 2) << "the state and its lock only";
  }
  BenchState other;
  other.rx4410 = {7, 8};
  std::string reason;
  ASSERT_TRUE(WriteFileAtomically(path, FormatBenchState(other), reason)) << reason;
  ASSERT_EQ(ReadBackCodes(), CommandStatus::Done);
  EXPECT_EQ(ReadCode, (std::array<std::int16_t, 2>{7, 8}));
}

TEST_F(BenchFile, AStateThatCannotBeSavedFailsTheCommand) {
  Use();
  DeviceName = "RX4410";
  GainCode = {1, 2};
  ASSERT_EQ(RunDeviceCommand(), CommandStatus::Done);
  // A file-size limit makes the save fail (as it does for root, too).
  const auto oldXfsz = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit tiny = old;
  tiny.rlim_cur = 10;
  ::setrlimit(RLIMIT_FSIZE, &tiny);
  auto presenter = std::make_shared<testing::RecordingPresenter>();
  const auto previous = SetAlertPresenter(presenter);
  EXPECT_EQ(RunDeviceCommand(), CommandStatus::PortFailed);
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldXfsz);
  SetAlertPresenter(previous);
  ASSERT_EQ(presenter->shown.size(), 1u);
  EXPECT_EQ(presenter->shown[0].title, "Error: Port Access Failed");
  EXPECT_NE(presenter->shown[0].text.find("File too large"), std::string::npos) << presenter->shown[0].text;
}

}  // namespace
}  // namespace tarvel
