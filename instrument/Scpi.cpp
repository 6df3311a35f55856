#include "instrument/Scpi.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/MainModule.h"
#include "core/Numbers.h"
#include "core/Version.h"
#include "device/ControlPPORT.h"
#include "device/DeviceLink.h"

namespace tarvel {

std::string ScpiIdentity() { return std::string("Tarvel Control Software,Tarvel Control,0,") + kVersion; }

namespace {

enum class Op {
  Idn,
  Rst,
  Cls,
  Ese,
  EseQ,
  EsrQ,
  Sre,
  SreQ,
  StbQ,
  Opc,
  OpcQ,
  Wai,
  TstQ,
  ErrorQ,
  VersionQ,
  Device,
  DeviceQ,
  ChanCode,
  ChanCodeQ,
  Code,
  CodeQ,
  Transmit,
  AutoTransmit,
  AutoTransmitQ,
  ReadQ,
  PortQ,
};

// Header patterns: nodes separated by ':', the short form in capitals, an
// optional node in brackets, '#' where a numeric suffix may follow.
struct Entry {
  const char* pattern;
  bool query;
  int params;  // exact number of parameters
  Op op;
};

// Queries that only read what the instrument holds: no port, no change but
// taking the error or event they report.
bool ReadsOnly(Op op) {
  switch (op) {
    case Op::Idn:
    case Op::EseQ:
    case Op::EsrQ:
    case Op::SreQ:
    case Op::StbQ:
    case Op::TstQ:
    case Op::ErrorQ:
    case Op::VersionQ:
    case Op::DeviceQ:
    case Op::ChanCodeQ:
    case Op::CodeQ:
    case Op::AutoTransmitQ:
    case Op::PortQ: return true;
    default: return false;
  }
}

constexpr Entry kCommands[] = {
    {"*IDN", true, 0, Op::Idn},
    {"*RST", false, 0, Op::Rst},
    {"*CLS", false, 0, Op::Cls},
    {"*ESE", false, 1, Op::Ese},
    {"*ESE", true, 0, Op::EseQ},
    {"*ESR", true, 0, Op::EsrQ},
    {"*SRE", false, 1, Op::Sre},
    {"*SRE", true, 0, Op::SreQ},
    {"*STB", true, 0, Op::StbQ},
    {"*OPC", false, 0, Op::Opc},
    {"*OPC", true, 0, Op::OpcQ},
    {"*WAI", false, 0, Op::Wai},
    {"*TST", true, 0, Op::TstQ},
    {"SYSTem:ERRor:[NEXT]", true, 0, Op::ErrorQ},
    {"SYSTem:VERSion", true, 0, Op::VersionQ},
    {"DEVice", false, 1, Op::Device},
    {"DEVice", true, 0, Op::DeviceQ},
    {"CHANnel#:CODE", false, 1, Op::ChanCode},
    {"CHANnel#:CODE", true, 0, Op::ChanCodeQ},
    {"CODE", false, 2, Op::Code},
    {"CODE", true, 0, Op::CodeQ},
    {"TRANsmit", false, 0, Op::Transmit},
    {"TRANsmit:AUTO", false, 1, Op::AutoTransmit},
    {"TRANsmit:AUTO", true, 0, Op::AutoTransmitQ},
    {"READ", true, 0, Op::ReadQ},
    {"PORT", true, 0, Op::PortQ},
};

constexpr std::uint8_t kEsrOpc = 0x01, kEsrQye = 0x04, kEsrDde = 0x08, kEsrExe = 0x10, kEsrCme = 0x20;
// Status byte bits: the error queue is not empty (SCPI), an answer waits in
// the output queue (MAV), an enabled standard event (ESB), the master summary
// (MSS, which *SRE cannot enable).
constexpr std::uint8_t kStbErrorQueue = 0x04, kStbMav = 0x10, kStbEsb = 0x20, kStbMss = 0x40;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// One header node against one pattern node ("CHANnel#"); `suffix` gets the
// numeric suffix (1 when there is none).
bool MatchNode(std::string_view node, std::string_view pattern, int& suffix) {
  const bool numbered = !pattern.empty() && pattern.back() == '#';
  if (numbered) pattern.remove_suffix(1);
  std::size_t digits = 0;
  if (numbered) {
    while (digits < node.size() && std::isdigit(static_cast<unsigned char>(node[node.size() - 1 - digits])))
      ++digits;
    if (digits > 3) return false;
  }
  const std::string_view word = node.substr(0, node.size() - digits);
  std::size_t shortLength = 0;
  while (shortLength < pattern.size() && !std::islower(static_cast<unsigned char>(pattern[shortLength])))
    ++shortLength;
  if (!EqualsNoCase(word, pattern) && !EqualsNoCase(word, pattern.substr(0, shortLength))) return false;
  suffix = digits == 0 ? 1 : std::atoi(std::string(node.substr(node.size() - digits)).c_str());
  return true;
}

std::vector<std::string_view> SplitAt(std::string_view s, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= s.size(); ++i) {
    if (i == s.size() || s[i] == separator) {
      parts.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

// The header's nodes against a pattern; a bracketed pattern node may be absent.
bool MatchHeader(const std::vector<std::string_view>& nodes, std::string_view pattern, int& suffix) {
  std::size_t n = 0;
  suffix = 1;
  for (std::string_view p : SplitAt(pattern, ':')) {
    const bool optional = p.size() > 2 && p.front() == '[';
    if (optional) p = p.substr(1, p.size() - 2);
    int s = 1;
    if (n < nodes.size() && MatchNode(nodes[n], p, s)) {
      if (p.back() == '#') suffix = s;
      ++n;
    } else if (!optional) {
      return false;
    }
  }
  return n == nodes.size();
}

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

int DeviceMax(const std::string& device) { return DeviceCodeRange(device).value_or(CodeRange{}).highest; }

// One command of a program message, split: its header looked up in the
// table and its parameters.
struct Parsed {
  const Entry* entry = nullptr;  // nothing when the header is unknown or the wrong form
  bool known = false;            // the header exists, maybe not as this form
  bool query = false;
  int suffix = 1;
  std::string_view rest;  // the parameters, trimmed
};

Parsed ParseUnit(std::string_view unit) {
  Parsed p;
  std::size_t end = 0;
  while (end < unit.size() && !IsBlank(unit[end])) ++end;
  std::string_view header = unit.substr(0, end);
  p.rest = Trim(unit.substr(end));
  p.query = !header.empty() && header.back() == '?';
  if (p.query) header.remove_suffix(1);
  if (!header.empty() && header.front() == ':') header.remove_prefix(1);
  const std::vector<std::string_view> nodes = SplitAt(header, ':');
  for (const Entry& entry : kCommands) {
    if (!MatchHeader(nodes, entry.pattern, p.suffix)) continue;
    p.known = true;
    if (entry.query == p.query) {
      p.entry = &entry;
      break;
    }
  }
  return p;
}

std::string_view WithoutReturn(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

struct ScpiInstrument::Command {
  Op op;
  int suffix;
  std::vector<std::string_view> params;
};

ScpiInstrument::ScpiInstrument() : ScpiInstrument(DeviceLink::SharingPortOf(ProcessLink())) {}

ScpiInstrument::ScpiInstrument(std::unique_ptr<DeviceLink> link) : link_(std::move(link)) {
  link_->portAddress = PortAddress;
}

ScpiInstrument::~ScpiInstrument() = default;

void ScpiInstrument::PushError(int code, std::string text) {
  lastError_ = std::to_string(code) + "," + Quoted(text);
  if (aside_ != nullptr) {
    aside_->push_back({code, std::move(text)});
    return;
  }
  if (code <= -100 && code > -200) esr_ |= kEsrCme;
  else if (code <= -200 && code > -300) esr_ |= kEsrExe;
  else if (code <= -300 && code > -400) esr_ |= kEsrDde;
  else if (code <= -400 && code > -500) esr_ |= kEsrQye;
  if (errors_.size() < kScpiErrorQueueSize) {
    errors_.push_back({code, std::move(text)});
  } else {
    errors_.back() = {-350, "Queue overflow"};
  }
}

std::string ScpiInstrument::PopError() {
  if (errors_.empty()) return "0,\"No error\"";
  ScpiError e = std::move(errors_.front());
  errors_.pop_front();
  return std::to_string(e.code) + "," + Quoted(e.text);
}

std::uint8_t ScpiInstrument::StatusByte(bool answerWaiting) const {
  std::uint8_t stb = 0;
  if (!errors_.empty()) stb |= kStbErrorQueue;
  if (answerWaiting) stb |= kStbMav;
  if ((esr_ & ese_) != 0) stb |= kStbEsb;
  if ((stb & sre_) != 0) stb |= kStbMss;
  return stb;
}

bool ScpiInstrument::ReadsOnly(std::string_view line) {
  bool any = false;
  for (std::string_view unit : SplitAt(WithoutReturn(line), ';')) {
    unit = Trim(unit);
    if (unit.empty()) continue;
    const Parsed p = ParseUnit(unit);
    if (p.entry == nullptr || !tarvel::ReadsOnly(p.entry->op) || !p.rest.empty()) return false;
    any = true;
  }
  return any;
}

std::string ScpiInstrument::Execute(std::string_view line) {
  std::string answers;
  for (std::string_view unit : SplitAt(WithoutReturn(line), ';')) {
    unit = Trim(unit);
    if (unit.empty()) continue;
    const Parsed parsed = ParseUnit(unit);
    const Entry* found = parsed.entry;
    if (found == nullptr) {
      PushError(-113, parsed.known
                          ? "Undefined header; " + std::string(parsed.query ? "no query form" : "query only")
                          : "Undefined header");
      break;  // a command error ends the message
    }
    Command command{found->op, parsed.suffix, {}};
    if (!parsed.rest.empty()) {
      for (std::string_view p : SplitAt(parsed.rest, ',')) command.params.push_back(Trim(p));
    }
    if (static_cast<int>(command.params.size()) < found->params) {
      PushError(-109, "Missing parameter");
      break;
    }
    if (static_cast<int>(command.params.size()) > found->params) {
      PushError(-108, "Parameter not allowed");
      break;
    }
    Run(command, answers);
  }
  return answers.empty() ? answers : answers + "\n";
}

std::optional<ScpiError> ScpiCheckCode(std::string_view text, const std::string& device, int& code) {
  const auto value = TextToCode(text);
  if (!value && !TextToNumber(text)) return ScpiError{-104, "Data type error"};
  if (!value || *value < 0 || *value > DeviceMax(device)) return ScpiError{-222, "Data out of range"};
  code = *value;
  return std::nullopt;
}

bool ScpiInstrument::ParseCode(std::string_view text, int& code) {
  if (auto error = ScpiCheckCode(text, device_, code)) {
    PushError(error->code, std::move(error->text));
    return false;
  }
  return true;
}

std::string ScpiInstrument::ExecuteAside(std::string_view line, std::vector<ScpiError>& errors) {
  aside_ = &errors;
  std::string answers = Execute(line);
  aside_ = nullptr;
  return answers;
}

ScpiStatus ScpiInstrument::Status() const {
  return {device_, codes_, sent_, autoTransmit_, link_->DescribePort(), lastError_};
}

bool ScpiInstrument::Send() {
  for (int code : codes_) {
    if (code > DeviceMax(device_)) {
      PushError(-222, "Data out of range");
      return false;
    }
  }
  link_->gainCode = {static_cast<std::int16_t>(codes_[0]), static_cast<std::int16_t>(codes_[1])};
  if (!Drive(false)) return false;
  sent_ = codes_;
  return true;
}

bool ScpiInstrument::Drive(bool readBack) {
  link_->device = device_;
  PortError error;
  const CommandStatus status = readBack ? ReadBackCodes(*link_, error) : RunDeviceCommand(*link_, error);
  if (status == CommandStatus::Done) return true;
  if (status == CommandStatus::PortUnavailable || status == CommandStatus::PortFailed) {
    PushError(-240, "Hardware error; " + PortAlertText(error, link_->portAddress));
  } else {
    PushError(-240, "Hardware error");
  }
  return false;
}

namespace {

// Adds a query's answer to the line's answers, ';' between them.
void Answer(std::string& answers, const std::string& text) {
  if (!answers.empty()) answers += ';';
  answers += text;
}

}  // namespace

bool ScpiInstrument::ParseByte(std::string_view text, std::uint8_t& target) {
  const auto value = TextToCode(text);
  if (!value && !TextToNumber(text)) {
    PushError(-104, "Data type error");
    return false;
  }
  if (!value || *value < 0 || *value > 255) {
    PushError(-222, "Data out of range");
    return false;
  }
  target = static_cast<std::uint8_t>(*value);
  return true;
}

void ScpiInstrument::Run(const Command& c, std::string& answers) {
  if (!RunCommonCommand(c, answers)) RunChipCommand(c, answers);
}

// The common commands and status queries; false for any other.
bool ScpiInstrument::RunCommonCommand(const Command& c, std::string& answers) {
  switch (c.op) {
    case Op::Idn: Answer(answers, ScpiIdentity()); return true;
    case Op::Rst:  // the status registers and the error queue stay as they are
      device_ = "RX4410", codes_ = {0, 0}, autoTransmit_ = false;
      return true;
    case Op::Cls:
      esr_ = 0;
      errors_.clear();
      return true;
    case Op::Ese: ParseByte(c.params[0], ese_); return true;
    case Op::EseQ: Answer(answers, std::to_string(ese_)); return true;
    case Op::EsrQ: {
      const std::uint8_t esr = esr_;
      esr_ = 0;
      Answer(answers, std::to_string(esr));
      return true;
    }
    case Op::Sre:
      ParseByte(c.params[0], sre_);
      sre_ &= static_cast<std::uint8_t>(~kStbMss);
      return true;
    case Op::SreQ: Answer(answers, std::to_string(sre_)); return true;
    case Op::StbQ: Answer(answers, std::to_string(StatusByte(!answers.empty()))); return true;
    case Op::Opc: esr_ |= kEsrOpc; return true;
    case Op::OpcQ: Answer(answers, "1"); return true;
    case Op::Wai: return true;
    case Op::TstQ: Answer(answers, "0"); return true;
    case Op::ErrorQ: Answer(answers, PopError()); return true;
    case Op::VersionQ: Answer(answers, "1999.0"); return true;
    default: return false;
  }
}

// The chips' own commands: device, codes, sending and reading back.
void ScpiInstrument::RunChipCommand(const Command& c, std::string& answers) {
  auto answer = [&answers](const std::string& text) { Answer(answers, text); };
  const std::size_t channel = static_cast<std::size_t>(c.suffix - 1);
  if ((c.op == Op::ChanCode || c.op == Op::ChanCodeQ) && (c.suffix < 1 || c.suffix > 2)) {
    PushError(-114, "Header suffix out of range");
    return;
  }
  switch (c.op) {
    case Op::Device:
      if (EqualsNoCase(c.params[0], "RX4410")) device_ = "RX4410";
      else if (EqualsNoCase(c.params[0], "TQM7731")) device_ = "TQM7731";
      else PushError(-224, "Illegal parameter value");
      return;
    case Op::DeviceQ: return answer(device_);
    case Op::ChanCode: {
      int code = 0;
      if (!ParseCode(c.params[0], code)) return;
      codes_[channel] = code;
      if (autoTransmit_) Send();
      return;
    }
    case Op::ChanCodeQ: return answer(CodeToText(codes_[channel]));
    case Op::Code: {
      int first = 0, second = 0;
      if (!ParseCode(c.params[0], first) || !ParseCode(c.params[1], second)) return;
      codes_ = {first, second};
      Send();
      return;
    }
    case Op::CodeQ: return answer(CodeToText(sent_[0]) + "," + CodeToText(sent_[1]));
    case Op::Transmit: Send(); return;
    case Op::AutoTransmit: {
      const std::string_view v = c.params[0];
      if (EqualsNoCase(v, "ON") || v == "1") autoTransmit_ = true;
      else if (EqualsNoCase(v, "OFF") || v == "0") autoTransmit_ = false;
      else PushError(-104, "Data type error");
      return;
    }
    case Op::AutoTransmitQ: return answer(autoTransmit_ ? "1" : "0");
    case Op::ReadQ: {
      if (device_ != "RX4410") return PushError(-221, "Settings conflict");
      if (!Drive(true)) return;
      return answer(CodeToText(link_->readCode[0]) + "," + CodeToText(link_->readCode[1]));
    }
    case Op::PortQ: return answer(Quoted(link_->DescribePort()));
    default: return;  // a common command: RunCommonCommand took it
  }
}

}  // namespace tarvel
