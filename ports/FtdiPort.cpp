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
const char* const kLibraryRemedy = "install libftdi1 (sudo apt install libftdi1-2)";

// The chips tried, in order, when no descriptor names one.
constexpr int kFtdiVendor = 0x0403;
constexpr int kProducts[] = {0x6001, 0x6014, 0x6010};  // FT232R, FT232H, FT2232H

// libftdi's codes of ftdi_usb_open*.
constexpr int kNotFound = -3;
constexpr int kCannotOpen = -4;
constexpr int kCannotClaim = -5;

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
  // Looked up through libftdi1's own dependencies; without them only the
  // serial number is unknown.
  if (!library.Bind("ftdi_usb_get_strings2", api.getStrings) ||
      !library.Bind("libusb_get_device", api.usbDevice))
    api.getStrings = nullptr;
  library.Keep();
  loaded = true;
  return &api;
}

FtdiPortBackend::FtdiPortBackend(std::string descriptor, FtdiLoader loader)
    : FtdiBitBang(std::move(descriptor), kIdleReadLimit), loader_(loader) {}

FtdiPortBackend::~FtdiPortBackend() { Release(); }

int FtdiPortBackend::BaudRateFor(std::uint64_t delayNs) {
  return static_cast<int>(RateFor(delayNs, kBytesPerBaud, static_cast<std::uint64_t>(kSlowestBaud)));
}

bool FtdiPortBackend::OpenAdapter(bool& paced, PortError& error) {
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
  usbOpen_ = true;
  int baud = BaudRateFor(PortDelayNanoseconds());
  paced = baud == 0;
  if (paced) baud = kSlowestBaud;  // each byte its own transfer, paced by the caller
  if (api_->setLatencyTimer(ctx_, kLatencyMs) < 0)
    return SetupFailed(CallFailure("ftdi_set_latency_timer"), error);
  if (api_->setBitmode(ctx_, kDirectionMask, BITMODE_SYNCBB) < 0) {
    return SetupFailed(CallFailure("ftdi_set_bitmode"), error);
  }
  if (api_->setBaudrate(ctx_, baud) < 0) return SetupFailed(CallFailure("ftdi_set_baudrate"), error);
  // Drop samples left from before.
  if (api_->flush(ctx_) < 0) return SetupFailed(CallFailure("ftdi_tcioflush"), error);
  return true;
}

std::string FtdiPortBackend::ReadSerial() const {
  if (api_->getStrings == nullptr || api_->usbDevice == nullptr || ctx_->usb_dev == nullptr) return {};
  char serial[128] = {};
  if (api_->getStrings(ctx_, api_->usbDevice(ctx_->usb_dev), nullptr, 0, nullptr, 0, serial, sizeof serial) <
      0)
    return {};
  serial[sizeof serial - 1] = '\0';
  return serial;
}

bool FtdiPortBackend::OpenDevice(PortError& error) {
  int rc = api_->setInterface(ctx_, INTERFACE_A);
  const char* what = "ftdi_set_interface";
  if (rc == 0) {
    what = descriptor().empty() ? "ftdi_usb_open" : "ftdi_usb_open_string";
    if (!descriptor().empty()) {
      rc = api_->usbOpenString(ctx_, descriptor().c_str());
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

std::string FtdiPortBackend::CallFailure(const char* call) const {
  const char* text = api_->errorString(ctx_);
  return std::string(call) + (text != nullptr ? std::string(": ") + text : std::string());
}

bool FtdiPortBackend::SendBytes(unsigned char* data, std::size_t size, std::size_t& sent,
                                std::string& failure) {
  const int rc = api_->writeData(ctx_, data, static_cast<int>(size));
  if (rc < 0) {
    failure = CallFailure("ftdi_write_data");
    return false;
  }
  sent = static_cast<std::size_t>(rc);
  return true;
}

bool FtdiPortBackend::ReceiveBytes(unsigned char* data, std::size_t size, std::size_t& got,
                                   std::string& failure) {
  const int rc = api_->readData(ctx_, data, static_cast<int>(size));
  if (rc < 0) {
    failure = CallFailure("ftdi_read_data");
    return false;
  }
  got = static_cast<std::size_t>(rc);
  return true;
}

void FtdiPortBackend::Release() {
  if (ctx_ == nullptr) return;
  if (usbOpen_) api_->usbClose(ctx_);
  api_->freeContext(ctx_);
  ctx_ = nullptr;
  usbOpen_ = false;
}

std::string FtdiPortBackend::Describe(std::int32_t) const { return Choice() + " (FTDI adapter)"; }

}  // namespace tarvel
