// The GPIO back-end: the parallel port's lines on eight lines of a Linux GPIO
// chip (the header of a single-board computer) through the GPIO character
// device and libgpiod 1.6, which is loaded only when this back-end is chosen.
//
// Wiring as for the FTDI adapter: the n-th line carries data line Dn for
// n = 0, 1, 2, 5, 6, 7 (outputs, requested together as consumer "tarvel",
// starting low, set with one bulk call per port write); lines 3 and 4 are
// inputs read as status bits 5 ("Chan 1" serial out) and 4 ("Chan 2"). The
// lines are requested when a device command starts and released when it
// ends, so other programs may use them between commands; a later request
// starts the outputs at the levels the last command left, as a parallel
// port's data register keeps them, so no select line dips between commands.
#pragma once

#include <gpiod.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "device/PortIO.h"

namespace tarvel {

// The libgpiod calls the back-end makes: the real library, or a test's fake.
struct GpiodApi {
  decltype(&gpiod_chip_open_lookup) chipOpenLookup;
  decltype(&gpiod_chip_close) chipClose;
  decltype(&gpiod_chip_num_lines) chipNumLines;
  decltype(&gpiod_chip_get_line) chipGetLine;
  decltype(&gpiod_chip_find_line) chipFindLine;
  decltype(&gpiod_line_offset) lineOffset;
  decltype(&gpiod_line_is_used) lineIsUsed;
  decltype(&gpiod_line_consumer) lineConsumer;
  decltype(&gpiod_line_request_bulk_output) requestBulkOutput;
  decltype(&gpiod_line_request_bulk_input) requestBulkInput;
  decltype(&gpiod_line_set_value_bulk) setValueBulk;
  decltype(&gpiod_line_get_value_bulk) getValueBulk;
  decltype(&gpiod_line_release_bulk) releaseBulk;
};

// Opens libgpiod.so.2 once; nullptr with `reason` when it is missing.
const GpiodApi* LoadGpiodLibrary(std::string& reason);
using GpiodLoader = const GpiodApi* (*)(std::string& reason);

// "gpio:CHIP:L0,L1,L2,L3,L4,L5,L6,L7": the chip as gpiod_chip_open_lookup
// takes it, and eight different line offsets or names.
struct GpioChoice {
  std::string chip;
  std::array<std::string, 8> lines;
};
bool ParseGpioChoice(std::string_view choice, GpioChoice& parsed, PortError& error);

class GpioPortBackend : public PortBackend {
 public:
  explicit GpioPortBackend(GpioChoice choice, GpiodLoader loader = &LoadGpiodLibrary);
  ~GpioPortBackend() override;

  bool Open(std::int32_t base, PortError& error) override;
  bool Write(std::int32_t port, std::uint8_t value, PortError& error) override;
  bool Read(std::int32_t port, std::uint8_t& value, PortError& error) override;
  bool Close(PortError& error) override;
  std::string Describe(std::int32_t base) const override;

  // The lines as TARVEL_PORT names them, for the remote interface.
  std::string Choice() const;

  static constexpr const char* kConsumer = "tarvel";
  static constexpr std::array<int, 6> kOutputPins{0, 1, 2, 5, 6, 7};
  static constexpr std::array<int, 2> kInputPins{3, 4};

 private:
  bool ResolveLines(std::array<gpiod_line*, 8>& lines, PortError& error);
  bool Request(const std::array<gpiod_line*, 8>& lines, PortError& error);
  bool Fail(const std::string& what, int err, PortError& error);
  void Release();

  GpioChoice choice_;
  GpiodLoader loader_;
  const GpiodApi* api_ = nullptr;
  gpiod_chip* chip_ = nullptr;
  gpiod_line_bulk outputs_{};
  gpiod_line_bulk inputs_{};
  bool outputsHeld_ = false;
  bool inputsHeld_ = false;
  std::int32_t base_ = 0;
  std::uint8_t level_ = 0;  // the data byte on the output lines
};

}  // namespace tarvel
