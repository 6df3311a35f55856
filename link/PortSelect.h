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

#include "PortIO.h"

namespace tarvel {

// The forms TARVEL_PORT accepts, for error messages and help texts.
extern const char* const kPortChoices;

// The wiring of both bit-bang adapters (FTDI, GPIO): adapter pin n carries
// data line Dn for n = 0, 1, 2, 5, 6, 7; D3 and D4 carry nothing, so pins 3
// and 4 are inputs: pin 3 is read as status bit 5 (RX4410 "Chan 1" serial
// out), pin 4 as status bit 4 ("Chan 2").
constexpr std::uint8_t kAdapterOutputPins = 0xE7;
constexpr std::uint8_t AdapterStatusFromPins(std::uint8_t pins) {
  return static_cast<std::uint8_t>((((pins >> 3) & 1) << 5) | (((pins >> 4) & 1) << 4));
}

std::unique_ptr<PortBackend> MakePortBackend(std::string_view choice, PortError& error);
std::unique_ptr<PortBackend> MakePortBackendFromEnvironment(PortError& error);

}  // namespace tarvel
