#include "ports/SimPortBackend.h"

#include "sim/BenchStateFile.h"

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
#include "core/platform/Platform.h"

namespace tarvel {

SimPortBackend::SimPortBackend(std::string statePath) : path_(std::move(statePath)) {}

SimPortBackend::~SimPortBackend() {
  PortError ignored;
  if (open_) Close(ignored);
  CloseFiles();
}

namespace {

constexpr int kLockWaitMs = 2000;
constexpr auto kLockWait = std::chrono::milliseconds(kLockWaitMs);

}  // namespace

bool SimPortBackend::Prepare(PortError& error) {
  error.target = "simulated bench " + path_;
  error.remedy = "choose another state file with TARVEL_PORT=sim:PATH";
  // A link is followed to the file it names, which is then locked and
  // replaced; anything but a regular file is refused before any lock.
  std::string file = path_;
  std::error_code ec;
  if (std::filesystem::is_symlink(path_, ec)) {
    const auto real = std::filesystem::canonical(path_, ec);
    if (ec) {
      error.reason = "the link " + path_ + " names no usable file: " + ec.message();
      return false;
    }
    file = real.string();
  }
  platform::FileKind kind{};
  if (platform::KindOf(file, kind) && kind != platform::FileKind::Regular) {
    error.reason = file + " is not a regular file";
    return false;
  }
  if (file != file_) CloseFiles();  // the link names another file now
  file_ = file;
  // Folders are made only inside the user's own state folder.
  const std::filesystem::path parent = std::filesystem::path(file_).parent_path();
  const std::string own = DefaultBenchStatePath();
  if (!own.empty() && parent == std::filesystem::path(own).parent_path()) {
    std::filesystem::create_directories(parent, ec);
  }
  return true;
}

int SimPortBackend::TryLock(PortError& error) {
  std::string reason;
  switch (lock_.Acquire(file_ + ".lock", 0, reason)) {
    case platform::FileLock::Outcome::Locked: locked_ = true; return 1;
    case platform::FileLock::Outcome::Busy: return 0;
    case platform::FileLock::Outcome::Failed: break;
  }
  error.reason = reason;
  return -1;
}

void SimPortBackend::BusyError(PortError& error) const {
  const std::string holder = lock_.Holder();
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
    std::string reason;
    switch (lock_.Acquire(file_ + ".lock", kLockWaitMs, reason)) {
      case platform::FileLock::Outcome::Locked: locked_ = true; break;
      case platform::FileLock::Outcome::Failed: error.reason = reason; return false;
      case platform::FileLock::Outcome::Busy:
        BusyError(error);
        Unlock();
        return false;
    }
    if (!Load(error)) {
      Unlock();
      return false;
    }
  }
  readReset_ = false;
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
      Unlock();
      return false;
    }
    BusyError(error);
    Unlock();
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
  platform::FileKind kind{};
  if (!platform::KindOf(file_, kind)) {
    state_.Close();
    missing = true;
    return true;
  }
  // Another process replaced the file since: read the new one.
  if (state_.IsOpen() && !state_.IsAt(file_)) state_.Close();
  platform::SystemError error;
  if (!state_.IsOpen() && !state_.Open(file_, error)) {
    if (error.missing) {
      missing = true;
      return true;
    }
    // Not writable in place: read it, and replace it when saving.
    const ReadOutcome r = ReadWholeFile(file_, text, reason);
    missing = r == ReadOutcome::Missing;
    return r != ReadOutcome::Failed;
  }
  if (!state_.ReadAll(text, 65536, error)) {  // as ReadWholeFile
    state_.Close();
    reason = error.text;
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
    if (std::rename(file_.c_str(), kept.c_str()) == 0) {
      std::cerr << "tarvel: the simulated bench state " << path_ << " is empty or damaged; kept it as "
                << kept << " and started a fresh bench" << std::endl;
    } else {
      error.reason = "the bench state is damaged and cannot be kept as " + kept + ": " + std::strerror(errno);
      return false;
    }
    state_.Close();  // that is the kept file now
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
  if (!state_.IsOpen() || text.empty() || text.back() != '\n' || stateSize_ > kPage || text.size() > kPage)
    return false;
  // Only into the file that is still at the path (not one removed since).
  if (!state_.IsAt(file_)) return false;
  if (text.size() < stateSize_) text.insert(text.size() - 1, stateSize_ - text.size(), ' ');
  if (!state_.WriteAtStart(text)) return false;
  stateSize_ = text.size();
  return true;
}

bool SimPortBackend::Save(std::string& reason) {
  // Counters saturate: one session cannot count 2^64 frames, so a counter
  // below its loaded value has wrapped.
  BenchState s = bench_.state();
  constexpr std::uint64_t kTop = std::numeric_limits<std::uint64_t>::max();
  for (std::size_t c = 0; c < Chips().size(); ++c) {
    const RegisterView now = RegistersOf(s, c), before = RegistersOf(loaded_, c);
    for (std::size_t f = 0; f < now.latches.size() && f < before.latches.size(); ++f) {
      if (now.latches[f] < before.latches[f]) now.latches[f] = kTop;
    }
  }
  if (s.protocolErrors < loaded_.protocolErrors) s.protocolErrors = kTop;
  if (!(s == bench_.state())) bench_.SetState(s);
  std::string text = FormatBenchState(s);
  if (SaveInPlace(text)) return true;
  // No fsync: the rename alone keeps the state whole if a process dies, and
  // a simulated bench need not survive a power cut at sweep speed.
  state_.Close();  // replaced by the new file
  if (!WriteFileAtomically(file_, text, reason)) return false;
  platform::SystemError ignored;  // not kept open: the next command opens it
  state_.Open(file_, ignored);
  stateSize_ = text.size();
  return true;
}

void SimPortBackend::Unlock() {
  lock_.Release();
  locked_ = false;
}

void SimPortBackend::CloseFiles() {
  Unlock();
  reserved_ = false;
  state_.Close();
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
  // Only a channel never written since the reset reads back its reset 0; a
  // run that writes before it reads (a verified sweep) gets its own codes.
  const auto& latched = bench_.state().rx4410Latches;
  if (fresh_ && (latched[0] == 0 || latched[1] == 0)) readReset_ = true;
  return true;
}

bool SimPortBackend::Close(PortError& error) {
  if (!open_) return true;
  open_ = false;
  if (path_.empty()) return true;
  if (readReset_) {
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
