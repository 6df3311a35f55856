// The sweep engine on an in-memory simulated bench with a clock that only
// moves when the run sleeps or a step says its send took time.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "TestSupport.h"
#include "core/MainModule.h"
#include "instrument/Sweep.h"
#include "ports/SimPortBackend.h"

namespace tarvel {
namespace {

constexpr std::int64_t ms = 1'000'000;

class FakeClock : public SweepClock {
 public:
  std::int64_t now = 5'000 * ms;
  std::int64_t Now() override { return now; }
  void SleepUntil(std::int64_t deadline, const std::atomic<bool>& stop) override {
    if (!stop.load()) now = std::max(now, deadline);
  }
};

// The bench behind a port that can refuse to open, fail at a given write, or
// flip the first channel's data line on chosen writes (a corrupted latch).
class BenchPort : public PortBackend {
 public:
  SimPortBackend sim;
  bool failOpen = false;
  long failAtWrite = -1;
  std::set<long> flipWrites;
  long writes = 0;

  bool Open(std::int32_t base, PortError& error) override {
    if (failOpen)
      return (error = {PortFailure::Unavailable, "/dev/parport0", "Permission denied", ""}), false;
    return sim.Open(base, error);
  }
  bool Write(std::int32_t port, std::uint8_t value, PortError& error) override {
    const long n = writes++;
    if (n == failAtWrite)
      return (error = {PortFailure::AccessFailed, "/dev/parport0", "Input/output error", ""}), false;
    if (flipWrites.count(n) != 0) value ^= 0x02;
    return sim.Write(port, value, error);
  }
  bool Read(std::int32_t port, std::uint8_t& value, PortError& error) override {
    return sim.Read(port, value, error);
  }
  bool Close(PortError& error) override { return sim.Close(error); }
  std::string Describe(std::int32_t base) const override { return sim.Describe(base); }
};

class Recorder : public SweepObserver {
 public:
  std::vector<StepRecord> steps;
  std::vector<std::int64_t> waits;
  void OnWait(std::int64_t elapsedNs) override { waits.push_back(elapsedNs); }
  std::function<void(const StepRecord&)> after;
  void OnStep(const StepRecord& r) override {
    steps.push_back(r);
    if (after) after(r);
  }
};

class Sweeping : public ::testing::Test {
 public:
  void SetUp() override {
    SetAlertPresenter(presenter);
    auto backend = std::make_unique<BenchPort>();
    port = backend.get();
    SetPortBackend(std::move(backend));
    PortAddress = kLpt1Address;
  }
  void TearDown() override {
    SetPortBackend(nullptr);
    SetAlertPresenter(nullptr);
  }
  // A run on a link of its own, its alert shown as the command line and the
  // Sweep window show it.
  SweepResult Run(const SweepPlan& plan) {
    const auto link = DeviceLink::SharingPortOf(ProcessLink());
    link->portAddress = PortAddress;
    SweepResult result = RunSweep(plan, *link, clock, recorder, stop);
    if (const auto alert = RunSweepAlert(result)) ShowAlert(*alert);
    return result;
  }
  std::vector<std::int64_t> Starts() const {
    std::vector<std::int64_t> v;
    for (const auto& r : recorder.steps) v.push_back(r.startNs);
    return v;
  }

  std::shared_ptr<testing::RecordingPresenter> presenter = std::make_shared<testing::RecordingPresenter>();
  BenchPort* port = nullptr;
  FakeClock clock;
  Recorder recorder;
  std::atomic<bool> stop{false};
};

SweepPlan Plan(const std::vector<std::int64_t>& dwells, std::uint64_t repeat = 1,
               const char* device = "RX4410") {
  SweepPlan plan;
  plan.device = device;
  plan.repeat = repeat;
  std::int16_t code = 1;
  for (auto d : dwells) plan.steps.push_back({d, code, static_cast<std::int16_t>(code + 10)}), ++code;
  return plan;
}

TEST_F(Sweeping, StepsStartOnAnAbsoluteScheduleAndLateStepsAreCounted) {
  struct Case {
    const char* name;
    std::vector<std::int64_t> dwells;
    std::uint64_t repeat;
    std::map<std::uint64_t, std::int64_t> sendCost;  // step -> time its send took
    std::vector<std::int64_t> starts;
    std::uint64_t late;
    std::int64_t worstLate, elapsed;
  };
  const Case cases[] = {
      {"plain", {1 * ms, 2 * ms, 3 * ms}, 1, {}, {0, 1 * ms, 3 * ms}, 0, 0, 6 * ms},
      {"repeat", {1 * ms, 2 * ms}, 3, {}, {0, 1 * ms, 3 * ms, 4 * ms, 6 * ms, 7 * ms}, 0, 0, 9 * ms},
      // Sends that cost time within the dwell do not push later steps.
      {"no drift",
       {1 * ms, 1 * ms, 1 * ms, 1 * ms},
       1,
       {{1, ms / 3}, {2, ms / 2}, {3, ms - 1}},
       {0, 1 * ms, 2 * ms, 3 * ms},
       0,
       0,
       4 * ms},
      // A slow send makes the next step late; the one after is back on time.
      {"late",
       {1 * ms, 2 * ms, 1 * ms},
       1,
       {{1, 2 * ms + ms / 2}},
       {0, 2 * ms + ms / 2, 3 * ms},
       1,
       ms + ms / 2,
       4 * ms},
      {"late twice", {1 * ms, 1 * ms, 1 * ms}, 1, {{1, 4 * ms}}, {0, 4 * ms, 4 * ms}, 2, 3 * ms, 4 * ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder.steps.clear();
    recorder.after = [&](const StepRecord& r) {
      if (auto it = c.sendCost.find(r.step); it != c.sendCost.end()) clock.now += it->second;
    };
    const SweepResult result = Run(Plan(c.dwells, c.repeat));
    EXPECT_EQ(result.end, SweepEnd::Completed);
    EXPECT_EQ(Starts(), c.starts);
    EXPECT_EQ(result.applied, c.starts.size());
    EXPECT_EQ(result.late, c.late);
    EXPECT_EQ(result.worstLateNs, c.worstLate);
    EXPECT_EQ(result.elapsedNs, c.elapsed);
  }
  EXPECT_TRUE(presenter->shown.empty());
  // Long dwells report the time every 100 ms; the last slice ends on the deadline.
  recorder = Recorder{};
  Run(Plan({250 * ms, 50 * ms}));
  EXPECT_EQ(recorder.waits, (std::vector<std::int64_t>{100 * ms, 200 * ms}));
  EXPECT_EQ(Starts(), (std::vector<std::int64_t>{0, 250 * ms}));
}

TEST_F(Sweeping, EveryEndLeavesTheBenchAndTheAlertsAsExpected) {
  struct Case {
    const char* name;
    std::function<void(Sweeping&, SweepPlan&)> arrange;
    SweepEnd end;
    std::uint64_t applied, latches;
    const char* alert;  // title + ": " + text, or "" for none
  };
  const Case cases[] = {
      {"completed", [](Sweeping&, SweepPlan&) {}, SweepEnd::Completed, 4, 4, ""},
      {"verified", [](Sweeping&, SweepPlan& p) { p.verify = true; }, SweepEnd::Completed, 4, 4, ""},
      // Step 2's first-channel word (writes 84.. of a verifying run) has code bit 0 flipped.
      {"verify mismatch",
       [](Sweeping& t, SweepPlan& p) {
         p.verify = true, t.port->flipWrites = {84 + 7, 84 + 8};
       },
       SweepEnd::VerifyFailed, 2, 2, "Error: Verify Failed: step 2 sent 2, 12 but read 3, 12"},
      {"port lost in step 3", [](Sweeping& t, SweepPlan&) { t.port->failAtWrite = 2 * 44 + 30; },
       SweepEnd::PortFailed, 2, 3, "Error: Port Access Failed"},
      {"port unavailable", [](Sweeping& t, SweepPlan&) { t.port->failOpen = true; },
       SweepEnd::PortUnavailable, 0, 0, "Error: Port Not Available"},
      {"stopped after step 3",
       [](Sweeping& t, SweepPlan&) {
         t.recorder.after = [&t](const StepRecord& r) { t.stop = r.step == 3; };
       },
       SweepEnd::Stopped, 3, 3, ""},
      {"until stopped",
       [](Sweeping& t, SweepPlan& p) {
         p.repeat = 0;
         t.recorder.after = [&t](const StepRecord& r) { t.stop = r.step == 11; };
       },
       SweepEnd::Stopped, 11, 11, ""},
      {"stopped before the start", [](Sweeping& t, SweepPlan&) { t.stop = true; }, SweepEnd::Stopped, 0, 0,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    recorder = Recorder{};
    stop = false;
    presenter->shown.clear();
    SweepPlan plan = Plan({ms, ms, ms, ms});
    c.arrange(*this, plan);
    const SweepResult result = Run(plan);
    EXPECT_EQ(result.end, c.end);
    EXPECT_EQ(result.applied, c.applied);
    EXPECT_EQ(port->sim.bench().state().rx4410Latches[0], c.latches);
    ASSERT_EQ(presenter->shown.size(), *c.alert ? 1u : 0u);
    if (*c.alert) {
      const Alert& a = presenter->shown[0];
      EXPECT_EQ((a.title + ": " + a.text).rfind(c.alert, 0), 0u) << a.title << ": " << a.text;
    }
    if (result.applied > 0) {
      EXPECT_EQ(result.last->step, result.applied);
      EXPECT_EQ(port->sim.bench().state().rx4410[1], result.last->code2);
    }
  }
}

TEST(SweepInput, RampsFollowTheGridAndTheChannel) {
  struct Case {
    RampSpec spec;
    std::vector<std::pair<int, int>> codes;
  };
  const Case cases[] = {
      {{0, 3, 1, ms, SweepChannel::Both, 0}, {{0, 0}, {1, 1}, {2, 2}, {3, 3}}},
      {{0, 10, 4, ms, SweepChannel::Both, 0}, {{0, 0}, {4, 4}, {8, 8}}},
      {{9, 1, 4, ms, SweepChannel::First, 7}, {{9, 7}, {5, 7}, {1, 7}}},
      {{2, 2, 5, ms, SweepChannel::Second, 31}, {{31, 2}}},
  };
  for (const Case& c : cases) {
    std::vector<std::pair<int, int>> got;
    for (const SweepStep& s : BuildRamp(c.spec)) {
      got.emplace_back(s.code1, s.code2);
      EXPECT_EQ(s.dwellNs, ms);
    }
    EXPECT_EQ(got, c.codes);
  }
}

TEST(SweepInput, SequenceFilesAreCheckedLineByLine) {
  struct Case {
    const char* text;
    const char* error;  // "" when good
    std::vector<SweepStep> steps;
  };
  const Case cases[] = {
      {"# dwell,c1,c2\n\n5,1,2\r\n 0.25 , 63 ,0\n", "", {{5 * ms, 1, 2}, {ms / 4, 63, 0}}},
      {"\xEF\xBB\xBF"
       "5,1,2\r\n",
       "",
       {{5 * ms, 1, 2}}},  // "CSV UTF-8"
      {"# dwell,c1,c2\r5,1,2\r\r1,3,4", "", {{5 * ms, 1, 2}, {ms, 3, 4}}},
      {"5,1,2\r\r\n5,1", "hop.csv:3: expected dwell_ms,code1,code2 but found 2 fields", {}},
      {"5,1,2\n5,1\n", "hop.csv:2: expected dwell_ms,code1,code2 but found 2 fields", {}},
      {"0.05,1,2\n", "hop.csv:1: dwell 0.05 ms is below 0.1 ms", {}},
      {"x,1,2\n", "hop.csv:1: dwell \"x\" is not a number of milliseconds", {}},
      {"\n# only\n1,64,2\n", "hop.csv:3: code1 64 is outside the RX4410's codes 0..63", {}},
      {"1,1,2.5\n", "hop.csv:1: code2 \"2.5\" is not a whole number", {}},
      {"1,1.00000000000000000001,2\n",
       "hop.csv:1: code1 \"1.00000000000000000001\" is not a whole number",
       {}},
      {"1,2.000,99999999999999999999\n",
       "hop.csv:1: code2 99999999999999999999 is outside the RX4410's codes 0..63",
       {}},
      {"1,1,-1\n", "hop.csv:1: code2 -1 is outside the RX4410's codes 0..63", {}},
      {"# nothing\n\n", "hop.csv: no steps", {}},
      {"86400001,1,1\n", "hop.csv:1: dwell 86400001 ms is longer than a day", {}},
  };
  for (const Case& c : cases) {
    const SequenceParse p = ParseSequence(c.text, "hop.csv", "RX4410", {0, 63});
    EXPECT_EQ(p.error, c.error) << c.text;
    EXPECT_EQ(p.steps, c.steps) << c.text;
  }
}

TEST(SweepLog, RowsCarryMicrosecondsAndTheReadBack) {
  StepRecord r{12, 1'234'567'891, 5, 6, true, 5, 7};
  EXPECT_EQ(SweepLogRow(r, false), "1234.567,12,5,6\n");
  EXPECT_EQ(SweepLogRow(r, true), "1234.567,12,5,6,5,7\n");
  EXPECT_EQ(VerifyFailedText(r), "step 12 sent 5, 6 but read 5, 7");

  const auto dir = testing::FreshTempDir("sweeplog");
  const std::string path = (dir / "run.csv").string();
  {
    SweepLogFile log;
    std::string error;
    ASSERT_TRUE(log.Open(path, error)) << error;
    log.Append("a\n");
    EXPECT_FALSE(std::filesystem::exists(path)) << "nothing at the target before the commit";
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir)) << "an abandoned log leaves nothing behind";
  SweepLogFile log;
  std::string error;
  ASSERT_TRUE(log.Open(path, error));
  log.Append("a\n");
  ASSERT_TRUE(log.Commit(error)) << error;
  EXPECT_EQ(testing::Slurp(path), "a\n");
  SweepLogFile nowhere;
  EXPECT_FALSE(nowhere.Open((dir / "missing" / "run.csv").string(), error));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tarvel
