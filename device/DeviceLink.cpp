#include "device/DeviceLink.h"

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <utility>

namespace tarvel {

std::int16_t& BitVectorType::operator()(int index) {
  if (index < 0 || index > 15) throw std::out_of_range("BitVector index " + std::to_string(index));
  return entries_[static_cast<std::size_t>(index)];
}

std::int16_t BitVectorType::operator()(int index) const {
  if (index < 0 || index > 15) throw std::out_of_range("BitVector index " + std::to_string(index));
  return entries_[static_cast<std::size_t>(index)];
}

DeviceLink::~DeviceLink() {
  if (depth_ != 0) CloseOutermost();
}

std::unique_ptr<DeviceLink> DeviceLink::SharingPortOf(DeviceLink& other) {
  if (!other.handle_ || !other.handle_->backend) {
    PortError error;
    if (other.factory_ != nullptr) {
      if (auto made = other.factory_(error)) other.SetBackend(std::move(made));
    }
  }
  auto link = std::make_unique<DeviceLink>();
  link->handle_ = other.handle_;
  link->factory_ = other.factory_;
  link->sink_ = other.sink_;
  link->delayRead_ = other.delayRead_;
  link->delayNs_ = other.delayNs_;
  link->delayRefused_ = other.delayRefused_;
  link->portAddress = other.portAddress;
  return link;
}

void DeviceLink::SetBackend(std::unique_ptr<PortBackend> backend) {
  if (depth_ != 0) CloseOutermost();
  handle_ = std::make_shared<PortHandle>();
  handle_->backend = std::move(backend);
}

void DeviceLink::SetDelayNanoseconds(std::uint64_t ns) {
  delayRead_ = true;
  delayRefused_.clear();
  delayNs_ = ns;
}

std::string DeviceLink::DescribePort() const {
  if (PortBackend* b = backend()) return b->Describe(portAddress);
  const char* choice = std::getenv("TARVEL_PORT");
  return std::string(choice != nullptr && *choice != '\0' ? choice : "auto") + " (" +
         HexPortAddress(portAddress) + ", not open)";
}

void DeviceLink::ReadDelayFromEnvironment() {
  if (delayRead_) return;
  delayRead_ = true;
  const char* text = std::getenv("TARVEL_PORT_DELAY_NS");
  if (text == nullptr || *text == '\0') return;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  const bool digits = end != text && *end == '\0' && text[0] != '-';
  if (digits && (errno == ERANGE || value > kMaxPortDelayNs)) {
    // A busy wait this long per access would hold the port (and the bench)
    // for minutes: a typing error, not a slow chip.
    delayRefused_ = "TARVEL_PORT_DELAY_NS=" + std::string(text) + " is more than the " +
                    std::to_string(kMaxPortDelayNs) + " ns (10 ms) allowed per access";
    return;
  }
  if (errno != 0 || !digits) {
    std::cerr << "tarvel: ignoring TARVEL_PORT_DELAY_NS=\"" << text
              << "\": expected a whole number of nanoseconds from 0 to " << kMaxPortDelayNs << std::endl;
    return;
  }
  delayNs_ = value;
}

void DeviceLink::OpenOutermost(std::int32_t base, bool holder) {
  ReadDelayFromEnvironment();
  if (!delayRefused_.empty()) {
    throw PortAccessError({PortFailure::Unavailable, "TARVEL_PORT_DELAY_NS", delayRefused_,
                           "unset it or give at most " + std::to_string(kMaxPortDelayNs)});
  }
  PortError error;
  if (!handle_ || !handle_->backend) {
    std::unique_ptr<PortBackend> made = factory_ != nullptr ? factory_(error) : nullptr;
    if (!made) {
      if (factory_ == nullptr)
        error = {PortFailure::Unavailable, "the parallel port", "no port back-end chosen", ""};
      throw PortAccessError(error);
    }
    if (!handle_) handle_ = std::make_shared<PortHandle>();
    handle_->backend = std::move(made);
  }
  std::unique_lock<std::mutex> lock(handle_->inUse, std::try_to_lock);
  if (!lock.owns_lock()) {
    throw PortAccessError({PortFailure::Unavailable, handle_->backend->Describe(base),
                           "the port is in use by a sweep of this program",
                           "wait until the sweep has ended or stop it"});
  }
  if (!handle_->backend->Open(base, error)) {
    error.failure = PortFailure::Unavailable;
    throw PortAccessError(error);
  }
  owned_ = std::move(lock);
  depth_ = 1;
  held_ = holder;
}

void DeviceLink::CloseOutermost() {
  depth_ = 0;
  if (handle_ && handle_->backend) {
    PortError ignored;
    handle_->backend->Close(ignored);
  }
  if (owned_.owns_lock()) owned_.unlock();
}

PortBackend& DeviceLink::RequireOpenBackend() {
  if (depth_ == 0 || !handle_ || !handle_->backend) {
    throw PortAccessError(
        {PortFailure::AccessFailed, "the parallel port", "port accessed outside a device command", ""});
  }
  return *handle_->backend;
}

// Busy-waits so that at least delayNs pass between two accesses: sleeping
// would give up the processor for far longer than a chip's set-up time.
void DeviceLink::PauseBeforeAccess() {
  if (delayNs_ == 0) return;
  const auto due = lastAccess_ + std::chrono::nanoseconds(delayNs_);
  while (std::chrono::steady_clock::now() < due) {
  }
}

void DeviceLink::MarkAccess() {
  if (delayNs_ != 0) lastAccess_ = std::chrono::steady_clock::now();
}

}  // namespace tarvel
