// Gain in dB: a board's calibration table and the one rule that turns a gain
// in dB into a code, shared by the command line, sweeps, the SCPI instrument
// and the windows. Off unless a table is given: without one every path speaks
// codes only.
//
// The table is a CSV file a user writes from a measurement, or fills in from
// the template `tarvel --cal-template DEVICE` prints:
//
//   # tarvel-cal 1
//   # device=RX4410
//   # board=SN0042                   any "# key=value" lines, kept in order
//   channel,code,freq_hz,gain_db
//   1,0,1000000000,-12.03             freq_hz empty: holds at every frequency
//
// Plain C++, no Qt.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "chips/Chips.h"

namespace tarvel {

struct CalRow {
  int channel = 0;  // 0 or 1 (the file says 1 or 2)
  int code = 0;
  std::optional<double> freqHz;  // empty: holds at every frequency
  double gainDb = 0;
  int line = 0;  // the file's line, for messages
};

struct CalTable {
  std::string device;                                     // a chip's device token ("RX4410")
  std::vector<std::pair<std::string, std::string>> meta;  // "# key=value" lines, in order
  std::vector<CalRow> rows;
  std::string text;  // the file as read (CALibration:DATA? answers it)
};

struct CalParse {
  std::optional<CalTable> table;
  std::string error;  // "FILE:LINE: why" when refused (empty when good)
};

// The first line of every table, and the column header line.
constexpr std::string_view kCalibrationMagic = "# tarvel-cal 1";
constexpr std::string_view kCalibrationColumns = "channel,code,freq_hz,gain_db";

// A whole table, refused as a whole at its first bad line. A row whose
// gain_db is empty (a template row not filled in) is skipped.
CalParse ParseCalibration(std::string_view text, std::string_view fileName);
// Reads at most kMaxCalibrationBytes of a regular file; a folder, FIFO or
// device is refused without waiting on it.
constexpr std::size_t kMaxCalibrationBytes = 16 << 20;
CalParse LoadCalibrationFile(const std::string& path);

// What `tarvel --cal-template DEVICE` prints: the header lines and a row per
// channel and code with an empty gain_db for the user to fill in.
std::string CalibrationTemplate(const Chip& chip);

// A table and its working frequency: the one lookup rule everywhere.
class Calibration {
 public:
  explicit Calibration(CalTable table);  // frequency starts at the lowest in the table (0 if none)
  const CalTable& Table() const { return table_; }
  double Frequency() const { return frequency_; }
  bool SetFrequency(double hz);  // false (and unchanged) unless finite and >= 0
  std::optional<double> LowestFrequency() const;
  std::optional<double> HighestFrequency() const;
  std::vector<int> Codes(int channel) const;  // the tabulated codes of a channel, ascending
  // The code's gain at the working frequency: linear between the code's own
  // rows on either side, clamped beyond its first and last; a row without a
  // frequency holds everywhere.
  std::optional<double> GainOf(int channel, int code) const;  // empty: code not tabulated
  struct Extremes {
    double lowest = 0, highest = 0;
  };
  std::optional<Extremes> Range(int channel) const;  // empty: channel has no rows
  struct Choice {
    int code = 0;
    double gainDb = 0;
  };
  // The tabulated code whose gain is nearest `db` (ties within 1e-9 dB: the
  // lower gain, then the lower code). More than 0.5 dB beyond the channel's
  // range: empty, and `error` says so ("Data out of range": the words SCPI's
  // -222 uses, plus the range in dB).
  std::optional<Choice> Nearest(int channel, double db, std::string& error) const;

 private:
  void Update();  // the gains at the working frequency, after a change of it
  const std::vector<Choice>* GainsOf(int channel) const;

  CalTable table_;
  double frequency_ = 0;
  std::array<std::vector<Choice>, 2> gains_;  // per channel: each tabulated code, ascending, and its gain
};

// Gains nearer than this are the same distance from a value: a tie.
constexpr double kGainTieDb = 1e-9;
// How far beyond a channel's lowest and highest gain a value may ask.
constexpr double kGainMarginDb = 0.5;

// A gain as text: at least three decimals ("-12.030"), more when the value
// needs them (an interpolated gain), at most nine.
std::string GainText(double db);

// A gain the user typed: a plain decimal (TextToNumber's rules) with an
// optional unit "dB" after it (in any case, as SCPI takes units) ("-12.5", "-12.5dB", "3 DB"). Empty when
// it is not one.
std::optional<double> GainFromText(std::string_view text);

// A frequency as text: the shortest decimal that reads back as the value
// ("1000000000", "2.5").
std::string FrequencyText(double hz);

// A frequency the user typed, in Hz: a plain decimal or one with an
// exponent ("1e9", "2.4E9"). Empty unless finite and 0 or more.
std::optional<double> FrequencyFromText(std::string_view text);

}  // namespace tarvel
