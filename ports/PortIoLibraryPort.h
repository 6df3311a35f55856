// The Windows back-end for a real parallel port: a port-I/O driver's library,
// loaded by name when a command first opens the port. inpoutx64.dll (the
// signed InpOut driver in use on 64-bit Windows) is tried first, then
// dlportio.dll; both export DlPortWritePortUchar and DlPortReadPortUchar.
// InpOut also says whether its driver could be started
// (IsInpOutDriverOpen); when it could not, the next library is tried.
// Windows 11's vulnerable-driver blocklist stops that driver on many
// machines, and the alert then points to the FTDI adapter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/PortIO.h"

namespace tarvel {

class PortIoLibraryBackend : public PortBackend {
 public:
  // The libraries tried, in order (tests name their fakes).
  explicit PortIoLibraryBackend(std::vector<std::string> libraries = {"inpoutx64.dll", "dlportio.dll"});
  ~PortIoLibraryBackend() override;

  bool Open(std::int32_t base, PortError& error) override;
  bool Write(std::int32_t port, std::uint8_t value, PortError& error) override;
  bool Read(std::int32_t port, std::uint8_t& value, PortError& error) override;
  bool Close(PortError& error) override;
  std::string Describe(std::int32_t base) const override;

 private:
  using WriteFn = void (*)(unsigned short, unsigned char);
  using ReadFn = unsigned char (*)(unsigned short);
  using DriverOpenFn = int (*)();

  bool Load(PortError& error);

  std::vector<std::string> libraries_;
  std::string loadedName_;
  void* library_ = nullptr;
  WriteFn write_ = nullptr;
  ReadFn read_ = nullptr;
  std::int32_t base_ = 0;
  bool open_ = false;
};

}  // namespace tarvel
