// Which port backend the process uses, from TARVEL_PORT:
//   unset or "auto"  the parallel port through ppdev (/dev/parportN), found by
//                    PortAddress
//   "/dev/parportN"  that ppdev device
//   "direct"         direct I/O on the legacy addresses (x86 Linux, root)
//   "sim"            the simulated bench, state in the user's state folder
//   "sim:PATH"       the simulated bench, state in PATH
//   "ftdi", "ftdi:DESCRIPTOR"   an FTDI USB chip in bit-bang mode (FtdiPort.h)
//   "gpio:CHIP:L0,...,L7"       eight lines of a Linux GPIO chip (GpioPort.h)
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "device/PortIO.h"
#include "device/Wiring.h"

namespace tarvel {

// The forms TARVEL_PORT accepts, for error messages and help texts.
extern const char* const kPortChoices;

// The wiring of both bit-bang adapters (FTDI, GPIO): adapter pin n carries
// data line Dn for every line a chip listens to (D0, D1, D2, D5, D6, D7); D3
// and D4 carry nothing, so pins 3 and 4 are inputs: pin 3 is read as the
// "Chan 1" serial output's status bit, pin 4 as the "Chan 2" one.
constexpr std::uint8_t kAdapterOutputPins = kUsedDataLines;
constexpr int kAdapterInputPin[2] = {3, 4};  // per RX4410 channel
static_assert((kAdapterOutputPins & ((1u << kAdapterInputPin[0]) | (1u << kAdapterInputPin[1]))) == 0,
              "an adapter input pin must carry no data line");
constexpr std::uint8_t AdapterStatusFromPins(std::uint8_t pins) {
  std::uint8_t status = 0;
  for (int c = 0; c < 2; ++c) {
    if ((pins >> kAdapterInputPin[c]) & 1)
      status = static_cast<std::uint8_t>(status | kRx4410Lines[c].output);
  }
  return status;
}

std::unique_ptr<PortBackend> MakePortBackend(std::string_view choice, PortError& error);
std::unique_ptr<PortBackend> MakePortBackendFromEnvironment(PortError& error);

}  // namespace tarvel
