// A device link: one user of the chips, with its own device, codes, bit
// vector and port. The globals' code paths (the command line, the windows)
// hold the process's link; the server and every sweep hold one of their own,
// so a sweep on its worker thread never touches what the windows read.
//
// Two links may share one backend (a sweep started from the windows uses the
// port the windows chose): the backend sits in a PortHandle, and a link's
// outermost session takes the handle for its whole length. A link that finds
// the handle taken by another one fails at once with PortFailure::Unavailable
// instead of waiting: the other one is a sweep that holds the port for its
// run.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/MainModule.h"
#include "device/PortIO.h"

namespace tarvel {

// Sixteen 0/1 entries; entry i has weight 2^i. Holds the one word being
// shifted out or in. Indexing outside 0..15 throws std::out_of_range.
class BitVectorType {
 public:
  std::int16_t& operator()(int index);
  std::int16_t operator()(int index) const;

 private:
  std::array<std::int16_t, 16> entries_{};
};

// A backend and the lock that gives it to one link at a time.
struct PortHandle {
  std::mutex inUse;  // held by a link's outermost session
  std::unique_ptr<PortBackend> backend;
};

class DeviceLink {
 public:
  // Makes the backend when a link's first session finds none.
  using BackendFactory = std::unique_ptr<PortBackend> (*)(PortError& error);

  DeviceLink() = default;
  ~DeviceLink();
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  // A link on the same backend, access sink, pause and factory as `other`
  // (made now from the factory if `other` has none yet; an error then
  // waits for the first session). Its device and codes start empty.
  static std::unique_ptr<DeviceLink> SharingPortOf(DeviceLink& other);

  std::string device;  // a chip's device or read-back token
  std::array<std::int16_t, 2> gainCode{};
  std::array<std::int16_t, 2> readCode{};
  std::int16_t portAddress = kLpt1Address;
  BitVectorType bits;

  // Installs the backend this link uses from now on (a link sharing the old
  // one keeps it); closes an open one first. nullptr drops it.
  void SetBackend(std::unique_ptr<PortBackend> backend);
  PortBackend* backend() const { return handle_ ? handle_->backend.get() : nullptr; }
  void SetBackendFactory(BackendFactory factory) { factory_ = factory; }
  // Every access of this link is recorded there too (nullptr: nowhere).
  void SetAccessSink(PortAccessSink* sink) { sink_ = sink; }
  PortAccessSink* accessSink() const { return sink_; }
  // The pause between two accesses; set, it is no longer read from
  // TARVEL_PORT_DELAY_NS.
  void SetDelayNanoseconds(std::uint64_t ns);
  std::uint64_t delayNanoseconds() const { return delayNs_; }
  // What the backend reaches, or the TARVEL_PORT choice while none is made.
  std::string DescribePort() const;

 private:
  friend class PortSession;
  friend void DlPortWritePortUchar(DeviceLink&, std::int32_t, std::uint8_t);
  friend std::uint8_t DlPortReadPortUchar(DeviceLink&, std::int32_t);

  void ReadDelayFromEnvironment();
  void OpenOutermost(std::int32_t base, bool holder);
  void CloseOutermost();
  PortBackend& RequireOpenBackend();
  void PauseBeforeAccess();
  void MarkAccess();

  std::shared_ptr<PortHandle> handle_;
  BackendFactory factory_ = nullptr;
  PortAccessSink* sink_ = nullptr;
  std::unique_lock<std::mutex> owned_;  // the handle, while a session is open
  int depth_ = 0;
  bool held_ = false;  // the outermost session holds the port across commands
  bool delayRead_ = false;
  std::uint64_t delayNs_ = 0;
  std::string delayRefused_;  // why TARVEL_PORT_DELAY_NS is refused
  std::chrono::steady_clock::time_point lastAccess_{};
};

}  // namespace tarvel
