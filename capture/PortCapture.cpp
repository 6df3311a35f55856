#include "capture/PortCapture.h"

#include "capture/Trace.h"

namespace tarvel {

// Made on first use and never destroyed: usable from any static's
// constructor or destructor. (A constant-initialised object would need a
// constexpr std::mutex, which mingw-w64's threads do not give.)
PortCapture& RecentPortAccesses() {
  static PortCapture* const recent = new PortCapture;
  return *recent;
}

void SetPortTrace(PortTrace* trace) { RecentPortAccesses().SetTrace(trace); }

PortTrace* PortCapture::Trace() {
  if (!traceChosen_) {
    traceChosen_ = true;
    trace_ = ProcessTrace();
  }
  return trace_;
}

void PortCapture::RecordWrite(std::uint8_t data) {
  const std::lock_guard lock(mutex_);
  if (PortTrace* t = Trace()) t->RecordWrite(data);
  ring_.RecordWrite(data);
}

void PortCapture::RecordRead(std::uint8_t status) {
  const std::lock_guard lock(mutex_);
  if (PortTrace* t = Trace()) t->RecordRead(status);
  ring_.RecordRead(status);
}

std::uint64_t PortCapture::total() const {
  const std::lock_guard lock(mutex_);
  return ring_.total();
}

PortAccessLog PortCapture::Snapshot() const {
  const std::lock_guard lock(mutex_);
  return ring_;
}

void PortCapture::clear() {
  const std::lock_guard lock(mutex_);
  ring_.clear();
}

bool PortCapture::SaveVcd(const std::string& path, std::string& error) const {
  return Snapshot().SaveVcd(path, error);
}

void PortCapture::SetTrace(PortTrace* trace) {
  const std::lock_guard lock(mutex_);
  traceChosen_ = true;
  trace_ = trace;
}

}  // namespace tarvel
