#include "app/SweepCommand.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "app/CommandLine.h"
#include "app/GainCommand.h"
#include "app/GuiLoader.h"
#include "chips/Chips.h"
#include "core/MainModule.h"
#include "core/Numbers.h"
#include "core/Signals.h"
#include "core/platform/Platform.h"
#include "instrument/Sweep.h"

namespace tarvel {

namespace {

std::atomic<bool> gStop{false};

void OnSweepStopRequest() { gStop.store(true); }

// Stop requests set the stop flag while a run lasts; the run ends after the
// current step and the port, log and trace are finished normally.
class StopSignals {
 public:
  // A request that came while the run was being checked counts too.
  StopSignals() { gStop.store(StopRequested()); }

 private:
  platform::StopDiversion diversion_{&OnSweepStopRequest};
};

std::string Seconds(std::int64_t ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ns) / 1e9);
  return text;
}

// The progress line on a terminal, and the log rows.
class CommandObserver : public SweepObserver {
 public:
  CommandObserver(const SweepPlan& plan, SweepLogFile* log, const Calibration* cal)
      : plan_(plan), log_(log), cal_(cal), terminal_(platform::StandardErrorIsTerminal()) {
    total_ = plan.repeat == 0 ? 0 : plan.steps.size() * plan.repeat;
    planNs_ = PlannedRunNs(plan.steps, plan.repeat);
  }
  ~CommandObserver() override {
    if (drawn_) std::fputs("\r\033[K", stderr);
  }

  void OnStep(const StepRecord& r) override {
    if (log_ != nullptr) log_->Append(SweepLogRow(r, plan_.verify, cal_));
    last_ = r;
    Draw(r.startNs, r.step == total_);
  }
  void OnWait(std::int64_t elapsedNs) override { Draw(elapsedNs, false); }

 private:
  // Redraws the line in place, at most 10 times a second (and for the last step).
  void Draw(std::int64_t elapsedNs, bool final) {
    if (!terminal_) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - lastDraw_ < std::chrono::milliseconds(100) && !final) return;
    lastDraw_ = now;
    drawn_ = true;
    std::string line = "\rstep " + std::to_string(last_.step);
    line += total_ != 0 ? " of " + std::to_string(total_) : std::string(" (until interrupted)");
    line += ", codes " + CodeToText(last_.code1) + ", " + CodeToText(last_.code2);
    line += ", elapsed " + Seconds(elapsedNs);
    if (total_ != 0) line += ", remaining " + Seconds(std::max<std::int64_t>(planNs_ - elapsedNs, 0));
    line += "\033[K";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }

  const SweepPlan& plan_;
  SweepLogFile* log_;
  const Calibration* cal_;
  bool terminal_;
  bool drawn_ = false;
  std::uint64_t total_ = 0;
  std::int64_t planNs_ = 0;
  std::chrono::steady_clock::time_point lastDraw_{};
  StepRecord last_;
};

// Checks the options both modes share and runs the plan; with a table the
// log has the steps' calibrated gains too.
int RunPlan(const char* mode, SweepPlan plan, const ParsedOptions& options, const Calibration* cal) {
  std::string error;
  if (auto it = options.values.find("--repeat"); it != options.values.end()) {
    const auto n = TextToWholeNumber(it->second);
    if (!n || *n < 0 || *n > 1'000'000'000) {
      return Refuse(mode, "--repeat \"" + it->second + "\" is not a whole number from 0 to 1000000000");
    }
    plan.repeat = static_cast<std::uint64_t>(*n);
  }
  plan.verify = options.flags.count("--verify") != 0;
  if (const Chip* chip = FindChip(plan.device); plan.verify && (!chip || !chip->readsBack())) {
    return Refuse(
        mode, "--verify needs the " + ReadBackChipList() + " (the " + plan.device + " cannot be read back)");
  }
  std::unique_ptr<SweepLogFile> log;
  if (auto it = options.values.find("--log"); it != options.values.end()) {
    log = std::make_unique<SweepLogFile>();
    if (!log->Open(it->second, error)) return Refuse(mode, error);
    log->Append(SweepLogHeader(plan.verify, cal));
  }

  SetAlertPresenter(std::make_shared<CommandLineAlertPresenter>());
  MonotonicClock clock;
  SweepResult result;
  {
    StopSignals signals;
    CommandObserver observer(plan, log.get(), cal);
    const auto link = DeviceLink::SharingPortOf(ProcessLink());
    link->portAddress = PortAddress;
    result = RunSweep(plan, *link, clock, observer, gStop);
  }
  if (const auto alert = RunSweepAlert(result)) ShowAlert(*alert);
  if (result.late > 0) std::fprintf(stderr, "tarvel: %s\n", LateStepsText(result).c_str());
  int status = kExitDone;
  switch (result.end) {
    case SweepEnd::Completed: status = kExitDone; break;
    case SweepEnd::Stopped: status = kExitInterrupted; break;
    case SweepEnd::VerifyFailed: status = kExitIoError; break;
    case SweepEnd::PortUnavailable: status = kExitUnavailable; break;
    case SweepEnd::PortFailed: status = kExitIoError; break;
  }
  if (log && !log->Commit(error)) {
    std::fprintf(stderr, "tarvel: %s\n", error.c_str());
    if (status == kExitDone) status = kExitCantCreate;
  }
  return status;
}

std::optional<CodeRange> DeviceRange(const std::string& device, std::string& error) {
  const auto range = SweepCodeRange(device);
  if (!range) error = "unknown device \"" + device + "\" (" + ChipTokenList("or") + ")";
  return range;
}

}  // namespace

std::optional<ParsedOptions> ParseWords(int argc, const char* const* argv, std::size_t positionals,
                                        const std::set<std::string>& withValue,
                                        const std::set<std::string>& bare, std::string& error) {
  ParsedOptions parsed;
  for (int i = 0; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.rfind("--", 0) != 0) {
      if (parsed.positional.size() >= positionals) {
        error = "unexpected \"" + word + "\"";
        return std::nullopt;
      }
      parsed.positional.push_back(word);
      continue;
    }
    if (parsed.values.count(word) != 0 || parsed.flags.count(word) != 0) {
      error = word + " given twice";
      return std::nullopt;
    }
    if (bare.count(word) != 0) {
      parsed.flags.insert(word);
    } else if (withValue.count(word) != 0) {
      if (i + 1 >= argc) {
        error = word + " needs a value";
        return std::nullopt;
      }
      parsed.values[word] = argv[++i];
    } else {
      error = "unknown option " + word;
      return std::nullopt;
    }
  }
  return parsed;
}

int Refuse(const char* mode, const std::string& why) {
  std::fprintf(stderr, "tarvel %s: %s\n", mode, why.c_str());
  return kExitUsage;
}

namespace {

// "--channel": 1, 2 or both (the default).
bool ChannelOption(const ParsedOptions& options, SweepChannel& channel, std::string& error) {
  const auto it = options.values.find("--channel");
  const std::string text = it != options.values.end() ? it->second : std::string("both");
  if (text == "both") {
    channel = SweepChannel::Both;
  } else if (text == "1") {
    channel = SweepChannel::First;
  } else if (text == "2") {
    channel = SweepChannel::Second;
  } else {
    error = "--channel \"" + text + "\" is not 1, 2 or both";
    return false;
  }
  return true;
}

// `--sweep` with a table: the range and the held channel's gain in dB.
int RunGainSweep(const char* mode, SweepPlan plan, const ParsedOptions& options, const Calibration& cal) {
  std::string error;
  GainRampSpec spec;
  const auto gain = [&](const char* name, double& db) {
    const auto it = options.values.find(name);
    const auto value = GainFromText(it->second);
    if (!value) error = std::string(name) + " \"" + it->second + "\" is not a number of dB";
    db = value.value_or(0);
    return value.has_value();
  };
  if (!gain("--from", spec.fromDb) || !gain("--to", spec.toDb)) return Refuse(mode, error);
  if (options.values.count("--step") != 0 && (!gain("--step", spec.stepDb) || !(spec.stepDb > 0))) {
    return Refuse(mode, "--step \"" + options.values.at("--step") + "\" is not a number of dB above 0");
  }
  const auto dwell = ParseDwell(options.values.at("--dwell"), error);
  if (!dwell) return Refuse(mode, "--" + error);
  spec.dwellNs = *dwell;
  if (!ChannelOption(options, spec.channel, error)) return Refuse(mode, error);
  if (spec.channel != SweepChannel::Both) {
    if (options.values.count("--other") == 0) {
      return Refuse(mode, "--other is missing: with --cal, the held channel's gain in dB");
    }
    if (!gain("--other", spec.otherDb)) return Refuse(mode, error);
  }
  auto steps = BuildGainRamp(spec, cal, error);
  if (!steps) return Refuse(mode, error);
  plan.steps = std::move(*steps);
  return RunPlan(mode, std::move(plan), options, &cal);
}

}  // namespace

int RunSweepOption(int argc, const char* const* argv) {
  const char* mode = "--sweep";
  std::string error;
  const auto options = ParseWords(
      argc, argv, 1,
      {"--from", "--to", "--step", "--dwell", "--channel", "--other", "--repeat", "--log", "--cal", "--freq"},
      {"--verify"}, error);
  if (!options) return Refuse(mode, error);
  if (options->positional.empty()) return Refuse(mode, "no device (" + ChipTokenList("or") + ")");
  SweepPlan plan;
  plan.device = options->positional[0];
  const auto range = DeviceRange(plan.device, error);
  if (!range) return Refuse(mode, error);
  for (const char* required : {"--from", "--to", "--dwell"}) {
    if (options->values.count(required) == 0) return Refuse(mode, std::string(required) + " is missing");
  }
  const auto cal = CalibrationOption(*options, plan.device, error);
  if (!error.empty()) return Refuse(mode, error);
  if (cal) return RunGainSweep(mode, std::move(plan), *options, *cal);
  const auto value = [&](const char* name, const char* fallback) {
    const auto it = options->values.find(name);
    return it != options->values.end() ? it->second : std::string(fallback);
  };
  RampSpec spec;
  const auto from = ParseCode(value("--from", ""), "--from", plan.device, *range, error);
  if (!from) return Refuse(mode, error);
  const auto to = ParseCode(value("--to", ""), "--to", plan.device, *range, error);
  if (!to) return Refuse(mode, error);
  const auto other = ParseCode(value("--other", "0"), "--other", plan.device, *range, error);
  if (!other) return Refuse(mode, error);
  const auto step = ParseCode(value("--step", "1"), "--step", plan.device, {1, 32767}, error);
  if (!step)
    return Refuse(mode, "--step \"" + value("--step", "1") + "\" is not a whole number of at least 1");
  const auto dwell = ParseDwell(value("--dwell", ""), error);
  if (!dwell) return Refuse(mode, "--" + error);
  if (!ChannelOption(*options, spec.channel, error)) return Refuse(mode, error);
  spec.from = *from, spec.to = *to, spec.step = *step, spec.dwellNs = *dwell, spec.other = *other;
  plan.steps = BuildRamp(spec);
  return RunPlan(mode, std::move(plan), *options, nullptr);
}

int RunSequenceOption(int argc, const char* const* argv) {
  const char* mode = "--sequence";
  std::string error;
  const auto options =
      ParseWords(argc, argv, 2, {"--repeat", "--log", "--cal", "--freq"}, {"--verify"}, error);
  if (!options) return Refuse(mode, error);
  if (options->positional.size() < 2) return Refuse(mode, "usage: tarvel --sequence DEVICE FILE");
  SweepPlan plan;
  plan.device = options->positional[0];
  const auto range = DeviceRange(plan.device, error);
  if (!range) return Refuse(mode, error);
  const auto cal = CalibrationOption(*options, plan.device, error);
  if (!error.empty()) return Refuse(mode, error);
  SequenceParse parsed = LoadSequenceFile(options->positional[1], plan.device, *range, cal ? &*cal : nullptr);
  FinishStopRequest();  // a SIGINT/SIGTERM while the file was read ends the program by it
  if (!parsed.error.empty()) return Refuse(mode, parsed.error);
  plan.steps = std::move(parsed.steps);
  return RunPlan(mode, std::move(plan), *options, cal ? &*cal : nullptr);
}

}  // namespace tarvel
