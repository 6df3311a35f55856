#include "ports/FtdiPort.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <type_traits>

#include "core/platform/SharedLibrary.h"
#include "ports/FtdiChoice.h"
#include "ports/PortSelect.h"

namespace tarvel {

namespace {

const char* const kNotFoundRemedy =
    "plug in an FT232R, FT232H or FT2232H adapter (lsusb lists it as 0403:6001, 0403:6014 or 0403:6010), "
    "or name yours with TARVEL_PORT=ftdi:i:VID:PID";
const char* const kPermissionRemedy =
    "allow your user to open it: put the udev rule SUBSYSTEM==\"usb\", ATTR{idVendor}==\"0403\", "
    "MODE=\"0660\", GROUP=\"plugdev\" into /etc/udev/rules.d/60-tarvel-ftdi.rules, join the plugdev group "
    "and plug the adapter in again";
const char* const kClaimRemedy =
    "another program holds the adapter; close it (the ftdi_sio driver need not be unloaded: libftdi "
    "detaches it and gives the adapter back afterwards)";
const char* const kSetupRemedy =
    "plug the adapter in again; it must offer synchronous bit-bang, as the FT232R, FT232H and FT2232H do";
const char* const kLostRemedy = "check that the adapter is still plugged in, then send again";
const char* const kLibraryRemedy = "install libftdi1 (sudo apt install libftdi1-2)";

// The chips tried, in order, when no descriptor names one.
constexpr int kFtdiVendor = 0x0403;
constexpr int kProducts[] = {0x6001, 0x6014, 0x6010};  // FT232R, FT232H, FT2232H

// libftdi's codes of ftdi_usb_open*.
constexpr int kNotFound = -3;
constexpr int kCannotOpen = -4;
constexpr int kCannotClaim = -5;

// Pin levels last at least this long: the chips' set-up and hold times.
constexpr std::uint64_t kMinLevelNs = 1000;
// Bit-bang bytes per second per baud at most (libftdi programs four times
// the rate asked for in bit-bang mode, and the FT232R clocks bit-bang bytes
// at 16 times its programmed rate), and the slowest baud rate every chip
// accepts.
constexpr std::uint64_t kBytesPerBaud = 64;
constexpr int kSlowestBaud = 300;

}  // namespace

const FtdiApi* LoadFtdiLibrary(std::string& reason) {
  static FtdiApi api{};
  static bool loaded = false;
  if (loaded) return &api;
  SharedLibrary library("libftdi1.so.2", reason);
  const bool ok =
      library.opened() && library.Bind("ftdi_new", api.newContext) &&
      library.Bind("ftdi_free", api.freeContext) && library.Bind("ftdi_set_interface", api.setInterface) &&
      library.Bind("ftdi_usb_open", api.usbOpen) && library.Bind("ftdi_usb_open_string", api.usbOpenString) &&
      library.Bind("ftdi_usb_close", api.usbClose) &&
      library.Bind("ftdi_set_latency_timer", api.setLatencyTimer) &&
      library.Bind("ftdi_set_bitmode", api.setBitmode) &&
      library.Bind("ftdi_set_baudrate", api.setBaudrate) && library.Bind("ftdi_tcioflush", api.flush) &&
      library.Bind("ftdi_write_data", api.writeData) && library.Bind("ftdi_read_data", api.readData) &&
      library.Bind("ftdi_get_error_string", api.errorString);
  if (!ok) return nullptr;
  library.Keep();
  loaded = true;
  return &api;
}

FtdiPortBackend::FtdiPortBackend(std::string descriptor, FtdiLoader loader)
    : descriptor_(std::move(descriptor)), loader_(loader) {}

FtdiPortBackend::~FtdiPortBackend() { Release(); }

std::string FtdiPortBackend::Target() const {
  return "FTDI adapter " +
         (descriptor_.empty() ? std::string("(first FT232R, FT232H or FT2232H found)") : descriptor_);
}

int FtdiPortBackend::BaudRateFor(std::uint64_t delayNs) {
  const std::uint64_t levelNs = std::max(kMinLevelNs, delayNs);
  const std::uint64_t baud = 1'000'000'000ULL / (levelNs * kBytesPerBaud);
  return baud < static_cast<std::uint64_t>(kSlowestBaud) ? 0 : static_cast<int>(baud);
}

bool FtdiPortBackend::Open(std::int32_t base, PortError& error) {
  base_ = base;
  pending_.clear();
  error.target = Target();
  if (api_ == nullptr) {
    std::string reason;
    api_ = loader_(reason);
    if (api_ == nullptr) {
      error.reason = reason;
      error.remedy = kLibraryRemedy;
      return false;
    }
  }
  ctx_ = api_->newContext();
  if (ctx_ == nullptr) {
    error.reason = "libftdi could not set up its context";
    return false;
  }
  // Give the serial driver back when the adapter is closed.
  ctx_->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
  if (!OpenDevice(error)) {
    Release();
    return false;
  }
  open_ = true;
  int baud = BaudRateFor(PortDelayNanoseconds());
  paced_ = baud == 0;
  if (paced_) baud = kSlowestBaud;  // each byte its own transfer, paced by the caller
  int rc = api_->setLatencyTimer(ctx_, kLatencyMs);
  if (rc < 0) return Fail(PortFailure::Unavailable, "ftdi_set_latency_timer", rc, error);
  rc = api_->setBitmode(ctx_, kDirectionMask, BITMODE_SYNCBB);
  if (rc < 0) return Fail(PortFailure::Unavailable, "ftdi_set_bitmode", rc, error);
  rc = api_->setBaudrate(ctx_, baud);
  if (rc < 0) return Fail(PortFailure::Unavailable, "ftdi_set_baudrate", rc, error);
  rc = api_->flush(ctx_);  // drop samples left from before
  if (rc < 0) return Fail(PortFailure::Unavailable, "ftdi_tcioflush", rc, error);
  return true;
}

bool FtdiPortBackend::OpenDevice(PortError& error) {
  int rc = api_->setInterface(ctx_, INTERFACE_A);
  const char* what = "ftdi_set_interface";
  if (rc == 0) {
    what = descriptor_.empty() ? "ftdi_usb_open" : "ftdi_usb_open_string";
    if (!descriptor_.empty()) {
      rc = api_->usbOpenString(ctx_, descriptor_.c_str());
    } else {
      for (const int product : kProducts) {
        rc = api_->usbOpen(ctx_, kFtdiVendor, product);
        if (rc != kNotFound) break;
      }
    }
  }
  if (rc == 0) return true;
  const char* text = api_->errorString(ctx_);
  error.reason = std::string(what) + ": " + (text != nullptr ? text : "unknown error");
  error.remedy = rc == kNotFound      ? kNotFoundRemedy
                 : rc == kCannotOpen  ? kPermissionRemedy
                 : rc == kCannotClaim ? kClaimRemedy
                                      : kPermissionRemedy;
  return false;
}

bool FtdiPortBackend::Fail(PortFailure failure, const std::string& what, int rc, PortError& error) {
  pending_.clear();
  const char* text = rc < 0 ? api_->errorString(ctx_) : nullptr;
  error.failure = failure;
  error.target = Target();
  error.reason = what + (text != nullptr ? std::string(": ") + text : std::string());
  error.remedy = failure == PortFailure::Unavailable ? kSetupRemedy : kLostRemedy;
  // Open's failures end the session here; later ones are closed by Close.
  if (failure == PortFailure::Unavailable) Release();
  return false;
}

bool FtdiPortBackend::Transfer(std::uint8_t* sample, PortError& error) {
  std::vector<unsigned char> out;
  out.swap(pending_);
  if (sample != nullptr) out.push_back(level_);
  if (out.empty()) return true;
  const int n = static_cast<int>(out.size());
  int rc = api_->writeData(ctx_, out.data(), n);
  if (rc < 0) return Fail(PortFailure::AccessFailed, "ftdi_write_data", rc, error);
  if (rc != n) {
    return Fail(PortFailure::AccessFailed,
                "short write: " + std::to_string(rc) + " of " + std::to_string(n) + " bytes sent", 0, error);
  }
  // One sample comes back for every byte sent.
  std::vector<unsigned char> in(out.size());
  int got = 0;
  for (int idle = 0; got < n;) {
    rc = api_->readData(ctx_, in.data() + got, n - got);
    if (rc < 0) return Fail(PortFailure::AccessFailed, "ftdi_read_data", rc, error);
    if (rc == 0 && ++idle >= kIdleReadLimit) {
      return Fail(PortFailure::AccessFailed,
                  "short read: " + std::to_string(got) + " of " + std::to_string(n) + " samples came back", 0,
                  error);
    }
    got += rc;
  }
  if (sample != nullptr) *sample = in.back();
  return true;
}

bool FtdiPortBackend::Write(std::int32_t port, std::uint8_t value, PortError& error) {
  if (!open_ || port != base_) {
    return Fail(PortFailure::AccessFailed,
                "write to port " + std::to_string(port) + ", not the data register", 0, error);
  }
  level_ = value & kAdapterOutputPins;
  pending_.push_back(level_);
  if (paced_ || pending_.size() >= kMaxBatch) return Transfer(nullptr, error);
  return true;
}

bool FtdiPortBackend::Read(std::int32_t port, std::uint8_t& value, PortError& error) {
  if (!open_ || port != base_ + 1) {
    return Fail(PortFailure::AccessFailed,
                "read from port " + std::to_string(port) + ", not the status register", 0, error);
  }
  std::uint8_t pins = 0;
  if (!Transfer(&pins, error)) return false;
  value = AdapterStatusFromPins(pins);
  return true;
}

// After a failure nothing is kept, so neither sends anything more.
bool FtdiPortBackend::Flush(PortError& error) { return !open_ || Transfer(nullptr, error); }

bool FtdiPortBackend::Close(PortError& error) {
  const bool ok = Flush(error);
  Release();
  return ok;
}

void FtdiPortBackend::Release() {
  pending_.clear();
  if (ctx_ == nullptr) return;
  if (open_) api_->usbClose(ctx_);
  api_->freeContext(ctx_);
  ctx_ = nullptr;
  open_ = false;
}

std::string FtdiPortBackend::Describe(std::int32_t) const { return Choice() + " (FTDI adapter)"; }

}  // namespace tarvel
