// Every port access of the process, from any of its links (the windows', a
// sweep's worker thread, the server's): the ring of the last accesses that
// the Port Trace window draws, and the trace TARVEL_TRACE names. One lock
// guards both; readers take a copy of the ring instead of reading it while
// another thread records.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "capture/PortAccessLog.h"
#include "device/PortIO.h"

namespace tarvel {

class PortTrace;

class PortCapture final : public PortAccessSink {
 public:
  PortCapture() = default;

  void RecordWrite(std::uint8_t data) override;
  void RecordRead(std::uint8_t status) override;

  // Accesses ever recorded.
  std::uint64_t total() const;
  // The ring as it is now.
  PortAccessLog Snapshot() const;
  void clear();
  // Replaces `path` with the VCD of the ring; false with the system's reason.
  bool SaveVcd(const std::string& path, std::string& error) const;
  // Records into `trace` from now on (nullptr: no trace). Until this is
  // called, the first access opens the trace TARVEL_TRACE names.
  void SetTrace(PortTrace* trace);

 private:
  PortTrace* Trace();  // with the lock held

  mutable std::mutex mutex_;
  PortAccessLog ring_;
  PortTrace* trace_ = nullptr;
  bool traceChosen_ = false;
};

// The process's capture; every link UseProcessPorts sets up records into it.
PortCapture& RecentPortAccesses();

// Records every access of the process into `trace` from now on (nullptr: no
// trace). By default the process uses the trace named by TARVEL_TRACE.
void SetPortTrace(PortTrace* trace);

}  // namespace tarvel
