// How both chips hang on the parallel port: their lines, which their rows in
// Chips.h put into frames.
// The write and read-back sequences drive these lines, the chip models (and
// with them the simulated bench and the frame decoder) read them, and the
// bit-bang adapters map them onto their pins.
//
// RX4410, per channel (first / second):
//   select D0 / D7 (active low), clock D2 / D5, data D1 / D6,
//   serial output on status bit 5 / bit 4.
// TQM7731: enable D2 (active high), clock D1, data D0.
// Data line Dn drives connector pin n + 2; status bit 5 is pin 12, bit 4 pin 13.
#pragma once

#include <cstdint>

namespace tarvel {

// The port lines of one RX4410 channel, as bit masks.
struct Rx4410Lines {
  std::uint8_t select, clock, data;
  std::uint8_t output;  // a status-register bit
};
inline constexpr Rx4410Lines kRx4410Lines[2] = {
    {0x01, 0x04, 0x02, 0x20},  // first channel ("Chan 1"): D0, D2, D1 -> status bit 5
    {0x80, 0x20, 0x40, 0x10},  // second channel ("Chan 2"): D7, D5, D6 -> status bit 4
};
// Both selects high: neither channel listens.
inline constexpr std::uint8_t kRx4410Idle = kRx4410Lines[0].select | kRx4410Lines[1].select;

struct Tqm7731Lines {
  std::uint8_t enable, clock, data;
};
inline constexpr Tqm7731Lines kTqm7731Lines{0x04, 0x02, 0x01};

// The data lines either chip listens to, and the status bits it drives.
inline constexpr std::uint8_t kUsedDataLines =
    kRx4410Lines[0].select | kRx4410Lines[0].clock | kRx4410Lines[0].data | kRx4410Lines[1].select |
    kRx4410Lines[1].clock | kRx4410Lines[1].data | kTqm7731Lines.enable | kTqm7731Lines.clock |
    kTqm7731Lines.data;
inline constexpr std::uint8_t kUsedStatusBits = kRx4410Lines[0].output | kRx4410Lines[1].output;

}  // namespace tarvel
