// The remote-control instrument without sockets: program messages against an
// in-memory simulated bench.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "RecordingPort.h"
#include "TestSupport.h"
#include "core/MainModule.h"
#include "core/Version.h"
#include "instrument/Scpi.h"
#include "ports/SimPortBackend.h"

namespace tarvel {
namespace {

const std::string kIdn = std::string("Tarvel Control Software,Tarvel Control,0,") + kVersion;

struct Exchange {
  std::vector<const char*> lines;
  std::string answers;              // every answer, in order
  std::vector<const char*> errors;  // the queue afterwards, oldest first
  std::array<int, 2> rx4410{0, 0};  // chip codes afterwards
  std::array<int, 2> tqm7731{0, 0};
};

TEST(ScpiInstrument, AnswersAndErrorsPerProgramMessage) {
  const Exchange cases[] = {
      {{"*IDN?"}, kIdn + "\n", {}},
      {{"*idn?;*OPC?;*TST?;SYST:VERS?"}, kIdn + ";1;0;1999.0\n", {}},
      {{"CODE 12,34", "CODE?", "READ?"}, "12,34\n12,34\n", {}, {12, 34}},
      {{"CODE?"}, "-1,-1\n", {}},
      {{"code 12.5,33.5\r", ":CODE?"}, "12,34\n", {}, {12, 34}},
      {{"CHANnel1:CODE 5", "chan2:code 6", "CHANNEL1:CODE?;CHAN2:CODE?", "CODE?"}, "5;6\n-1,-1\n", {}},
      {{"CHAN1:CODE 5;CHAN2:CODE 6;TRAN", "CODE?"}, "5,6\n", {}, {5, 6}},
      {{"TRAN:AUTO ON;TRAN:AUTO?", "CHAN2:CODE 9"}, "1\n", {}, {0, 9}},
      {{"DEV TQM7731;DEV?", "CODE 31,7", "READ?"},
       "TQM7731\n",
       {"-221,\"Settings conflict\""},
       {0, 0},
       {31, 7}},
      {{"CODE 1.49999999999999999999,0.50000000000000000001", "CODE?"}, "1,1\n", {}, {1, 1}},
      {{"*ESE 254.50000000000000000001;*ESE?"}, "255\n", {}},
      {{"CODE 64,0", "CODE?"}, "-1,-1\n", {"-222,\"Data out of range\""}},
      {{"CODE 99999999999999999999,0"}, "", {"-222,\"Data out of range\""}},
      {{"DEV TQM7731", "CODE 32,0", "CHAN1:CODE -1"},
       "",
       {"-222,\"Data out of range\"", "-222,\"Data out of range\""}},
      {{"CHAN1:CODE 40", "DEV TQM7731", "TRAN"}, "", {"-222,\"Data out of range\""}},
      {{"CODE x,1", "CODE 1", "CODE 1,2,3"},
       "",
       {"-104,\"Data type error\"", "-109,\"Missing parameter\"", "-108,\"Parameter not allowed\""}},
      {{"FOO?;*IDN?", "CHAN3:CODE 1", "DEV RX4410R"},
       "",
       {"-113,\"Undefined header\"", "-114,\"Header suffix out of range\"",
        "-224,\"Illegal parameter value\""}},
      {{"TRAN?", "*IDN", "CHAN1:CODE? 7", "CHAN1:CODE? MIN,MAX"},
       "",
       {"-113,\"Undefined header; no query form\"", "-113,\"Undefined header; query only\"",
        "-224,\"Illegal parameter value\"", "-108,\"Parameter not allowed\""}},
      {{"CODE 1,1;SYST:ERR?;CODE 99,1;SYST:ERR:NEXT?;SYST:ERR?"},
       "0,\"No error\";-222,\"Data out of range\";0,\"No error\"\n",
       {},
       {1, 1}},
      {{"*ESE 60;*ESE?;FOO;*STB?;*ESR?;*ESR?"}, "60\n", {"-113,\"Undefined header\""}},
      {{"*ESE 32", "FOO", "*STB?;*ESR?;*CLS;*STB?"}, "36;32;16\n", {}},
      {{"*OPC;*ESR?", "*SRE 4;*SRE?", "X", "*STB?"}, "1\n4\n68\n", {"-113,\"Undefined header\""}},
      {{"DEV TQM7731;TRAN:AUTO 1;CHAN1:CODE 3", "*RST;DEV?;TRAN:AUTO?;CHAN1:CODE?;:CODE?"},
       "RX4410;0;0;3,0\n",
       {},
       {0, 0},
       {3, 0}},
      {{";;  ;", "\t*OPC?  "}, "1\n", {}},
      // Numeric parameters: exponents, rounded as the command line rounds;
      // MINimum, MAXimum, DEFault; the code range queried.
      {{"CODE 1.2E1,2.5e0", "CODE?"}, "12,2\n", {}, {12, 2}},
      {{"CODE 6.35E1,0", "CODE 1E99,0", "CODE 1E,0"},
       "",
       {"-222,\"Data out of range\"", "-222,\"Data out of range\"", "-104,\"Data type error\""}},
      {{"CODE MAX,min", "CODE?;*ESE MAXIMUM;*ESE?;*ESE DEF;*ESE?"}, "63,0;255;0\n", {}, {63, 0}},
      {{"DEV TQM7731;CHAN1:CODE MAX;CHAN2:CODE DEF;TRAN",
        "CHAN1:CODE? MAX;CHAN1:CODE? MIN;DEV RX4410;CHAN2:CODE? MAX"},
       "31;0;63\n",
       {},
       {0, 0},
       {31, 0}},
      // Compound headers: a header resolves under the previous command's
      // node first, then from the root; ':' returns to the root.
      {{"CHAN2:CODE 7;CODE?;CHAN1:CODE 5;CODE?;:CODE?", "SYST:ERR:COUN?;ALL?;NEXT?"},
       "7;5;-1,-1\n0;0,\"No error\";0,\"No error\"\n",
       {}},
      {{"STAT:OPER:ENAB 256;ENAB?;:STAT:QUES:ENAB 1E3;ENAB?;*IDN?;COND?"}, "256;1000;" + kIdn + ";0\n", {}},
      {{"CHAN1:CODE 5;CODE 1,2;CODE?"}, "", {"-108,\"Parameter not allowed\""}},
      {{"FOO", "CODE 99,0", "SYST:ERR:COUN?;ALL?;COUN?"},
       "2;-113,\"Undefined header\",-222,\"Data out of range\";0\n",
       {}},
  };
  for (const Exchange& c : cases) {
    SCOPED_TRACE(c.lines.front());
    auto bench = std::make_unique<SimPortBackend>();
    SimPortBackend* sim = bench.get();
    SetPortBackend(std::move(bench));
    ScpiInstrument instrument;
    std::string answers;
    for (const char* line : c.lines) answers += instrument.Execute(line);
    EXPECT_EQ(answers, c.answers);
    std::vector<std::string> errors;
    while (instrument.ErrorCount() > 0) errors.push_back(instrument.PopError());
    EXPECT_EQ(errors, std::vector<std::string>(c.errors.begin(), c.errors.end()));
    EXPECT_EQ(sim->bench().state().rx4410, c.rx4410);
    EXPECT_EQ(sim->bench().state().tqm7731, c.tqm7731);
    EXPECT_EQ(sim->bench().state().protocolErrors, 0u);
    SetPortBackend(nullptr);
  }
}

// The status byte as IEEE 488.2 builds it: bit 2 the error queue holds an
// error, bit 4 (MAV) an answer waits in the output queue (an earlier query of
// the same message), bit 5 (ESB) an enabled event, bit 6 (MSS) the summary of
// the bits *SRE enables, bit 6 itself never enabled. *RST leaves the status
// alone; *CLS clears events and errors, not answers.
TEST(ScpiInstrument, StatusByteFollowsIeee4882) {
  const struct {
    std::vector<const char*> lines;
    std::string last;  // the last line's answer
  } cases[] = {
      {{"*STB?"}, "0\n"},
      {{"*IDN?;*STB?"}, kIdn + ";16\n"},
      {{"*STB?;*STB?"}, "0;16\n"},
      {{"*SRE 16", "*IDN?;*STB?"}, kIdn + ";80\n"},
      {{"*SRE 16", "*STB?"}, "0\n"},
      {{"*SRE 255;*SRE?"}, "191\n"},
      {{"FOO", "*STB?"}, "4\n"},
      {{"*ESE 32;*SRE 32", "FOO", "*STB?"}, "100\n"},
      {{"*SRE 4", "FOO", "SYST:ERR?;*STB?"}, "-113,\"Undefined header\";16\n"},
      {{"*ESE 1;*OPC", "*STB?;*ESR?;*STB?"}, "32;1;16\n"},
      {{"*ESE 32;*SRE 36", "FOO", "*RST;*STB?;*ESE?;*SRE?"}, "100;32;36\n"},
      {{"FOO", "*IDN?;*CLS;*STB?"}, kIdn + ";16\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines.back());
    SetPortBackend(std::make_unique<SimPortBackend>());
    ScpiInstrument instrument;
    std::string answer;
    for (const char* line : c.lines) answer = instrument.Execute(line);
    EXPECT_EQ(answer, c.last);
    SetPortBackend(nullptr);
  }
}

// The SCPI status model: conditions, the events they latch as they come on,
// the enables that summarise them into the status byte (questionable bit 3,
// operation bit 7, both behind *SRE for bit 6), *CLS clearing events and
// STATus:PRESet clearing enables. Each step may first make the port fail
// (or work again) or tell the instrument a command waits for the port.
TEST(ScpiInstrument, StatusRegistersLatchSummariseAndClear) {
  struct Step {
    const char* line;
    std::string answer;
    int failOpen = -1;  // the port's open fails (1) or works (0) from this step on
    int waiting = -1;   // a command starts (1) or stops (0) waiting for the port
  };
  const std::vector<Step> cases[] = {
      {{"STAT:OPER?;STAT:OPER:COND?;STAT:QUES?;STAT:QUES:COND?;*STB?", "0;0;0;0;16\n"}},
      {{"STAT:QUES:ENAB 512;*SRE 8", ""},
       {"CODE 1,2", "", 1},
       {"*STB?;STAT:QUES:COND?;STAT:QUES:EVEN?", "76;512;512\n"},
       {"SYST:ERR:COUN?;*CLS;*STB?", "1;16\n"},
       {"CODE 1,2", "", 0},
       {"STAT:QUES:COND?;STAT:QUES?", "0;0\n"}},
      {{"CODE 1,2", "", 1}, {"CODE 1,2", "", 0}, {"STAT:QUES:COND?;STAT:QUES?;*ESR?", "0;512;16\n"}},
      {{"STAT:OPER:ENAB 256;*SRE 128", ""},
       {"*STB?;STAT:OPER:COND?", "192;256\n", -1, 1},
       {"STAT:OPER:COND?;*STB?", "0;208\n", -1, 0},
       {"STAT:OPER?;STAT:OPER?;*STB?", "256;0;16\n"}},
      {{"STAT:OPER:ENAB 256;STAT:QUES:ENAB 512", "", -1, 1},
       {"CODE 1,2", "", 1},
       {"*CLS;STAT:OPER:COND?;STAT:OPER?;STAT:QUES?;STAT:OPER:ENAB?", "256;0;0;256\n"},
       {"STAT:PRES;STAT:OPER:ENAB?;STAT:QUES:ENAB?;STAT:QUES:COND?", "0;0;512\n"}},
      {{"CODE 5,6;READ?;STAT:QUES:COND?", "0,0;1024\n"},
       {"CODE 0,0;READ?;STAT:QUES:COND?;STAT:QUES?", "0,0;0;1024\n"}},
      {{"STAT:OPER:ENAB 32768", ""},
       {"STAT:OPER:ENAB MAX;ENAB?;SYST:ERR?", "32767;-222,\"Data out of range\"\n"}},
  };
  for (const auto& steps : cases) {
    SCOPED_TRACE(steps.front().line);
    auto log = testing::InstallRecordingPort();
    ScpiInstrument instrument;
    for (const Step& step : steps) {
      if (step.failOpen >= 0) log->failOpen = step.failOpen;
      if (step.waiting >= 0) instrument.SetWaitingForPort(step.waiting == 1);
      EXPECT_EQ(instrument.Execute(step.line), step.answer) << step.line;
    }
    SetPortBackend(nullptr);
  }
}

TEST(ScpiInstrument, TellsLinesThatOnlyReadFromTheRest) {
  const struct {
    const char* line;
    bool readsOnly;
  } cases[] = {
      {"*IDN?", true},
      {"*idn?;SYST:ERR?;*STB?;:DEV?;CODE?;CHAN2:CODE?;PORT?\r", true},
      {"CODE 1,2", false},
      {"CODE?;CODE 1,2", false},
      {"*OPC?", false},
      {"READ?", false},
      {"DEV TQM7731;DEV?", false},
      {"CODE? 1", false},
      {"FOO?", false},
      {" ; ", false},
      {"CHAN1:CODE? MAX;STAT:OPER:EVEN?;COND?;:SYST:ERR:ALL?;COUN?", true},
      {"CHAN1:CODE? MIN,MAX", false},
      {"STAT:OPER:ENAB?;ENAB 1", false},
      {"STAT:PRES", false},
      {"CHAN1:GAIN?;GAIN? MAX;:CAL:FREQ?;STAT?;DATA?", true},
      {"CHAN1:GAIN 1", false},
      {"CAL:FREQ 1E9", false},
  };
  for (const auto& c : cases) EXPECT_EQ(ScpiInstrument::ReadsOnly(c.line), c.readsOnly) << c.line;
}

TEST(ScpiInstrument, PortAlertsBecomeHardwareErrorsAndNothingCountsAsSent) {
  auto log = testing::InstallRecordingPort();
  log->failOpen = 1;
  ScpiInstrument instrument;
  EXPECT_EQ(instrument.Execute("CODE 1,2;CODE?;READ?"), "-1,-1\n");
  ASSERT_EQ(instrument.ErrorCount(), 2u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(instrument.PopError().rfind("-240,\"Hardware error; Cannot use LPT1 (H378)", 0), 0u);
  }
  SetPortBackend(nullptr);
}

// Saved states: a first instrument saves, a second one on the same file (the
// server restarted) recalls at power-on and by *RCL. *RCL sends only under
// its auto-transmit, power-on always; an empty slot, or a file that cannot be
// read, sends nothing, and such a file is never overwritten.
TEST(ScpiInstrument, SavedStatesOutliveTheInstrument) {
  const struct {
    const char* file;  // the file before the first instrument; nullptr for none
    std::vector<const char*> first, second;
    std::string powerOn, answers;     // RecallAtPowerOn's text, the second's answers
    std::vector<const char*> errors;  // the second's queue: each the start of an error
    std::array<int, 2> rx4410{0, 0}, tqm7731{0, 0};
  } cases[] = {
      {nullptr,
       {"DEV TQM7731;CODE 3,4;CHAN1:CODE 9;TRAN:AUTO ON;*SAV 2;*RST"},
       {"MEM:STAT:VAL? 2;VAL? 3;REC:AUTO?;DEV?", "*RCL 2;DEV?;CHAN1:CODE?;TRAN:AUTO?;CODE?"},
       "",
       "1;0;0;RX4410\nTQM7731;9;1;9,4\n",
       {},
       {0, 0},
       {9, 4}},
      {nullptr,
       {"CODE 1,2;CHAN2:CODE 7;*SAV 0;MEM:STAT:REC:AUTO ON;REC:AUTO?", "CODE 5,5"},
       {"CODE?", "CODE 6,6;*RCL 0;CHAN2:CODE?;:CODE?"},
       "recall at power-on: sent saved state 0 (RX4410 1,7)",
       "1,7\n7;6,6\n",
       {},
       {6, 6}},
      {nullptr,
       {"MEM:STAT:REC:AUTO 1"},
       {"*RCL 4", "*RCL 10", "*SAV -1", "MEM:STAT:VAL? MAX"},
       "recall at power-on is on, but saved state 0 is empty: nothing sent",
       "0\n",
       {"-221,\"Settings conflict; saved state 4 is empty\"", "-222", "-222"}},
      {"# tarvel saved states 1\nrecall-at-power-on 1\nstate 0 RX4410 64 0 0\n",
       {"*SAV 1", "MEM:STAT:REC:AUTO OFF"},
       {"*RCL 0", "MEM:STAT:VAL? 0"},
       "",
       "",
       {"-250,\"Mass storage error; ", "-250"}},
      {"# tarvel saved states 1\nstate 1 RX4410 1 1 0\n\nstate 1 TQM7731 1 1 0\n",
       {},
       {"*RCL 1"},
       "",
       "",
       {"-250,\"Mass storage error; FILE:4: slot 1 twice"}},
      {"# tarvel saved states 1\nstate 1 RX4410R 1 1 0\n",
       {},
       {"*RCL 1"},
       "",
       "",
       {"-250,\"Mass storage error; FILE:2: unknown device \"\"RX4410R\"\""}},
      {"tarvel saved states\n",
       {},
       {"*RCL 1"},
       "",
       "",
       {"-250,\"Mass storage error; FILE:1: not a saved-states"}},
  };
  const auto dir = testing::FreshTempDir("saved-states");
  const std::string path = (dir / "saved-states").string();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first.empty() ? c.file : c.first.front());
    std::filesystem::remove(path);
    if (c.file != nullptr) std::ofstream(path) << c.file;
    auto bench = std::make_unique<SimPortBackend>();
    SimPortBackend* sim = bench.get();
    SetPortBackend(std::move(bench));
    std::string error;
    {
      ScpiInstrument first;
      EXPECT_EQ(first.UseSavedStates(path, error), c.file == nullptr);
      for (const char* line : c.first) first.Execute(line);
      if (c.file != nullptr) {
        EXPECT_EQ(testing::Slurp(path), c.file) << "a file that cannot be read is left";
      }
    }
    ScpiInstrument second;
    second.UseSavedStates(path, error);
    EXPECT_EQ(second.RecallAtPowerOn(), c.powerOn);
    std::string answers;
    for (const char* line : c.second) answers += second.Execute(line);
    EXPECT_EQ(answers, c.answers);
    ASSERT_EQ(second.ErrorCount(), c.errors.size());
    for (std::string expected : c.errors) {
      if (const auto at = expected.find("FILE"); at != std::string::npos) expected.replace(at, 4, path);
      const std::string got = second.PopError();
      EXPECT_EQ(got.rfind(expected, 0), 0u) << got;
    }
    EXPECT_EQ(sim->bench().state().rx4410, c.rx4410);
    EXPECT_EQ(sim->bench().state().tqm7731, c.tqm7731);
    SetPortBackend(nullptr);
  }
  std::filesystem::remove_all(dir);
}

// A small board: channel 1 at 1 and 2 GHz (code 20 at every frequency),
// channel 2 one code.
constexpr std::string_view kBoard =
    "# tarvel-cal 1\n# device=RX4410\nchannel,code,freq_hz,gain_db\n"
    "1,0,1000000000,-12.03\n1,0,2e9,-14.03\n1,10,1000000000,-2\n1,10,2000000000,-4\n1,20,,5.5\n2,3,,-1\n";

// The dB commands with a calibration table and without one (-221, and the
// questionable "calibration" bit); a refused value sends nothing.
TEST(ScpiInstrument, GainsInDbFollowTheCalibrationTable) {
  const std::string block = "#3" + std::to_string(kBoard.size()) + std::string(kBoard);
  const struct {
    bool table;
    std::vector<const char*> lines;
    std::string answers;
    std::vector<const char*> errors;  // the queue: each the start of an error
    std::array<int, 2> rx4410{0, 0};
  } cases[] = {
      {true, {"CHAN1:GAIN -2.4;CHAN1:CODE?;GAIN?;:CODE?"}, "10;-2.000;-1,-1\n", {}},
      {true,
       {"TRAN:AUTO ON;CHAN1:GAIN MAX;CHAN2:GAIN -1DB", "CHAN1:GAIN? MIN;GAIN? MAX;CHAN2:GAIN?;:CODE?"},
       "-12.030;5.500;-1.000;20,3\n",
       {},
       {20, 3}},
      {true,
       {"CAL:FREQ?;FREQ 1.5E9;FREQ?;:CHAN1:GAIN -3.2 dB;GAIN?", "CAL:FREQ MAX;FREQ?;FREQ MIN;FREQ?;STAT?"},
       "1000000000;1500000000;-3.000\n2000000000;1000000000;1\n",
       {}},
      {true, {"CHAN1:GAIN -7.015;CODE?", "CHAN1:GAIN -7.01;CODE?"}, "0\n10\n", {}},
      {true,
       {"TRAN:AUTO 1;CHAN1:GAIN 6.1", "CHAN1:GAIN -12.6", "CHAN1:GAIN 5.9E0", "STAT:QUES:COND?"},
       "0\n",
       {"-222,\"Data out of range: 6.100 dB is beyond channel 1's -12.030 to 5.500 dB\"", "-222"},
       {20, 0}},
      {true,
       {"CAL:FREQ -1", "CAL:FREQ abc", "CHAN1:GAIN x", "CHAN1:GAIN? 3", "CHAN2:CODE 5;CHAN2:GAIN?",
        "DEV TQM7731;CHAN1:GAIN 0"},
       "",
       {"-222", "-104", "-104", "-224",
        "-221,\"Settings conflict; code 5 of channel 2 is not in the calibration",
        "-221,\"Settings conflict; the calibration table is the RX4410's\""}},
      {true, {"CAL:DATA?"}, block + "\n", {}},
      {false,
       {"CHAN1:GAIN 0", "CHAN1:GAIN?", "CAL:FREQ 1E9", "CAL:FREQ?", "CAL:DATA?",
        "CAL:STAT?;STAT:QUES:COND?;STAT:QUES?"},
       "0;2048;2048\n",
       {"-221,\"Settings conflict; no calibration table", "-221", "-221", "-221", "-221"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines.front());
    auto bench = std::make_unique<SimPortBackend>();
    SimPortBackend* sim = bench.get();
    SetPortBackend(std::move(bench));
    ScpiInstrument instrument;
    if (c.table) instrument.SetCalibration(Calibration(*ParseCalibration(kBoard, "board.csv").table));
    std::string answers;
    for (const char* line : c.lines) answers += instrument.Execute(line);
    EXPECT_EQ(answers, c.answers);
    ASSERT_EQ(instrument.ErrorCount(), c.errors.size());
    for (const std::string expected : c.errors) {
      const std::string got = instrument.PopError();
      EXPECT_EQ(got.rfind(expected, 0), 0u) << got;
    }
    EXPECT_EQ(sim->bench().state().rx4410, c.rx4410);
    SetPortBackend(nullptr);
  }
}

TEST(ScpiInstrument, ErrorQueueHoldsSixteenAndMarksOverflow) {
  ScpiInstrument instrument;
  for (int i = 0; i < 20; ++i) instrument.Execute("NOPE");
  EXPECT_EQ(instrument.ErrorCount(), kScpiErrorQueueSize);
  for (std::size_t i = 0; i + 1 < kScpiErrorQueueSize; ++i)
    EXPECT_EQ(instrument.PopError(), "-113,\"Undefined header\"");
  EXPECT_EQ(instrument.PopError(), "-350,\"Queue overflow\"");
  EXPECT_EQ(instrument.PopError(), "0,\"No error\"");
}

}  // namespace
}  // namespace tarvel
