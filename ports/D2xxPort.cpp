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
const char* const kSetupRemedy =
    "plug the adapter in again; it must offer synchronous bit-bang, as the FT232R, FT232H and FT2232H do";
const char* const kLostRemedy = "check that the adapter is still plugged in, then send again";

constexpr std::uint32_t kIds[] = {0x04036001, 0x04036014, 0x04036010};  // FT232R, FT232H, FT2232H (A first)
constexpr std::uint32_t kOpenBySerial = 1, kOpenByDescription = 2;
constexpr std::uint32_t kPurgeBoth = 1 | 2;
constexpr unsigned char kSyncBitBang = 0x04, kResetMode = 0x00, kLatencyMs = 1;
constexpr std::uint32_t kReadTimeoutMs = 100;
constexpr int kIdleReadLimit = 20;  // reads of kReadTimeoutMs that bring no sample
constexpr std::uint64_t kMinLevelNs = 1000;
constexpr std::uint64_t kBytesPerBaud = 16;  // bit-bang bytes per second per D2XX baud (FT232R)
constexpr std::uint32_t kSlowestBaud = 1200;

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

D2xxPortBackend::D2xxPortBackend(std::string descriptor) : descriptor_(std::move(descriptor)) {}

D2xxPortBackend::~D2xxPortBackend() { Release(); }

std::string D2xxPortBackend::Target() const {
  return "FTDI adapter " +
         (descriptor_.empty() ? std::string("(first FT232R, FT232H or FT2232H found)") : descriptor_);
}

std::uint32_t D2xxPortBackend::BaudRateFor(std::uint64_t delayNs) {
  const std::uint64_t levelNs = std::max(kMinLevelNs, delayNs);
  const std::uint64_t baud = 1'000'000'000ULL / (levelNs * kBytesPerBaud);
  return baud < kSlowestBaud ? 0 : static_cast<std::uint32_t>(baud);
}

bool D2xxPortBackend::Open(std::int32_t base, PortError& error) {
  base_ = base;
  pending_.clear();
  error.target = Target();
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
  open_ = true;
  std::uint32_t baud = BaudRateFor(PortDelayNanoseconds());
  paced_ = baud == 0;
  if (paced_) baud = kSlowestBaud;  // each byte its own transfer, paced by the caller
  std::uint32_t rc = api_->setLatencyTimer(handle_, kLatencyMs);
  if (rc != 0) return Fail(PortFailure::Unavailable, "FT_SetLatencyTimer", rc, error);
  rc = api_->setTimeouts(handle_, kReadTimeoutMs, kReadTimeoutMs);
  if (rc != 0) return Fail(PortFailure::Unavailable, "FT_SetTimeouts", rc, error);
  rc = api_->setBitMode(handle_, kAdapterOutputPins, kSyncBitBang);
  if (rc != 0) return Fail(PortFailure::Unavailable, "FT_SetBitMode", rc, error);
  rc = api_->setBaudRate(handle_, baud);
  if (rc != 0) return Fail(PortFailure::Unavailable, "FT_SetBaudRate", rc, error);
  rc = api_->purge(handle_, kPurgeBoth);  // drop samples left from before
  if (rc != 0) return Fail(PortFailure::Unavailable, "FT_Purge", rc, error);
  return true;
}

bool D2xxPortBackend::OpenDevice(PortError& error) {
  const FtdiDescriptor d = SplitFtdiDescriptor(descriptor_);
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
      if (rc == 0) break;
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
      if (rc == 0) break;
    }
    if (rc == 0 && handle_ == nullptr) rc = 2;
  }
  if (rc == 0) return true;
  handle_ = nullptr;
  error.reason = std::string(what) + ": " + StatusText(rc);
  error.remedy = rc == 2 ? kNotFoundRemedy : rc == 3 ? kBusyRemedy : kSetupRemedy;
  return false;
}

bool D2xxPortBackend::Fail(PortFailure failure, const std::string& what, std::uint32_t status,
                           PortError& error) {
  pending_.clear();
  error.failure = failure;
  error.target = Target();
  error.reason = what + (status != 0 ? std::string(": ") + StatusText(status) : std::string());
  error.remedy = failure == PortFailure::Unavailable ? kSetupRemedy : kLostRemedy;
  if (failure == PortFailure::Unavailable) Release();
  return false;
}

bool D2xxPortBackend::Transfer(std::uint8_t* sample, PortError& error) {
  std::vector<unsigned char> out;
  out.swap(pending_);
  if (sample != nullptr) out.push_back(level_);
  if (out.empty()) return true;
  const auto n = static_cast<std::uint32_t>(out.size());
  std::uint32_t written = 0;
  std::uint32_t rc = api_->write(handle_, out.data(), n, &written);
  if (rc != 0) return Fail(PortFailure::AccessFailed, "FT_Write", rc, error);
  if (written != n) {
    return Fail(PortFailure::AccessFailed,
                "short write: " + std::to_string(written) + " of " + std::to_string(n) + " bytes sent", 0,
                error);
  }
  // One sample comes back for every byte sent.
  std::vector<unsigned char> in(out.size());
  std::uint32_t got = 0;
  for (int idle = 0; got < n;) {
    std::uint32_t part = 0;
    rc = api_->read(handle_, in.data() + got, n - got, &part);
    if (rc != 0) return Fail(PortFailure::AccessFailed, "FT_Read", rc, error);
    if (part == 0 && ++idle >= kIdleReadLimit) {
      return Fail(PortFailure::AccessFailed,
                  "short read: " + std::to_string(got) + " of " + std::to_string(n) + " samples came back", 0,
                  error);
    }
    got += part;
  }
  if (sample != nullptr) *sample = in.back();
  return true;
}

bool D2xxPortBackend::Write(std::int32_t port, std::uint8_t value, PortError& error) {
  if (!open_ || port != base_) {
    return Fail(PortFailure::AccessFailed,
                "write to port " + std::to_string(port) + ", not the data register", 0, error);
  }
  level_ = value & kAdapterOutputPins;
  pending_.push_back(level_);
  if (paced_ || pending_.size() >= kMaxBatch) return Transfer(nullptr, error);
  return true;
}

bool D2xxPortBackend::Read(std::int32_t port, std::uint8_t& value, PortError& error) {
  if (!open_ || port != base_ + 1) {
    return Fail(PortFailure::AccessFailed,
                "read from port " + std::to_string(port) + ", not the status register", 0, error);
  }
  std::uint8_t pins = 0;
  if (!Transfer(&pins, error)) return false;
  value = AdapterStatusFromPins(pins);
  return true;
}

bool D2xxPortBackend::Flush(PortError& error) { return !open_ || Transfer(nullptr, error); }

bool D2xxPortBackend::Close(PortError& error) {
  const bool ok = Flush(error);
  Release();
  return ok;
}

void D2xxPortBackend::Release() {
  pending_.clear();
  if (handle_ == nullptr) return;
  if (open_) api_->setBitMode(handle_, 0, kResetMode);  // the pins back to inputs
  api_->close(handle_);                                 // FT_Close on every path
  handle_ = nullptr;
  open_ = false;
}

std::string D2xxPortBackend::Describe(std::int32_t) const { return Choice() + " (FTDI adapter, D2XX)"; }

}  // namespace tarvel
