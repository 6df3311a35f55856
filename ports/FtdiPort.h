// The FTDI back-end: the parallel port's lines on an FTDI USB chip in
// synchronous bit-bang mode (FT232R, FT232H, FT2232H interface A), through
// libftdi1, which is loaded only when this back-end is chosen.
//
// Wiring: bit n of the bit-bang byte is adapter pin n. Pins 0, 1, 2, 5, 6, 7
// drive the data lines D0, D1, D2, D5, D6, D7; pins 3 and 4 (D3 and D4 carry
// nothing) are inputs: pin 3 is the RX4410's "Chan 1" serial out (status bit
// 5), pin 4 its "Chan 2" serial out (status bit 4). Direction mask 0xE7.
//
// The batching (one USB write per command with its samples read back) is
// FtdiBitBang's.
#pragma once

#include <ftdi.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "device/PortIO.h"
#include "ports/FtdiBitBang.h"
#include "ports/FtdiChoice.h"
#include "ports/PortSelect.h"

namespace tarvel {

// The libftdi1 calls the back-end makes: the real library, or a test's fake.
struct FtdiApi {
  decltype(&ftdi_new) newContext;
  decltype(&ftdi_free) freeContext;
  decltype(&ftdi_set_interface) setInterface;
  decltype(&ftdi_usb_open) usbOpen;
  decltype(&ftdi_usb_open_string) usbOpenString;
  decltype(&ftdi_usb_close) usbClose;
  decltype(&ftdi_set_latency_timer) setLatencyTimer;
  decltype(&ftdi_set_bitmode) setBitmode;
  decltype(&ftdi_set_baudrate) setBaudrate;
  decltype(&ftdi_tcioflush) flush;
  decltype(&ftdi_write_data) writeData;
  decltype(&ftdi_read_data) readData;
  decltype(&ftdi_get_error_string) errorString;
  // For the adapter's serial number; either may be missing (nullptr): the
  // serial is then unknown. The second is libusb's, which libftdi1 loads.
  decltype(&ftdi_usb_get_strings2) getStrings;
  libusb_device* (*usbDevice)(libusb_device_handle*);
};

// Opens libftdi1.so.2 once; nullptr with `reason` when it is missing.
const FtdiApi* LoadFtdiLibrary(std::string& reason);
using FtdiLoader = const FtdiApi* (*)(std::string& reason);

class FtdiPortBackend : public FtdiBitBang {
 public:
  explicit FtdiPortBackend(std::string descriptor, FtdiLoader loader = &LoadFtdiLibrary);
  ~FtdiPortBackend() override;

  std::string Describe(std::int32_t base) const override;
  // Read from the adapter when asked (the server, once), not on every open.
  std::string SerialNumber() const override { return usbOpen_ ? ReadSerial() : std::string(); }

  static constexpr unsigned char kDirectionMask = kAdapterOutputPins;
  static constexpr unsigned char kLatencyMs = 1;
  // Reads that bring no sample before the adapter counts as silent.
  static constexpr int kIdleReadLimit = 2000;
  // The baud rate given to libftdi so that each pin level lasts at least
  // max(1 us, delayNs); 0 when the levels must be paced one transfer each.
  static int BaudRateFor(std::uint64_t delayNs);

 private:
  bool OpenAdapter(bool& paced, PortError& error) override;
  bool SendBytes(unsigned char* data, std::size_t size, std::size_t& sent, std::string& failure) override;
  bool ReceiveBytes(unsigned char* data, std::size_t size, std::size_t& got, std::string& failure) override;
  void CloseAdapter() override { Release(); }

  bool OpenDevice(PortError& error);
  // The open adapter's USB serial number, or empty.
  std::string ReadSerial() const;
  // "CALL: libftdi's text for the context's last error".
  std::string CallFailure(const char* call) const;
  void Release();

  FtdiLoader loader_;
  const FtdiApi* api_ = nullptr;
  ftdi_context* ctx_ = nullptr;
  bool usbOpen_ = false;
};

}  // namespace tarvel
