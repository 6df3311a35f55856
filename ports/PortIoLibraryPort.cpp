#include "ports/PortIoLibraryPort.h"

#include "core/platform/Platform.h"
#include "ports/PortDiscovery.h"

namespace tarvel {

namespace {

const char* const kInstallRemedy =
    "install InpOut for 64-bit Windows (inpoutx64.dll, from the InpOut32/InpOutx64 project) beside "
    "tarvel.exe "
    "and run its installer (InstallDriver.exe) once as administrator, or put a 64-bit dlportio.dll there "
    "(the 32-bit one of older installations cannot be loaded)";
const char* const kDriverRemedy =
    "run InpOut's InstallDriver.exe once as administrator, or put a 64-bit dlportio.dll beside tarvel.exe";
const char* const kBlocklistRemedy =
    "Windows 11's vulnerable-driver blocklist (on by default, with Memory integrity) often blocks the "
    "inpoutx64 driver; if it does, use an FTDI FT232R, FT232H or FT2232H adapter instead (TARVEL_PORT=ftdi)";

std::string Range(std::int32_t base) {
  return "I/O ports " + HexPortAddress(base) + "-" + HexPortAddress(base + 2);
}

}  // namespace

PortIoLibraryBackend::PortIoLibraryBackend(std::vector<std::string> libraries)
    : libraries_(std::move(libraries)) {}

PortIoLibraryBackend::~PortIoLibraryBackend() {
  if (library_ != nullptr) platform::CloseLibrary(library_);
}

bool PortIoLibraryBackend::Load(PortError& error) {
  if (library_ != nullptr) return true;
  std::string reasons, names;
  bool driverStopped = false;
  for (const std::string& name : libraries_) {
    names += (names.empty() ? "" : " nor ") + name;
    std::string reason;
    void* library = platform::OpenLibrary(name, reason);
    if (library == nullptr) {
      reasons += (reasons.empty() ? "" : "; ") + reason;
      continue;
    }
    write_ = reinterpret_cast<WriteFn>(platform::LibrarySymbol(library, "DlPortWritePortUchar"));
    read_ = reinterpret_cast<ReadFn>(platform::LibrarySymbol(library, "DlPortReadPortUchar"));
    if (write_ == nullptr || read_ == nullptr) {
      reasons += (reasons.empty() ? "" : "; ") + name + " lacks DlPortWritePortUchar or DlPortReadPortUchar";
      platform::CloseLibrary(library);
      continue;
    }
    // InpOut starts its driver when loaded and says whether that worked.
    const auto driverOpen =
        reinterpret_cast<DriverOpenFn>(platform::LibrarySymbol(library, "IsInpOutDriverOpen"));
    // When it did not, the next library is tried.
    if (driverOpen != nullptr && driverOpen() == 0) {
      reasons += (reasons.empty() ? "" : "; ") + name + " is loaded but its driver did not start";
      driverStopped = true;
      platform::CloseLibrary(library);
      continue;
    }
    library_ = library;
    loadedName_ = name;
    return true;
  }
  error.reason = "neither " + names + " can be used (" + reasons + ")";
  error.remedy = std::string(driverStopped ? kDriverRemedy : kInstallRemedy) + ". " + kBlocklistRemedy;
  return false;
}

bool PortIoLibraryBackend::Open(std::int32_t base, PortError& error) {
  error.target = Range(base);
  if (!IsLegacyPortAddress(base)) {
    error.reason = "port I/O is only allowed on the legacy addresses 0x378, 0x278 and 0x3BC";
    return false;
  }
  if (!Load(error)) return false;
  base_ = base;
  open_ = true;
  return true;
}

bool PortIoLibraryBackend::Write(std::int32_t port, std::uint8_t value, PortError& error) {
  if (!open_ || port != base_) {
    error.target = Range(base_);
    error.reason = "write outside the data register";
    return false;
  }
  write_(static_cast<unsigned short>(port), value);
  return true;
}

bool PortIoLibraryBackend::Read(std::int32_t port, std::uint8_t& value, PortError& error) {
  if (!open_ || port != base_ + 1) {
    error.target = Range(base_);
    error.reason = "read outside the status register";
    return false;
  }
  value = read_(static_cast<unsigned short>(port));
  return true;
}

bool PortIoLibraryBackend::Close(PortError&) {
  open_ = false;
  return true;
}

std::string PortIoLibraryBackend::Describe(std::int32_t base) const {
  return (loadedName_.empty() ? std::string("port I/O library") : loadedName_) + " (" + HexPortAddress(base) +
         ")";
}

}  // namespace tarvel
