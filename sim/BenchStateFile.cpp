#include "sim/BenchStateFile.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "core/platform/Platform.h"

namespace tarvel {

// ---- State files -----------------------------------------------------------

namespace {
constexpr const char* kStateHeader = "tarvel-bench-state 1";
}

std::string FormatBenchState(const BenchState& s) {
  // Plain appends and to_chars: this runs after every device command on the
  // bench, and stream formatting cost more than the command's port writes.
  std::string out;
  out.reserve(160);
  auto number = [&out](auto value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
  };
  out += kStateHeader;
  out += "\ndata ", number(static_cast<int>(s.data));
  out += "\nrx4410 ", number(s.rx4410[0]), out += ' ', number(s.rx4410[1]);
  out += "\ntqm7731 ", number(s.tqm7731[0]), out += ' ', number(s.tqm7731[1]);
  out += "\nrx4410-latches ", number(s.rx4410Latches[0]), out += ' ', number(s.rx4410Latches[1]);
  out += "\ntqm7731-latches ", number(s.tqm7731Latches);
  out += "\nprotocol-errors ", number(s.protocolErrors);
  out += '\n';
  return out;
}

std::optional<BenchState> ParseBenchState(const std::string& text) {
  // Lines and blank-separated words over views of the text, numbers by
  // from_chars: no stream or string is built per line.
  std::string_view rest(text);
  auto nextLine = [&rest](std::string_view& line) {
    if (rest.empty()) return false;
    const std::size_t nl = rest.find('\n');
    line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    return true;
  };
  auto nextWord = [](std::string_view& line) {
    constexpr std::string_view kBlanks = " \t\v\f\r";
    const std::size_t start = line.find_first_not_of(kBlanks);
    if (start == std::string_view::npos) return line = {}, std::string_view();
    const std::size_t end = std::min(line.find_first_of(kBlanks, start), line.size());
    const std::string_view word = line.substr(start, end - start);
    line.remove_prefix(end);
    return word;
  };
  auto readNumber = [&nextWord](std::string_view& line, auto& v) {
    std::string_view word = nextWord(line);
    if (!word.empty() && word.front() == '+') word.remove_prefix(1);
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
    return !word.empty() && ec == std::errc() && end == word.data() + word.size();
  };
  // Counters are unsigned 64-bit; a larger number saturates at the top.
  auto readCount = [&nextWord](std::string_view& line, std::uint64_t& v) {
    std::string_view word = nextWord(line);
    if (!word.empty() && word.front() == '+') word.remove_prefix(1);
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
    if (word.empty() || end != word.data() + word.size()) return false;
    if (ec == std::errc::result_out_of_range) v = std::numeric_limits<std::uint64_t>::max();
    return ec == std::errc() || ec == std::errc::result_out_of_range;
  };
  auto readRange = [&readNumber](std::string_view& line, int& v, int hi) {
    return readNumber(line, v) && v >= 0 && v <= hi;
  };

  std::string_view line;
  if (!nextLine(line) || line != kStateHeader) return std::nullopt;
  BenchState s;
  bool seen[6] = {};
  while (nextLine(line)) {
    const std::string_view key = nextWord(line);
    if (key.empty()) continue;  // a blank line, as an editor may leave one
    bool ok = false;
    int slot = -1;
    if (key == "data") {
      int v = 0;
      ok = readRange(line, v, 255);
      s.data = static_cast<std::uint8_t>(v);
      slot = 0;
    } else if (key == "rx4410") {
      ok = readRange(line, s.rx4410[0], 63) && readRange(line, s.rx4410[1], 63);
      slot = 1;
    } else if (key == "tqm7731") {
      ok = readRange(line, s.tqm7731[0], 31) && readRange(line, s.tqm7731[1], 31);
      slot = 2;
    } else if (key == "rx4410-latches") {
      ok = readCount(line, s.rx4410Latches[0]) && readCount(line, s.rx4410Latches[1]);
      slot = 3;
    } else if (key == "tqm7731-latches") {
      ok = readCount(line, s.tqm7731Latches);
      slot = 4;
    } else if (key == "protocol-errors") {
      ok = readCount(line, s.protocolErrors);
      slot = 5;
    }
    if (!ok || !nextWord(line).empty() || seen[slot]) return std::nullopt;
    seen[slot] = true;
  }
  for (bool b : seen) {
    if (!b) return std::nullopt;
  }
  return s;
}

std::string DefaultBenchStatePath() {
  const std::string folder = platform::StateFolder();
  return folder.empty() ? folder : folder + platform::PathSeparator() + "bench.state";
}

ReadOutcome ReadWholeFile(const std::string& path, std::string& text, std::string& reason) {
  // A FIFO put in the file's place must not stall the run: it is opened
  // without waiting for a writer and refused.
  platform::InputFile file;
  platform::SystemError error;
  if (!file.Open(path, error)) {
    if (error.missing) return ReadOutcome::Missing;
    reason = error.text;
    return ReadOutcome::Failed;
  }
  if (file.kind() != platform::FileKind::Regular) {
    reason = "not a regular file";
    return ReadOutcome::Failed;
  }
  char buffer[4096];
  text.clear();
  for (;;) {
    const long long n = file.Read(buffer, sizeof buffer, error);
    if (n < 0 && error.interrupted) continue;
    if (n < 0) {
      reason = error.text;
      return ReadOutcome::Failed;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > 65536) {
      reason = "file too large";
      return ReadOutcome::Failed;
    }
  }
  return ReadOutcome::Ok;
}

}  // namespace tarvel
