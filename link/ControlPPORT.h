// ControlPPORT: the device link. Bit vector, the RX4410 and TQM7731 write
// sequences, the RX4410 read-back and the dispatcher that turns DeviceName
// and GainCode into one of them.
//
// The sequences write whole bytes to the data register at PortAddress, one
// byte per change of the clock, data and select lines, and sample the
// RX4410's serial output on the status register at PortAddress + 1. They add
// no delay of their own (see TARVEL_PORT_DELAY_NS in PortIO.h).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "PortIO.h"

namespace tarvel {

// Sixteen 0/1 entries; entry i has weight 2^i. Holds the one word being
// shifted out or in. Indexing outside 0..15 throws std::out_of_range.
class BitVectorType {
 public:
  std::int16_t& operator()(int index);
  std::int16_t operator()(int index) const;

 private:
  std::array<std::int16_t, 16> entries_{};
};

extern BitVectorType BitVector;

// Greedy split from the top bit into BitVector. 0..65535 gives the value's
// binary digits and leaves 0 in Code; above 65535 sets every entry and leaves
// Code - 65535; a negative Code clears every entry and stays as it was.
void CodeToBits(std::int32_t& Code);
// Sum of BitVector(i) * 2^i, entries taken at face value.
std::int32_t BitsToCode();

// Shifts a 10-bit word into the TQM7731 (26 writes). Throws PortAccessError.
void WriteTQM7731Word(const std::int16_t& Word);
// Shifts 4 * Code + 1 into one RX4410 channel (22 writes); FirstChannel
// nonzero selects the first channel. Throws PortAccessError.
void WriteRX4410Channel(const std::int16_t& FirstChannel, const std::int16_t& Code);
// Clocks one RX4410 channel's code into BitVector(0..5) (20 writes, 7 reads).
// Throws PortAccessError.
void ReadRX4410Channel(const std::int16_t& FirstChannel);

// How a device command ended.
enum class CommandStatus {
  Done,              // sent, or read back (and the result line written)
  UnknownDevice,     // DeviceName named no device: the option alert was shown
  PortUnavailable,   // the port could not be opened or claimed
  PortFailed,        // a port access failed during the sequence
  ResultFileFailed,  // read back, but "TRVOutput.dat" could not be written
};

// Reads both RX4410 channels into ReadCode, first channel first. On a port
// failure shows the port alert, leaves ReadCode as it was and says so.
CommandStatus ReadBackCodes();

// Sends GainCode to the chip DeviceName names, or for "RX4410R" reads both
// codes back and writes "RX4410R, c0, c1" to "TRVOutput.dat". Unknown
// tokens show the option alert and touch no port; port failures show the
// port alert.
CommandStatus RunDeviceCommand();

// The port alert's title and text for a failed command.
std::string PortAlertTitle(const PortError& error);
std::string PortAlertText(const PortError& error, std::int16_t portAddress);
// "LPT1 (H378)", "LPT2 (H278)", "PRN (H3BC)" or "port H..." for others.
std::string PortChoiceName(std::int16_t portAddress);

}  // namespace tarvel
