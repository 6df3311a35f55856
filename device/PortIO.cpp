#include "device/PortIO.h"

#include <cstdio>
#include <stdexcept>
#include <utility>

#include "device/DeviceLink.h"

namespace tarvel {

PortAccessError::PortAccessError(PortError error)
    : std::runtime_error(error.target + ": " + error.reason), error_(std::move(error)) {}

std::string HexPortAddress(std::int32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(static_cast<std::uint16_t>(address)));
  return text;
}

DeviceLink& ProcessLink() {
  static DeviceLink link;
  return link;
}

void SetPortBackend(std::unique_ptr<PortBackend> backend) { ProcessLink().SetBackend(std::move(backend)); }

PortBackend* CurrentPortBackend() { return ProcessLink().backend(); }

PortSession::PortSession(DeviceLink& link, std::int32_t base, bool holder) : link_(link) {
  if (link_.depth_ > 0) {
    ++link_.depth_;
    return;
  }
  link_.OpenOutermost(base, holder);
}

PortSession::PortSession(std::int32_t base, bool holder) : PortSession(ProcessLink(), base, holder) {}

PortSession::~PortSession() {
  if (finished_ || link_.depth_ == 0) return;
  if (--link_.depth_ == 0) link_.CloseOutermost();
}

void PortSession::Finish() {
  if (finished_) return;
  finished_ = true;
  DeviceLink& l = link_;
  if (l.depth_ == 0) return;
  if (--l.depth_ > 1 || (l.depth_ == 1 && !l.held_) || !l.backend()) {
    if (l.depth_ == 0) l.CloseOutermost();  // no backend any more: just let go of the handle
    return;
  }
  PortError error;
  bool ok = true;
  if (l.depth_ == 0) {
    ok = l.backend()->Close(error);
    if (l.owned_.owns_lock()) l.owned_.unlock();
  } else {
    ok = l.backend()->Flush(error);
  }
  if (!ok) {
    error.failure = PortFailure::AccessFailed;
    throw PortAccessError(error);
  }
}

void DlPortWritePortUchar(DeviceLink& link, std::int32_t port, std::uint8_t value) {
  PortBackend& backend = link.RequireOpenBackend();
  link.PauseBeforeAccess();
  PortError error;
  if (!backend.Write(port, value, error)) {
    error.failure = PortFailure::AccessFailed;
    throw PortAccessError(error);
  }
  link.MarkAccess();
  if (link.sink_ != nullptr) link.sink_->RecordWrite(value);
}

std::uint8_t DlPortReadPortUchar(DeviceLink& link, std::int32_t port) {
  PortBackend& backend = link.RequireOpenBackend();
  link.PauseBeforeAccess();
  PortError error;
  std::uint8_t value = 0;
  if (!backend.Read(port, value, error)) {
    error.failure = PortFailure::AccessFailed;
    throw PortAccessError(error);
  }
  link.MarkAccess();
  if (link.sink_ != nullptr) link.sink_->RecordRead(value);
  return value;
}

void DlPortWritePortUchar(std::int32_t port, std::uint8_t value) {
  DlPortWritePortUchar(ProcessLink(), port, value);
}

std::uint8_t DlPortReadPortUchar(std::int32_t port) { return DlPortReadPortUchar(ProcessLink(), port); }

void SetPortDelayNanoseconds(std::uint64_t ns) { ProcessLink().SetDelayNanoseconds(ns); }

std::uint64_t PortDelayNanoseconds() { return ProcessLink().delayNanoseconds(); }

}  // namespace tarvel
