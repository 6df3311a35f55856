// The simulated bench as a port back-end: its state file locked, loaded and
// saved around every device command, or around the commands of a
// reservation.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "core/platform/Platform.h"
#include "device/PortIO.h"
#include "sim/SimBench.h"

namespace tarvel {

// The bench as a port backend. With an empty path it lives in memory only;
// otherwise its state is loaded from `path` when a device command opens the
// port and saved there when it closes, under an exclusive lock on
// "path.lock", and replaced atomically, so processes never interleave and a
// crash never leaves a half-written state. A missing file starts a fresh
// bench; a damaged one is kept as "path.damaged" and starts a fresh bench
// with a warning; a read-back of a channel not written since that fresh
// start says so on standard error.
// A link at `path` is followed (the file it names is locked and replaced,
// keeping its mode); anything but a regular file, and a lock file that is a
// link or not the user's own, are refused. The lock is waited for 2 s at
// most. Missing folders are made only inside the user's state folder.
//
// The state file stays open between commands: a command takes the lock
// file's lock, rereads the state (reopening it if another process
// replaced it) and saves it in place, in one write at offset 0 of less than
// a page, padded with blanks to the old length, so a process that dies
// mid-save never leaves half a state and readers never see a shorter file.
// A state that cannot be saved so (a new file, one not writable in place)
// is replaced atomically instead. Reserve (the server) takes the lock for
// several commands without waiting; their state is loaded once and saved
// after each.
class SimPortBackend : public PortBackend {
 public:
  explicit SimPortBackend(std::string statePath = {});
  ~SimPortBackend() override;

  bool Open(std::int32_t base, PortError& error) override;
  bool Write(std::int32_t port, std::uint8_t value, PortError& error) override;
  bool Read(std::int32_t port, std::uint8_t& value, PortError& error) override;
  bool Close(PortError& error) override;
  std::string Describe(std::int32_t base) const override;
  bool KeepOpenBetweenCommands() const override { return false; }
  bool Reserve(PortError& error) override;
  void Unreserve() override;

  const SimBench& bench() const { return bench_; }
  SimBench& bench() { return bench_; }
  const std::string& statePath() const { return path_; }

 private:
  // The link followed, the lock file open and checked; false with `error`.
  bool Prepare(PortError& error);
  // 1 locked, 0 held by another process, -1 failed (error filled).
  int TryLock(PortError& error);
  // The error of a lock that stayed busy for the whole wait.
  void BusyError(PortError& error) const;
  bool Load(PortError& error);
  bool ReadState(std::string& text, std::string& reason, bool& missing);
  bool Save(std::string& reason);
  bool SaveInPlace(std::string text);
  void Unlock();
  void CloseFiles();

  std::string path_;
  std::string file_;  // path_ with a link followed
  BenchState loaded_;
  bool fresh_ = false;
  bool readReset_ = false;  // this session read a channel that latched nothing since the reset
  SimBench bench_;
  std::int32_t base_ = 0;
  platform::FileLock lock_;  // held while a command or reservation runs
  bool locked_ = false;
  platform::KeptFile state_;  // the state file, read-write, open between commands
  std::size_t stateSize_ = 0;
  bool open_ = false;
  bool reserved_ = false;             // Reserve took the lock; the state is loaded
  std::optional<PortError> refused_;  // Reserve gave up: Open fails with this
  std::optional<std::chrono::steady_clock::time_point> busySince_;
};

}  // namespace tarvel
