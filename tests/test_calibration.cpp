// Calibration tables: refused line by line, and the dB lookup checked
// against a brute-force reference computed another way.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "TestSupport.h"
#include "instrument/Calibration.h"
#include "instrument/Sweep.h"

namespace tarvel {
namespace {

constexpr const char* kHead = "# tarvel-cal 1\n# device=RX4410\nchannel,code,freq_hz,gain_db\n";  // lines 1-3

TEST(Calibration, BadTablesAreRefusedAtTheirLine) {
  const struct {
    const char* name;
    std::string text;
    const char* error;  // the start of the message
  } cases[] = {
      {"no magic line", "channel,code,freq_hz,gain_db\n1,0,,-1\n", "t.csv:1: not a calibration table"},
      {"other version", "# tarvel-cal 2\n# device=RX4410\n", "t.csv:1: calibration table version \"2\""},
      {"empty file", "", "t.csv:1: not a calibration table"},
      {"unknown device", "# tarvel-cal 1\n# board=A\n# device=RX9999\n",
       "t.csv:3: unknown device \"RX9999\""},
      {"read-back token is no device", "# tarvel-cal 1\n# device=RX4410R\n", "t.csv:2: unknown device"},
      {"no device line", "# tarvel-cal 1\n\nchannel,code,freq_hz,gain_db\n",
       "t.csv:3: no \"# device=\" line"},
      {"no header line", "# tarvel-cal 1\n# device=RX4410\n", "t.csv:2: no column header line"},
      {"row before header", "# tarvel-cal 1\n# device=RX4410\n1,0,,-1\n",
       "t.csv:3: expected the column header"},
      {"channel 0", std::string(kHead) + "0,1,,-1\n", "t.csv:4: channel \"0\" is not 1 or 2"},
      {"channel 3", std::string(kHead) + "1,1,,-1\n3,1,,-1\n", "t.csv:5: channel \"3\" is not 1 or 2"},
      {"code past the chip", std::string(kHead) + "1,64,,-1\n",
       "t.csv:4: code 64 is not one the RX4410 takes"},
      {"negative code", std::string(kHead) + "2,-1,,-1\n", "t.csv:4: code -1 is not one the RX4410 takes"},
      {"TQM7731 code past 31", "# tarvel-cal 1\n# device=TQM7731\nchannel,code,freq_hz,gain_db\n1,32,,-1\n",
       "t.csv:4: code 32 is not one the TQM7731 takes (0..31)"},
      {"fraction code", std::string(kHead) + "1,1.5,,-1\n", "t.csv:4: code \"1.5\" is not a whole number"},
      {"infinite gain", std::string(kHead) + "1,1,," + std::string(400, '9') + "\n", "t.csv:4: gain_db"},
      {"nan gain", std::string(kHead) + "1,1,,nan\n", "t.csv:4: gain_db \"nan\" is not a finite number"},
      {"infinite frequency", std::string(kHead) + "1,1," + std::string(400, '9') + ",-1\n",
       "t.csv:4: freq_hz"},
      {"negative frequency", std::string(kHead) + "1,1,-5,-1\n", "t.csv:4: freq_hz \"-5\""},
      {"three fields", std::string(kHead) + "1,1,-1\n", "t.csv:4: expected channel,code,freq_hz,gain_db"},
      {"duplicate row", std::string(kHead) + "1,1,1e6,-1\n2,1,1e6,-1\n1,1,1000000,-2\n",
       "t.csv:6: duplicate row: channel 1 code 1 at 1000000 Hz is on line 4"},
      {"duplicate frequency-less row", std::string(kHead) + "2,5,,-1\n\n2,5,,-1\n",
       "t.csv:6: duplicate row: channel 2 code 5 without a frequency is on line 4"},
      {"every frequency and per frequency", std::string(kHead) + "1,5,,-1\n1,5,10,-1\n",
       "t.csv:5: channel 1 code 5 has a row for every frequency on line 4"},
      {"no gain at all", std::string(kHead) + "1,0,,\n1,1,,\n", "t.csv:5: no row has a gain_db"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const CalParse parsed = ParseCalibration(c.text, "t.csv");
    EXPECT_FALSE(parsed.table);
    EXPECT_TRUE(parsed.error.starts_with(c.error)) << parsed.error;
  }
}

TEST(Calibration, AGoodTableKeepsItsMetaRowsAndText) {
  const std::string text =
      "\xEF\xBB\xBF# tarvel-cal 1\r\n# board = SN0042\r\n# a plain comment\r\n# device=TQM7731\r\n"
      " channel , code ,freq_hz,gain_db\r\n1,0,,\r\n# after the header\r\n2, 31 ,2.5E9,-1.25E1\r\n1,3,,0.5";
  const CalParse parsed = ParseCalibration(text, "t.csv");
  ASSERT_TRUE(parsed.table) << parsed.error;
  const CalTable& t = *parsed.table;
  EXPECT_EQ(t.device, "TQM7731");
  EXPECT_EQ(t.meta,
            (std::vector<std::pair<std::string, std::string>>{{"board", "SN0042"}, {"device", "TQM7731"}}));
  ASSERT_EQ(t.rows.size(), 2u);  // the empty template row is skipped
  EXPECT_EQ(t.rows[0].channel, 1);
  EXPECT_EQ(t.rows[0].code, 31);
  EXPECT_EQ(t.rows[0].freqHz, 2.5e9);
  EXPECT_EQ(t.rows[0].gainDb, -12.5);
  EXPECT_EQ(t.rows[0].line, 8);
  EXPECT_FALSE(t.rows[1].freqHz);
  EXPECT_EQ(t.text, text);
}

TEST(Calibration, EveryChipsTemplateFilledInIsATable) {
  for (const Chip* chip : Chips()) {
    SCOPED_TRACE(std::string(chip->token));
    std::string text = CalibrationTemplate(*chip);
    EXPECT_EQ(ParseCalibration(text, "t").error,
              "t:" + std::to_string(std::count(text.begin(), text.end(), '\n')) + ": no row has a gain_db");
    for (std::size_t at = 0; (at = text.find(",,\n", at)) != std::string::npos; at += 5)
      text.insert(at + 2, "-1");
    const CalParse parsed = ParseCalibration(text, "t");
    ASSERT_TRUE(parsed.table) << parsed.error;
    EXPECT_EQ(Calibration(*parsed.table).Codes(1).size(), static_cast<std::size_t>(chip->highest() + 1));
  }
}

TEST(Calibration, LoadingRefusesWhatIsNotARegularFileWithoutWaiting) {
  namespace fs = std::filesystem;
  const fs::path dir = testing::FreshTempDir("calibration");
  std::ofstream(dir / "good.csv") << kHead << "1,0,,-1\n";
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);  // no writer
  const struct {
    const char* name;
    const char* error;  // after the path
  } cases[] = {
      {"good.csv", ""},
      {"", ": is a folder, not a calibration table"},
      {"fifo", ": is a FIFO, not a calibration table"},
      {"absent", ": cannot read: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = (dir / c.name).string();
    const CalParse parsed = LoadCalibrationFile(path);
    EXPECT_EQ(parsed.table.has_value(), *c.error == 0);
    EXPECT_TRUE(*c.error == 0 ? parsed.error.empty() : parsed.error.starts_with(path + c.error))
        << parsed.error;
  }
  fs::remove_all(dir);
}

// The table the README's worked example shows.
constexpr const char* kExample =
    "# tarvel-cal 1\n# device=RX4410\n# board=SN0042\nchannel,code,freq_hz,gain_db\n"
    "1,0,1000000000,-12.03\n1,0,2000000000,-12.63\n1,8,1000000000,-8.01\n1,8,2000000000,-8.41\n"
    "1,16,,-4.00\n1,24,1000000000,-0.02\n2,0,,-12.00\n";

TEST(Calibration, TheWorkedExamplePicksTheCodesTheReadmeShows) {
  const CalParse parsed = ParseCalibration(kExample, "board.csv");
  ASSERT_TRUE(parsed.table) << parsed.error;
  const struct {
    double hz;
    int channel;
    double db;
    int code;  // -1: out of range
    const char* gain;
  } cases[] = {
      {1e9, 0, -6.1, 8, "-8.010"},     // 1.91 from -8.01, 2.10 from -4.00
      {1e9, 0, -6.005, 8, "-8.010"},   // a tie: the lower gain
      {1e9, 0, 0.47, 24, "-0.020"},    // up to 0.5 dB above the highest still counts
      {1e9, 0, 0.49, -1, ""},          // beyond it
      {1e9, 0, -12.52, 0, "-12.030"},  // up to 0.5 dB below the lowest
      {1e9, 0, -12.54, -1, ""},       {1.5e9, 0, -12.6, 0, "-12.330"},  // halfway between code 0's rows
      {1.5e9, 0, -8.3, 8, "-8.210"},                                    // code 8 at 1.5 GHz
      {3e9, 0, -13.1, 0, "-12.630"},                                    // clamped beyond the last row
      {3e9, 0, -0.1, 24, "-0.020"},   // code 24 has one row: it holds everywhere
      {1e9, 1, -11.6, 0, "-12.000"},  // channel 2's one code
      {1e9, 1, -11.4, -1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.hz) + " Hz, " + std::to_string(c.db) + " dB");
    Calibration cal(*parsed.table);
    EXPECT_EQ(cal.Frequency(), 1e9);  // the lowest in the table
    ASSERT_TRUE(cal.SetFrequency(c.hz));
    std::string error;
    const auto choice = cal.Nearest(c.channel, c.db, error);
    if (c.code < 0) {
      EXPECT_FALSE(choice);
      EXPECT_TRUE(error.starts_with("Data out of range")) << error;
      continue;
    }
    ASSERT_TRUE(choice) << error;
    EXPECT_EQ(choice->code, c.code);
    EXPECT_EQ(GainText(choice->gainDb), c.gain);
  }
}

// ---- The reference: the rule computed another way -----------------------------

struct RefPoint {
  double hz;  // NAN: every frequency
  double db;
};
using RefTable = std::map<std::pair<int, int>, std::vector<RefPoint>>;  // (channel, code) -> points

double RefGain(std::vector<RefPoint> points, double hz) {
  if (std::isnan(points.front().hz)) return points.front().db;
  std::sort(points.begin(), points.end(), [](const RefPoint& a, const RefPoint& b) { return a.hz < b.hz; });
  if (hz <= points.front().hz) return points.front().db;
  if (hz >= points.back().hz) return points.back().db;
  std::size_t i = 1;
  while (points[i].hz < hz) ++i;
  const RefPoint& a = points[i - 1];
  const RefPoint& b = points[i];
  return (a.db * (b.hz - hz) + b.db * (hz - a.hz)) / (b.hz - a.hz);
}

// Every candidate sorted by gain, then code: the first one no other candidate
// is nearer than by more than 1e-9 dB.
std::optional<std::pair<int, double>> RefPick(const RefTable& table, int channel, double hz, double db) {
  std::vector<std::pair<double, int>> byGain;
  for (const auto& [key, points] : table) {
    if (key.first == channel) byGain.emplace_back(RefGain(points, hz), key.second);
  }
  std::sort(byGain.begin(), byGain.end());
  if (db < byGain.front().first - 0.5 || db > byGain.back().first + 0.5) return std::nullopt;
  for (const auto& [gain, code] : byGain) {
    const bool beaten = std::any_of(byGain.begin(), byGain.end(), [&, g = gain](const auto& other) {
      return std::fabs(other.first - db) < std::fabs(g - db) - 1e-9;
    });
    if (!beaten) return std::pair{code, gain};
  }
  return std::nullopt;
}

TEST(Calibration, TheLookupAgreesWithAnIndependentReference) {
  std::mt19937 random(31);
  const double grid[] = {1e6, 2e6, 5e6, 1e7};
  const double working[] = {0, 1e6, 1.5e6, 2e6, 3.3e6, 1e7, 4e7};
  int compared = 0, refused = 0;
  for (int round = 0; round < 60; ++round) {
    RefTable reference;
    std::string text = kHead;
    for (int channel = 1; channel <= 2; ++channel) {
      for (int code = 0; code <= 63; ++code) {
        if (random() % 4 != 0) continue;
        const auto gain = [&] { return -0.25 * static_cast<double>(random() % 40); };  // equal gains happen
        auto& points = reference[{channel - 1, code}];
        if (random() % 3 == 0) {
          points.push_back({NAN, gain()});
          text +=
              std::to_string(channel) + "," + std::to_string(code) + ",," + GainText(points.back().db) + "\n";
          continue;
        }
        for (double hz : grid) {
          if (random() % 2 != 0 && !(hz == grid[3] && points.empty())) continue;
          points.push_back({hz, gain()});
          text += std::to_string(channel) + "," + std::to_string(code) + "," + GainText(hz) + "," +
                  GainText(points.back().db) + "\n";
        }
      }
    }
    const CalParse parsed = ParseCalibration(text, "gen");
    ASSERT_TRUE(parsed.table) << parsed.error;
    Calibration cal(*parsed.table);
    for (double hz : working) {
      ASSERT_TRUE(cal.SetFrequency(hz));
      for (int channel = 0; channel < 2; ++channel) {
        if (!cal.Range(channel)) continue;
        for (double db = -12.0; db <= 1.5; db += 0.125) {
          const auto expected = RefPick(reference, channel, hz, db);
          std::string error;
          const auto got = cal.Nearest(channel, db, error);
          ASSERT_EQ(got.has_value(), expected.has_value()) << hz << " Hz " << db << " dB\n" << text;
          if (!got) {
            ++refused;
            continue;
          }
          ++compared;
          ASSERT_EQ(got->code, expected->first) << hz << " Hz " << db << " dB\n" << text;
          ASSERT_NEAR(got->gainDb, expected->second, 1e-9);
        }
      }
    }
  }
  EXPECT_GT(compared, 1000);
  EXPECT_GT(refused, 100);
}

TEST(Calibration, FrequencyAndGainTextRules) {
  Calibration cal(*ParseCalibration(kExample, "t").table);
  for (double bad : {-1.0, std::nan(""), HUGE_VAL}) EXPECT_FALSE(cal.SetFrequency(bad));
  EXPECT_EQ(cal.Frequency(), 1e9);
  EXPECT_EQ(cal.HighestFrequency(), 2e9);
  EXPECT_FALSE(cal.GainOf(0, 1));  // not tabulated
  EXPECT_EQ(cal.Codes(0), (std::vector<int>{0, 8, 16, 24}));

  const struct {
    double db;
    const char* text;
  } texts[] = {{-12.03, "-12.030"},  {-0.0, "0.000"},          {-1e-12, "0.000"},
               {1.23456, "1.23456"}, {1.0 / 3, "0.333333333"}, {-0.0004, "-0.0004"}};
  for (const auto& t : texts) EXPECT_EQ(GainText(t.db), t.text) << t.db;

  const struct {
    const char* text;
    std::optional<double> db;
  } inputs[] = {{"-12.5", -12.5},     {"-12.5dB", -12.5},    {" 3 DB ", 3.0},          {"3db", 3.0},
                {"dB", std::nullopt}, {"1e3", std::nullopt}, {"-3 dBm", std::nullopt}, {"", std::nullopt}};
  for (const auto& i : inputs) EXPECT_EQ(GainFromText(i.text), i.db) << i.text;
}

TEST(Calibration, AGainRampStepsOnItsGridAndKeepsRepeatedCodes) {
  const Calibration cal(*ParseCalibration(kExample, "t").table);
  const struct {
    GainRampSpec spec;
    std::vector<int> codes1;  // empty: refused
    const char* error;
  } cases[] = {
      {{-12, -11.7, 0.1, 1, SweepChannel::Both, 0, {}, kMaxGainSteps},
       {0, 0, 0, 0},
       ""},  // -11.7 is on the grid
      {{-4, -8, 2.5, 1, SweepChannel::First, -12, {}, kMaxGainSteps},
       {16, 8},
       ""},  // -8 is not on it: two steps
      {{-12, -12, 1, 1, SweepChannel::First, -12, {}, kMaxGainSteps}, {0}, ""},
      {{-4, -8, 1e-9, 1, SweepChannel::Both, 0, {}, kMaxGainSteps},
       {},
       "the ramp has more than 1000000 steps"},
      {{-12, -13, 1, 1, SweepChannel::Both, 0, {}, kMaxGainSteps}, {}, "Data out of range: -13.000 dB"},
      {{-12, -11, 1, 1, SweepChannel::First, 3, {}, kMaxGainSteps},
       {},
       "Data out of range: 3.000 dB is beyond channel 2's"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    std::string error;
    const auto steps = BuildGainRamp(c.spec, cal, error);
    ASSERT_EQ(steps.has_value(), !c.codes1.empty()) << error;
    if (!steps) {
      EXPECT_TRUE(error.starts_with(c.error)) << error;
      continue;
    }
    std::vector<int> codes1;
    for (const SweepStep& s : *steps) codes1.push_back(s.code1);
    EXPECT_EQ(codes1, c.codes1);
  }
}

}  // namespace
}  // namespace tarvel
