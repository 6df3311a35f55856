#include "ControlPPORT.h"

#include <cctype>
#include <cstdio>
#include <stdexcept>

#include "core/MainModule.h"
#include "core/Numbers.h"

namespace tarvel {

BitVectorType BitVector;

std::int16_t& BitVectorType::operator()(int index) {
  if (index < 0 || index > 15) throw std::out_of_range("BitVector index " + std::to_string(index));
  return entries_[static_cast<std::size_t>(index)];
}

std::int16_t BitVectorType::operator()(int index) const {
  if (index < 0 || index > 15) throw std::out_of_range("BitVector index " + std::to_string(index));
  return entries_[static_cast<std::size_t>(index)];
}

void CodeToBits(std::int32_t& Code) {
  // 64-bit arithmetic keeps Code - 2^i exact for every 32-bit Code.
  std::int64_t code = Code;
  for (int i = 15; i >= 0; --i) {
    const std::int64_t weight = std::int64_t{1} << i;
    BitVector(i) = code - weight >= 0 ? 1 : 0;
    code -= BitVector(i) * weight;
  }
  Code = static_cast<std::int32_t>(code);
}

std::int32_t BitsToCode() {
  std::int64_t sum = 0;
  for (int i = 0; i <= 15; ++i) sum += std::int64_t{BitVector(i)} << i;
  return static_cast<std::int32_t>(sum);
}

namespace {

// Every byte is a sum of line weights; the conversion checks the range.
std::uint8_t ToByte(std::int32_t value) {
  if (value < 0 || value > 255) throw std::range_error("port byte out of range");
  return static_cast<std::uint8_t>(value);
}

std::int32_t DataRegister() { return PortAddress; }

std::int32_t StatusRegister() {
  if (PortAddress == INT16_MAX) {
    throw PortAccessError({PortFailure::Unavailable, "I/O address " + std::to_string(PortAddress),
                           "the status register lies beyond the 16-bit address range",
                           "choose LPT1, LPT2 or PRN"});
  }
  return static_cast<std::int16_t>(PortAddress + 1);
}

void Out(std::int32_t value) { DlPortWritePortUchar(DataRegister(), ToByte(value)); }

// One RX4410 channel's lines: its select, clock and data inputs on the data
// register (bit n drives pin n + 2) and its serial output on the status
// register. A channel listens while its select is low; the other channel's
// select stays high. The write and the read-back both clock through these.
struct Rx4410Lines {
  std::int32_t select;
  std::int32_t clock;
  std::int32_t data;
  std::uint8_t serialOut;
};
constexpr Rx4410Lines kFirstChannelLines{1 << 0, 1 << 2, 1 << 1, 0x20};   // pins 2, 4, 3; status pin 12
constexpr Rx4410Lines kSecondChannelLines{1 << 7, 1 << 5, 1 << 6, 0x10};  // pins 9, 7, 8; status pin 13
constexpr std::int32_t kBothSelectsHigh = kFirstChannelLines.select + kSecondChannelLines.select;

constexpr const Rx4410Lines& LinesOf(std::int16_t FirstChannel) {
  return FirstChannel != 0 ? kFirstChannelLines : kSecondChannelLines;
}

}  // namespace

void WriteTQM7731Word(const std::int16_t& Word) {
  PortSession session(DataRegister());
  std::int32_t copy = Word;
  CodeToBits(copy);
  Out(0x00);
  Out(0x00), Out(0x02);  // leading clock pulse, enable low
  for (int k = 0; k <= 9; ++k) {
    const std::int32_t b = BitVector(k);
    Out(0x04 + b), Out(0x06 + b);  // enable high, clock low then high
  }
  Out(0x00), Out(0x02);  // trailing pulse: enable falls with the clock
  Out(0x00);
  session.Finish();
}

void WriteRX4410Channel(const std::int16_t& FirstChannel, const std::int16_t& Code) {
  PortSession session(DataRegister());
  const Rx4410Lines& lines = LinesOf(FirstChannel);
  const std::int32_t idle = kBothSelectsHigh;
  const std::int32_t frameBase = idle - lines.select;  // this channel selected, the other not

  std::int32_t word = static_cast<std::int32_t>(4.0 * Code + 1.0);
  CodeToBits(word);
  Out(idle);
  Out(idle), Out(idle + lines.clock);  // leading clock pulse, not selected
  for (int k = 0; k <= 7; ++k) {
    const std::int32_t b = BitVector(k);
    Out(frameBase + b * lines.data);
    Out(frameBase + lines.clock + b * lines.data);
  }
  Out(idle), Out(idle + lines.clock);  // select rises: the chip latches the word
  Out(idle);
  session.Finish();
}

void ReadRX4410Channel(const std::int16_t& FirstChannel) {
  PortSession session(DataRegister());
  const Rx4410Lines& lines = LinesOf(FirstChannel);
  const std::int32_t idle = kBothSelectsHigh;
  const std::int32_t frame = idle - lines.select;
  constexpr int N = 7;

  std::int32_t zero = 0;
  CodeToBits(zero);
  (void)DlPortReadPortUchar(StatusRegister());
  Out(idle);
  Out(idle), Out(idle + lines.clock);
  Out(frame), Out(frame + lines.clock);  // first clock selected: the read bit, not sampled
  for (int j = 0; j <= N - 2; ++j) {
    Out(frame);
    Out(frame + lines.clock);
    const std::uint8_t status = DlPortReadPortUchar(StatusRegister());
    BitVector(j) = static_cast<std::int16_t>((status & lines.serialOut) != 0);
  }
  Out(idle), Out(idle + lines.clock);
  Out(idle);
  session.Finish();
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

namespace {

CommandStatus ReportPortFailure(const PortError& error) {
  ShowPortAlert(PortAlertTitle(error), PortAlertText(error, PortAddress));
  return error.failure == PortFailure::Unavailable ? CommandStatus::PortUnavailable
                                                   : CommandStatus::PortFailed;
}

// Reads both channels; ReadCode changes only when both reads completed.
void ReadBothChannels() {
  PortSession session(DataRegister());
  std::array<std::int16_t, 2> codes{};
  for (int i = 0; i <= 1; ++i) {
    const std::int16_t firstChannel = i != 1 ? -1 : 0;
    ReadRX4410Channel(firstChannel);
    const std::int32_t code = BitsToCode();
    if (code < INT16_MIN || code > INT16_MAX) throw std::overflow_error("read-back code overflow");
    codes[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(code);
  }
  session.Finish();
  ReadCode = codes;
}

}  // namespace

CommandStatus ReadBackCodes() {
  try {
    ReadBothChannels();
  } catch (const PortAccessError& e) {
    return ReportPortFailure(e.error());
  }
  return CommandStatus::Done;
}

CommandStatus RunDeviceCommand() {
  try {
    if (DeviceName == "RX4410") {
      PortSession session(DataRegister());
      WriteRX4410Channel(-1, static_cast<std::int16_t>(GainCode[0] & 63));
      WriteRX4410Channel(0, static_cast<std::int16_t>(GainCode[1] & 63));
      session.Finish();
      return CommandStatus::Done;
    }
    if (DeviceName == "TQM7731") {
      const auto word = static_cast<std::int16_t>((GainCode[0] & 31) * 32 + (GainCode[1] & 31));
      WriteTQM7731Word(word);
      return CommandStatus::Done;
    }
    if (DeviceName == "RX4410R") {
      ReadBothChannels();
      const std::string line = DeviceName + ", " + CodeToText(ReadCode[0]) + ", " + CodeToText(ReadCode[1]);
      return WriteResultFile(kResultFileName, line) ? CommandStatus::Done : CommandStatus::ResultFileFailed;
    }
  } catch (const PortAccessError& e) {
    return ReportPortFailure(e.error());
  }
  ShowOptionAlert();
  return CommandStatus::UnknownDevice;
}

}  // namespace tarvel
