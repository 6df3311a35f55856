#include "SimBench.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <thread>

#include "core/AtomicFile.h"
#include "core/Signals.h"

namespace tarvel {

void SimBench::WriteData(std::uint8_t byte) {
  const std::uint8_t before = state_.data;
  state_.data = byte;

  for (int c = 0; c < 2; ++c) {
    const LineStep step = rx_[c].Change(before, byte);
    if (step.end == FrameEnd::Latched) {
      state_.rx4410[c] = Rx4410Channel::Code(step.ended.word);
      ++state_.rx4410Latches[c];
    } else if (step.end == FrameEnd::Rejected) {
      ++state_.protocolErrors;
    }
  }

  const LineStep step = tqm_.Change(before, byte);
  if (step.end == FrameEnd::Latched) {
    state_.tqm7731[0] = Tqm7731Chip::AttnA(step.ended.word);
    state_.tqm7731[1] = Tqm7731Chip::AttnB(step.ended.word);
    ++state_.tqm7731Latches;
  } else if (step.end == FrameEnd::Rejected) {
    ++state_.protocolErrors;
  }
}

std::uint8_t SimBench::ReadStatus() const {
  std::uint8_t status = 0;
  for (int c = 0; c < 2; ++c) {
    const int bit = rx_[c].OutputBit();
    if (bit >= 0 && ((state_.rx4410[c] >> bit) & 1)) status |= rx_[c].lines().output;
  }
  return status;
}

void SimBench::SetState(const BenchState& state) {
  state_ = state;
  rx_ = {Rx4410Channel(0), Rx4410Channel(1)};
  tqm_ = {};
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
  // Non-blocking: a FIFO put in the file's place must not stall the run.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT) return ReadOutcome::Missing;
    reason = std::strerror(errno);
    return ReadOutcome::Failed;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    reason = "not a regular file";
    ::close(fd);
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

namespace {

// "process 1234 (tarvel)" for the process that holds the flock on `fd`, from
// /proc/locks; empty when it cannot be found.
std::string LockHolder(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return {};
  char id[64];
  std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  const std::string inode = ":" + std::to_string(st.st_ino);
  std::ifstream locks("/proc/locks");
  std::string line, exact, sameInode;
  while (std::getline(locks, line)) {
    std::istringstream in(line);
    std::string number, kind, mode, access, pid, where;
    if (!(in >> number >> kind) || kind != "FLOCK") continue;  // "->" marks a waiter
    if (!(in >> mode >> access >> pid >> where)) continue;
    if (where == id) exact = pid;
    // Layered file systems report the lower file's device.
    else if (where.size() > inode.size() && where.ends_with(inode)) sameInode = pid;
  }
  const std::string pid = exact.empty() ? sameInode : exact;
  if (pid.empty()) return {};
  std::string name;
  std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
  return "process " + pid + (name.empty() ? "" : " (" + name + ")");
}

constexpr auto kLockWait = std::chrono::seconds(2);

}  // namespace

bool SimPortBackend::Open(std::int32_t base, PortError& error) {
  base_ = base;
  if (path_.empty()) {
    open_ = true;
    return true;
  }
  error.target = "simulated bench " + path_;
  error.remedy = "choose another state file with TARVEL_PORT=sim:PATH";
  // A link is followed to the file it names, which is then locked and
  // replaced; anything but a regular file is refused before any lock.
  file_ = path_;
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char* real = ::realpath(path_.c_str(), nullptr);
    if (real == nullptr) {
      error.reason = "the link " + path_ + " names no usable file: " + std::strerror(errno);
      return false;
    }
    file_ = real;
    std::free(real);
  }
  if (::stat(file_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    error.reason = file_ + " is not a regular file";
    return false;
  }
  // Folders are made only inside the user's own state folder.
  const std::filesystem::path parent = std::filesystem::path(file_).parent_path();
  const std::string own = DefaultBenchStatePath();
  if (!own.empty() && parent == std::filesystem::path(own).parent_path()) {
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
  }

  const std::string lockPath = file_ + ".lock";
  lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
  if (lockFd_ < 0) {
    const int err = errno;
    error.reason =
        "cannot open " + lockPath + ": " + (err == ELOOP ? "it is a symbolic link" : std::strerror(err));
    return false;
  }
  if (::fstat(lockFd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    error.reason = lockPath + " is not a regular file owned by you";
    Unlock();
    return false;
  }
  // The lock is waited for two seconds at most, like a busy port.
  const auto deadline = std::chrono::steady_clock::now() + kLockWait;
  while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err != EWOULDBLOCK && err != EINTR) {
      error.reason = "cannot lock " + lockPath + ": " + std::strerror(err);
      Unlock();
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline || StopRequested()) {
      const std::string holder = LockHolder(lockFd_);
      error.reason = "the bench stayed busy for 2 seconds" + (holder.empty() ? "" : ", held by " + holder);
      error.remedy = "wait for the other run to end, or use another state file with TARVEL_PORT=sim:PATH";
      Unlock();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!Load(error)) {
    Unlock();
    return false;
  }
  reads_ = 0;
  open_ = true;
  return true;
}

bool SimPortBackend::Load(PortError& error) {
  std::string text, reason;
  fresh_ = false;
  switch (ReadWholeFile(file_, text, reason)) {
    case ReadOutcome::Missing:
      bench_.SetState(BenchState{});
      fresh_ = true;
      loaded_ = bench_.state();
      return true;
    case ReadOutcome::Failed:
      error.reason = "cannot read the bench state: " + reason;
      error.remedy = "check the file's permissions, or choose another with TARVEL_PORT=sim:PATH";
      return false;
    case ReadOutcome::Ok: break;
  }
  if (auto state = ParseBenchState(text)) {
    bench_.SetState(*state);
  } else {
    // Never overwrite what could not be read: keep it for a look.
    const std::string kept = file_ + ".damaged";
    if (::rename(file_.c_str(), kept.c_str()) == 0) {
      std::cerr << "tarvel: the simulated bench state " << path_ << " is empty or damaged; kept it as "
                << kept << " and started a fresh bench" << std::endl;
    } else {
      error.reason = "the bench state is damaged and cannot be kept as " + kept + ": " + std::strerror(errno);
      return false;
    }
    bench_.SetState(BenchState{});
    fresh_ = true;
  }
  loaded_ = bench_.state();
  return true;
}

bool SimPortBackend::Save(std::string& reason) {
  // Counters saturate: one session cannot count 2^64 frames, so a counter
  // below its loaded value has wrapped.
  BenchState s = bench_.state();
  constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();
  for (int c = 0; c < 2; ++c) {
    if (s.rx4410Latches[c] < loaded_.rx4410Latches[c]) s.rx4410Latches[c] = kTop;
  }
  if (s.tqm7731Latches < loaded_.tqm7731Latches) s.tqm7731Latches = kTop;
  if (s.protocolErrors < loaded_.protocolErrors) s.protocolErrors = kTop;
  if (!(s == bench_.state())) bench_.SetState(s);
  // No fsync: the rename alone keeps the state whole if a process dies, and
  // a simulated bench need not survive a power cut at sweep speed.
  return WriteFileAtomically(file_, FormatBenchState(s), reason);
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
  ++reads_;
  return true;
}

bool SimPortBackend::Close(PortError& error) {
  if (!open_) return true;
  open_ = false;
  if (path_.empty()) return true;
  if (fresh_ && reads_ > 0) {
    std::cerr << "tarvel: note: the simulated bench " << path_
              << " was freshly reset, so its chips read back 0" << std::endl;
  }
  std::string reason;
  const bool saved = Save(reason);
  Unlock();
  if (!saved) {
    error.target = "simulated bench " + path_;
    error.reason = "cannot save the bench state: " + reason;
    error.remedy = "check that its folder is writable, or choose another with TARVEL_PORT=sim:PATH";
  }
  return saved;
}

}  // namespace tarvel
