#include "sim/BenchStateFile.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "core/platform/Platform.h"

namespace tarvel {

// ---- State files -----------------------------------------------------------

namespace {
constexpr const char* kStateHeader = "tarvel-bench-state 1";
}

std::string FormatBenchState(const BenchState& state) {
  // Plain appends and to_chars: this runs after every device command on the
  // bench, and stream formatting cost more than the command's port writes.
  std::string out;
  out.reserve(160);
  auto number = [&out](auto value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
  };
  // Each chip's codes under its key, then each chip's latch counters (one
  // per frame) under its key with "-latches".
  BenchState s = state;
  const auto& chips = Chips();
  out += kStateHeader;
  out += "\ndata ", number(static_cast<int>(s.data));
  for (std::size_t c = 0; c < chips.size(); ++c) {
    const auto& codes = RegistersOf(s, c).codes;
    out += '\n', out += chips[c]->stateKey, out += ' ', number(codes[0]), out += ' ', number(codes[1]);
  }
  for (std::size_t c = 0; c < chips.size(); ++c) {
    out += '\n', out += chips[c]->stateKey, out += "-latches";
    for (const std::uint64_t n : RegistersOf(s, c).latches) out += ' ', number(n);
  }
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
  const auto& chips = Chips();
  // Slots: data, each chip's codes, each chip's latches, protocol-errors.
  std::vector<bool> seen(2 * chips.size() + 2);
  while (nextLine(line)) {
    const std::string_view key = nextWord(line);
    if (key.empty()) continue;  // a blank line, as an editor may leave one
    bool ok = false;
    std::size_t slot = seen.size();
    if (key == "data") {
      int v = 0;
      ok = readRange(line, v, 255);
      s.data = static_cast<std::uint8_t>(v);
      slot = 0;
    } else if (key == "protocol-errors") {
      ok = readCount(line, s.protocolErrors);
      slot = seen.size() - 1;
    } else {
      for (std::size_t c = 0; c < chips.size() && slot == seen.size(); ++c) {
        const std::string_view name = chips[c]->stateKey;
        const RegisterView r = RegistersOf(s, c);
        if (key == name) {
          ok = readRange(line, r.codes[0], chips[c]->mask()) && readRange(line, r.codes[1], chips[c]->mask());
          slot = 1 + c;
        } else if (key.size() == name.size() + 8 && key.starts_with(name) && key.ends_with("-latches")) {
          ok = true;
          for (std::uint64_t& n : r.latches) ok = ok && readCount(line, n);
          slot = 1 + chips.size() + c;
        }
      }
      if (slot == seen.size()) return std::nullopt;
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
