#include "PortIO.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <utility>

#include "PortAccessLog.h"
#include "PortSelect.h"
#include "Trace.h"

namespace tarvel {

PortAccessError::PortAccessError(PortError error)
    : std::runtime_error(error.target + ": " + error.reason), error_(std::move(error)) {}

namespace {

struct PortState {
  std::unique_ptr<PortBackend> backend;
  int depth = 0;
  bool held = false;  // the outermost session holds the port across commands
  bool delayRead = false;
  std::uint64_t delayNs = 0;
  std::chrono::steady_clock::time_point lastAccess{};
  PortTrace* trace = nullptr;
  bool traceRead = false;
  std::string delayRefused;  // why TARVEL_PORT_DELAY_NS is refused
};

PortState& State() {
  static PortState state;
  return state;
}

void ReadDelayFromEnvironment(PortState& s) {
  if (s.delayRead) return;
  s.delayRead = true;
  const char* text = std::getenv("TARVEL_PORT_DELAY_NS");
  if (text == nullptr || *text == '\0') return;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  const bool digits = end != text && *end == '\0' && text[0] != '-';
  if (digits && (errno == ERANGE || value > kMaxPortDelayNs)) {
    // A busy wait this long per access would hold the port (and the bench)
    // for minutes: a typing error, not a slow chip.
    s.delayRefused = "TARVEL_PORT_DELAY_NS=" + std::string(text) + " is more than the " +
                     std::to_string(kMaxPortDelayNs) + " ns (10 ms) allowed per access";
    return;
  }
  if (errno != 0 || !digits) {
    std::cerr << "tarvel: ignoring TARVEL_PORT_DELAY_NS=\"" << text
              << "\": expected a whole number of nanoseconds from 0 to " << kMaxPortDelayNs << std::endl;
    return;
  }
  s.delayNs = value;
}

// Busy-waits so that at least delayNs pass between two accesses: sleeping
// would give up the processor for far longer than a chip's set-up time.
inline void PauseBeforeAccess(PortState& s) {
  if (s.delayNs == 0) return;
  const auto due = s.lastAccess + std::chrono::nanoseconds(s.delayNs);
  while (std::chrono::steady_clock::now() < due) {
  }
}

inline void MarkAccess(PortState& s) {
  if (s.delayNs != 0) s.lastAccess = std::chrono::steady_clock::now();
}

PortBackend& RequireOpenBackend(PortState& s) {
  if (s.depth == 0 || !s.backend) {
    throw PortAccessError(
        {PortFailure::AccessFailed, "the parallel port", "port accessed outside a device command", ""});
  }
  return *s.backend;
}

}  // namespace

void SetPortBackend(std::unique_ptr<PortBackend> backend) {
  PortState& s = State();
  if (s.depth != 0 && s.backend) {
    PortError ignored;
    s.backend->Close(ignored);
  }
  s.depth = 0;
  s.backend = std::move(backend);
}

PortBackend* CurrentPortBackend() { return State().backend.get(); }

PortSession::PortSession(std::int32_t base, bool holder) {
  PortState& s = State();
  if (s.depth > 0) {
    ++s.depth;
    return;
  }
  ReadDelayFromEnvironment(s);
  if (!s.delayRefused.empty()) {
    throw PortAccessError({PortFailure::Unavailable, "TARVEL_PORT_DELAY_NS", s.delayRefused,
                           "unset it or give at most " + std::to_string(kMaxPortDelayNs)});
  }
  if (!s.traceRead) {
    s.traceRead = true;
    s.trace = ProcessTrace();
  }
  PortError error;
  if (!s.backend) {
    s.backend = MakePortBackendFromEnvironment(error);
    if (!s.backend) throw PortAccessError(error);
  }
  if (!s.backend->Open(base, error)) {
    error.failure = PortFailure::Unavailable;
    throw PortAccessError(error);
  }
  s.depth = 1;
  s.held = holder;
}

PortSession::~PortSession() {
  if (finished_) return;
  PortState& s = State();
  if (s.depth == 0) return;
  if (--s.depth == 0 && s.backend) {
    PortError ignored;
    s.backend->Close(ignored);
  }
}

void PortSession::Finish() {
  if (finished_) return;
  finished_ = true;
  PortState& s = State();
  if (s.depth == 0) return;
  if (--s.depth > 1 || (s.depth == 1 && !s.held) || !s.backend) return;
  PortError error;
  const bool ok = s.depth == 0 ? s.backend->Close(error) : s.backend->Flush(error);
  if (!ok) {
    error.failure = PortFailure::AccessFailed;
    throw PortAccessError(error);
  }
}

void DlPortWritePortUchar(std::int32_t port, std::uint8_t value) {
  PortState& s = State();
  PortBackend& backend = RequireOpenBackend(s);
  PauseBeforeAccess(s);
  PortError error;
  if (!backend.Write(port, value, error)) {
    error.failure = PortFailure::AccessFailed;
    throw PortAccessError(error);
  }
  MarkAccess(s);
  if (s.trace != nullptr) s.trace->RecordWrite(value);
  RecentPortAccesses().RecordWrite(value);
}

std::uint8_t DlPortReadPortUchar(std::int32_t port) {
  PortState& s = State();
  PortBackend& backend = RequireOpenBackend(s);
  PauseBeforeAccess(s);
  PortError error;
  std::uint8_t value = 0;
  if (!backend.Read(port, value, error)) {
    error.failure = PortFailure::AccessFailed;
    throw PortAccessError(error);
  }
  MarkAccess(s);
  if (s.trace != nullptr) s.trace->RecordRead(value);
  RecentPortAccesses().RecordRead(value);
  return value;
}

void SetPortTrace(PortTrace* trace) {
  State().traceRead = true;
  State().trace = trace;
}

void SetPortDelayNanoseconds(std::uint64_t ns) {
  State().delayRead = true;
  State().delayNs = ns;
}

std::uint64_t PortDelayNanoseconds() { return State().delayNs; }

}  // namespace tarvel
