#include "ports/D2xxPort.h"

#include <algorithm>
#include <utility>

#include "core/platform/SharedLibrary.h"
#include "ports/PortSelect.h"

namespace tarvel {

namespace {

const char* const kLibraryRemedy =
    "install FTDI's D2XX driver (CDM, from FTDI's web site; Windows Update usually installs it when the "
    "adapter is plugged in), which brings ftd2xx64.dll";
const char* const kNotFoundRemedy =
    "plug in an FT232R, FT232H or FT2232H adapter (Device Manager lists it under Universal Serial Bus "
    "controllers as a USB Serial Converter), or name yours with TARVEL_PORT=ftdi:s:VID:PID:SERIAL";
const char* const kBusyRemedy = "another program holds the adapter (a terminal on its COM port?); close it";

constexpr std::uint32_t kIds[] = {0x04036001, 0x04036014, 0x04036010};  // FT232R, FT232H, FT2232H (A first)
constexpr std::uint32_t kOpenBySerial = 1, kOpenByDescription = 2;
constexpr std::uint32_t kPurgeBoth = 1 | 2;
constexpr unsigned char kSyncBitBang = 0x04, kResetMode = 0x00, kLatencyMs = 1;
constexpr std::uint32_t kReadTimeoutMs = 100;
constexpr int kIdleReadLimit = 20;           // reads of kReadTimeoutMs that bring no sample
constexpr std::uint64_t kBytesPerBaud = 16;  // bit-bang bytes per second per D2XX baud (FT232R)
constexpr std::uint64_t kSlowestBaud = 1200;

const char* StatusText(std::uint32_t status) {
  static const char* const kTexts[] = {"FT_OK",
                                       "FT_INVALID_HANDLE",
                                       "FT_DEVICE_NOT_FOUND",
                                       "FT_DEVICE_NOT_OPENED",
                                       "FT_IO_ERROR",
                                       "FT_INSUFFICIENT_RESOURCES",
                                       "FT_INVALID_PARAMETER",
                                       "FT_INVALID_BAUD_RATE",
                                       "FT_DEVICE_NOT_OPENED_FOR_ERASE",
                                       "FT_DEVICE_NOT_OPENED_FOR_WRITE",
                                       "FT_FAILED_TO_WRITE_DEVICE",
                                       "FT_EEPROM_READ_FAILED",
                                       "FT_EEPROM_WRITE_FAILED",
                                       "FT_EEPROM_ERASE_FAILED",
                                       "FT_EEPROM_NOT_PRESENT",
                                       "FT_EEPROM_NOT_PROGRAMMED",
                                       "FT_INVALID_ARGS",
                                       "FT_NOT_SUPPORTED",
                                       "FT_OTHER_ERROR"};
  return status < std::size(kTexts) ? kTexts[status] : "FT_OTHER_ERROR";
}

std::string CallFailure(const char* call, std::uint32_t status) {
  return std::string(call) + ": " + StatusText(status);
}

}  // namespace

const D2xxApi* LoadD2xxLibrary(std::string& reason) {
  static D2xxApi api{};
  static bool loaded = false;
  if (loaded) return &api;
  std::string reasons;
  for (const char* name : {"ftd2xx64.dll", "ftd2xx.dll"}) {
    std::string why;
    SharedLibrary library(name, why);
    const bool ok = library.opened() && library.Bind("FT_CreateDeviceInfoList", api.createDeviceInfoList) &&
                    library.Bind("FT_GetDeviceInfoDetail", api.getDeviceInfoDetail) &&
                    library.Bind("FT_Open", api.open) && library.Bind("FT_OpenEx", api.openEx) &&
                    library.Bind("FT_Close", api.close) && library.Bind("FT_SetBitMode", api.setBitMode) &&
                    library.Bind("FT_SetBaudRate", api.setBaudRate) &&
                    library.Bind("FT_SetLatencyTimer", api.setLatencyTimer) &&
                    library.Bind("FT_SetTimeouts", api.setTimeouts) && library.Bind("FT_Purge", api.purge) &&
                    library.Bind("FT_Write", api.write) && library.Bind("FT_Read", api.read);
    if (ok) {
      library.Keep();
      loaded = true;
      return &api;
    }
    reasons += (reasons.empty() ? "" : "; ") + why;
  }
  reason = "neither ftd2xx64.dll nor ftd2xx.dll can be loaded (" + reasons + ")";
  return nullptr;
}

D2xxPortBackend::D2xxPortBackend(std::string descriptor)
    : FtdiBitBang(std::move(descriptor), kIdleReadLimit) {}

D2xxPortBackend::~D2xxPortBackend() { Release(); }

std::uint32_t D2xxPortBackend::BaudRateFor(std::uint64_t delayNs) {
  return static_cast<std::uint32_t>(RateFor(delayNs, kBytesPerBaud, kSlowestBaud));
}

bool D2xxPortBackend::OpenAdapter(bool& paced, PortError& error) {
  if (api_ == nullptr) {
    std::string reason;
    api_ = LoadD2xxLibrary(reason);
    if (api_ == nullptr) {
      error.reason = reason;
      error.remedy = kLibraryRemedy;
      return false;
    }
  }
  if (!OpenDevice(error)) return false;
  configured_ = true;
  std::uint32_t baud = BaudRateFor(PortDelayNanoseconds());
  paced = baud == 0;
  if (paced)
    baud = static_cast<std::uint32_t>(kSlowestBaud);  // each byte its own transfer, paced by the caller
  std::uint32_t rc = api_->setLatencyTimer(handle_, kLatencyMs);
  if (rc != 0) return SetupFailed(CallFailure("FT_SetLatencyTimer", rc), error);
  rc = api_->setTimeouts(handle_, kReadTimeoutMs, kReadTimeoutMs);
  if (rc != 0) return SetupFailed(CallFailure("FT_SetTimeouts", rc), error);
  rc = api_->setBitMode(handle_, kAdapterOutputPins, kSyncBitBang);
  if (rc != 0) return SetupFailed(CallFailure("FT_SetBitMode", rc), error);
  rc = api_->setBaudRate(handle_, baud);
  if (rc != 0) return SetupFailed(CallFailure("FT_SetBaudRate", rc), error);
  rc = api_->purge(handle_, kPurgeBoth);  // drop samples left from before
  if (rc != 0) return SetupFailed(CallFailure("FT_Purge", rc), error);
  return true;
}

bool D2xxPortBackend::OpenDevice(PortError& error) {
  const FtdiDescriptor d = SplitFtdiDescriptor(descriptor());
  if (d.kind == 'd') {
    error.reason = "D2XX cannot open an adapter by USB bus and device number";
    error.remedy = "name it by serial number instead: TARVEL_PORT=ftdi:s:VID:PID:SERIAL";
    return false;
  }
  std::uint32_t rc = 2;  // FT_DEVICE_NOT_FOUND
  const char* what = "FT_Open";
  if (d.kind == 's') {
    // The first interface of a two-port chip carries the serial number with
    // "A"; failing both, the text may be the description D2XX lists.
    what = "FT_OpenEx";
    const std::pair<std::string, std::uint32_t> tries[] = {
        {d.serial, kOpenBySerial}, {d.serial + "A", kOpenBySerial}, {d.serial, kOpenByDescription}};
    for (const auto& [text, by] : tries) {
      std::string copy = text;
      rc = api_->openEx(copy.data(), by, &handle_);
      if (rc == 0) {
        if (by == kOpenBySerial) serial_ = d.serial;
        break;
      }
    }
  } else {
    std::uint32_t count = 0;
    rc = api_->createDeviceInfoList(&count);
    long seen = 0;
    for (std::uint32_t i = 0; rc == 0 && i < count; ++i) {
      std::uint32_t flags = 0, type = 0, id = 0, location = 0;
      char serial[16] = {}, description[64] = {};
      D2xxApi::Handle ignored = nullptr;
      if (api_->getDeviceInfoDetail(i, &flags, &type, &id, &location, serial, description, &ignored) != 0)
        continue;
      const bool wanted =
          d.kind == 'i'
              ? id == ((static_cast<std::uint32_t>(d.vendor) << 16) | static_cast<std::uint32_t>(d.product))
              : std::find(std::begin(kIds), std::end(kIds), id) != std::end(kIds);
      if (!wanted || seen++ < d.index) continue;
      rc = api_->open(static_cast<int>(i), &handle_);
      if (rc == 0) {
        serial[sizeof serial - 1] = '\0';
        serial_ = serial;
        break;
      }
    }
    if (rc == 0 && handle_ == nullptr) rc = 2;
  }
  if (rc == 0) return true;
  handle_ = nullptr;
  error.reason = std::string(what) + ": " + StatusText(rc);
  error.remedy = rc == 2 ? kNotFoundRemedy : rc == 3 ? kBusyRemedy : kSetupRemedy;
  return false;
}

bool D2xxPortBackend::SendBytes(unsigned char* data, std::size_t size, std::size_t& sent,
                                std::string& failure) {
  std::uint32_t written = 0;
  const std::uint32_t rc = api_->write(handle_, data, static_cast<std::uint32_t>(size), &written);
  if (rc != 0) {
    failure = CallFailure("FT_Write", rc);
    return false;
  }
  sent = written;
  return true;
}

bool D2xxPortBackend::ReceiveBytes(unsigned char* data, std::size_t size, std::size_t& got,
                                   std::string& failure) {
  std::uint32_t part = 0;
  const std::uint32_t rc = api_->read(handle_, data, static_cast<std::uint32_t>(size), &part);
  if (rc != 0) {
    failure = CallFailure("FT_Read", rc);
    return false;
  }
  got = part;
  return true;
}

void D2xxPortBackend::Release() {
  if (handle_ == nullptr) return;
  if (configured_) api_->setBitMode(handle_, 0, kResetMode);  // the pins back to inputs
  api_->close(handle_);                                       // FT_Close on every path
  handle_ = nullptr;
  configured_ = false;
}

std::string D2xxPortBackend::Describe(std::int32_t) const { return Choice() + " (FTDI adapter, D2XX)"; }

}  // namespace tarvel
