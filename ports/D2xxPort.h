// The FTDI adapter on Windows, through FTDI's own D2XX library (the driver
// Windows installs for these cables; libftdi would need it replaced by
// WinUSB). ftd2xx64.dll, else ftd2xx.dll, is loaded by name when a command
// first opens the port. Wiring, direction mask, pin timing and batching are
// the Linux FTDI back-end's, shared through FtdiBitBang: synchronous
// bit-bang, one USB write per command with its samples read back, a status
// read sending the current byte once more and taking its sample.
#pragma once

#include <cstdint>
#include <string>

#include "device/PortIO.h"
#include "ports/FtdiBitBang.h"
#include "ports/FtdiChoice.h"

namespace tarvel {

// The D2XX calls the back-end makes (WINAPI is the one x64 convention).
struct D2xxApi {
  using Handle = void*;
  using Status = std::uint32_t;  // FT_STATUS, 0 = FT_OK
  Status (*createDeviceInfoList)(std::uint32_t* count);
  Status (*getDeviceInfoDetail)(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                std::uint32_t* id, std::uint32_t* location, void* serial, void* description,
                                Handle* handle);
  Status (*open)(int index, Handle* handle);
  Status (*openEx)(void* what, std::uint32_t by, Handle* handle);
  Status (*close)(Handle handle);
  Status (*setBitMode)(Handle handle, unsigned char mask, unsigned char mode);
  Status (*setBaudRate)(Handle handle, std::uint32_t baud);
  Status (*setLatencyTimer)(Handle handle, unsigned char ms);
  Status (*setTimeouts)(Handle handle, std::uint32_t readMs, std::uint32_t writeMs);
  Status (*purge)(Handle handle, std::uint32_t mask);
  Status (*write)(Handle handle, void* data, std::uint32_t size, std::uint32_t* written);
  Status (*read)(Handle handle, void* data, std::uint32_t size, std::uint32_t* got);
};

// Loads ftd2xx64.dll (then ftd2xx.dll) once; nullptr with `reason`.
const D2xxApi* LoadD2xxLibrary(std::string& reason);

class D2xxPortBackend : public FtdiBitBang {
 public:
  explicit D2xxPortBackend(std::string descriptor);
  ~D2xxPortBackend() override;

  std::string Describe(std::int32_t base) const override;

  // D2XX's rate for each pin level to last max(1 us, delayNs): four times
  // the Linux back-end's (libftdi multiplies by four in bit-bang mode, D2XX
  // does not); 0 when the levels must be paced one transfer each.
  static std::uint32_t BaudRateFor(std::uint64_t delayNs);

 private:
  bool OpenAdapter(bool& paced, PortError& error) override;
  bool SendBytes(unsigned char* data, std::size_t size, std::size_t& sent, std::string& failure) override;
  bool ReceiveBytes(unsigned char* data, std::size_t size, std::size_t& got, std::string& failure) override;
  void CloseAdapter() override { Release(); }

  bool OpenDevice(PortError& error);
  void Release();

  const D2xxApi* api_ = nullptr;
  D2xxApi::Handle handle_ = nullptr;
  bool configured_ = false;  // in bit-bang mode: reset to inputs on release
};

}  // namespace tarvel
