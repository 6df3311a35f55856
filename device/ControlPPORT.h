// ControlPPORT: the bit vector, the RX4410 and TQM7731 write sequences, the
// RX4410 read-back and the dispatcher that turns a device and its codes into
// one of them.
//
// The sequences write whole bytes to the data register at a link's port
// address, one byte per change of the clock, data and select lines, and
// sample the RX4410's serial output on the status register at the address
// + 1. They add no delay of their own (see TARVEL_PORT_DELAY_NS in PortIO.h).
//
// Each operation comes twice: on a DeviceLink, reporting a failure as the
// PortError it is; and on the globals (DeviceName, GainCode, ReadCode,
// PortAddress, BitVector) through the process's link, showing the alert.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "chips/Chips.h"
#include "device/DeviceLink.h"
#include "device/PortIO.h"

namespace tarvel {

extern BitVectorType BitVector;

// Greedy split from the top bit into BitVector. 0..65535 gives the value's
// binary digits and leaves 0 in Code; above 65535 sets every entry and leaves
// Code - 65535; a negative Code clears every entry and stays as it was.
void CodeToBits(std::int32_t& Code);
void CodeToBits(BitVectorType& bits, std::int32_t& Code);
// Sum of BitVector(i) * 2^i, entries taken at face value.
std::int32_t BitsToCode();
std::int32_t BitsToCode(const BitVectorType& bits);

// Shifts a 10-bit word into the TQM7731 (26 writes). Throws PortAccessError.
void WriteTQM7731Word(DeviceLink& link, const std::int16_t& Word);
void WriteTQM7731Word(const std::int16_t& Word);
// Shifts 4 * Code + 1 into one RX4410 channel (22 writes); FirstChannel
// nonzero selects the first channel. Throws PortAccessError.
void WriteRX4410Channel(DeviceLink& link, const std::int16_t& FirstChannel, const std::int16_t& Code);
void WriteRX4410Channel(const std::int16_t& FirstChannel, const std::int16_t& Code);
// Clocks one RX4410 channel's code into the bit vector's entries 0..5 (20
// writes, 7 reads). Throws PortAccessError.
void ReadRX4410Channel(DeviceLink& link, const std::int16_t& FirstChannel);
void ReadRX4410Channel(const std::int16_t& FirstChannel);

// The sequences of any chip's row (chips/Chips.h): one write frame carrying
// `word` (bits 0.. of the frame's bit count, first bit first), and one read
// frame that clocks the channel's code into the bit vector.
void WriteFrame(DeviceLink& link, const FrameShape& frame, std::int32_t word);
void ReadChannel(DeviceLink& link, const FrameShape& frame);

// How a device command ended.
enum class CommandStatus {
  Done,              // sent, or read back (and the result line written)
  UnknownDevice,     // the device named no chip: nothing was sent
  PortUnavailable,   // the port could not be opened or claimed
  PortFailed,        // a port access failed during the sequence
  ResultFileFailed,  // read back, but "TRVOutput.dat" could not be written
};

// The codes a chip takes, 0 to its mask (what the dispatcher keeps of a
// code, what a sweep or the server accepts).
struct CodeRange {
  int lowest = 0;
  int highest = 0;
  bool Holds(long code) const { return code >= lowest && code <= highest; }
};
// The range of a chip named by its device or read-back token; empty for
// other names.
std::optional<CodeRange> DeviceCodeRange(std::string_view device);

// Reads both RX4410 channels into link.readCode, first channel first. On a
// port failure leaves readCode as it was and fills `error`.
CommandStatus ReadBackCodes(DeviceLink& link, PortError& error);
// Sends link.gainCode to the chip link.device names, or for "RX4410R" reads
// both codes back and writes "RX4410R, c0, c1" to "TRVOutput.dat". Unknown
// devices touch no port; port failures fill `error`.
CommandStatus RunDeviceCommand(DeviceLink& link, PortError& error);

// The same on the globals, through the process's link: on a port failure
// ReadBackCodes shows the port alert, leaves ReadCode as it was and says so;
// RunDeviceCommand shows the option alert for an unknown DeviceName and the
// port alert for a port failure.
CommandStatus ReadBackCodes();
CommandStatus RunDeviceCommand();

// The status a port failure ends a command with.
CommandStatus StatusFor(const PortError& error);

// The port alert's title and text for a failed command.
std::string PortAlertTitle(const PortError& error);
std::string PortAlertText(const PortError& error, std::int16_t portAddress);
// "LPT1 (H378)", "LPT2 (H278)", "PRN (H3BC)" or "port H..." for others.
std::string PortChoiceName(std::int16_t portAddress);

}  // namespace tarvel
