#include "device/ControlPPORT.h"

#include <cctype>
#include <cstdio>
#include <stdexcept>

#include "core/MainModule.h"
#include "core/Numbers.h"
#include "device/Wiring.h"

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
  if (device == "RX4410" || device == "RX4410R") return CodeRange{0, 63};
  if (device == "TQM7731") return CodeRange{0, 31};
  return std::nullopt;
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

// One RX4410 channel's lines as the sequences add them up. A channel listens
// while its select is low; the other channel's select stays high.
struct ChannelLines {
  std::int32_t select, clock, data;
  std::uint8_t serialOut;
};
constexpr ChannelLines LinesOf(std::int16_t FirstChannel) {
  const Rx4410Lines& l = kRx4410Lines[FirstChannel != 0 ? 0 : 1];
  return {l.select, l.clock, l.data, l.output};
}
constexpr std::int32_t kBothSelectsHigh = kRx4410Idle;

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

void WriteTQM7731Word(DeviceLink& link, const std::int16_t& Word) {
  PortSession session(link, DataRegister(link));
  const auto Out = [&link](std::int32_t value) {
    DlPortWritePortUchar(link, DataRegister(link), ToByte(value));
  };
  constexpr std::int32_t enable = kTqm7731Lines.enable, clock = kTqm7731Lines.clock,
                         data = kTqm7731Lines.data;
  std::int32_t copy = Word;
  CodeToBits(link.bits, copy);
  Out(0);
  Out(0), Out(clock);  // leading clock pulse, enable low
  for (int k = 0; k <= 9; ++k) {
    const std::int32_t b = link.bits(k) * data;
    Out(enable + b), Out(enable + clock + b);  // enable high, clock low then high
  }
  Out(0), Out(clock);  // trailing pulse: enable falls with the clock
  Out(0);
  session.Finish();
}

void WriteRX4410Channel(DeviceLink& link, const std::int16_t& FirstChannel, const std::int16_t& Code) {
  PortSession session(link, DataRegister(link));
  const auto Out = [&link](std::int32_t value) {
    DlPortWritePortUchar(link, DataRegister(link), ToByte(value));
  };
  const ChannelLines lines = LinesOf(FirstChannel);
  const std::int32_t idle = kBothSelectsHigh;
  const std::int32_t frameBase = idle - lines.select;  // this channel selected, the other not

  std::int32_t word = static_cast<std::int32_t>(4.0 * Code + 1.0);
  CodeToBits(link.bits, word);
  Out(idle);
  Out(idle), Out(idle + lines.clock);  // leading clock pulse, not selected
  for (int k = 0; k <= 7; ++k) {
    const std::int32_t b = link.bits(k);
    Out(frameBase + b * lines.data);
    Out(frameBase + lines.clock + b * lines.data);
  }
  Out(idle), Out(idle + lines.clock);  // select rises: the chip latches the word
  Out(idle);
  session.Finish();
}

void ReadRX4410Channel(DeviceLink& link, const std::int16_t& FirstChannel) {
  PortSession session(link, DataRegister(link));
  const auto Out = [&link](std::int32_t value) {
    DlPortWritePortUchar(link, DataRegister(link), ToByte(value));
  };
  const ChannelLines lines = LinesOf(FirstChannel);
  const std::int32_t idle = kBothSelectsHigh;
  const std::int32_t frame = idle - lines.select;
  constexpr int N = 7;

  std::int32_t zero = 0;
  CodeToBits(link.bits, zero);
  (void)DlPortReadPortUchar(link, StatusRegister(link));
  Out(idle);
  Out(idle), Out(idle + lines.clock);
  Out(frame), Out(frame + lines.clock);  // first clock selected: the read bit, not sampled
  for (int j = 0; j <= N - 2; ++j) {
    Out(frame);
    Out(frame + lines.clock);
    const std::uint8_t status = DlPortReadPortUchar(link, StatusRegister(link));
    link.bits(j) = static_cast<std::int16_t>((status & lines.serialOut) != 0);
  }
  Out(idle), Out(idle + lines.clock);
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

// Reads both channels; readCode changes only when both reads completed.
void ReadBothChannels(DeviceLink& link) {
  PortSession session(link, DataRegister(link));
  std::array<std::int16_t, 2> codes{};
  for (int i = 0; i <= 1; ++i) {
    const std::int16_t firstChannel = i != 1 ? -1 : 0;
    ReadRX4410Channel(link, firstChannel);
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
    ReadBothChannels(link);
  } catch (const PortAccessError& e) {
    error = e.error();
    return StatusFor(error);
  }
  return CommandStatus::Done;
}

CommandStatus RunDeviceCommand(DeviceLink& link, PortError& error) {
  try {
    if (link.device == "RX4410") {
      PortSession session(link, DataRegister(link));
      WriteRX4410Channel(link, -1, static_cast<std::int16_t>(link.gainCode[0] & 63));
      WriteRX4410Channel(link, 0, static_cast<std::int16_t>(link.gainCode[1] & 63));
      session.Finish();
      return CommandStatus::Done;
    }
    if (link.device == "TQM7731") {
      const auto word = static_cast<std::int16_t>((link.gainCode[0] & 31) * 32 + (link.gainCode[1] & 31));
      WriteTQM7731Word(link, word);
      return CommandStatus::Done;
    }
    if (link.device == "RX4410R") {
      ReadBothChannels(link);
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
