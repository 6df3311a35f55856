#include "ports/FtdiBitBang.h"

#include <algorithm>
#include <utility>

#include "ports/PortSelect.h"

namespace tarvel {

namespace {

const char* const kLostRemedy = "check that the adapter is still plugged in, then send again";

// Pin levels last at least this long: the chips' set-up and hold times.
constexpr std::uint64_t kMinLevelNs = 1000;

}  // namespace

FtdiBitBang::FtdiBitBang(std::string descriptor, int idleReadLimit)
    : descriptor_(std::move(descriptor)), idleReadLimit_(idleReadLimit) {}

std::string FtdiBitBang::Target() const {
  return "FTDI adapter " +
         (descriptor_.empty() ? std::string("(first FT232R, FT232H or FT2232H found)") : descriptor_);
}

std::uint64_t FtdiBitBang::RateFor(std::uint64_t delayNs, std::uint64_t bytesPerBaud,
                                   std::uint64_t slowestBaud) {
  const std::uint64_t levelNs = std::max(kMinLevelNs, delayNs);
  const std::uint64_t baud = 1'000'000'000ULL / (levelNs * bytesPerBaud);
  return baud < slowestBaud ? 0 : baud;
}

bool FtdiBitBang::Open(std::int32_t base, PortError& error) {
  base_ = base;
  pending_.clear();
  error.target = Target();
  if (!OpenAdapter(paced_, error)) return false;
  open_ = true;
  return true;
}

bool FtdiBitBang::Fail(PortFailure failure, const std::string& reason, PortError& error) {
  pending_.clear();
  error.failure = failure;
  error.target = Target();
  error.reason = reason;
  error.remedy = failure == PortFailure::Unavailable ? kSetupRemedy : kLostRemedy;
  // Open's failures end the session here; later ones are closed by Close.
  if (failure == PortFailure::Unavailable) Release();
  return false;
}

bool FtdiBitBang::Transfer(std::uint8_t* sample, PortError& error) {
  std::vector<unsigned char> out;
  out.swap(pending_);
  if (sample != nullptr) out.push_back(level_);
  if (out.empty()) return true;
  const std::size_t n = out.size();
  std::string failure;
  std::size_t sent = 0;
  if (!SendBytes(out.data(), n, sent, failure)) return Fail(PortFailure::AccessFailed, failure, error);
  if (sent != n) {
    return Fail(PortFailure::AccessFailed,
                "short write: " + std::to_string(sent) + " of " + std::to_string(n) + " bytes sent", error);
  }
  // One sample comes back for every byte sent.
  std::vector<unsigned char> in(n);
  std::size_t got = 0;
  for (int idle = 0; got < n;) {
    std::size_t part = 0;
    if (!ReceiveBytes(in.data() + got, n - got, part, failure)) {
      return Fail(PortFailure::AccessFailed, failure, error);
    }
    if (part == 0 && ++idle >= idleReadLimit_) {
      return Fail(PortFailure::AccessFailed,
                  "short read: " + std::to_string(got) + " of " + std::to_string(n) + " samples came back",
                  error);
    }
    got += part;
  }
  if (sample != nullptr) *sample = in.back();
  return true;
}

bool FtdiBitBang::Write(std::int32_t port, std::uint8_t value, PortError& error) {
  if (!open_ || port != base_) {
    return Fail(PortFailure::AccessFailed,
                "write to port " + std::to_string(port) + ", not the data register", error);
  }
  level_ = value & kAdapterOutputPins;
  pending_.push_back(level_);
  if (paced_ || pending_.size() >= kMaxBatch) return Transfer(nullptr, error);
  return true;
}

bool FtdiBitBang::Read(std::int32_t port, std::uint8_t& value, PortError& error) {
  if (!open_ || port != base_ + 1) {
    return Fail(PortFailure::AccessFailed,
                "read from port " + std::to_string(port) + ", not the status register", error);
  }
  std::uint8_t pins = 0;
  if (!Transfer(&pins, error)) return false;
  value = AdapterStatusFromPins(pins);
  return true;
}

// After a failure nothing is kept, so neither sends anything more.
bool FtdiBitBang::Flush(PortError& error) { return !open_ || Transfer(nullptr, error); }

bool FtdiBitBang::Close(PortError& error) {
  const bool ok = Flush(error);
  Release();
  return ok;
}

void FtdiBitBang::Release() {
  pending_.clear();
  open_ = false;
  CloseAdapter();
}

}  // namespace tarvel
