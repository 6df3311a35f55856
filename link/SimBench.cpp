#include "SimBench.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>

namespace tarvel {

namespace {

struct RxLines {
  std::uint8_t select, clock, data, output;
};
constexpr RxLines kRx[2] = {
    {0x01, 0x04, 0x02, 0x20},  // first channel: D0, D2, D1 -> status bit 5
    {0x80, 0x20, 0x40, 0x10},  // second channel: D7, D5, D6 -> status bit 4
};
constexpr std::uint8_t kTqmEnable = 0x04;
constexpr std::uint8_t kTqmClock = 0x02;
constexpr std::uint8_t kTqmData = 0x01;

bool Rose(std::uint8_t before, std::uint8_t after, std::uint8_t line) {
  return !(before & line) && (after & line);
}
bool Fell(std::uint8_t before, std::uint8_t after, std::uint8_t line) {
  return (before & line) && !(after & line);
}

}  // namespace

void SimBench::WriteData(std::uint8_t byte) {
  const std::uint8_t before = state_.data;
  state_.data = byte;

  for (int c = 0; c < 2; ++c) {
    const RxLines& l = kRx[c];
    Frame& f = rx_[c];
    // The select edge counts first; a clock edge in the same write is then
    // judged against the new select level.
    if (Fell(before, byte, l.select)) {
      f.Start();
      rxOut_[c] = false;
    } else if (Rose(before, byte, l.select)) {
      if (f.active && f.bits > 0 && (f.word & 1u)) {
        if (f.bits == 8 && !(f.word & 2u)) {
          state_.rx4410[c] = static_cast<int>((f.word >> 2) & 63u);
          ++state_.rx4410Latches[c];
        } else {
          ++state_.protocolErrors;
        }
      }
      f.active = false;
      rxOut_[c] = false;
    }
    if (f.active && !(byte & l.select) && Rose(before, byte, l.clock)) {
      f.Take(byte & l.data);
      // A read frame: after edge j+2 the chip drives code bit j.
      const int j = f.bits - 2;
      if (!(f.word & 1u) && j >= 0 && j < 6) {
        rxOut_[c] = (state_.rx4410[c] >> j) & 1;
      } else {
        rxOut_[c] = false;
      }
    }
  }

  if (Rose(before, byte, kTqmEnable)) {
    tqm_.Start();
  } else if (Fell(before, byte, kTqmEnable)) {
    if (tqm_.active && tqm_.bits > 0) {
      if (tqm_.bits == 10) {
        state_.tqm7731[0] = static_cast<int>((tqm_.word >> 5) & 31u);
        state_.tqm7731[1] = static_cast<int>(tqm_.word & 31u);
        ++state_.tqm7731Latches;
      } else {
        ++state_.protocolErrors;
      }
    }
    tqm_.active = false;
  }
  if (tqm_.active && (byte & kTqmEnable) && Rose(before, byte, kTqmClock)) {
    tqm_.Take(byte & kTqmData);
  }
}

std::uint8_t SimBench::ReadStatus() const {
  std::uint8_t status = 0;
  for (int c = 0; c < 2; ++c) {
    if (rxOut_[c]) status |= kRx[c].output;
  }
  return status;
}

void SimBench::SetState(const BenchState& state) {
  state_ = state;
  rx_ = {};
  tqm_ = {};
  rxOut_ = {false, false};
}

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
  auto readCount = [&readNumber](std::string_view& line, std::uint64_t& v) { return readNumber(line, v); };
  auto readRange = [&readNumber](std::string_view& line, int& v, int hi) {
    return readNumber(line, v) && v >= 0 && v <= hi;
  };

  std::string_view line;
  if (!nextLine(line) || line != kStateHeader) return std::nullopt;
  BenchState s;
  bool seen[6] = {};
  while (nextLine(line)) {
    const std::string_view key = nextWord(line);
    if (key.empty()) return std::nullopt;
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
  const char* xdg = std::getenv("XDG_STATE_HOME");
  // An XDG variable holding a relative path is to be ignored.
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/tarvel/bench.state";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/tarvel/bench.state";
  return {};
}

namespace {

enum class ReadOutcome { Ok, Missing, Failed };

ReadOutcome ReadWholeFile(const std::string& path, std::string& text, std::string& reason) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return ReadOutcome::Missing;
    reason = std::strerror(errno);
    return ReadOutcome::Failed;
  }
  char buffer[4096];
  text.clear();
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      reason = std::strerror(errno);
      ::close(fd);
      return ReadOutcome::Failed;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > 65536) {
      reason = "file too large";
      ::close(fd);
      return ReadOutcome::Failed;
    }
  }
  ::close(fd);
  return ReadOutcome::Ok;
}

}  // namespace

std::optional<BenchState> LoadBenchStateFile(const std::string& path) {
  std::string text, reason;
  if (ReadWholeFile(path, text, reason) != ReadOutcome::Ok) return std::nullopt;
  return ParseBenchState(text);
}

SimPortBackend::SimPortBackend(std::string statePath) : path_(std::move(statePath)) {}

SimPortBackend::~SimPortBackend() {
  PortError ignored;
  if (open_) Close(ignored);
}

bool SimPortBackend::Open(std::int32_t base, PortError& error) {
  base_ = base;
  if (path_.empty()) {
    open_ = true;
    return true;
  }
  error.target = "simulated bench " + path_;
  std::error_code ec;
  const std::filesystem::path p(path_);
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path(), ec);

  const std::string lockPath = path_ + ".lock";
  lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lockFd_ < 0) {
    error.reason = std::string("cannot open ") + lockPath + ": " + std::strerror(errno);
    error.remedy = "choose a writable place with TARVEL_PORT=sim:PATH";
    return false;
  }
  while (::flock(lockFd_, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    error.reason = std::string("cannot lock ") + lockPath + ": " + std::strerror(errno);
    Unlock();
    return false;
  }
  if (!Load(error)) {
    Unlock();
    return false;
  }
  open_ = true;
  return true;
}

bool SimPortBackend::Load(PortError& error) {
  std::string text, reason;
  switch (ReadWholeFile(path_, text, reason)) {
    case ReadOutcome::Missing:
      bench_.SetState(BenchState{});
      return true;
    case ReadOutcome::Failed:
      error.reason = "cannot read the bench state: " + reason;
      error.remedy = "check the file's permissions, or choose another with TARVEL_PORT=sim:PATH";
      return false;
    case ReadOutcome::Ok:
      break;
  }
  if (auto state = ParseBenchState(text)) {
    bench_.SetState(*state);
  } else {
    std::cerr << "tarvel: the simulated bench state " << path_
              << " is empty or damaged; starting a fresh bench" << std::endl;
    bench_.SetState(BenchState{});
  }
  return true;
}

bool SimPortBackend::Save() {
  const std::string temp = path_ + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const std::string text = FormatBenchState(bench_.state());
  // No fsync: the rename alone keeps the state whole if a process dies, and
  // a simulated bench need not survive a power cut at sweep speed.
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), path_.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

void SimPortBackend::Unlock() {
  if (lockFd_ >= 0) {
    ::close(lockFd_);  // closing drops the lock
    lockFd_ = -1;
  }
}

bool SimPortBackend::Write(std::int32_t port, std::uint8_t value, PortError& error) {
  if (!open_ || port != base_) {
    error.target = path_.empty() ? "simulated bench" : "simulated bench " + path_;
    error.reason = "write to I/O address " + std::to_string(port) + ", not the data register";
    return false;
  }
  bench_.WriteData(value);
  return true;
}

bool SimPortBackend::Read(std::int32_t port, std::uint8_t& value, PortError& error) {
  if (!open_ || port != base_ + 1) {
    error.target = path_.empty() ? "simulated bench" : "simulated bench " + path_;
    error.reason = "read from I/O address " + std::to_string(port) + ", not the status register";
    return false;
  }
  value = bench_.ReadStatus();
  return true;
}

bool SimPortBackend::Close(PortError& error) {
  if (!open_) return true;
  open_ = false;
  if (path_.empty()) return true;
  const bool saved = Save();
  Unlock();
  if (!saved) {
    error.target = "simulated bench " + path_;
    error.reason = std::string("cannot save the bench state: ") + std::strerror(errno);
    error.remedy = "check that its folder is writable, or choose another with TARVEL_PORT=sim:PATH";
  }
  return saved;
}

}  // namespace tarvel
