#include "instrument/Sweep.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "core/MainModule.h"
#include "core/Numbers.h"
#include "core/Signals.h"
#include "core/platform/Platform.h"

namespace tarvel {

std::optional<CodeRange> SweepCodeRange(std::string_view device) {
  if (!FindChip(device)) return std::nullopt;  // a read-back is no sweep
  return DeviceCodeRange(device);
}

std::vector<SweepStep> BuildRamp(const RampSpec& spec) {
  std::vector<SweepStep> steps;
  const int direction = spec.to >= spec.from ? 1 : -1;
  const int stride = std::max(spec.step, 1);
  for (long code = spec.from; direction > 0 ? code <= spec.to : code >= spec.to;
       code += long{direction} * stride) {
    const auto c = static_cast<std::int16_t>(code);
    const auto o = static_cast<std::int16_t>(spec.other);
    SweepStep s{spec.dwellNs, c, c};
    if (spec.channel == SweepChannel::First) s.code2 = o;
    if (spec.channel == SweepChannel::Second) s.code1 = o;
    steps.push_back(s);
  }
  return steps;
}

std::optional<std::vector<SweepStep>> BuildGainRamp(const GainRampSpec& spec, const Calibration& cal,
                                                    std::string& error) {
  const double span = std::fabs(spec.toDb - spec.fromDb);
  if (!(spec.stepDb > 0) || !std::isfinite(span / spec.stepDb)) {
    error = "the step must be a number of dB above 0";
    return std::nullopt;
  }
  const double count = std::floor(span / spec.stepDb + 1e-9) + 1;
  if (count > static_cast<double>(spec.maxSteps)) {
    error = "the ramp has more than " + std::to_string(spec.maxSteps) + " steps";
    return std::nullopt;
  }
  const double direction = spec.toDb >= spec.fromDb ? 1 : -1;
  const auto nearest = [&](int channel, double db) -> std::optional<std::int16_t> {
    const auto choice = cal.Nearest(channel, db, error);
    if (!choice) return std::nullopt;
    return static_cast<std::int16_t>(choice->code);
  };
  std::optional<std::int16_t> held = spec.otherCode;
  if (spec.channel != SweepChannel::Both && !held) {
    held = nearest(spec.channel == SweepChannel::First ? 1 : 0, spec.otherDb);
    if (!held) return std::nullopt;
  }
  std::vector<SweepStep> steps;
  for (std::size_t k = 0; k < static_cast<std::size_t>(count); ++k) {
    // Each gain from the start, so no rounding piles up along the ramp.
    const double db = spec.fromDb + direction * static_cast<double>(k) * spec.stepDb;
    SweepStep step{spec.dwellNs, held.value_or(0), held.value_or(0)};
    for (int channel = 0; channel < 2; ++channel) {
      if (spec.channel == (channel == 0 ? SweepChannel::Second : SweepChannel::First)) continue;
      const auto code = nearest(channel, db);
      if (!code) return std::nullopt;
      (channel == 0 ? step.code1 : step.code2) = *code;
    }
    steps.push_back(step);
  }
  return steps;
}

std::optional<std::int64_t> ParseDwell(std::string_view text, std::string& error) {
  const auto ms = TextToNumber(text);
  if (!ms) {
    error = "dwell \"" + std::string(text) + "\" is not a number of milliseconds";
    return std::nullopt;
  }
  const double ns = std::round(*ms * 1e6);
  if (ns < static_cast<double>(kMinDwellNs)) {
    error = "dwell " + std::string(text) + " ms is below 0.1 ms";
    return std::nullopt;
  }
  if (ns > static_cast<double>(kMaxDwellNs)) {
    error = "dwell " + std::string(text) + " ms is longer than a day";
    return std::nullopt;
  }
  return static_cast<std::int64_t>(ns);
}

std::optional<int> ParseCode(std::string_view text, std::string_view what, std::string_view device,
                             CodeRange range, std::string& error) {
  const auto n = TextToWholeNumber(text);
  if (!n) {
    error = std::string(what) + " \"" + std::string(text) + "\" is not a whole number";
    return std::nullopt;
  }
  if (*n < range.lowest || *n > range.highest) {
    error = std::string(what) + " " + std::string(text) + " is outside the " + std::string(device) +
            "'s codes " + std::to_string(range.lowest) + ".." + std::to_string(range.highest);
    return std::nullopt;
  }
  return static_cast<int>(*n);
}

namespace {

// A sequence line's gain in dB, as its nearest code.
std::optional<int> NearestCodeOf(const Calibration& cal, int channel, std::string_view field,
                                 std::string& error) {
  const std::string name = channel == 0 ? "gain1_db" : "gain2_db";
  const auto db = GainFromText(field);
  if (!db) {
    error = name + " \"" + std::string(field) + "\" is not a number of dB";
    return std::nullopt;
  }
  const auto choice = cal.Nearest(channel, *db, error);
  if (!choice) {
    error.insert(0, name + ": ");
    return std::nullopt;
  }
  return choice->code;
}

}  // namespace

SequenceParse ParseSequence(std::string_view text, std::string_view fileName, std::string_view device,
                            CodeRange range, const Calibration* cal) {
  SequenceParse result;
  bool atHeader = true, inDb = false;  // the first step line may be a dB header
  std::int64_t total = 0;
  std::size_t lineNo = 0;
  std::size_t pos = 0;
  const auto fail = [&](const std::string& what) {
    result.steps.clear();
    result.error = std::string(fileName) + ":" + std::to_string(lineNo) + ": " + what;
    return result;
  };
  // A spreadsheet's "CSV UTF-8" starts with a byte-order mark; lines end in
  // LF, CR LF or a lone CR, as the editor that saved the file chose.
  if (text.starts_with("\xEF\xBB\xBF")) pos = 3;
  while (pos < text.size()) {
    ++lineNo;
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + (text.substr(end, 2) == "\r\n" ? 2 : 1);
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;

    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
      const std::size_t comma = line.find(',', start);
      fields.push_back(line.substr(start, comma == std::string_view::npos ? line.npos : comma - start));
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
    if (atHeader && cal != nullptr) {
      // The header of a sequence in dB; blanks around its names are allowed.
      std::string names;
      for (std::string_view field : fields) {
        const std::size_t a = field.find_first_not_of(' '), b = field.find_last_not_of(' ');
        names += (names.empty() ? "" : ",") + std::string(a == field.npos ? "" : field.substr(a, b - a + 1));
      }
      atHeader = false;
      inDb = names == kGainSequenceHeader;
      if (inDb) continue;
    }
    atHeader = false;
    if (fields.size() != 3) {
      return fail(std::string("expected ") + (inDb ? "dwell_ms,gain1_db,gain2_db" : "dwell_ms,code1,code2") +
                  " but found " + std::to_string(fields.size()) + " field" + (fields.size() == 1 ? "" : "s"));
    }
    std::string error;
    const auto dwell = ParseDwell(fields[0], error);
    if (!dwell) return fail(error);
    std::optional<int> c1, c2;
    if (inDb) {
      c1 = NearestCodeOf(*cal, 0, fields[1], error);
      if (!c1) return fail(error);
      c2 = NearestCodeOf(*cal, 1, fields[2], error);
      if (!c2) return fail(error);
    } else {
      c1 = ParseCode(fields[1], "code1", device, range, error);
      if (!c1) return fail(error);
      c2 = ParseCode(fields[2], "code2", device, range, error);
      if (!c2) return fail(error);
    }
    total += *dwell;
    if (total > kMaxListNs) return fail("the steps add up to more than a year");
    result.steps.push_back({*dwell, static_cast<std::int16_t>(*c1), static_cast<std::int16_t>(*c2)});
  }
  if (result.steps.empty()) result.error = std::string(fileName) + ": no steps";
  return result;
}

bool ReadInputText(const std::string& path, std::string_view what, std::size_t limit, std::string& text,
                   std::string& error, bool* missing) {
  // Opened without blocking and read only when it is a regular file: a FIFO
  // with no writer, or a device that never ends, must not hold the run up.
  platform::InputFile file;
  platform::SystemError failure;
  if (missing != nullptr) *missing = false;
  if (!file.Open(path, failure)) {
    if (missing != nullptr) *missing = failure.missing;
    error = path + ": cannot read: " + failure.text;
    return false;
  }
  if (file.kind() != platform::FileKind::Regular) {
    const char* kind = file.kind() == platform::FileKind::Folder   ? "a folder"
                       : file.kind() == platform::FileKind::Fifo   ? "a FIFO"
                       : file.kind() == platform::FileKind::Device ? "a device"
                                                                   : "a special file";
    error = path + ": is " + kind + ", not " + std::string(what);
    return false;
  }
  text.clear();
  std::vector<char> chunk(std::size_t{64} * 1024);
  for (;;) {
    const long long n = file.Read(chunk.data(), chunk.size(), failure);
    // A stop request ends the read; the caller ends the program by it.
    if (n < 0 && failure.interrupted && !StopRequested()) continue;
    if (n < 0) {
      error = path + ": cannot read: " + failure.text;
      return false;
    }
    if (n == 0) return true;
    text.append(chunk.data(), static_cast<std::size_t>(n));
    if (text.size() > limit) {
      error = path + ": longer than " +
              (limit >= (std::size_t{1} << 20) ? std::to_string(limit >> 20) + " MiB"
                                               : std::to_string(limit >> 10) + " KiB");
      return false;
    }
  }
}

SequenceParse LoadSequenceFile(const std::string& path, std::string_view device, CodeRange range,
                               const Calibration* cal) {
  std::string text, error;
  if (!ReadInputText(path, "a sequence file", kMaxSequenceBytes, text, error)) return {{}, error};
  return ParseSequence(text, path, device, range, cal);
}

// ---- Clock -----------------------------------------------------------------------

MonotonicClock::MonotonicClock() { platform::PreferPreciseWakeUps(); }

std::int64_t MonotonicClock::Now() { return platform::MonotonicNs(); }

void MonotonicClock::SleepUntil(std::int64_t deadline, const std::atomic<bool>& stop) {
  // Long dwells sleep in slices so a stop request is seen within 50 ms; the
  // last slice ends on the absolute deadline itself.
  constexpr std::int64_t kSlice = 50'000'000;
  while (!stop.load(std::memory_order_relaxed)) {
    const std::int64_t now = Now();
    if (now >= deadline) return;
    platform::SleepUntilNs(std::min(deadline, now + kSlice));  // may end early: look at stop again
  }
}

// ---- Run ---------------------------------------------------------------------------

std::int64_t ListLengthNs(const std::vector<SweepStep>& steps) {
  std::int64_t total = 0;
  for (const SweepStep& s : steps) total += s.dwellNs;
  return total;
}

std::int64_t PlannedRunNs(const std::vector<SweepStep>& steps, std::uint64_t repeat) {
  const std::int64_t pass = ListLengthNs(steps);
  if (repeat == 0 || pass == 0) return 0;
  if (repeat > static_cast<std::uint64_t>(INT64_MAX / pass)) return INT64_MAX;
  return pass * static_cast<std::int64_t>(repeat);
}

std::string VerifyFailedText(const StepRecord& r) {
  return "step " + std::to_string(r.step) + " sent " + CodeToText(r.code1) + ", " + CodeToText(r.code2) +
         " but read " + CodeToText(r.read1) + ", " + CodeToText(r.read2);
}

namespace {

// Sleeps to `deadline` in slices of at most 100 ms, telling the observer the
// time between them; the last slice ends on the deadline itself.
void Dwell(SweepClock& clock, SweepObserver& observer, std::int64_t t0, std::int64_t deadline,
           const std::atomic<bool>& stop) {
  constexpr std::int64_t kTick = 100'000'000;
  for (std::int64_t now = clock.Now(); now < deadline && !stop.load(); now = clock.Now()) {
    if (deadline - now <= kTick) return clock.SleepUntil(deadline, stop);
    clock.SleepUntil(now + kTick, stop);
    observer.OnWait(clock.Now() - t0);
  }
}

SweepEnd EndFor(const PortError& error) {
  return error.failure == PortFailure::Unavailable ? SweepEnd::PortUnavailable : SweepEnd::PortFailed;
}

// Waits for a step's deadline; a step whose deadline has passed already (the
// previous one ran long) goes at once and counts as late. False when stopped.
bool WaitForStep(SweepClock& clock, SweepObserver& observer, const std::atomic<bool>& stop, std::int64_t t0,
                 std::int64_t deadline, SweepResult& result) {
  const std::int64_t ready = clock.Now();
  if (ready > deadline && result.applied > 0) {
    ++result.late;
    result.worstLateNs = std::max(result.worstLateNs, ready - deadline);
    return true;
  }
  Dwell(clock, observer, t0, deadline, stop);
  if (!stop.load()) return true;
  result.end = SweepEnd::Stopped;
  return false;
}

// Sends one step, and reads it back when the plan verifies. False ends the
// run, with the reason in result.end.
bool ApplyStep(const SweepPlan& plan, const SweepStep& step, DeviceLink& link, SweepClock& clock,
               SweepObserver& observer, std::int64_t t0, SweepResult& result) {
  StepRecord record;
  record.step = result.applied + 1;
  record.startNs = clock.Now() - t0;
  record.code1 = step.code1;
  record.code2 = step.code2;
  link.gainCode = {step.code1, step.code2};
  if (RunDeviceCommand(link, result.portError) != CommandStatus::Done) {
    result.end = EndFor(result.portError);
    return false;
  }
  ++result.applied;
  result.last = record;
  if (plan.verify) {
    if (ReadBackCodes(link, result.portError) != CommandStatus::Done) {
      observer.OnStep(record);
      result.end = EndFor(result.portError);
      return false;
    }
    record.verified = true;
    record.read1 = link.readCode[0];
    record.read2 = link.readCode[1];
    result.last = record;
  }
  observer.OnStep(record);
  if (record.verified && (record.read1 != record.code1 || record.read2 != record.code2)) {
    result.end = SweepEnd::VerifyFailed;
    return false;
  }
  return true;
}

// One pass over the plan's steps; `offset` is the next step's deadline
// relative to t0. False once the run ends early.
bool RunPass(const SweepPlan& plan, DeviceLink& link, SweepClock& clock, SweepObserver& observer,
             const std::atomic<bool>& stop, std::int64_t t0, std::int64_t& offset, SweepResult& result) {
  for (const SweepStep& step : plan.steps) {
    if (!WaitForStep(clock, observer, stop, t0, t0 + offset, result)) return false;
    if (!ApplyStep(plan, step, link, clock, observer, t0, result)) return false;
    offset += step.dwellNs;
    if (stop.load()) {
      result.end = SweepEnd::Stopped;
      return false;
    }
  }
  return true;
}

}  // namespace

std::string LateStepsText(const SweepResult& result) {
  if (result.late == 0) return {};
  char worst[32];
  std::snprintf(worst, sizeof worst, "%.3f", static_cast<double>(result.worstLateNs) / 1e6);
  return std::to_string(result.late) + " of " + std::to_string(result.applied) +
         " steps started late, by up to " + worst + " ms";
}

std::optional<Alert> RunSweepAlert(const SweepResult& result) {
  switch (result.end) {
    case SweepEnd::PortUnavailable:
    case SweepEnd::PortFailed:
      return Alert{AlertIcon::Error, PortAlertTitle(result.portError),
                   PortAlertText(result.portError, result.portAddress)};
    case SweepEnd::VerifyFailed:
      if (result.last) return Alert{AlertIcon::Error, "Error: Verify Failed", VerifyFailedText(*result.last)};
      return std::nullopt;
    case SweepEnd::Completed:
    case SweepEnd::Stopped: return std::nullopt;
  }
  return std::nullopt;
}

SweepResult RunSweep(const SweepPlan& plan, DeviceLink& link, SweepClock& clock, SweepObserver& observer,
                     const std::atomic<bool>& stop) {
  SweepResult result;
  result.portAddress = link.portAddress;
  if (plan.steps.empty() || stop.load()) {
    result.end = plan.steps.empty() ? SweepEnd::Completed : SweepEnd::Stopped;
    return result;
  }
  link.device = plan.device;
  std::int64_t t0 = clock.Now();
  std::int64_t offset = 0;  // the current step's deadline relative to t0
  try {
    // One claim of the port for the whole run; every step nests inside it.
    // The session holds the port, so each step's command flushes what an
    // adapter keeps back: the step is on the pins before its dwell starts.
    // The schedule starts once the port is ours, so opening it (a lock, a
    // bench state to load) does not eat into the first dwell.
    PortSession session(link, link.portAddress, true);
    t0 = clock.Now();
    for (std::uint64_t pass = 0; plan.repeat == 0 || pass < plan.repeat; ++pass) {
      if (!RunPass(plan, link, clock, observer, stop, t0, offset, result)) break;
    }
    // The last step holds for its dwell too.
    if (result.end == SweepEnd::Completed) {
      Dwell(clock, observer, t0, t0 + offset, stop);
      if (stop.load() && clock.Now() < t0 + offset) result.end = SweepEnd::Stopped;
    }
    if (result.end == SweepEnd::Completed || result.end == SweepEnd::Stopped ||
        result.end == SweepEnd::VerifyFailed) {
      session.Finish();
    }
  } catch (const PortAccessError& e) {
    result.portError = e.error();
    result.end = EndFor(result.portError);
  }
  result.elapsedNs = clock.Now() - t0;
  return result;
}

// ---- Log ---------------------------------------------------------------------------

std::string SweepLogHeader(bool verify) {
  return verify ? "t_ms,step,code1,code2,read1,read2\n" : "t_ms,step,code1,code2\n";
}

std::string SweepLogRow(const StepRecord& r, bool verify) {
  const std::int64_t us = r.startNs / 1000;
  char line[128];
  int n = std::snprintf(line, sizeof line, "%lld.%03lld,%llu,%d,%d", static_cast<long long>(us / 1000),
                        static_cast<long long>(us % 1000), static_cast<unsigned long long>(r.step),
                        int{r.code1}, int{r.code2});
  if (verify && r.verified) {
    n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), ",%d,%d", int{r.read1},
                       int{r.read2});
  } else if (verify) {
    n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), ",,");
  }
  return std::string(line, static_cast<std::size_t>(n)) + "\n";
}

std::string SweepLogHeader(bool verify, const Calibration* cal) {
  std::string header = SweepLogHeader(verify);
  if (cal != nullptr) header.insert(header.size() - 1, ",gain1_db,gain2_db");
  return header;
}

std::string SweepLogRow(const StepRecord& r, bool verify, const Calibration* cal) {
  std::string row = SweepLogRow(r, verify);
  if (cal == nullptr) return row;
  row.pop_back();
  for (int channel = 0; channel < 2; ++channel) {
    const auto gain = cal->GainOf(channel, channel == 0 ? r.code1 : r.code2);
    row += ',' + (gain ? GainText(*gain) : std::string());
  }
  return row + '\n';
}

bool WriteSweepLog(const std::string& path, const std::vector<StepRecord>& rows, bool verify,
                   std::string& error, const Calibration* cal) {
  SweepLogFile log;
  if (!log.Open(path, error)) return false;
  log.Append(SweepLogHeader(verify, cal));
  for (const StepRecord& r : rows) log.Append(SweepLogRow(r, verify, cal));
  return log.Commit(error);
}

bool SweepLogFile::Open(const std::string& path, std::string& error) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  std::error_code ec;
  if (path.empty() || target.filename().empty() || fs::is_directory(target, ec)) {
    error = "log \"" + path + "\" is not a file name";
    return false;
  }
  path_ = path;
  if (!file_.Open(path)) {
    platform::FileKind kind{};
    if (platform::KindOf(path, kind)) {
      error = "cannot write the log \"" + path + "\": " + file_.error();
    } else {
      const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
      error = "cannot write the log in \"" + dir.string() + "\": " + file_.error();
    }
    return false;
  }
  return true;
}

void SweepLogFile::Append(std::string_view text) {
  buffer_.append(text);
  if (buffer_.size() >= std::size_t{64} * 1024) Flush();
}

void SweepLogFile::Flush() {
  file_.Write(buffer_);  // a failure is kept and reported by Commit
  buffer_.clear();
}

bool SweepLogFile::Commit(std::string& error) {
  if (!file_.active()) {
    error = "no log open";
    return false;
  }
  Flush();
  if (file_.Commit(true)) return true;
  error = "cannot write the log \"" + path_ + "\": " + file_.error();
  return false;
}

}  // namespace tarvel
