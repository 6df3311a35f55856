// `--sweep` and `--sequence` end to end: the real program on the simulated
// bench, checked by the bench's latch counts, the log and the trace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
using testing::Slurp;

class SweepCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testing::FreshTempDir("sweepcli");
    statePath = (dir / "bench.state").string();
    env = {{"PATH", "/usr/bin:/bin"}, {"HOME", dir.string()}, {"TARVEL_PORT", "sim:" + statePath}};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* v = std::getenv(name)) env[name] = v;
    }
    std::ofstream(dir / "hop.csv") << "# dwell_ms,code1,code2\n0.2,1,2\n\n0.3,3,4\n";
    std::ofstream(dir / "bad.csv") << "0.2,1,2\n0.2,1,99\n";
  }
  void TearDown() override { fs::remove_all(dir); }

  RunResult Run(const std::vector<std::string>& args) {
    RunResult r = RunProgram(TARVEL_PROGRAM, args, dir.string(), env);
    EXPECT_FALSE(r.timedOut);
    return r;
  }
  BenchState Bench() {
    auto s = ParseBenchState(testing::Slurp(statePath));
    return s ? *s : BenchState{};
  }
  std::vector<std::string> LogLines(const char* name) {
    std::vector<std::string> lines;
    std::ifstream in(dir / name);
    for (std::string line; std::getline(in, line);) lines.push_back(line.substr(line.find(',') + 1));
    return lines;
  }

  fs::path dir;
  std::string statePath;
  std::map<std::string, std::string> env;
};

TEST_F(SweepCommand, RefusedRunsSendNothingAndSayWhyInOneLine) {
  struct Case {
    std::vector<std::string> args;
    const char* why;
  };
  const Case cases[] = {
      {{"--sweep"}, "no device"},
      {{"--sweep", "RX4410R", "--from", "0", "--to", "1", "--dwell", "1"}, "unknown device \"RX4410R\""},
      {{"--sweep", "RX4410", "--to", "1", "--dwell", "1"}, "--from is missing"},
      {{"--sweep", "RX4410", "--from", "0", "--to", "64", "--dwell", "1"},
       "--to 64 is outside the RX4410's codes 0..63"},
      {{"--sweep", "TQM7731", "--from", "32", "--to", "1", "--dwell", "1"},
       "--from 32 is outside the TQM7731's codes 0..31"},
      {{"--sweep", "RX4410", "--from", "0", "--to", "1", "--dwell", "0.09"},
       "--dwell 0.09 ms is below 0.1 ms"},
      {{"--sweep", "RX4410", "--from", "1.00000000000000000001", "--to", "1", "--dwell", "1"},
       "--from \"1.00000000000000000001\" is not a whole number"},
      {{"--sweep", "RX4410", "--from", "0", "--to", "1", "--dwell", "1", "--step", "0"}, "--step \"0\""},
      {{"--sweep", "RX4410", "--from", "0", "--to", "1", "--dwell", "1", "--channel", "3"},
       "--channel \"3\""},
      {{"--sweep", "RX4410", "--from", "0", "--to", "1", "--dwell", "1", "--other", "99"}, "--other 99"},
      {{"--sweep", "RX4410", "--from", "0", "--to", "1", "--dwell", "1", "--repeat", "-1"},
       "--repeat \"-1\""},
      {{"--sweep", "RX4410", "--from", "0", "--to", "1", "--dwell", "1", "--repeat",
        "2.00000000000000000001"},
       "--repeat \"2.00000000000000000001\""},
      {{"--sweep", "RX4410", "--from", "0", "--to", "1", "--dwell", "1", "--from", "2"},
       "--from given twice"},
      {{"--sweep", "RX4410", "--from", "0", "--to", "1", "--dwell", "1", "--fast"}, "unknown option --fast"},
      {{"--sweep", "TQM7731", "--from", "0", "--to", "1", "--dwell", "1", "--verify"},
       "--verify needs the RX4410"},
      {{"--sweep", "RX4410", "--from", "0", "--to", "1", "--dwell", "1", "--log", "no/such/dir/log.csv"},
       "cannot write the log in \"no/such/dir\""},
      {{"--sequence", "RX4410", "bad.csv"}, "bad.csv:2: code2 99 is outside the RX4410's codes 0..63"},
      {{"--sequence", "RX4410", "missing.csv"}, "missing.csv: cannot read"},
      {{"--sequence", "RX4410"}, "usage"},
  };
  for (const Case& c : cases) {
    const RunResult r = Run(c.args);
    SCOPED_TRACE(c.args[0] + " ... " + c.args.back());
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(fs::exists(statePath)) << "the port was never opened";
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2) << "no log left behind";
}

TEST_F(SweepCommand, ASequenceThatIsNotARegularFileIsRefusedWithoutWaiting) {
  ASSERT_EQ(::mkfifo((dir / "hop.fifo").c_str(), 0600), 0);
  fs::create_directory(dir / "hops");
  const struct {
    const char* file;
    const char* why;
  } cases[] = {
      {"hop.fifo", "hop.fifo: is a FIFO, not a sequence file"},  // no writer: opening it would block
      {"/dev/zero", "/dev/zero: is a device, not a sequence file"},
      {"hops", "hops: is a folder, not a sequence file"},
  };
  for (const auto& c : cases) {
    const RunResult r = RunProgram(TARVEL_PROGRAM, {"--sequence", "RX4410", c.file}, dir.string(), env, 3000);
    EXPECT_FALSE(r.timedOut) << c.file;
    EXPECT_EQ(r.status, 64) << c.file;
    EXPECT_EQ(r.err, std::string("tarvel --sequence: ") + c.why + "\n");
  }
  EXPECT_FALSE(fs::exists(statePath)) << "the port was never opened";
}

// A log named as a FIFO (or a link to one) gets the rows as a trace does;
// a link to a regular file is replaced, never the file it points to.
TEST_F(SweepCommand, ALogAtAFifoIsWrittenToNeverReplaced) {
  ASSERT_EQ(::mkfifo((dir / "log.fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dir / "idle.fifo").c_str(), 0600), 0);
  std::ofstream(dir / "real.csv") << "old";
  fs::create_symlink("real.csv", dir / "file.link");
  fs::create_symlink("log.fifo", dir / "fifo.link");
  const int reader = ::open((dir / "log.fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const struct {
    const char* log;
    int status;
    const char* why;
  } cases[] = {
      {"log.fifo", 0, ""},
      {"fifo.link", 0, ""},
      {"file.link", 0, ""},
      {"idle.fifo", 64, "cannot write the log \"idle.fifo\": no process reads the FIFO"},
  };
  for (const auto& c : cases) {
    const RunResult r =
        Run({"--sweep", "RX4410", "--from", "1", "--to", "2", "--dwell", "0.1", "--log", c.log});
    EXPECT_EQ(r.status, c.status) << c.log << ": " << r.err;
    EXPECT_NE(r.err.find(c.why), std::string::npos) << c.log << ": " << r.err;
  }
  std::string piped(4096, '\0');
  piped.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::read(reader, piped.data(), piped.size()))));
  ::close(reader);
  EXPECT_EQ(std::count(piped.begin(), piped.end(), '\n'), 2 * 3) << "two logs came through the FIFO:\n"
                                                                 << piped;
  EXPECT_TRUE(fs::is_fifo(fs::symlink_status(dir / "log.fifo")));
  EXPECT_TRUE(fs::is_fifo(fs::symlink_status(dir / "idle.fifo")));
  EXPECT_TRUE(fs::is_symlink(dir / "fifo.link"));
  EXPECT_EQ(Slurp(dir / "real.csv"), "old");
  EXPECT_EQ(Slurp(dir / "file.link").rfind("t_ms,step,code1,code2\n", 0), 0u);
}

TEST_F(SweepCommand, RunsLatchEveryStepAndLogEveryRow) {
  env["TARVEL_TRACE"] = (dir / "run.vcd").string();
  struct Case {
    std::vector<std::string> args;
    std::array<std::uint64_t, 2> rxLatches;
    std::uint64_t tqmLatches;
    std::vector<std::string> log;  // each row without t_ms
    int accesses;                  // port accesses in the trace
  };
  const Case cases[] = {
      {{"--sweep", "RX4410", "--from", "0", "--to", "10", "--step", "4", "--dwell", "0.1", "--repeat", "2"},
       {6, 6},
       0,
       {"step,code1,code2", "1,0,0", "2,4,4", "3,8,8", "4,0,0", "5,4,4", "6,8,8"},
       6 * 44},
      {{"--sweep", "TQM7731", "--from", "31", "--to", "29", "--channel", "2", "--other", "7", "--dwell",
        "0.1"},
       {0, 0},
       3,
       {"step,code1,code2", "1,7,31", "2,7,30", "3,7,29"},
       3 * 26},
      {{"--sequence", "RX4410", "hop.csv", "--verify"},
       {2, 2},
       0,
       {"step,code1,code2,read1,read2", "1,1,2,1,2", "2,3,4,3,4"},
       2 * (44 + 54)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    fs::remove(statePath);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--log", "run.csv"});
    const RunResult r = Run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    // No progress line when standard error is not a terminal (a busy
    // machine may make steps late, which the run reports in one line).
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Error"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("freshly reset"), std::string::npos) << "the fresh bench's chips were written first";
    EXPECT_EQ(Bench().rx4410Latches, c.rxLatches);
    EXPECT_EQ(Bench().tqm7731Latches, c.tqmLatches);
    EXPECT_EQ(Bench().protocolErrors, 0u);
    EXPECT_EQ(LogLines("run.csv"), c.log);
    const std::string vcd = Slurp(dir / "run.vcd");
    EXPECT_EQ(vcd.substr(vcd.rfind("\n#") + 1), "#" + std::to_string(c.accesses) + "\n");
  }
  // The rows' times count from the run's start and follow the schedule.
  std::ifstream in(dir / "run.csv");
  std::string header, first, second;
  std::getline(in, header), std::getline(in, first), std::getline(in, second);
  EXPECT_LT(std::stod(first.substr(0, first.find(','))), 100.0);
  EXPECT_GE(std::stod(second.substr(0, second.find(','))), 0.2);
}

TEST_F(SweepCommand, OnATerminalOneProgressLineIsRedrawnInPlace) {
  // script(1) gives the run a terminal and copies what it writes.
  const RunResult r = RunProgram(
      "/usr/bin/script",
      {"-qefc", std::string(TARVEL_PROGRAM) + " --sweep TQM7731 --from 3 --to 1 --dwell 150", "/dev/null"},
      dir.string(), env);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find('\n'), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\rstep 1 of 3, codes 3, 3, elapsed 0.0 s, remaining 0."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\rstep 3 of 3, codes 1, 1"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 4), "\r\033[K") << "the line is cleared at the end";
}

TEST_F(SweepCommand, ATerminationStopsAfterTheStepAndKeepsTheLog) {
  const RunResult r =
      RunProgram("/bin/sh",
                 {"-c", std::string(TARVEL_PROGRAM) +
                            " --sweep RX4410 --from 0 --to 63 --dwell 20 --repeat 0 --log run.csv &"
                            " pid=$!; sleep 0.5; kill -TERM $pid; wait $pid"},
                 dir.string(), env);
  EXPECT_EQ(r.status, 130) << r.err;
  const auto rows = LogLines("run.csv");
  ASSERT_GE(rows.size(), 3u) << r.err;
  EXPECT_EQ(Bench().rx4410Latches[0], rows.size() - 1) << "one row per applied step";
}

// The table the README's worked example shows.
constexpr const char* kBoard =
    "# tarvel-cal 1\n# device=RX4410\n# board=SN0042\nchannel,code,freq_hz,gain_db\n"
    "1,0,1000000000,-12.03\n1,0,2000000000,-12.63\n1,8,1000000000,-8.01\n1,8,2000000000,-8.41\n"
    "1,16,,-4.00\n1,24,1000000000,-0.02\n2,0,,-12.00\n";

TEST_F(SweepCommand, GainSendsTheNearestCodesAsTheCodeCommandLineDoes) {
  std::ofstream(dir / "board.csv") << kBoard;
  std::ofstream(dir / "bad.cal")
      << "# tarvel-cal 1\n# device=RX4410\nchannel,code,freq_hz,gain_db\n1,99,,-1\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;                // or the start of the error
    std::vector<std::string> same;  // the code command line that must leave the same bench
  } cases[] = {
      {{"--gain", "RX4410", "-6.1", "-11.9dB", "--cal", "board.csv"},
       0,
       "RX4410 at 1000000000 Hz: channel 1 code 8 (-8.010 dB), channel 2 code 0 (-12.000 dB)\n",
       {"RX4410", "8", "0"}},
      {{"--gain", "RX4410", "-12.4", "-12 DB", "--freq", "1.5e9", "--cal", "board.csv"},
       0,
       "RX4410 at 1500000000 Hz: channel 1 code 0 (-12.330 dB), channel 2 code 0 (-12.000 dB)\n",
       {"RX4410", "0", "0"}},
      {{"--gain", "RX4410", "1", "-12", "--cal", "board.csv"},
       64,
       "tarvel --gain: Data out of range: 1.000 dB is beyond channel 1's -12.030 to -0.020 dB\n",
       {}},
      {{"--gain", "RX4410", "-1", "-11", "--cal", "board.csv"}, 64, "tarvel --gain: Data out of range", {}},
      {{"--gain", "TQM7731", "-1", "-12", "--cal", "board.csv"},
       64,
       "tarvel --gain: board.csv: the table is for the RX4410, not the TQM7731\n",
       {}},
      {{"--gain", "RX4410", "-1", "-12"}, 64, "tarvel --gain: --cal is missing\n", {}},
      {{"--gain", "RX4410", "-1x", "-12", "--cal", "board.csv"}, 64, "tarvel --gain: DB1 \"-1x\"", {}},
      {{"--gain", "RX4410", "-1", "-12", "--cal", "bad.cal"}, 64, "tarvel --gain: bad.cal:4: code 99", {}},
      {{"--gain", "RX4410", "-1", "-12", "--cal", "board.csv", "--freq", "-1"},
       64,
       "tarvel --gain: --freq \"-1\" is not a frequency",
       {}},
      {{"--cal-template", "TQM7731"}, 0, "# tarvel-cal 1\n# device=TQM7731\n", {}},
      {{"--cal-template", "RX4410R"}, 64, "tarvel --cal-template: unknown device \"RX4410R\"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args.back());
    fs::remove(statePath);
    const RunResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE((c.status == 0 ? r.out : r.err).starts_with(c.out)) << r.out << r.err;
    if (c.same.empty()) {
      EXPECT_TRUE(c.status == 0 || !fs::exists(statePath)) << "nothing was sent";
      continue;
    }
    const BenchState byGain = Bench();
    fs::remove(statePath);
    EXPECT_EQ(Run(c.same).status, 0);
    EXPECT_EQ(Bench(), byGain);
    EXPECT_EQ(byGain.rx4410, (std::array<int, 2>{std::stoi(c.same[1]), std::stoi(c.same[2])}));
  }
}

TEST_F(SweepCommand, WithATableSweepsAndSequencesGoInDbAndLogTheGains) {
  std::ofstream(dir / "board.csv") << kBoard;
  std::ofstream(dir / "db.csv")
      << "# a hop in dB\ndwell_ms, gain1_db ,gain2_db\n0.2,-12,-12\n0.2,-0.3dB,-11.8\n";
  std::ofstream(dir / "far.csv") << "dwell_ms,gain1_db,gain2_db\n0.2,-12,-12\n0.2,5,-12\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> log;  // each row without t_ms; or the error's start
  } cases[] = {
      {{"--sweep", "RX4410", "--from", "-12", "--to", "-4", "--step", "2", "--dwell", "0.1", "--channel", "1",
        "--other", "-12", "--cal", "board.csv"},
       0,
       {"step,code1,code2,gain1_db,gain2_db", "1,0,0,-12.030,-12.000", "2,8,0,-8.010,-12.000",
        "3,8,0,-8.010,-12.000", "4,16,0,-4.000,-12.000", "5,16,0,-4.000,-12.000"}},
      {{"--sequence", "RX4410", "db.csv", "--cal", "board.csv"},
       0,
       {"step,code1,code2,gain1_db,gain2_db", "1,0,0,-12.030,-12.000", "2,24,0,-0.020,-12.000"}},
      {{"--sequence", "RX4410", "hop.csv", "--cal", "board.csv", "--freq", "2e9"},
       0,
       {"step,code1,code2,gain1_db,gain2_db", "1,1,2,,", "2,3,4,,"}},
      {{"--sweep", "RX4410", "--from", "-12", "--to", "-20", "--dwell", "0.1", "--cal", "board.csv"},
       64,
       {"tarvel --sweep: Data out of range: -13.000 dB is beyond channel 1's -12.030 to -0.020 dB"}},
      {{"--sweep", "RX4410", "--from", "-12", "--to", "-4", "--dwell", "0.1", "--channel", "2", "--cal",
        "board.csv"},
       64,
       {"tarvel --sweep: --other is missing"}},
      {{"--sweep", "RX4410", "--from", "-12", "--to", "-4", "--step", "0", "--dwell", "0.1", "--cal",
        "board.csv"},
       64,
       {"tarvel --sweep: --step \"0\" is not a number of dB above 0"}},
      {{"--sequence", "RX4410", "far.csv", "--cal", "board.csv"},
       64,
       {"tarvel --sequence: far.csv:3: gain1_db: Data out of range: 5.000 dB"}},
      {{"--sequence", "RX4410", "db.csv"}, 64, {"tarvel --sequence: db.csv:2: dwell \"dwell_ms\""}},
      {{"--sequence", "RX4410", "hop.csv", "--freq", "1e9"}, 64, {"tarvel --sequence: --freq needs"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[2]);
    fs::remove(statePath);
    fs::remove(dir / "run.csv");
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--log", "run.csv"});
    const RunResult r = Run(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.status != 0) {
      EXPECT_TRUE(r.err.starts_with(c.log[0])) << r.err;
      EXPECT_FALSE(fs::exists(statePath)) << "nothing was sent";
      EXPECT_FALSE(fs::exists(dir / "run.csv"));
      continue;
    }
    EXPECT_EQ(LogLines("run.csv"), c.log);
    EXPECT_EQ(Bench().rx4410Latches[0], c.log.size() - 1);
  }
}

}  // namespace
}  // namespace tarvel
