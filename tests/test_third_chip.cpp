// A made-up third chip, registered as a row and nothing else, through the
// dispatcher, the simulated bench and its state file, the frame decoder and
// the SCPI instrument: the chip table drives every layer. Its own program,
// so the row is seen by no other test.
#include <gtest/gtest.h>

#include <memory>

#include "RecordingPort.h"
#include "TestSupport.h"
#include "capture/FrameDecoder.h"
#include "chips/Chips.h"
#include "core/MainModule.h"
#include "device/ControlPPORT.h"
#include "instrument/Scpi.h"
#include "ports/SimPortBackend.h"
#include "sim/BenchStateFile.h"

namespace tarvel {
namespace {

// A 7-bit attenuator pair sent as one 14-bit word, "Atten 1" in bits 7..13,
// while D3 is high, clocked on D4, data on D6; no read-back. Its idle byte
// keeps both RX4410 selects high, so neither listens to it.
std::size_t ThirdChip() {
  static const std::size_t index = [] {
    Chip chip;
    chip.token = "VA707";
    chip.channels = {"Atten 1", "Atten 2"};
    chip.codeBits = 7;
    chip.windowHighest = 100;
    chip.stateKey = "va707";
    FrameShape f;
    f.idle = 0x81;
    f.frameLine = 0x08;
    f.clock = 0x10;
    f.data = 0x40;
    f.bits = 14;
    f.shift = {7, 0};
    chip.frames.push_back(f);
    chip.model = MakeFramedModel;
    chip.rejected = [](const FrameShape&, int bits) {
      return ": " + std::to_string(bits) + " bits, dropped";
    };
    return RegisterChip(chip);
  }();
  return index;
}

std::vector<std::string> Decode(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::string> texts;
  FrameDecoder decoder([&texts](const DecodedFrame& f) { texts.push_back(f.text); });
  std::uint64_t t = 0;
  decoder.Step(t++, PortLevels{0x81, 0, 0xFF, 0xFF});
  for (std::uint8_t b : bytes) decoder.Step(t++, PortLevels{b, 0, 0xFF, 0xFF});
  decoder.Finish(t);
  return texts;
}

TEST(ThirdChip, DispatcherSendsItsMaskedWordAndTheBenchLatchesIt) {
  const std::size_t index = ThirdChip();
  PortAddress = kLpt1Address;
  auto owned = std::make_unique<SimPortBackend>();
  SimPortBackend* sim = owned.get();
  SetPortBackend(std::move(owned));
  DeviceName = "VA707";
  GainCode = {128 + 100, -1};  // the masks keep 100 and 127
  EXPECT_EQ(RunDeviceCommand(), CommandStatus::Done);
  BenchState state = sim->bench().state();
  EXPECT_EQ(CodesOf(state, index), (std::array<int, 2>{100, 127}));
  EXPECT_EQ(RegistersOf(state, index).latches[0], 1u);
  EXPECT_EQ(state.rx4410Latches, (std::array<std::uint64_t, 2>{0, 0}));
  EXPECT_EQ(state.tqm7731Latches, 0u);
  EXPECT_EQ(state.protocolErrors, 0u);

  const std::string text = FormatBenchState(state);
  EXPECT_NE(text.find("\nva707 100 127\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nva707-latches 1\n"), std::string::npos) << text;
  EXPECT_EQ(ParseBenchState(text), state);
  SetPortBackend(nullptr);
}

TEST(ThirdChip, FrameDecoderReadsItsWritesAndRejects) {
  ThirdChip();
  auto log = testing::InstallRecordingPort();
  PortAddress = kLpt1Address;
  DeviceName = "VA707";
  GainCode = {5, 99};
  ASSERT_EQ(RunDeviceCommand(), CommandStatus::Done);
  SetPortBackend(nullptr);
  std::vector<std::uint8_t> bytes = log->Writes();
  ASSERT_EQ(bytes.size(), 2u * 14 + 6);
  EXPECT_EQ(Decode(bytes), std::vector<std::string>{"VA707 Atten 1 5, Atten 2 99"});
  bytes.erase(bytes.begin() + 3, bytes.begin() + 5);  // one bit less
  EXPECT_EQ(Decode(bytes), std::vector<std::string>{"VA707: 13 bits, dropped"});
}

TEST(ThirdChip, ScpiSelectsItAndHoldsItsRange) {
  const std::size_t index = ThirdChip();
  auto owned = std::make_unique<SimPortBackend>();
  SimPortBackend* sim = owned.get();
  SetPortBackend(std::move(owned));
  ScpiInstrument instrument;
  EXPECT_EQ(instrument.Execute("DEV va707;DEV?"), "VA707\n");
  EXPECT_EQ(instrument.Execute("CODE 127,3;CODE?"), "127,3\n");
  EXPECT_EQ(instrument.Execute("CODE 128,0"), "");
  EXPECT_EQ(instrument.Execute("READ?"), "");
  EXPECT_EQ(instrument.PopError(), "-222,\"Data out of range\"");
  EXPECT_EQ(instrument.PopError(), "-221,\"Settings conflict\"");
  EXPECT_EQ(CodesOf(sim->bench().state(), index), (std::array<int, 2>{127, 3}));
  SetPortBackend(nullptr);
}

}  // namespace
}  // namespace tarvel
