// The write and read-back sequences, byte for byte, through a recording port.
#include <gtest/gtest.h>

#include <chrono>

#include "RecordingPort.h"
#include "core/MainModule.h"
#include "device/ControlPPORT.h"

namespace tarvel {
namespace {

using testing::Access;
using testing::Bytes;

class Sequences : public ::testing::Test {
 protected:
  void SetUp() override {
    PortAddress = kLpt1Address;
    log = testing::InstallRecordingPort();
  }
  void TearDown() override { SetPortBackend(nullptr); }
  std::shared_ptr<testing::PortLog> log;
};

struct WriteCase {
  const char* name;
  bool tqm;
  std::int16_t firstChannel;
  std::int16_t value;  // TQM7731 word or RX4410 code
  const char* bytes;
};

TEST_F(Sequences, WriteSequencesPutEachWordsBytesOnTheDataRegister) {
  const WriteCase cases[] = {
      {"TQM word 163", true, 0, 163,
       "00 | 00 02 | 05 07 05 07 04 06 04 06 04 06 05 07 04 06 05 07 04 06 04 06 | 00 02 | 00"},
      {"TQM word 0", true, 0, 0,
       "00 | 00 02 | 04 06 04 06 04 06 04 06 04 06 04 06 04 06 04 06 04 06 04 06 | 00 02 | 00"},
      {"TQM word 1023", true, 0, 1023,
       "00 | 00 02 | 05 07 05 07 05 07 05 07 05 07 05 07 05 07 05 07 05 07 05 07 | 00 02 | 00"},
      {"RX first 40", false, -1, 40,
       "81 | 81 85 | 82 86 80 84 80 84 80 84 80 84 82 86 80 84 82 86 | 81 85 | 81"},
      {"RX second 40", false, 0, 40,
       "81 | 81 A1 | 41 61 01 21 01 21 01 21 01 21 41 61 01 21 41 61 | 81 A1 | 81"},
      {"RX second 63", false, 0, 63,
       "81 | 81 A1 | 41 61 01 21 41 61 41 61 41 61 41 61 41 61 41 61 | 81 A1 | 81"},
      {"RX first 0", false, -1, 0,
       "81 | 81 85 | 82 86 80 84 80 84 80 84 80 84 80 84 80 84 80 84 | 81 85 | 81"},
      {"RX first 63", false, -1, 63,
       "81 | 81 85 | 82 86 80 84 82 86 82 86 82 86 82 86 82 86 82 86 | 81 85 | 81"},
      {"RX first channel flag 1", false, 1, 40,
       "81 | 81 85 | 82 86 80 84 80 84 80 84 80 84 82 86 80 84 82 86 | 81 85 | 81"},
  };
  for (const auto& c : cases) {
    log->accesses.clear();
    if (c.tqm) {
      WriteTQM7731Word(c.value);
    } else {
      WriteRX4410Channel(c.firstChannel, c.value);
    }
    EXPECT_EQ(log->Writes(), Bytes(c.bytes)) << c.name;
    for (const Access& a : log->accesses) {
      EXPECT_FALSE(a.read) << c.name;
      EXPECT_EQ(a.port, 888) << c.name;
    }
  }
}

TEST_F(Sequences, ReadBackClocksSixBitsInAndSamplesOnlyStatusBitFive) {
  // Status bit 5 reads 1, 0, 1, 0, 0, 1; bit 4 is set throughout and must not matter.
  log->statusScript = {0x00, 0x30, 0x10, 0x30, 0x10, 0x10, 0x30};
  ReadRX4410Channel(-1);

  std::vector<Access> expected;
  auto w = [&](std::uint8_t v) { expected.push_back({false, 888, v}); };
  auto r = [&](std::uint8_t v) { expected.push_back({true, 889, v}); };
  r(0x00);
  w(0x81);
  w(0x81), w(0x85);
  w(0x80), w(0x84);
  const std::uint8_t samples[] = {0x30, 0x10, 0x30, 0x10, 0x10, 0x30};
  for (std::uint8_t s : samples) w(0x80), w(0x84), r(s);
  w(0x81), w(0x85);
  w(0x81);
  EXPECT_EQ(log->accesses, expected);
  EXPECT_EQ(BitsToCode(), 37);
}

TEST_F(Sequences, ReadBackClearsTheUpperEntriesAndUsesEachChannelsOwnStatusBit) {
  struct Case {
    std::int16_t firstChannel;
    std::uint8_t status;
    std::int32_t code;
  };
  const Case cases[] = {
      {-1, 0x20, 63}, {-1, 0x00, 0}, {-1, 0xDF, 0},  // every bit but 5
      {0, 0x10, 63},  {0, 0x00, 0},  {0, 0xEF, 0},   // every bit but 4
  };
  for (const auto& c : cases) {
    std::int32_t ones = 65535;
    CodeToBits(ones);
    log->accesses.clear();
    log->statusScript.assign(7, c.status);
    ReadRX4410Channel(c.firstChannel);
    EXPECT_EQ(BitsToCode(), c.code) << int(c.firstChannel) << " status " << int(c.status);
    for (int i = 6; i < 16; ++i) EXPECT_EQ(BitVector(i), 0);
    // The second channel clocks D5 with D7 low.
    const auto writes = log->Writes();
    ASSERT_EQ(writes.size(), 20u);
    EXPECT_EQ(writes[3], c.firstChannel ? 0x80 : 0x01);
    EXPECT_EQ(writes[4], c.firstChannel ? 0x84 : 0x21);
  }
}

TEST_F(Sequences, StatusRegisterIsOneAboveEachPortBase) {
  for (std::int16_t base : {kLpt1Address, kLpt2Address, kPrnAddress}) {
    PortAddress = base;
    log->accesses.clear();
    ReadRX4410Channel(-1);
    for (const Access& a : log->accesses) EXPECT_EQ(a.port, a.read ? base + 1 : base);
  }
}

TEST_F(Sequences, APortFailureStopsTheSequenceAtOnce) {
  log->failAtAccess = 5;
  EXPECT_THROW(WriteRX4410Channel(-1, 12), PortAccessError);
  EXPECT_EQ(log->accesses.size(), 5u);
  EXPECT_EQ(log->opens, log->closes);
}

}  // namespace
}  // namespace tarvel

namespace tarvel {
namespace {

TEST(PortDelay, AccessesAreAtLeastTheGivenPauseApart) {
  PortAddress = kLpt1Address;
  auto log = testing::InstallRecordingPort();
  SetPortDelayNanoseconds(200'000);  // 0.2 ms
  const auto start = std::chrono::steady_clock::now();
  WriteTQM7731Word(163);  // 26 writes: 25 pauses between them
  const auto elapsed = std::chrono::steady_clock::now() - start;
  SetPortDelayNanoseconds(0);
  SetPortBackend(nullptr);
  EXPECT_EQ(log->Writes().size(), 26u);
  EXPECT_GE(elapsed, std::chrono::microseconds(25 * 200));
}

}  // namespace
}  // namespace tarvel
