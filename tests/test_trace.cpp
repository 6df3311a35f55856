// The port trace, checked by reading the VCD back as a waveform viewer would.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "capture/Trace.h"

namespace tarvel {
namespace {

struct Vcd {
  std::string timescale;
  std::map<std::string, std::string> nameById;  // id -> name
  std::map<std::string, int> widths;
  std::vector<long> times;
  // Level of every wire (by name) after each time step.
  std::map<long, std::map<std::string, int>> levels;
  std::map<std::string, int> initial;
  int changesAtZeroOutsideDump = 0;
  std::vector<std::pair<long, std::string>> redundant;  // changes to the same level
};

Vcd Parse(const std::string& text) {
  Vcd vcd;
  std::istringstream in(text);
  std::string tok;
  std::map<std::string, int> current;
  long time = -1;
  bool inDefinitions = true;
  while (in >> tok) {
    if (inDefinitions) {
      if (tok == "$timescale") {
        std::string a, b;
        in >> a >> b;
        vcd.timescale = a.append(" ").append(b);
      } else if (tok == "$var") {
        std::string type, width, id, name, end;
        in >> type >> width >> id >> name >> end;
        EXPECT_EQ(type, "wire");
        EXPECT_EQ(end, "$end");
        vcd.nameById[id] = name;
        vcd.widths[name] = std::stoi(width);
      } else if (tok == "$enddefinitions") {
        inDefinitions = false;
      }
      continue;
    }
    if (tok[0] == '#') {
      const long t = std::stol(tok.substr(1));
      EXPECT_GT(t, time) << "time steps strictly increase";
      if (time >= 0) vcd.levels[time] = current;
      time = t;
      vcd.times.push_back(t);
    } else if (tok == "$dumpvars" || tok == "$end") {
      if (tok == "$end") vcd.initial = current;
    } else if (tok[0] == '0' || tok[0] == '1') {
      const std::string name = vcd.nameById.at(tok.substr(1));
      const int level = tok[0] - '0';
      if (current.count(name) && current[name] == level && !vcd.initial.empty())
        vcd.redundant.push_back({time, name});
      current[name] = level;
    } else {
      ADD_FAILURE() << "unexpected token " << tok;
    }
  }
  if (time >= 0) vcd.levels[time] = current;
  return vcd;
}

TEST(Trace, VcdHasOneWirePerLineOneStepPerAccessAndOnlyRealChanges) {
  PortTrace trace;
  const std::uint8_t writes[] = {0x81, 0x81, 0x85, 0x80, 0x84};
  trace.RecordRead(0x00);  // the read-back's first access is a status read
  for (std::uint8_t w : writes) trace.RecordWrite(w);
  trace.RecordRead(0x38);
  trace.RecordWrite(0x81);

  const Vcd vcd = Parse(trace.ToVcd());
  EXPECT_EQ(vcd.timescale, "1 us");
  const std::vector<std::string> names = {"D0", "D1", "D2", "D3", "D4", "D5", "D6",
                                          "D7", "S3", "S4", "S5", "S6", "S7"};
  ASSERT_EQ(vcd.nameById.size(), names.size());
  for (const auto& n : names) EXPECT_EQ(vcd.widths.at(n), 1) << n;

  // Every wire's starting level at #0: data from the first write, status from the first read.
  ASSERT_EQ(vcd.initial.size(), names.size());
  EXPECT_EQ(vcd.initial.at("D0"), 1);
  EXPECT_EQ(vcd.initial.at("D7"), 1);
  EXPECT_EQ(vcd.initial.at("D2"), 0);
  EXPECT_EQ(vcd.initial.at("S5"), 0);
  EXPECT_TRUE(vcd.redundant.empty());

  // Access i stands at #i; the closing step follows the last access (8 accesses).
  EXPECT_EQ(vcd.times.front(), 0);
  EXPECT_EQ(vcd.times.back(), 8);
  const std::map<long, std::pair<std::string, int>> expectAt = {
      {3, {"D2", 1}}, {4, {"D0", 0}}, {5, {"D2", 1}}, {6, {"S5", 1}}, {7, {"D0", 1}}};
  for (const auto& [t, wire] : expectAt) {
    ASSERT_TRUE(vcd.levels.count(t)) << "step " << t;
    EXPECT_EQ(vcd.levels.at(t).at(wire.first), wire.second) << "step " << t;
  }
  EXPECT_EQ(vcd.levels.at(6).at("S3"), 1);
  EXPECT_EQ(vcd.levels.at(6).at("S4"), 1);
  // Steps without a change are left out (#1 repeats 0x81; #2 only raises D2).
  EXPECT_EQ(std::count(vcd.times.begin(), vcd.times.end(), 1), 0);
}

TEST(Trace, NoVectorsAndAnEmptyTraceIsStillValid) {
  PortTrace trace;
  const std::string text = trace.ToVcd();
  EXPECT_EQ(text.find("$var reg"), std::string::npos);
  EXPECT_EQ(text.find(" b"), std::string::npos);
  const Vcd vcd = Parse(text);
  EXPECT_EQ(vcd.initial.size(), 13u);
  EXPECT_EQ(vcd.times, std::vector<long>{0});
}

TEST(Trace, AStreamedTraceMatchesTheWholeOneInBoundedMemory) {
  struct Case {
    const char* name;
    std::vector<int> events;  // byte written, or -1 - byte read
  };
  const Case cases[] = {
      {"read first", {-1 - 0x00, 0x81, 0x85, -1 - 0x38, 0x80}},
      {"write first", {0x81, 0x80, 0x84, -1 - 0x20, 0x81}},
      {"writes only", {0x04, 0x06, 0x04, 0x00}},
  };
  for (const auto& c : cases) {
    PortTrace whole, streamed;
    std::string text;
    streamed.StreamTo([&text](std::string_view t) { return text.append(t), true; });
    for (PortTrace* t : {&whole, &streamed}) {
      for (int e : c.events)
        e >= 0 ? t->RecordWrite(static_cast<std::uint8_t>(e))
               : t->RecordRead(static_cast<std::uint8_t>(-1 - e));
    }
    EXPECT_TRUE(streamed.FinishStream());
    EXPECT_EQ(text, whole.ToVcd()) << c.name;
  }
  // A long session: the text leaves in chunks, memory stays under 1 MB.
  PortTrace trace;
  std::size_t bytes = 0, chunks = 0, most = 0;
  trace.StreamTo([&](std::string_view t) { return bytes += t.size(), ++chunks, true; });
  for (int i = 0; i < 1'000'000; ++i) {
    // Long without a read (held back, then drained), then reads now and then.
    if (i > 200'000 && i % 20 == 19) trace.RecordRead(static_cast<std::uint8_t>(i & 0x38));
    else trace.RecordWrite(static_cast<std::uint8_t>(i));
    most = std::max(most, trace.BufferedBytes());
  }
  EXPECT_TRUE(trace.FinishStream());
  EXPECT_LT(most, 1u << 20);
  EXPECT_GT(chunks, 10u);
  EXPECT_GT(bytes, 1'000'000u);
  // A sink that fails is reported; a trace with no access never asks its sink.
  PortTrace failing, idle;
  failing.StreamTo([](std::string_view) { return false; });
  failing.RecordWrite(1);
  EXPECT_FALSE(failing.FinishStream());
  idle.StreamTo([](std::string_view) {
    ADD_FAILURE() << "no access, no file";
    return true;
  });
  EXPECT_TRUE(idle.FinishStream());
}

}  // namespace
}  // namespace tarvel
