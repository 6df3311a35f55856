#include "instrument/Calibration.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>

#include "core/Numbers.h"
#include "instrument/Sweep.h"

namespace tarvel {

namespace {

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t comma = line.find(',', start);
    fields.push_back(
        Trimmed(line.substr(start, comma == std::string_view::npos ? line.npos : comma - start)));
    if (comma == std::string_view::npos) return fields;
    start = comma + 1;
  }
}

// A measured number: a plain decimal, or one with an exponent as a network
// analyser's export writes it ("-1.203E1").
std::optional<double> MeasuredNumber(std::string_view text) {
  const auto plain = WithoutExponent(text);
  if (!plain) return std::nullopt;
  return TextToNumber(*plain);
}

// A "# key=value" line's key and value; empty for a plain comment.
std::optional<std::pair<std::string, std::string>> MetaLine(std::string_view line) {
  const std::string_view body = Trimmed(line.substr(line.find('#') + 1));
  const std::size_t equals = body.find('=');
  if (equals == std::string_view::npos || equals == 0) return std::nullopt;
  const std::string_view key = Trimmed(body.substr(0, equals));
  for (char c : key) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '-' || c == '.';
    if (!word) return std::nullopt;
  }
  return std::pair{std::string(key), std::string(Trimmed(body.substr(equals + 1)))};
}

class TableParser {
 public:
  explicit TableParser(std::string_view fileName) : fileName_(fileName) {}

  CalParse Parse(std::string_view text) {
    table_.text = std::string(text);
    std::size_t pos = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;  // a spreadsheet's byte-order mark
    while (pos < text.size()) {
      ++lineNo_;
      std::size_t end = text.find_first_of("\r\n", pos);
      if (end == std::string_view::npos) end = text.size();
      const std::string_view line = text.substr(pos, end - pos);
      pos = end + (text.substr(end, 2) == "\r\n" ? 2 : 1);
      if (!Line(Trimmed(line))) return Refused();
    }
    if (lineNo_ == 0) lineNo_ = 1;
    if (!magic_) {
      Fail("not a calibration table: the file is empty");
    } else if (!header_) {
      Fail("no column header line \"" + std::string(kCalibrationColumns) + "\"");
    } else if (table_.rows.empty()) {
      Fail("no row has a gain_db");
    } else {
      return {std::move(table_), {}};
    }
    return Refused();
  }

 private:
  // False once the line is refused, with the reason in error_.
  bool Line(std::string_view line) {
    if (!magic_) {
      if (line == kCalibrationMagic) return magic_ = true;
      if (line.starts_with("# tarvel-cal ")) {
        return Fail("calibration table version \"" + std::string(line.substr(13)) +
                    "\" is not one this program reads (1)");
      }
      return Fail("not a calibration table: the first line is not \"" + std::string(kCalibrationMagic) +
                  "\"");
    }
    if (line.empty()) return true;
    if (line.front() == '#') return header_ || Meta(line);
    if (!header_) return Header(line);
    return Row(line);
  }

  bool Meta(std::string_view line) {
    auto meta = MetaLine(line);
    if (!meta) return true;  // a plain comment
    if (meta->first == "device") {
      if (!table_.device.empty()) return Fail("a second \"# device=\" line");
      if (FindChip(meta->second) == nullptr) {
        return Fail("unknown device \"" + meta->second + "\" (" + ChipTokenList("or") + ")");
      }
      table_.device = meta->second;
      chip_ = FindChip(meta->second);
    }
    table_.meta.push_back(std::move(*meta));
    return true;
  }

  bool Header(std::string_view line) {
    std::string joined;
    for (std::string_view field : SplitFields(line)) {
      if (!joined.empty()) joined += ',';
      joined += field;
    }
    if (joined != kCalibrationColumns) {
      return Fail("expected the column header \"" + std::string(kCalibrationColumns) + "\"");
    }
    if (chip_ == nullptr) return Fail("no \"# device=\" line before the column header");
    return header_ = true;
  }

  bool Row(std::string_view line) {
    const auto fields = SplitFields(line);
    if (fields.size() != 4) {
      return Fail("expected channel,code,freq_hz,gain_db but found " + std::to_string(fields.size()) +
                  (fields.size() == 1 ? " field" : " fields"));
    }
    CalRow row;
    row.line = lineNo_;
    const auto channel = TextToWholeNumber(fields[0]);
    if (!channel || (*channel != 1 && *channel != 2)) {
      return Fail("channel \"" + std::string(fields[0]) + "\" is not 1 or 2");
    }
    row.channel = static_cast<int>(*channel) - 1;
    const auto code = TextToWholeNumber(fields[1]);
    if (!code) return Fail("code \"" + std::string(fields[1]) + "\" is not a whole number");
    if (*code < 0 || *code > chip_->highest()) {
      return Fail("code " + std::string(fields[1]) + " is not one the " + table_.device + " takes (0.." +
                  std::to_string(chip_->highest()) + ")");
    }
    row.code = static_cast<int>(*code);
    if (!fields[2].empty()) {
      const auto hz = MeasuredNumber(fields[2]);
      if (!hz || !std::isfinite(*hz) || *hz < 0) {
        return Fail("freq_hz \"" + std::string(fields[2]) + "\" is not a finite frequency of 0 Hz or more");
      }
      row.freqHz = *hz;
    }
    if (fields[3].empty()) return true;  // a template row not filled in
    const auto gain = MeasuredNumber(fields[3]);
    if (!gain || !std::isfinite(*gain)) {
      return Fail("gain_db \"" + std::string(fields[3]) + "\" is not a finite number");
    }
    row.gainDb = *gain;
    return Keep(row);
  }

  // A second row for the same channel, code and frequency is refused at the
  // later row, as is a mix of a row for every frequency with rows per frequency.
  bool Keep(const CalRow& row) {
    const std::string where =
        "channel " + std::to_string(row.channel + 1) + " code " + std::to_string(row.code);
    for (const CalRow& kept : table_.rows) {
      if (kept.channel != row.channel || kept.code != row.code) continue;
      if (kept.freqHz == row.freqHz) {
        return Fail(
            "duplicate row: " + where +
            (row.freqHz ? " at " + FrequencyText(*row.freqHz) + " Hz" : std::string(" without a frequency")) +
            " is on line " + std::to_string(kept.line) + " already");
      }
      if (kept.freqHz.has_value() != row.freqHz.has_value()) {
        return Fail(where + " has a row " +
                    (kept.freqHz ? std::string("per frequency") : std::string("for every frequency")) +
                    " on line " + std::to_string(kept.line) + "; a code has one or the other");
      }
    }
    table_.rows.push_back(row);
    return true;
  }

  bool Fail(const std::string& why) {
    error_ = std::string(fileName_) + ":" + std::to_string(lineNo_) + ": " + why;
    return false;
  }
  CalParse Refused() const { return {std::nullopt, error_}; }

  std::string_view fileName_;
  CalTable table_;
  const Chip* chip_ = nullptr;
  int lineNo_ = 0;
  bool magic_ = false, header_ = false;
  std::string error_;
};

}  // namespace

CalParse ParseCalibration(std::string_view text, std::string_view fileName) {
  return TableParser(fileName).Parse(text);
}

CalParse LoadCalibrationFile(const std::string& path) {
  std::string text, error;
  if (!ReadInputText(path, "a calibration table", kMaxCalibrationBytes, text, error))
    return {std::nullopt, error};
  return ParseCalibration(text, path);
}

std::string CalibrationTemplate(const Chip& chip) {
  std::string text(kCalibrationMagic);
  text += "\n# device=" + std::string(chip.token) + "\n";
  text +=
      "# board=\n# date=\n# instrument=\n# operator=\n"
      "# Fill in gain_db (the measured gain in dB) for the codes you measured; rows left\n"
      "# empty are skipped. An empty freq_hz holds at every frequency; give rows per\n"
      "# frequency (in Hz) for a gain that changes with frequency.\n";
  text += kCalibrationColumns;
  text += '\n';
  for (int channel = 1; channel <= 2; ++channel) {
    for (int code = 0; code <= chip.highest(); ++code) {
      text += std::to_string(channel) + "," + std::to_string(code) + ",,\n";
    }
  }
  return text;
}

// ---- The lookup ----------------------------------------------------------------------

Calibration::Calibration(CalTable table) : table_(std::move(table)) {
  frequency_ = LowestFrequency().value_or(0.0);
  Update();
}

bool Calibration::SetFrequency(double hz) {
  if (!std::isfinite(hz) || hz < 0) return false;
  frequency_ = hz;
  Update();
  return true;
}

void Calibration::Update() {
  // Each code's rows, then its gain at the working frequency: linear between
  // its nearest rows at or below and at or above it, clamped beyond them.
  std::map<std::pair<int, int>, std::vector<const CalRow*>> byCode;
  for (const CalRow& row : table_.rows) {
    if (row.channel == 0 || row.channel == 1) byCode[{row.channel, row.code}].push_back(&row);
  }
  for (auto& gains : gains_) gains.clear();
  for (const auto& [key, rows] : byCode) {
    const CalRow* below = nullptr;
    const CalRow* above = nullptr;
    const CalRow* everywhere = nullptr;
    for (const CalRow* row : rows) {
      if (!row->freqHz) everywhere = row;
      if (!row->freqHz) continue;
      if (*row->freqHz <= frequency_ && (below == nullptr || *row->freqHz > *below->freqHz)) below = row;
      if (*row->freqHz >= frequency_ && (above == nullptr || *row->freqHz < *above->freqHz)) above = row;
    }
    double gain = 0;
    if (everywhere != nullptr) {
      gain = everywhere->gainDb;
    } else if (below == nullptr || above == nullptr || *above->freqHz == *below->freqHz) {
      gain = (below != nullptr ? below : above)->gainDb;
    } else {
      const double t = (frequency_ - *below->freqHz) / (*above->freqHz - *below->freqHz);
      gain = below->gainDb + t * (above->gainDb - below->gainDb);
    }
    gains_[static_cast<std::size_t>(key.first)].push_back({key.second, gain});
  }
}

const std::vector<Calibration::Choice>* Calibration::GainsOf(int channel) const {
  if (channel != 0 && channel != 1) return nullptr;
  return &gains_[static_cast<std::size_t>(channel)];
}

std::optional<double> Calibration::LowestFrequency() const {
  std::optional<double> lowest;
  for (const CalRow& row : table_.rows) {
    if (row.freqHz && (!lowest || *row.freqHz < *lowest)) lowest = row.freqHz;
  }
  return lowest;
}

std::optional<double> Calibration::HighestFrequency() const {
  std::optional<double> highest;
  for (const CalRow& row : table_.rows) {
    if (row.freqHz && (!highest || *row.freqHz > *highest)) highest = row.freqHz;
  }
  return highest;
}

std::vector<int> Calibration::Codes(int channel) const {
  std::vector<int> codes;
  if (const auto* gains = GainsOf(channel)) {
    for (const Choice& g : *gains) codes.push_back(g.code);
  }
  return codes;
}

std::optional<double> Calibration::GainOf(int channel, int code) const {
  const auto* gains = GainsOf(channel);
  if (gains == nullptr) return std::nullopt;
  const auto it =
      std::lower_bound(gains->begin(), gains->end(), code, [](const Choice& g, int c) { return g.code < c; });
  if (it == gains->end() || it->code != code) return std::nullopt;
  return it->gainDb;
}

std::optional<Calibration::Extremes> Calibration::Range(int channel) const {
  const auto* gains = GainsOf(channel);
  if (gains == nullptr || gains->empty()) return std::nullopt;
  const auto [lowest, highest] = std::minmax_element(
      gains->begin(), gains->end(), [](const Choice& a, const Choice& b) { return a.gainDb < b.gainDb; });
  return Extremes{lowest->gainDb, highest->gainDb};
}

std::optional<Calibration::Choice> Calibration::Nearest(int channel, double db, std::string& error) const {
  const auto range = Range(channel);
  if (!range) {
    error = "the calibration table has no rows for channel " + std::to_string(channel + 1);
    return std::nullopt;
  }
  if (!std::isfinite(db)) {
    error = "Data out of range: the gain is not a finite number";
    return std::nullopt;
  }
  if (db > range->highest + kGainMarginDb || db < range->lowest - kGainMarginDb) {
    error = "Data out of range: " + GainText(db) + " dB is beyond channel " + std::to_string(channel + 1) +
            "'s " + GainText(range->lowest) + " to " + GainText(range->highest) + " dB";
    return std::nullopt;
  }
  // The nearest distance first; of the codes within a tie of it, the lowest
  // gain, and of equal gains the lowest code (they come in ascending order).
  const std::vector<Choice>& choices = *GainsOf(channel);
  double nearest = std::numeric_limits<double>::infinity();
  for (const Choice& choice : choices) nearest = std::min(nearest, std::fabs(choice.gainDb - db));
  std::optional<Choice> best;
  for (const Choice& choice : choices) {
    if (std::fabs(choice.gainDb - db) > nearest + kGainTieDb) continue;
    if (!best || choice.gainDb < best->gainDb) best = choice;
  }
  return best;
}

std::string GainText(double db) {
  if (db == 0) db = 0;  // no "-0.000"
  char text[64];
  for (int decimals = 3;; ++decimals) {
    std::snprintf(text, sizeof text, "%.*f", decimals, db);
    if (decimals == 9 || std::fabs(std::strtod(text, nullptr) - db) < 5e-10) break;
  }
  std::string result(text);
  if (result.starts_with("-") && result.find_first_not_of("-0.") == std::string::npos) result.erase(0, 1);
  return result;
}

std::string FrequencyText(double hz) {
  char text[64];
  if (std::fabs(hz) < 1e15 && hz == std::floor(hz)) {
    std::snprintf(text, sizeof text, "%.0f", hz);
    return text;
  }
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, hz);
    if (std::strtod(text, nullptr) == hz) break;
  }
  return text;
}

std::optional<double> FrequencyFromText(std::string_view text) {
  const auto hz = MeasuredNumber(Trimmed(text));
  if (!hz || !std::isfinite(*hz) || *hz < 0) return std::nullopt;
  return hz;
}

std::optional<double> GainFromText(std::string_view text) {
  text = Trimmed(text);
  // A unit suffix, in any case as SCPI's are.
  if (text.size() >= 2 && (text[text.size() - 2] | 0x20) == 'd' && (text.back() | 0x20) == 'b') {
    text = Trimmed(text.substr(0, text.size() - 2));
  }
  if (text.empty()) return std::nullopt;
  const auto db = TextToNumber(text);
  if (!db || !std::isfinite(*db)) return std::nullopt;
  return db;
}

}  // namespace tarvel
