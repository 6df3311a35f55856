// The simulated bench as a port back-end: its state file locked, loaded and
// saved around every device command.
#pragma once

#include <cstdint>
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
// with a warning; a read-back from a fresh bench says so on standard error.
// A link at `path` is followed (the file it names is locked and replaced,
// keeping its mode); anything but a regular file, and a lock file that is a
// link or not the user's own, are refused. The lock is waited for 2 s at
// most. Missing folders are made only inside the user's state folder.
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

  const SimBench& bench() const { return bench_; }
  SimBench& bench() { return bench_; }
  const std::string& statePath() const { return path_; }

 private:
  bool Load(PortError& error);
  bool Save(std::string& reason);
  void Unlock();

  std::string path_;
  std::string file_;  // path_ with a link followed
  BenchState loaded_;
  bool fresh_ = false;
  std::uint64_t reads_ = 0;
  SimBench bench_;
  std::int32_t base_ = 0;
  platform::FileLock lock_;
  bool open_ = false;
};

}  // namespace tarvel
