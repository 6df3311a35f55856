// The frame decoder and the VCD reader: the program's own traces, and
// captures as logic analysers write them.
#include <gtest/gtest.h>

#include <algorithm>

#include "capture/PortAccessLog.h"
#include "capture/PortCapture.h"
#include "capture/Trace.h"
#include "capture/VcdDecode.h"
#include "core/MainModule.h"
#include "device/ControlPPORT.h"
#include "ports/SimPortBackend.h"

namespace tarvel {
namespace {

struct Decoded {
  VcdDecodeResult result;
  std::vector<std::string> lines, notes;
};

Decoded Decode(const std::string& text, const WireMap& map = {}, std::size_t chunk = 7) {
  Decoded d;
  std::size_t at = 0;
  // Small chunks: tokens straddle the reader's blocks.
  const VcdSource source = [&](char* buffer, std::size_t size) -> long {
    const std::size_t n = std::min({size, chunk, text.size() - at});
    std::copy_n(text.data() + at, n, buffer);
    at += n;
    return static_cast<long>(n);
  };
  VcdDecodeCallbacks out;
  out.frame = [&](const DecodedFrame& f, double us) { d.lines.push_back(FormatFrameLine(f, us)); };
  out.note = [&](const std::string& n) { d.notes.push_back(n); };
  d.result = DecodeVcd(source, map, out);
  return d;
}

// The program's own trace of device commands on the simulated bench.
TEST(DecodeOwnTrace, EveryCommandComesBackAsItsFrames) {
  struct Case {
    const char* device;
    std::array<std::int16_t, 2> codes;
    bool readBack;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"RX4410",
       {40, 63},
       true,
       {"3.000 us  RX4410 Chan 1 write 40", "25.000 us  RX4410 Chan 2 write 63",
        "48.000 us  RX4410 Chan 1 read -> 40", "75.000 us  RX4410 Chan 2 read -> 63"}},
      {"RX4410", {0, 1}, false, {"3.000 us  RX4410 Chan 1 write 0", "25.000 us  RX4410 Chan 2 write 1"}},
      {"TQM7731", {5, 3}, false, {"3.000 us  TQM7731 Attn A 5, Attn B 3"}},
  };
  PortAddress = kLpt1Address;
  for (const Case& c : cases) {
    SetPortBackend(std::make_unique<SimPortBackend>());
    PortTrace trace;
    SetPortTrace(&trace);
    DeviceName = c.device;
    GainCode = c.codes;
    ASSERT_EQ(RunDeviceCommand(), CommandStatus::Done);
    if (c.readBack) {
      ASSERT_EQ(ReadBackCodes(), CommandStatus::Done);
    }
    SetPortTrace(nullptr);
    SetPortBackend(nullptr);
    const Decoded d = Decode(trace.ToVcd());
    EXPECT_EQ(d.result.status, VcdDecodeResult::Status::Ok) << d.result.message;
    EXPECT_EQ(d.lines, c.lines) << c.device;
    EXPECT_TRUE(d.notes.empty());
  }
}

std::string Header(const std::string& timescale, const std::string& vars) {
  return "$date today $end\n$timescale " + timescale + " $end\n" + vars + "$enddefinitions $end\n";
}

// Steps of "#t line=level ..." written as VCD changes of wires with ids = names.
std::string Body(const std::vector<std::pair<long, std::string>>& steps) {
  std::string out;
  for (const auto& [t, changes] : steps) out += "#" + std::to_string(t) + "\n" + changes + "\n";
  return out;
}

// An RX4410 first-channel write as changes of wires named a (D0), b (D1),
// c (D2), one step every `dt` time units, starting at `t0`; `bits` in order
// sent, `glitch` adds a clock pulse after bit 3.
std::vector<std::pair<long, std::string>> RxWrite(long t0, long dt, const std::string& bits,
                                                  bool glitch = false) {
  std::vector<std::pair<long, std::string>> s;
  long t = t0;
  s.push_back({t, "1a 0b 0c"});
  for (std::size_t i = 0; i < bits.size(); ++i) {
    s.push_back({t += dt, std::string("0a ") + bits[i] + "b 0c"});
    s.push_back({t += dt, "1c"});
    if (glitch && i == 3)
      s.push_back({t += 1, "0c 1c"}), s.push_back({t += 1, "0c"}), s.push_back({t += 1, "1c"});
  }
  s.push_back({t += dt, "1a 0b 0c"});
  return s;
}

TEST(DecodeCapture, HandMadeCapturesFromOtherAnalysers) {
  const std::string probes =
      "$scope module top $end\n$scope module la $end\n$var wire 1 c probe2 $end\n"
      "$var wire 1 b probe1 $end\n$upscope $end\n$var wire 1 a PROBE0 $end\n$upscope $end\n";
  const WireMap map = {{"D0", "probe0"}, {"D1", "la.probe1"}, {"D2", "top.la.probe2"}};
  // 40 is word 161: bits 1 0 0 0 0 1 0 1.
  struct Case {
    const char* name;
    std::string timescale;
    std::vector<std::pair<long, std::string>> steps;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"10 ns steps, reordered scopes",
       "10ns",
       RxWrite(0, 100, "10000101"),
       {"1.000 us  RX4410 Chan 1 write 40"}},
      {"1 ps timescale", "1 ps", RxWrite(2000000, 1000, "10000101"), {"2.001 us  RX4410 Chan 1 write 40"}},
      {"a glitch on the clock",
       "1us",
       RxWrite(0, 10, "10000101", true),
       {"10.000 us  RX4410 Chan 1: write frame of 9 bits ignored"}},
      {"a short frame",
       "1us",
       RxWrite(0, 10, "1000010"),
       {"10.000 us  RX4410 Chan 1: write frame of 7 bits ignored"}},
      {"bit 1 set",
       "1us",
       RxWrite(0, 10, "11000101"),
       {"10.000 us  RX4410 Chan 1: write frame of 8 bits with bit 1 set ignored"}},
      {"x on the data line",
       "1us",
       [] {
         auto s = RxWrite(0, 10, "10000101");
         s[5].second = "0a xb 0c";
         return s;
       }(),
       {"10.000 us  RX4410 Chan 1: data line D1 unknown at bit 2 of write"}},
      {"z start levels make no edge, same-time changes",
       "1 us",
       {{0, "za zb zc"}, {5, "0a"}, {5, "0b"}, {6, "1c"}, {7, "1a"}},
       {}},
      {"cut off at the end",
       "1 us",
       {{0, "1a 0b 0c"}, {1, "0a 1b"}, {2, "1c"}},
       {"1.000 us  RX4410 Chan 1: capture ended inside a frame after 1 bits"}},
  };
  for (const Case& c : cases) {
    const Decoded d =
        Decode(Header(c.timescale, probes) + "$dumpvars\n0a 0b 0c\n$end\n" + Body(c.steps), map);
    EXPECT_EQ(d.result.status, VcdDecodeResult::Status::Ok) << c.name << ": " << d.result.message;
    EXPECT_EQ(d.lines, c.lines) << c.name;
  }
}

TEST(DecodeCapture, TqmFramesReadsAndMissingWires) {
  // TQM7731 on D0 data, D1 clock, D2 enable; RX4410 first channel read on S5.
  const std::string vars =
      "$scope module lpt $end\n$var wire 1 ! D0 $end\n$var wire 1 \" D1 $end\n$var wire 1 # D2 $end\n"
      "$var wire 8 $ bus $end\n$var wire 1 %% S5 $end\n$upscope $end\n";
  std::string tqm9 = "#0\n0! 0\" 0#\n";
  long t = 1;
  tqm9 += "#" + std::to_string(t++) + "\n1#\n";
  for (int i = 0; i < 9; ++i, t += 2)
    tqm9 += "#" + std::to_string(t) + "\n1\"\n#" + std::to_string(t + 1) + "\n0\"\n";
  tqm9 += "#" + std::to_string(t++) + "\n0#\nb1010 $\n";
  const Decoded tqm = Decode(Header("1us", vars) + tqm9);
  EXPECT_EQ(tqm.lines,
            std::vector<std::string>{"1.000 us  TQM7731: enable fell after 9 bits, nothing latched"});
  // Absent D5..D7 and S4 are named once each; D3, D4 are never needed.
  EXPECT_EQ(tqm.notes.size(), 4u);
  EXPECT_NE(tqm.notes[0].find("no wire named D5"), std::string::npos) << tqm.notes[0];

  // A read whose status line stays x: select D0 low, 7 clocks on D2.
  std::string read = "#0\n1! 0\" 0# x%%\n#1\n0!\n";
  for (int i = 0; i < 7; ++i)
    read += "#" + std::to_string(2 + 2 * i) + "\n1#\n#" + std::to_string(3 + 2 * i) + "\n0#\n";
  read += "#20\n1!\n";
  EXPECT_EQ(Decode(Header("1us", vars) + read).lines,
            std::vector<std::string>{"1.000 us  RX4410 Chan 1: status line S5 never driven during read"});
}

TEST(DecodeCapture, MalformedFilesNameTheLine) {
  const std::string vars = "$var wire 1 ! D0 $end\n";
  struct Case {
    std::string text;
    std::uint64_t line;
  };
  const Case cases[] = {
      {"$timescale 1 us $end\n" + vars, 3},                             // no $enddefinitions
      {"$timescale 3 us $end\n" + vars + "$enddefinitions $end\n", 1},  // bad timescale
      {Header("1us", vars) + "#0\n1!\n#5\n0?\n", 8},                    // undeclared wire
      {Header("1us", vars) + "#10\n1!\n#5\n", 7},                       // time goes back
      {Header("1us", vars) + "#0\n1!\nhello\n", 7},                     // stray token
      {Header("1us", vars) + "#1x\n", 5},                               // bad time
      {"$upscope $end\n" + Header("1us", vars), 1},
      {"$scope module a b $end\n" + Header("1us", vars), 1},  // three words
  };
  for (const Case& c : cases) {
    const Decoded d = Decode(c.text);
    EXPECT_EQ(d.result.status, VcdDecodeResult::Status::Malformed) << c.text;
    EXPECT_EQ(d.result.line, c.line) << c.text << d.result.message;
  }
  WireMap map;
  std::string error;
  for (const char* bad : {"D0", "D8=x", "Q1=y", "D0=", "D0=a,,D1=b"})
    EXPECT_FALSE(ParseWireMap(bad, map, error)) << bad;
  EXPECT_TRUE(ParseWireMap("d0=probe3,S5=probe9", map, error));
  EXPECT_EQ(map, (WireMap{{"D0", "probe3"}, {"S5", "probe9"}}));
}

TEST(PortAccessLogRing, KeepsTheLastAccessesInOrder) {
  PortAccessLog log(4);
  EXPECT_EQ(log.size(), 0u);
  for (int i = 0; i < 10; ++i)
    (i % 3 == 0) ? log.RecordRead(static_cast<std::uint8_t>(i))
                 : log.RecordWrite(static_cast<std::uint8_t>(i));
  EXPECT_EQ(log.total(), 10u);
  EXPECT_EQ(log.size(), 4u);
  EXPECT_EQ(log.first(), 6u);
  for (std::uint64_t n = 6; n < 10; ++n) {
    EXPECT_EQ(log.at(n).value, n);
    EXPECT_EQ(log.at(n).read, n % 3 == 0);
  }
}

TEST(PortAccessLogRing, AClearedRingStartsAgainFromItsFirstAccess) {
  // The ring grows with use: cleared while growing, full, or wrapped.
  for (const int before : {2, 4, 7}) {
    PortAccessLog log(4);
    for (int i = 0; i < before; ++i) log.RecordWrite(0xEE);
    log.clear();
    for (int i = 0; i < 6; ++i) {
      log.RecordWrite(static_cast<std::uint8_t>(i));
      EXPECT_EQ(log.total(), static_cast<std::uint64_t>(i + 1)) << before;
      EXPECT_EQ(log.at(log.first()).value, log.first()) << before << " after " << i;
      EXPECT_EQ(log.at(log.total() - 1).value, i) << before;
    }
  }
}

}  // namespace
}  // namespace tarvel
