// The FTDI back-end: the parallel port's lines on an FTDI USB chip in
// synchronous bit-bang mode (FT232R, FT232H, FT2232H interface A), through
// libftdi1, which is loaded only when this back-end is chosen.
//
// Wiring: bit n of the bit-bang byte is adapter pin n. Pins 0, 1, 2, 5, 6, 7
// drive the data lines D0, D1, D2, D5, D6, D7; pins 3 and 4 (D3 and D4 carry
// nothing) are inputs: pin 3 is the RX4410's "Chan 1" serial out (status bit
// 5), pin 4 its "Chan 2" serial out (status bit 4). Direction mask 0xE7.
//
// USB round trips cost far more than bytes, so writes are kept and sent as
// one transfer when a status read needs the pins or the session ends. In
// synchronous mode the chip returns one sample of the pins per byte sent,
// taken just before that byte reaches the pins; a status read therefore sends
// the current byte once more and takes that last sample. One write command is
// one USB write plus the read of its samples.
#pragma once

#include <ftdi.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "device/PortIO.h"
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
};

// Opens libftdi1.so.2 once; nullptr with `reason` when it is missing.
const FtdiApi* LoadFtdiLibrary(std::string& reason);
using FtdiLoader = const FtdiApi* (*)(std::string& reason);

class FtdiPortBackend : public PortBackend {
 public:
  explicit FtdiPortBackend(std::string descriptor, FtdiLoader loader = &LoadFtdiLibrary);
  ~FtdiPortBackend() override;

  bool Open(std::int32_t base, PortError& error) override;
  bool Write(std::int32_t port, std::uint8_t value, PortError& error) override;
  bool Read(std::int32_t port, std::uint8_t& value, PortError& error) override;
  bool Close(PortError& error) override;
  std::string Describe(std::int32_t base) const override;
  bool Flush(PortError& error) override;

  // The adapter as TARVEL_PORT names it, for the remote interface.
  std::string Choice() const { return descriptor_.empty() ? "ftdi" : "ftdi:" + descriptor_; }

  static constexpr unsigned char kDirectionMask = kAdapterOutputPins;
  static constexpr unsigned char kLatencyMs = 1;
  // Bytes sent in one transfer at most: far below every chip's sample buffer.
  static constexpr std::size_t kMaxBatch = 64;
  // Reads that bring no sample before the adapter counts as silent.
  static constexpr int kIdleReadLimit = 2000;
  // The baud rate given to libftdi so that each pin level lasts at least
  // max(1 us, delayNs); 0 when the levels must be paced one transfer each.
  static int BaudRateFor(std::uint64_t delayNs);

 private:
  std::string Target() const;
  bool OpenDevice(PortError& error);
  // Sends the kept bytes (and, with `sample`, the current byte once more)
  // and reads their samples; `sample` gets the last one.
  bool Transfer(std::uint8_t* sample, PortError& error);
  bool Fail(PortFailure failure, const std::string& what, int rc, PortError& error);
  void Release();

  std::string descriptor_;
  FtdiLoader loader_;
  const FtdiApi* api_ = nullptr;
  ftdi_context* ctx_ = nullptr;
  bool open_ = false;
  bool paced_ = false;
  std::int32_t base_ = 0;
  std::uint8_t level_ = 0;  // the byte on the pins once the kept bytes are out
  std::vector<unsigned char> pending_;
};

}  // namespace tarvel
