// The bit-bang batcher both FTDI back-ends are built on (libftdi1 on Linux,
// FTDI's D2XX on Windows): the chip in synchronous bit-bang mode, wired as
// PortSelect.h says (pin n drives Dn; pins 3 and 4 read the RX4410's serial
// outputs).
//
// USB round trips cost far more than bytes, so writes are kept and sent as
// one transfer when a status read needs the pins, the batch is full or the
// session ends. In synchronous mode the chip returns one sample of the pins
// per byte sent, taken just before that byte reaches the pins; a status read
// therefore sends the current byte once more and takes that last sample. A
// delay longer than the slowest bit-bang rate can keep is paced by the
// caller, one transfer per byte.
//
// A back-end supplies only the library's side: opening and setting up the
// chip, sending and receiving bytes, and closing it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/PortIO.h"

namespace tarvel {

class FtdiBitBang : public PortBackend {
 public:
  bool Open(std::int32_t base, PortError& error) final;
  bool Write(std::int32_t port, std::uint8_t value, PortError& error) final;
  bool Read(std::int32_t port, std::uint8_t& value, PortError& error) final;
  bool Close(PortError& error) final;
  bool Flush(PortError& error) final;

  // The adapter as TARVEL_PORT names it, for the remote interface.
  std::string Choice() const { return descriptor_.empty() ? "ftdi" : "ftdi:" + descriptor_; }
  // The serial number of the adapter last opened, however it was named.
  std::string SerialNumber() const override { return serial_; }

  // Bytes sent in one transfer at most: far below every chip's sample buffer.
  static constexpr std::size_t kMaxBatch = 64;

 protected:
  // `idleReadLimit`: receives that bring no sample before the adapter counts
  // as silent.
  FtdiBitBang(std::string descriptor, int idleReadLimit);

  // What to do when the chip opened but could not be set up.
  static constexpr const char* kSetupRemedy =
      "plug the adapter in again; it must offer synchronous bit-bang, as the FT232R, FT232H and FT2232H do";

  const std::string& descriptor() const { return descriptor_; }
  // Set by OpenAdapter once the adapter is open (empty when it has none).
  std::string serial_;
  // "FTDI adapter ..." for the errors.
  std::string Target() const;

  // Opens the adapter and sets it up for synchronous bit-bang; `paced` is
  // set when each byte must be its own transfer. On failure, false with
  // `error` filled and nothing left open (SetupFailed does both).
  virtual bool OpenAdapter(bool& paced, PortError& error) = 0;
  // Sends `size` bytes; `sent` gets how many went. False with `failure`
  // naming the call and its error when the call fails.
  virtual bool SendBytes(unsigned char* data, std::size_t size, std::size_t& sent, std::string& failure) = 0;
  // Receives up to `size` samples; `got` gets how many came (0 when none yet).
  virtual bool ReceiveBytes(unsigned char* data, std::size_t size, std::size_t& got,
                            std::string& failure) = 0;
  // Closes whatever OpenAdapter opened; safe to call more than once.
  virtual void CloseAdapter() = 0;

  // A setup step after the device opened failed: `reason` names the call.
  bool SetupFailed(const std::string& reason, PortError& error) {
    return Fail(PortFailure::Unavailable, reason, error);
  }

  // The bit-bang rate, in the library's baud units, at which each pin level
  // lasts max(1 us, delayNs): `bytesPerBaud` bytes a second per baud. 0 when
  // that is slower than `slowestBaud`: the levels must then be paced.
  static std::uint64_t RateFor(std::uint64_t delayNs, std::uint64_t bytesPerBaud, std::uint64_t slowestBaud);

 private:
  bool Fail(PortFailure failure, const std::string& reason, PortError& error);
  // Sends the kept bytes (and, with `sample`, the current byte once more)
  // and reads their samples; `sample` gets the last one.
  bool Transfer(std::uint8_t* sample, PortError& error);
  void Release();

  std::string descriptor_;
  int idleReadLimit_;
  bool open_ = false;
  bool paced_ = false;
  std::int32_t base_ = 0;
  std::uint8_t level_ = 0;  // the byte on the pins once the kept bytes are out
  std::vector<unsigned char> pending_;
};

}  // namespace tarvel
