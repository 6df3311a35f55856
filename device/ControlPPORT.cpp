#include "device/ControlPPORT.h"

#include <cctype>
#include <cstdio>
#include <stdexcept>

#include "chips/Chips.h"
#include "core/MainModule.h"
#include "core/Numbers.h"

namespace tarvel {

BitVectorType BitVector;

void CodeToBits(BitVectorType& bits, std::int32_t& Code) {
  // 64-bit arithmetic keeps Code - 2^i exact for every 32-bit Code.
  std::int64_t code = Code;
  for (int i = 15; i >= 0; --i) {
    const std::int64_t weight = std::int64_t{1} << i;
    bits(i) = code - weight >= 0 ? 1 : 0;
    code -= bits(i) * weight;
  }
  Code = static_cast<std::int32_t>(code);
}

std::int32_t BitsToCode(const BitVectorType& bits) {
  std::int64_t sum = 0;
  for (int i = 0; i <= 15; ++i) sum += std::int64_t{bits(i)} << i;
  return static_cast<std::int32_t>(sum);
}

void CodeToBits(std::int32_t& Code) { CodeToBits(BitVector, Code); }
std::int32_t BitsToCode() { return BitsToCode(BitVector); }

std::optional<CodeRange> DeviceCodeRange(std::string_view device) {
  const Chip* chip = FindChip(device);
  if (!chip) chip = FindReadBackChip(device);
  if (!chip) return std::nullopt;
  return CodeRange{0, chip->highest()};
}

namespace {

// Every byte is a sum of line weights; the conversion checks the range.
std::uint8_t ToByte(std::int32_t value) {
  if (value < 0 || value > 255) throw std::range_error("port byte out of range");
  return static_cast<std::uint8_t>(value);
}

std::int32_t DataRegister(const DeviceLink& link) { return link.portAddress; }

std::int32_t StatusRegister(const DeviceLink& link) {
  if (link.portAddress == INT16_MAX) {
    throw PortAccessError({PortFailure::Unavailable, "I/O address " + std::to_string(link.portAddress),
                           "the status register lies beyond the 16-bit address range",
                           "choose LPT1, LPT2 or PRN"});
  }
  return static_cast<std::int16_t>(link.portAddress + 1);
}

// The rows behind the procedures named after their chips.
const Chip& Rx4410Row() { return *FindChip("RX4410"); }
const Chip& Tqm7731Row() { return *FindChip("TQM7731"); }
// The RX4410's frame of one channel: the first unless FirstChannel is 0.
const FrameShape& Rx4410Frame(std::int16_t FirstChannel) {
  return Rx4410Row().frames[FirstChannel != 0 ? 0 : 1];
}

// The chip a read-back reads: the one the link's device names, else the
// first that reads back (none when no chip does).
const Chip* ReadBackChip(const DeviceLink& link) {
  const Chip* chip = FindChip(link.device);
  if (!chip || !chip->readsBack()) chip = FindReadBackChip(link.device);
  for (const Chip* each : Chips()) {
    if (!chip && each->readsBack()) chip = each;
  }
  return chip;
}

// The process link's sequences work on the globals: PortAddress in, the
// bit vector out again however the sequence ends.
class GlobalBits {
 public:
  GlobalBits() : link_(ProcessLink()) {
    link_.portAddress = PortAddress;
    link_.bits = BitVector;
  }
  ~GlobalBits() { BitVector = link_.bits; }
  DeviceLink& link() { return link_; }
  GlobalBits(const GlobalBits&) = delete;
  GlobalBits& operator=(const GlobalBits&) = delete;

 private:
  DeviceLink& link_;
};

}  // namespace

void WriteFrame(DeviceLink& link, const FrameShape& frame, std::int32_t word) {
  PortSession session(link, DataRegister(link));
  const auto Out = [&link](std::int32_t value) {
    DlPortWritePortUchar(link, DataRegister(link), ToByte(value));
  };
  const std::int32_t idle = frame.idle, active = frame.active(), clock = frame.clock, data = frame.data;
  CodeToBits(link.bits, word);
  Out(idle);
  Out(idle), Out(idle + clock);  // leading clock pulse, frame line idle
  for (int k = 0; k < frame.bits; ++k) {
    const std::int32_t b = link.bits(k) * data;
    Out(active + b), Out(active + clock + b);  // clock low, then high: the chip takes the bit
  }
  Out(idle), Out(idle + clock);  // the frame line returns: the chip latches the word
  Out(idle);
  session.Finish();
}

void WriteTQM7731Word(DeviceLink& link, const std::int16_t& Word) {
  WriteFrame(link, Tqm7731Row().frames[0], Word);
}

void WriteRX4410Channel(DeviceLink& link, const std::int16_t& FirstChannel, const std::int16_t& Code) {
  const FrameShape& frame = Rx4410Frame(FirstChannel);
  WriteFrame(link, frame, Rx4410Row().Word(frame, Code, Code));
}

void ReadRX4410Channel(DeviceLink& link, const std::int16_t& FirstChannel) {
  ReadChannel(link, Rx4410Frame(FirstChannel));
}

void ReadChannel(DeviceLink& link, const FrameShape& frame) {
  PortSession session(link, DataRegister(link));
  const auto Out = [&link](std::int32_t value) {
    DlPortWritePortUchar(link, DataRegister(link), ToByte(value));
  };
  const std::int32_t idle = frame.idle, active = frame.active(), clock = frame.clock;
  const int N = frame.readClocks;

  std::int32_t zero = 0;
  CodeToBits(link.bits, zero);
  (void)DlPortReadPortUchar(link, StatusRegister(link));
  Out(idle);
  Out(idle), Out(idle + clock);
  Out(active), Out(active + clock);  // first clock selected: the read bit, not sampled
  for (int j = 0; j <= N - 2; ++j) {
    Out(active);
    Out(active + clock);
    const std::uint8_t status = DlPortReadPortUchar(link, StatusRegister(link));
    link.bits(j) = static_cast<std::int16_t>((status & frame.output) != 0);
  }
  Out(idle), Out(idle + clock);
  Out(idle);
  session.Finish();
}

void WriteTQM7731Word(const std::int16_t& Word) {
  GlobalBits g;
  WriteTQM7731Word(g.link(), Word);
}

void WriteRX4410Channel(const std::int16_t& FirstChannel, const std::int16_t& Code) {
  GlobalBits g;
  WriteRX4410Channel(g.link(), FirstChannel, Code);
}

void ReadRX4410Channel(const std::int16_t& FirstChannel) {
  GlobalBits g;
  ReadRX4410Channel(g.link(), FirstChannel);
}

std::string PortChoiceName(std::int16_t portAddress) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(static_cast<std::uint16_t>(portAddress)));
  if (const LegacyPort* c = FindLegacyPort(long{portAddress}))
    return std::string(c->name) + " (H" + hex + ")";
  return "port H" + std::string(hex);
}

std::string PortAlertTitle(const PortError& error) {
  return error.failure == PortFailure::Unavailable ? "Error: Port Not Available"
                                                   : "Error: Port Access Failed";
}

std::string PortAlertText(const PortError& error, std::int16_t portAddress) {
  std::string text = error.failure == PortFailure::Unavailable ? "Cannot use " : "Lost ";
  text += PortChoiceName(portAddress);
  if (!error.target.empty()) text += " at " + error.target;
  text += ": " + (error.reason.empty() ? std::string("unknown reason") : error.reason) + ".";
  if (error.failure == PortFailure::AccessFailed) text += "  The command was not completed.";
  if (!error.remedy.empty()) {
    std::string remedy = error.remedy;
    remedy[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(remedy[0])));
    text += "  " + remedy + ".";
  }
  return text;
}

CommandStatus StatusFor(const PortError& error) {
  return error.failure == PortFailure::Unavailable ? CommandStatus::PortUnavailable
                                                   : CommandStatus::PortFailed;
}

namespace {

// Reads both channels of `chip`, one frame each, in the order of its
// frames; readCode changes only when both reads completed.
void ReadBothChannels(DeviceLink& link, const Chip& chip) {
  PortSession session(link, DataRegister(link));
  std::array<std::int16_t, 2> codes{};
  for (const FrameShape& frame : chip.frames) {
    const int i = frame.OnlyChannel();
    if (i < 0 || frame.output == 0) continue;
    ReadChannel(link, frame);
    const std::int32_t code = BitsToCode(link.bits);
    if (code < INT16_MIN || code > INT16_MAX) throw std::overflow_error("read-back code overflow");
    codes[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(code);
  }
  session.Finish();
  link.readCode = codes;
}

// The process link on the globals for one command, and back.
class GlobalCommand {
 public:
  GlobalCommand() : link_(ProcessLink()) {
    link_.device = DeviceName;
    link_.gainCode = GainCode;
    link_.readCode = ReadCode;
    link_.portAddress = PortAddress;
    link_.bits = BitVector;
  }
  ~GlobalCommand() {
    ReadCode = link_.readCode;
    BitVector = link_.bits;
  }
  DeviceLink& link() { return link_; }
  GlobalCommand(const GlobalCommand&) = delete;
  GlobalCommand& operator=(const GlobalCommand&) = delete;

 private:
  DeviceLink& link_;
};

CommandStatus ShowPortFailure(const PortError& error) {
  ShowPortAlert(PortAlertTitle(error), PortAlertText(error, PortAddress));
  return StatusFor(error);
}

}  // namespace

CommandStatus ReadBackCodes(DeviceLink& link, PortError& error) {
  try {
    const Chip* chip = ReadBackChip(link);
    if (!chip) return CommandStatus::UnknownDevice;
    ReadBothChannels(link, *chip);
  } catch (const PortAccessError& e) {
    error = e.error();
    return StatusFor(error);
  }
  return CommandStatus::Done;
}

CommandStatus RunDeviceCommand(DeviceLink& link, PortError& error) {
  try {
    if (const Chip* chip = FindChip(link.device)) {
      // Every frame of the chip, first to last, in one session; each code
      // keeps only the chip's bits.
      PortSession session(link, DataRegister(link));
      const std::int32_t code0 = link.gainCode[0] & chip->mask(), code1 = link.gainCode[1] & chip->mask();
      for (const FrameShape& frame : chip->frames) WriteFrame(link, frame, chip->Word(frame, code0, code1));
      session.Finish();
      return CommandStatus::Done;
    }
    if (const Chip* chip = FindReadBackChip(link.device)) {
      ReadBothChannels(link, *chip);
      const std::string line =
          link.device + ", " + CodeToText(link.readCode[0]) + ", " + CodeToText(link.readCode[1]);
      return WriteResultFile(kResultFileName, line) ? CommandStatus::Done : CommandStatus::ResultFileFailed;
    }
  } catch (const PortAccessError& e) {
    error = e.error();
    return StatusFor(error);
  }
  return CommandStatus::UnknownDevice;
}

CommandStatus ReadBackCodes() {
  GlobalCommand g;
  PortError error;
  const CommandStatus status = ReadBackCodes(g.link(), error);
  return status == CommandStatus::Done ? status : ShowPortFailure(error);
}

CommandStatus RunDeviceCommand() {
  GlobalCommand g;
  PortError error;
  const CommandStatus status = RunDeviceCommand(g.link(), error);
  if (status == CommandStatus::UnknownDevice) ShowOptionAlert();
  if (status == CommandStatus::PortUnavailable || status == CommandStatus::PortFailed) ShowPortFailure(error);
  return status;
}

}  // namespace tarvel
