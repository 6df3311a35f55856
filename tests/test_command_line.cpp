// Command-line mode end to end: the real program, a temporary working
// directory, the simulated bench, no display.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "ProgramRunner.h"
#include "TestSupport.h"
#include "sim/BenchStateFile.h"
#include "sim/SimBench.h"

namespace tarvel {
namespace {

namespace fs = std::filesystem;
using testing::RunProgram;
using testing::RunResult;

const char* const kCommandAlert =
    "Error: Invalid or Missing Entry: The command call provided was incomplete or incorrect. "
    "Example: [DEVICE] [CODE1] [CODE2]\n";
const char* const kOptionAlert = "Error: Invalid Option: This option has not yet been implemented.\n";

using testing::Slurp;

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testing::FreshTempDir("cli");
    fs::create_directories(dir / "work");
    work = dir / "work";
    statePath = (dir / "bench.state").string();
    env = {{"PATH", "/usr/bin:/bin"}, {"HOME", dir.string()}, {"TARVEL_PORT", "sim:" + statePath}};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* v = std::getenv(name)) env[name] = v;
    }
  }
  void TearDown() override { fs::remove_all(dir); }

  RunResult Run(const std::vector<std::string>& args) {
    RunResult r = RunProgram(TARVEL_PROGRAM, args, work.string(), env);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.out, "") << "command-line mode prints nothing on standard output";
    return r;
  }
  BenchState Bench() {
    auto s = ParseBenchState(testing::Slurp(statePath));
    return s ? *s : BenchState{};
  }
  void SetBench(const BenchState& s) { std::ofstream(statePath) << FormatBenchState(s); }

  fs::path dir, work;
  std::string statePath;
  std::map<std::string, std::string> env;
};

struct Outcome {
  std::vector<std::string> args;
  int status;
  const char* err;
  std::array<int, 2> rx;  // bench registers afterwards (start: 7, 9 / 3, 4)
  std::array<int, 2> tqm;
  const char* resultFile;  // nullptr: no file
};

TEST_F(CommandLine, OutcomesFollowTheTokenAndTheCodes) {
  const Outcome cases[] = {
      {{"RX4410", "10", "20"}, 0, "", {10, 20}, {3, 4}, nullptr},
      {{"RX4410", "64", "-1"}, 0, "", {0, 63}, {3, 4}, nullptr},
      {{"TQM7731", "5", "3"}, 0, "", {7, 9}, {5, 3}, nullptr},
      {{"TQM7731", "2.5", "3.5"}, 0, "", {7, 9}, {2, 4}, nullptr},
      {{"TQM7731", "32767", "-32768"}, 0, "", {7, 9}, {31, 0}, nullptr},
      {{"RX4410R"}, 0, "", {7, 9}, {3, 4}, "RX4410R, 7, 9\r\n"},
      {{"RX4410R", "anything", "at", "all"}, 0, "", {7, 9}, {3, 4}, "RX4410R, 7, 9\r\n"},
      {{"RX4410R", "1", "2"}, 0, "", {7, 9}, {3, 4}, "RX4410R, 7, 9\r\n"},
      // Blanks: a trailing blank and a doubled blank before the second code are harmless.
      {{"RX4410", "1", "2 "}, 0, "", {1, 2}, {3, 4}, nullptr},
      {{"RX4410", "1", "", "2"}, 0, "", {1, 2}, {3, 4}, nullptr},
      {{"RX4410 1 2"}, 0, "", {1, 2}, {3, 4}, nullptr},  // one quoted argument, same text
      // The command alert: missing, empty, non-numeric or too large codes.
      {{"RX4410"}, 64, kCommandAlert, {7, 9}, {3, 4}, nullptr},
      {{""}, 64, kCommandAlert, {7, 9}, {3, 4}, nullptr},  // arguments that join to nothing
      {{"RX4410", "1"}, 64, kCommandAlert, {7, 9}, {3, 4}, nullptr},
      {{"RX4410", "", "10", "20"}, 64, kCommandAlert, {7, 9}, {3, 4}, nullptr},
      {{"RX4410  10", "20"}, 64, kCommandAlert, {7, 9}, {3, 4}, nullptr},
      {{"RX4410", "1", "2", "3"}, 64, kCommandAlert, {7, 9}, {3, 4}, nullptr},
      {{"TQM7731", "32768", "0"}, 64, kCommandAlert, {7, 9}, {3, 4}, nullptr},
      {{"TQM7731", "0", "-32769"}, 64, kCommandAlert, {7, 9}, {3, 4}, nullptr},
      {{"TQM7731", "1e3", "0"}, 64, kCommandAlert, {7, 9}, {3, 4}, nullptr},
      {{"RX4410\t1", "2"}, 64, kCommandAlert, {7, 9}, {3, 4}, nullptr},
      {{"rx4410r"}, 64, kCommandAlert, {7, 9}, {3, 4}, nullptr},
      {{"-h"}, 64, kCommandAlert, {7, 9}, {3, 4}, nullptr},
      // The option alert: two valid codes but no such device.
      {{"rx4410r", "1", "2"}, 64, kOptionAlert, {7, 9}, {3, 4}, nullptr},
      {{"rx4410", "1", "2"}, 64, kOptionAlert, {7, 9}, {3, 4}, nullptr},
      {{"", "1", "2"}, 64, kOptionAlert, {7, 9}, {3, 4}, nullptr},
      {{"PCA9685", "1", "2"}, 64, kOptionAlert, {7, 9}, {3, 4}, nullptr},
  };
  for (const auto& c : cases) {
    std::string name;
    for (const auto& a : c.args) name += "[" + a + "]";
    BenchState start;
    start.rx4410 = {7, 9};
    start.tqm7731 = {3, 4};
    SetBench(start);
    std::ofstream(work / "TRVOutput.dat") << "left over\r\n";

    const RunResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << name;
    EXPECT_EQ(r.err, c.err) << name;
    const BenchState after = Bench();
    EXPECT_EQ(after.rx4410, c.rx) << name;
    EXPECT_EQ(after.tqm7731, c.tqm) << name;
    EXPECT_EQ(after.protocolErrors, 0u) << name;
    if (c.resultFile) {
      EXPECT_EQ(Slurp(work / "TRVOutput.dat"), c.resultFile) << name;
    } else {
      EXPECT_FALSE(fs::exists(work / "TRVOutput.dat")) << name << ": the leftover is deleted";
    }
  }
}

TEST_F(CommandLine, AReadBackInASecondProcessReturnsTheWrittenCodes) {
  ASSERT_EQ(Run({"RX4410", "12", "30"}).status, 0);
  ASSERT_EQ(Run({"TQM7731", "31", "0"}).status, 0);
  ASSERT_EQ(Run({"RX4410R"}).status, 0);
  EXPECT_EQ(Slurp(work / "TRVOutput.dat"), "RX4410R, 12, 30\r\n");
  ASSERT_EQ(Run({"RX4410R"}).status, 0);
  EXPECT_EQ(Slurp(work / "TRVOutput.dat"), "RX4410R, 12, 30\r\n") << "replaced, not appended";
  const BenchState s = Bench();
  EXPECT_EQ(s.rx4410Latches[0], 1u);
  EXPECT_EQ(s.rx4410Latches[1], 1u);
  EXPECT_EQ(s.tqm7731Latches, 1u);
}

TEST_F(CommandLine, TheTraceShowsEveryPortAccessOfTheRun) {
  struct Case {
    std::vector<std::string> args;
    int accesses;
  };
  const Case cases[] = {{{"RX4410", "1", "2"}, 44}, {{"TQM7731", "1", "2"}, 26}, {{"RX4410R"}, 54}};
  for (const auto& c : cases) {
    const fs::path trace = dir / "port.vcd";
    env["TARVEL_TRACE"] = trace.string();
    ASSERT_EQ(Run(c.args).status, 0);
    const std::string vcd = Slurp(trace);
    const auto last = vcd.rfind('#');
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(std::stoi(vcd.substr(last + 1)), c.accesses) << c.args[0];
  }
  env["TARVEL_TRACE"] = (dir / "none.vcd").string();
  EXPECT_EQ(Run({"FOO", "1", "2"}).status, 64);
  EXPECT_FALSE(fs::exists(dir / "none.vcd")) << "an unknown device touches no port";
}

TEST_F(CommandLine, FailuresHaveTheirOwnExitStatus) {
  // No usable port back-end.
  env["TARVEL_PORT"] = "bogus";
  RunResult r = Run({"RX4410", "1", "2"});
  EXPECT_EQ(r.status, 69);
  EXPECT_NE(r.err.find("Error: Port Not Available: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("TARVEL_PORT"), std::string::npos) << r.err;

  // The bench cannot save what it received: the command did not complete.
  env["TARVEL_PORT"] = "sim:" + statePath;
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit tiny = old;
  tiny.rlim_cur = 10;  // inherited by the program; this process writes no file meanwhile
  ::setrlimit(RLIMIT_FSIZE, &tiny);
  r = Run({"RX4410", "1", "2"});
  ::setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(r.signal, 0) << "a write error, not a death by SIGXFSZ";
  EXPECT_EQ(r.status, 74);
  EXPECT_NE(r.err.find("Error: Port Access Failed: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;

  // A leftover result that cannot be deleted: a warning, and a read-back
  // that cannot replace it ends with 73.
  fs::create_directories(work / "TRVOutput.dat" / "inside");
  r = Run({"RX4410R"});
  EXPECT_EQ(r.status, 73);
  EXPECT_NE(r.err.find("warning: cannot delete the leftover TRVOutput.dat"), std::string::npos) << r.err;
  r = Run({"RX4410", "3", "4"});
  EXPECT_EQ(r.status, 0) << "a write does not need the result file";
}

TEST_F(CommandLine, ABadPortDelayIsNamedAndIgnored) {
  for (const char* tooLong : {"10000001", "99999999999", "99999999999999999999999"}) {
    env["TARVEL_PORT_DELAY_NS"] = tooLong;
    const RunResult r = Run({"RX4410", "1", "2"});
    EXPECT_EQ(r.status, 69) << tooLong << ": refused, never a wait of minutes";
    EXPECT_NE(r.err.find("allowed per access"), std::string::npos) << r.err;
  }
  for (const char* bad : {"abc", "-5", "12ns"}) {
    env["TARVEL_PORT_DELAY_NS"] = bad;
    const RunResult r = Run({"RX4410", "1", "2"});
    EXPECT_EQ(r.status, 0) << bad;
    EXPECT_NE(r.err.find("ignoring TARVEL_PORT_DELAY_NS"), std::string::npos) << r.err;
  }
  env["TARVEL_PORT_DELAY_NS"] = "1000";
  const RunResult r = Run({"RX4410", "1", "2"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Bench().rx4410, (std::array<int, 2>{1, 2}));

  // The pause is really made: the RX4410's 44 writes have 43 gaps of at
  // least 2 ms between them, so the run cannot take less than 86 ms. Only
  // this lower bound is certain (load can only add to it); the first write
  // waits for nothing.
  env["TARVEL_PORT_DELAY_NS"] = "2000000";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Run({"RX4410", "3", "4"}).status, 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(43 * 2));
  EXPECT_EQ(Bench().rx4410, (std::array<int, 2>{3, 4}));
}

#ifndef TARVEL_WINDOWS_BUILT
#define TARVEL_WINDOWS_BUILT 1
#endif
constexpr bool kWindowsBuilt = TARVEL_WINDOWS_BUILT != 0;

TEST_F(CommandLine, WithoutArgumentsOrDisplayItExplainsInsteadOfHanging) {
  std::ofstream(work / "TRVOutput.dat") << "left over\r\n";
  const RunResult r = Run({});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(kWindowsBuilt ? "no display" : "this build has no windows"), std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(work / "TRVOutput.dat")) << "the leftover is deleted before giving up";
}

TEST_F(CommandLine, AnUnreachableDisplayLeavesTheAlertLineAndItsOwnStatus) {
  if (fs::exists("/tmp/.X11-unix/X99")) GTEST_SKIP() << "an X server runs on :99 here";
  struct Case {
    const char* variable;
    const char* value;
    std::vector<std::string> args;
    int status;
    const char* err;  // nullptr: window mode's directions
  };
  const Case cases[] = {
      {"DISPLAY", ":99", {"FOO", "1", "2"}, 64, kOptionAlert},
      {"WAYLAND_DISPLAY", "bogus", {"FOO", "1", "2"}, 64, kOptionAlert},
      {"DISPLAY", ":99", {"RX4410"}, 64, kCommandAlert},
      {"DISPLAY", ":99", {}, 1, nullptr},
      {"WAYLAND_DISPLAY", "bogus", {}, 1, nullptr},
  };
  for (const auto& c : cases) {
    auto saved = env;
    env[c.variable] = c.value;
    std::ofstream(work / "TRVOutput.dat") << "left over\r\n";
    const RunResult r = Run(c.args);
    env = saved;
    const std::string name =
        std::string(c.variable) + "=" + c.value + " with " + std::to_string(c.args.size());
    EXPECT_EQ(r.status, c.status) << name << ": " << r.err;
    if (c.err != nullptr) {
      EXPECT_EQ(r.err, c.err) << name;
    } else {
      EXPECT_NE(r.err.find(kWindowsBuilt ? "cannot connect to the display" : "this build has no windows"),
                std::string::npos)
          << name << ": " << r.err;
      EXPECT_NE(r.err.find("tarvel DEVICE CODE1 CODE2"), std::string::npos) << name << ": " << r.err;
    }
    EXPECT_FALSE(fs::exists(work / "TRVOutput.dat")) << name;
  }
}

// A build without the window library (TARVEL_BUILD_GUI=OFF, the Arm
// packages) says so whatever the display, and its alerts stay the one line:
// there is no message box to try.
TEST_F(CommandLine, ABuildWithoutWindowsSaysSoWhateverTheDisplay) {
  if (kWindowsBuilt) GTEST_SKIP() << "this build has the windows";
  struct Case {
    const char* variable;
    const char* value;
    std::vector<std::string> args;
    int status;
    const char* err;  // nullptr: the build's own directions
  };
  const Case cases[] = {
      {"QT_QPA_PLATFORM", "offscreen", {}, 1, nullptr},
      {"DISPLAY", ":0", {}, 1, nullptr},
      {"QT_QPA_PLATFORM", "offscreen", {"FOO", "1", "2"}, 64, kOptionAlert},
      {"QT_QPA_PLATFORM", "offscreen", {"RX4410"}, 64, kCommandAlert},
  };
  for (const auto& c : cases) {
    auto saved = env;
    env[c.variable] = c.value;
    std::ofstream(work / "TRVOutput.dat") << "left over\r\n";
    const RunResult r = Run(c.args);
    env = saved;
    const std::string name =
        std::string(c.variable) + "=" + c.value + " with " + std::to_string(c.args.size());
    EXPECT_EQ(r.status, c.status) << name << ": " << r.err;
    if (c.err != nullptr) {
      EXPECT_EQ(r.err, c.err) << name;
    } else {
      EXPECT_NE(r.err.find("this build has no windows"), std::string::npos) << name << ": " << r.err;
      EXPECT_NE(r.err.find("tarvel DEVICE CODE1 CODE2"), std::string::npos) << name << ": " << r.err;
    }
    EXPECT_FALSE(fs::exists(work / "TRVOutput.dat")) << name;
  }
  const RunResult help = RunProgram(TARVEL_PROGRAM, {"--help"}, work.string(), env);
  EXPECT_NE(help.out.find("(this build has no windows)"), std::string::npos) << help.out;
}

}  // namespace
}  // namespace tarvel
