#include "device/ports/SimPortBackend.h"

#include "sim/BenchStateFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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

SimPortBackend::SimPortBackend(std::string statePath) : path_(std::move(statePath)) {}

SimPortBackend::~SimPortBackend() {
  PortError ignored;
  if (open_) Close(ignored);
  CloseFiles();
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

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

}  // namespace

bool SimPortBackend::Prepare(PortError& error) {
  error.target = "simulated bench " + path_;
  error.remedy = "choose another state file with TARVEL_PORT=sim:PATH";
  // A link is followed to the file it names, which is then locked and
  // replaced; anything but a regular file is refused before any lock.
  std::string file = path_;
  struct stat st {};
  bool found = ::lstat(path_.c_str(), &st) == 0;
  if (found && S_ISLNK(st.st_mode)) {
    char* real = ::realpath(path_.c_str(), nullptr);
    if (real == nullptr) {
      error.reason = "the link " + path_ + " names no usable file: " + std::strerror(errno);
      return false;
    }
    file = real;
    std::free(real);
    found = ::stat(file.c_str(), &st) == 0;
  }
  if (found && !S_ISREG(st.st_mode)) {
    error.reason = file + " is not a regular file";
    return false;
  }
  if (file != file_) CloseFiles();  // the link names another file now
  file_ = file;
  const std::string lockPath = file_ + ".lock";
  // The lock file kept open must still be the one at its path.
  if (lockFd_ >= 0 && (::stat(lockPath.c_str(), &st) != 0 || !SameFile(st, lockFile_))) {
    ::close(lockFd_);
    lockFd_ = -1;
  }
  if (lockFd_ >= 0) return true;
  // Folders are made only inside the user's own state folder.
  const std::filesystem::path parent = std::filesystem::path(file_).parent_path();
  const std::string own = DefaultBenchStatePath();
  if (!own.empty() && parent == std::filesystem::path(own).parent_path()) {
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
  }
  lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
  if (lockFd_ < 0) {
    const int err = errno;
    error.reason =
        "cannot open " + lockPath + ": " + (err == ELOOP ? "it is a symbolic link" : std::strerror(err));
    return false;
  }
  if (::fstat(lockFd_, &lockFile_) != 0 || !S_ISREG(lockFile_.st_mode) || lockFile_.st_uid != ::geteuid()) {
    error.reason = lockPath + " is not a regular file owned by you";
    ::close(lockFd_);
    lockFd_ = -1;
    return false;
  }
  return true;
}

int SimPortBackend::TryLock(PortError& error) {
  for (;;) {
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) {
      locked_ = true;
      return 1;
    }
    const int err = errno;
    if (err == EINTR) continue;
    if (err == EWOULDBLOCK) return 0;
    error.reason = "cannot lock " + file_ + ".lock: " + std::strerror(err);
    return -1;
  }
}

void SimPortBackend::BusyError(PortError& error) const {
  const std::string holder = LockHolder(lockFd_);
  error.reason = "the bench stayed busy for 2 seconds" + (holder.empty() ? "" : ", held by " + holder);
  error.remedy = "wait for the other run to end, or use another state file with TARVEL_PORT=sim:PATH";
}

bool SimPortBackend::Open(std::int32_t base, PortError& error) {
  base_ = base;
  if (path_.empty()) {
    open_ = true;
    return true;
  }
  if (refused_) {
    error = *refused_;
    return false;
  }
  if (!reserved_) {
    if (!Prepare(error)) return false;
    // The lock is waited for two seconds at most, like a busy port.
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    for (int got; (got = TryLock(error)) != 1;) {
      if (got < 0) return false;
      if (std::chrono::steady_clock::now() >= deadline || StopRequested()) {
        BusyError(error);
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!Load(error)) {
      Unlock();
      return false;
    }
  }
  reads_ = 0;
  open_ = true;
  return true;
}

bool SimPortBackend::Reserve(PortError& error) {
  Unreserve();
  if (path_.empty()) return true;
  int got = -1;
  if (Prepare(error) && (got = TryLock(error)) == 0) {
    const auto now = std::chrono::steady_clock::now();
    if (!busySince_) busySince_ = now;
    if (now - *busySince_ < kLockWait && !StopRequested()) {
      error.busy = true;
      return false;
    }
    BusyError(error);
  }
  busySince_.reset();
  if (got == 1 && Load(error)) {
    reserved_ = true;
    return true;
  }
  if (got == 1) Unlock();
  error.failure = PortFailure::Unavailable;
  refused_ = error;
  return false;
}

void SimPortBackend::Unreserve() {
  refused_.reset();
  if (!reserved_) return;
  reserved_ = false;
  Unlock();
}

bool SimPortBackend::ReadState(std::string& text, std::string& reason, bool& missing) {
  missing = false;
  struct stat st {};
  if (::stat(file_.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      reason = std::strerror(errno);
      return false;
    }
    if (stateFd_ >= 0) ::close(stateFd_), stateFd_ = -1;
    missing = true;
    return true;
  }
  // Another process replaced the file since: read the new one.
  if (stateFd_ >= 0 && !SameFile(st, stateFile_)) {
    ::close(stateFd_);
    stateFd_ = -1;
  }
  if (stateFd_ < 0) {
    // Non-blocking: a FIFO put in the file's place must not stall the run.
    stateFd_ = ::open(file_.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (stateFd_ < 0 && errno == ENOENT) {
      missing = true;
      return true;
    }
    if (stateFd_ < 0) {  // not writable in place: read it, and replace it when saving
      const ReadOutcome r = ReadWholeFile(file_, text, reason);
      missing = r == ReadOutcome::Missing;
      return r != ReadOutcome::Failed;
    }
    if (::fstat(stateFd_, &stateFile_) != 0 || !S_ISREG(stateFile_.st_mode)) {
      reason = "not a regular file";
      ::close(stateFd_);
      stateFd_ = -1;
      return false;
    }
  }
  if (ReadWholeFd(stateFd_, text, reason) != ReadOutcome::Ok) {
    ::close(stateFd_);
    stateFd_ = -1;
    return false;
  }
  stateSize_ = text.size();
  return true;
}

bool SimPortBackend::Load(PortError& error) {
  std::string text, reason;
  bool missing = false;
  fresh_ = false;
  if (!ReadState(text, reason, missing)) {
    error.reason = "cannot read the bench state: " + reason;
    error.remedy = "check the file's permissions, or choose another with TARVEL_PORT=sim:PATH";
    return false;
  }
  if (missing) {
    bench_.SetState(BenchState{});
    fresh_ = true;
    loaded_ = bench_.state();
    return true;
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
    if (stateFd_ >= 0) ::close(stateFd_), stateFd_ = -1;  // that is the kept file now
    bench_.SetState(BenchState{});
    fresh_ = true;
  }
  loaded_ = bench_.state();
  return true;
}

bool SimPortBackend::SaveInPlace(std::string text) {
  // One write below a page at offset 0 is whole or not at all, even if the
  // process dies in it; blanks before the last newline keep the length.
  constexpr std::size_t kPage = 4096;
  if (stateFd_ < 0 || text.empty() || text.back() != '\n' || stateSize_ > kPage || text.size() > kPage)
    return false;
  // Only into the file that is still at the path (not one removed since).
  struct stat st {};
  if (::stat(file_.c_str(), &st) != 0 || !SameFile(st, stateFile_)) return false;
  if (text.size() < stateSize_) text.insert(text.size() - 1, stateSize_ - text.size(), ' ');
  if (::pwrite(stateFd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) return false;
  stateSize_ = text.size();
  return true;
}

bool SimPortBackend::Save(std::string& reason) {
  // Counters saturate: one session cannot count 2^64 frames, so a counter
  // below its loaded value has wrapped.
  BenchState s = bench_.state();
  constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();
  for (std::size_t c = 0; c < 2; ++c) {
    if (s.rx4410Latches[c] < loaded_.rx4410Latches[c]) s.rx4410Latches[c] = kTop;
  }
  if (s.tqm7731Latches < loaded_.tqm7731Latches) s.tqm7731Latches = kTop;
  if (s.protocolErrors < loaded_.protocolErrors) s.protocolErrors = kTop;
  if (!(s == bench_.state())) bench_.SetState(s);
  std::string text = FormatBenchState(s);
  if (SaveInPlace(text)) return true;
  // No fsync: the rename alone keeps the state whole if a process dies, and
  // a simulated bench need not survive a power cut at sweep speed.
  if (stateFd_ >= 0) ::close(stateFd_), stateFd_ = -1;  // replaced by the new file
  if (!WriteFileAtomically(file_, text, reason)) return false;
  stateFd_ = ::open(file_.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (stateFd_ >= 0 && ::fstat(stateFd_, &stateFile_) != 0) ::close(stateFd_), stateFd_ = -1;
  stateSize_ = text.size();
  return true;
}

void SimPortBackend::Unlock() {
  if (locked_) {
    ::flock(lockFd_, LOCK_UN);
    locked_ = false;
  }
}

void SimPortBackend::CloseFiles() {
  Unlock();
  reserved_ = false;
  if (lockFd_ >= 0) ::close(lockFd_), lockFd_ = -1;
  if (stateFd_ >= 0) ::close(stateFd_), stateFd_ = -1;
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
  if (!reserved_) Unlock();
  if (!saved) {
    error.target = "simulated bench " + path_;
    error.reason = "cannot save the bench state: " + reason;
    error.remedy = "check that its folder is writable, or choose another with TARVEL_PORT=sim:PATH";
  }
  return saved;
}

std::string SimPortBackend::Describe(std::int32_t) const {
  return path_.empty() ? "sim (in memory)" : "sim:" + path_;
}

}  // namespace tarvel
