// Which port backend the process uses, from TARVEL_PORT. The back-end table
// (PortSelect.cpp) holds one row per form TARVEL_PORT accepts on this build,
// with its name and one line of help; `--help`, the "not a port choice"
// message and the docs' lists come from it. On Linux: unset or "auto" (the
// parallel port through ppdev, found by PortAddress), "/dev/parportN",
// "direct", "sim", "sim:PATH", "ftdi", "ftdi:DESCRIPTOR" (FtdiPort.h) and
// "gpio:CHIP:L0,...,L7" (GpioPort.h); on Windows "auto" (the port-I/O
// driver's library), "sim", "sim:PATH", "ftdi" and "ftdi:DESCRIPTOR"
// (D2xxPort.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "device/PortIO.h"
#include "device/Wiring.h"

namespace tarvel {

// One form TARVEL_PORT accepts on this build and what it reaches.
struct PortChoice {
  const char* form;  // "auto", "sim:PATH", "gpio:CHIP:L0,...,L7"
  const char* help;  // one line, short enough for an 80-column `--help`
};
// This build's forms, in the order the help lists them.
std::vector<PortChoice> PortChoices();
// The forms joined for a message: "auto, ..., sim:PATH, ftdi or ftdi:DESCRIPTOR".
std::string PortChoiceList();

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
