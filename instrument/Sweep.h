// Sweeps and hop sequences: a list of steps (dwell, code pair) sent one
// device command per step on an absolute schedule. Step k of a run starts
// at t0 plus the sum of the earlier dwells, so the run never drifts however
// long it lasts; a step whose deadline has already passed when the step
// before it is done is sent at once and counted as late.
//
// Plain C++: the command line and the Sweep window share it. The clock is a
// seam so the schedule can be checked without waiting.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/AtomicFile.h"
#include "device/ControlPPORT.h"
#include "instrument/Calibration.h"

namespace tarvel {

struct SweepStep {
  std::int64_t dwellNs = 0;
  std::int16_t code1 = 0;
  std::int16_t code2 = 0;
  bool operator==(const SweepStep&) const = default;
};

// The codes a sweep may send to a device: 0 to the chip's mask.
// A sweep refuses codes outside them instead of masking them.
std::optional<CodeRange> SweepCodeRange(std::string_view device);

constexpr std::int64_t kMinDwellNs = 100'000;             // 0.1 ms
constexpr std::int64_t kMaxDwellNs = 86'400'000'000'000;  // one day
constexpr std::int64_t kMaxListNs = 366 * kMaxDwellNs;    // a list's whole length

// "--channel": both channels get the code, or one sweeps while the other holds.
enum class SweepChannel { Both, First, Second };

struct RampSpec {
  int from = 0, to = 0, step = 1;
  std::int64_t dwellNs = 0;
  SweepChannel channel = SweepChannel::Both;
  int other = 0;
};
// from, from +- step, ... up to and including `to` when it lies on the grid.
std::vector<SweepStep> BuildRamp(const RampSpec& spec);

// A ramp in dB with a calibration table: the gains from, from +- step, ...
// up to and including `to` when it lies on the grid (within 1e-9 of a step),
// each set to its nearest code by the table's rule. Neighbouring gains that
// land on the same code keep their own steps, so the run lasts as long as
// asked. `other` is the held channel's gain, or `otherCode` its code (the
// Sweep window holds the gain-control window's). Empty, with the first gain
// out of range named in `error` ("Data out of range: ..."), when any step is
// refused or there would be more than `maxSteps`.
constexpr std::size_t kMaxGainSteps = 1'000'000;
struct GainRampSpec {
  double fromDb = 0, toDb = 0, stepDb = 1;
  std::int64_t dwellNs = 0;
  SweepChannel channel = SweepChannel::Both;
  double otherDb = 0;
  std::optional<std::int16_t> otherCode;
  std::size_t maxSteps = kMaxGainSteps;
};
std::optional<std::vector<SweepStep>> BuildGainRamp(const GainRampSpec& spec, const Calibration& cal,
                                                    std::string& error);

// A dwell in milliseconds as text ("5", "0.25") to nanoseconds; empty text,
// other characters, below 0.1 ms or above a day give an error text.
std::optional<std::int64_t> ParseDwell(std::string_view text, std::string& error);
// A whole number (blanks around allowed) within `range`; the error names `what`.
std::optional<int> ParseCode(std::string_view text, std::string_view what, std::string_view device,
                             CodeRange range, std::string& error);

// A hop sequence: CSV, one step per line "dwell_ms,code1,code2"; blank lines
// and lines starting with '#' are skipped. An error names the file and line.
// With a calibration table, a file whose first line (after blanks and
// comments) is the header "dwell_ms,gain1_db,gain2_db" gives gains in dB
// instead, each set to its nearest code by the table's rule.
struct SequenceParse {
  std::vector<SweepStep> steps;
  std::string error;  // empty when every line is good
};
SequenceParse ParseSequence(std::string_view text, std::string_view fileName, std::string_view device,
                            CodeRange range, const Calibration* cal = nullptr);
constexpr std::string_view kGainSequenceHeader = "dwell_ms,gain1_db,gain2_db";
// Reads at most kMaxSequenceBytes: a longer file (or a device that never
// ends) is refused rather than read forever.
constexpr std::size_t kMaxSequenceBytes = 64 << 20;
SequenceParse LoadSequenceFile(const std::string& path, std::string_view device, CodeRange range,
                               const Calibration* cal = nullptr);

// The whole of the regular file at `path`, read without blocking: a folder,
// FIFO or device is refused ("PATH: is a FIFO, not WHAT"), as is a file of
// more than `limit` bytes. False with the reason in `error`, and `missing`
// (when given) set when there is no file at all.
bool ReadInputText(const std::string& path, std::string_view what, std::size_t limit, std::string& text,
                   std::string& error, bool* missing = nullptr);

// The clock a run keeps its schedule with, in nanoseconds.
class SweepClock {
 public:
  virtual ~SweepClock() = default;
  virtual std::int64_t Now() = 0;
  // Returns at `deadline` or soon after, or earlier once `stop` is set.
  virtual void SleepUntil(std::int64_t deadline, const std::atomic<bool>& stop) = 0;
};

// CLOCK_MONOTONIC with absolute clock_nanosleep deadlines. Construct it on
// the thread that runs the sweep: it tightens that thread's timer slack.
class MonotonicClock final : public SweepClock {
 public:
  MonotonicClock();
  std::int64_t Now() override;
  void SleepUntil(std::int64_t deadline, const std::atomic<bool>& stop) override;
};

// One applied step.
struct StepRecord {
  std::uint64_t step = 0;    // 1, 2, ... over the whole run, repeats included
  std::int64_t startNs = 0;  // real start relative to t0
  std::int16_t code1 = 0, code2 = 0;
  bool verified = false;
  std::int16_t read1 = 0, read2 = 0;
};

class SweepObserver {
 public:
  virtual ~SweepObserver() = default;
  // After each applied step (verified, when asked), on the running thread.
  virtual void OnStep(const StepRecord&) {}
  // Every 100 ms or so of a long dwell, with the time since the run's start.
  virtual void OnWait(std::int64_t) {}
};

struct SweepPlan {
  std::string device;  // a chip's device token
  std::vector<SweepStep> steps;
  std::uint64_t repeat = 1;  // 0: until stopped
  bool verify = false;       // chips that read back: read back after every send
};

enum class SweepEnd { Completed, Stopped, VerifyFailed, PortUnavailable, PortFailed };

struct SweepResult {
  SweepEnd end = SweepEnd::Completed;
  std::uint64_t applied = 0;
  std::uint64_t late = 0;
  std::int64_t worstLateNs = 0;
  std::int64_t elapsedNs = 0;
  std::optional<StepRecord> last;  // the last applied step
  PortError portError;             // what failed, when end is PortUnavailable or PortFailed
  std::int16_t portAddress = 0;    // the port the run used, for the alert
};

// Runs the plan on `link` (its device and codes are the sweep's own), holding
// the port for the whole run; every step reaches the pins before its dwell
// starts. A port failure or a verify mismatch stops the run; the result says
// which, and the caller shows it (RunSweepAlert). `stop` ends the run after
// the current step.
SweepResult RunSweep(const SweepPlan& plan, DeviceLink& link, SweepClock& clock, SweepObserver& observer,
                     const std::atomic<bool>& stop);

// "3 of 100 steps started late, by up to 1.250 ms", or empty when none did.
std::string LateStepsText(const SweepResult& result);

// The alert for a run that ended on a port failure or a verify mismatch;
// empty for the other ends.
std::optional<Alert> RunSweepAlert(const SweepResult& result);

// The whole planned length of one pass.
std::int64_t ListLengthNs(const std::vector<SweepStep>& steps);
// The planned length of `repeat` passes (0 for an endless run), held at
// INT64_MAX instead of overflowing.
std::int64_t PlannedRunNs(const std::vector<SweepStep>& steps, std::uint64_t repeat);

// "Error: Verify Failed" alert text for a mismatch.
std::string VerifyFailedText(const StepRecord& record);

// The log CSV: header "t_ms,step,code1,code2" (plus ",read1,read2").
std::string SweepLogHeader(bool verify);
std::string SweepLogRow(const StepRecord& record, bool verify);
// With a calibration table in use the log ends in ",gain1_db,gain2_db":
// each code's calibrated gain at the working frequency (empty for a code
// the table does not hold). Without one (`cal` null) these are the above.
std::string SweepLogHeader(bool verify, const Calibration* cal);
std::string SweepLogRow(const StepRecord& record, bool verify, const Calibration* cal);

// Writes a whole log of `rows` to `path` atomically; false with a reason.
// With `cal`, each row ends in its codes' gains as SweepLogRow gives them.
bool WriteSweepLog(const std::string& path, const std::vector<StepRecord>& rows, bool verify,
                   std::string& error, const Calibration* cal = nullptr);

// A log written to a temporary file beside the target and renamed over it
// when committed, so the target never holds a partial log; a FIFO or device
// named as the log (or a link to one) gets the rows directly, as the port
// trace does (OutputFile).
class SweepLogFile {
 public:
  // Creates the temporary file or opens the stream; false with a reason
  // when the folder will not take it or no process reads the FIFO.
  bool Open(const std::string& path, std::string& error);
  void Append(std::string_view text);
  // Flushes, syncs and renames; false with a reason on any failure.
  bool Commit(std::string& error);

 private:
  void Flush();

  OutputFile file_;  // an uncommitted log is removed with it
  std::string path_, buffer_;
};

}  // namespace tarvel
