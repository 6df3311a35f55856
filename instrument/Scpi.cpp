#include "instrument/Scpi.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "core/MainModule.h"
#include "core/Numbers.h"
#include "core/Version.h"
#include "device/ControlPPORT.h"
#include "device/DeviceLink.h"

namespace tarvel {

std::string ScpiIdentity(std::string_view serial) {
  return "Tarvel Control Software,Tarvel Control," + std::string(serial) + "," + kVersion;
}

namespace {

constexpr std::uint8_t kEsrOpc = 0x01, kEsrQye = 0x04, kEsrDde = 0x08, kEsrExe = 0x10, kEsrCme = 0x20;
// Status byte bits: the error queue is not empty (SCPI), an answer waits in
// the output queue (MAV), an enabled standard event (ESB), the master summary
// (MSS, which *SRE cannot enable), and the summaries of the enabled
// questionable and operation events.
constexpr std::uint8_t kStbErrorQueue = 0x04, kStbQuestionable = 0x08, kStbMav = 0x10, kStbEsb = 0x20,
                       kStbMss = 0x40, kStbOperation = 0x80;
// STATus:...:ENABle takes 0..32767: bit 15 is never used.
constexpr int kMaxStatusEnable = 32767;

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

// Where a pattern node takes a numeric suffix: "CHANnel<n>".
constexpr std::string_view kSuffixMark = "<n>";

bool Numbered(std::string_view pattern) { return pattern.ends_with(kSuffixMark); }

// One header node against one pattern node ("CHANnel<n>"); `suffix` gets the
// numeric suffix (1 when there is none).
bool MatchNode(std::string_view node, std::string_view pattern, int& suffix) {
  const bool numbered = Numbered(pattern);
  if (numbered) pattern.remove_suffix(kSuffixMark.size());
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

// A pattern's nodes: "SYSTem:ERRor[:NEXT]" is SYSTem, ERRor and an optional
// NEXT.
struct PatternNode {
  std::string_view text;
  bool optional;
};

std::vector<PatternNode> PatternNodes(std::string_view pattern) {
  std::vector<PatternNode> nodes;
  while (!pattern.empty()) {
    const bool optional = pattern.starts_with("[:");
    if (optional) {
      const std::size_t close = pattern.find(']');
      nodes.push_back({pattern.substr(2, close - 2), true});
      pattern.remove_prefix(close + 1);
      continue;
    }
    if (pattern.front() == ':') pattern.remove_prefix(1);
    const std::size_t end = std::min(pattern.find(':'), pattern.find('['));
    nodes.push_back({pattern.substr(0, end), false});
    pattern.remove_prefix(std::min(end, pattern.size()));
  }
  return nodes;
}

// The header's nodes against a pattern; an optional pattern node may be
// absent.
bool MatchHeader(const std::vector<std::string_view>& nodes, std::string_view pattern, int& suffix) {
  std::size_t n = 0;
  suffix = 1;
  for (const PatternNode& p : PatternNodes(pattern)) {
    int s = 1;
    if (n < nodes.size() && MatchNode(nodes[n], p.text, s)) {
      if (Numbered(p.text)) suffix = s;
      ++n;
    } else if (!p.optional) {
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

std::string_view WithoutReturn(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Adds a query's answer to the line's answers, ';' between them.
void Answer(std::string& answers, const std::string& text) {
  if (!answers.empty()) answers += ';';
  answers += text;
}

}  // namespace

// One command of a program message as its handler sees it: the instrument,
// the header's numeric suffix, the parameters and the line's answers so far.
struct ScpiInstrument::Call {
  ScpiInstrument& self;
  int suffix;
  std::vector<std::string_view> params;
  std::string& answers;
  void Answer(const std::string& text) const { tarvel::Answer(answers, text); }
};

// The command table. Each row: the header as the standard writes it (short
// form in capitals, an optional node in brackets, "<n>" where a numeric
// suffix may follow, "?" for a query), its parameters as the documentation
// shows them (each ',' one more; "" for none), whether it only reads what the
// instrument holds (the server answers it at once even while another process
// holds the port), the help text the README and the manual page list, and
// the handler. A new command is one row and its handler.
struct ScpiInstrument::Commands {
  struct Row {
    std::string_view header;
    std::string_view params;
    bool readsOnly;
    std::string_view help;
    void (*run)(const Call&);
    bool Query() const { return header.ends_with('?'); }
    std::string_view Pattern() const { return Query() ? header.substr(0, header.size() - 1) : header; }
    // "[MIN|MAX]": one parameter that may be left out.
    std::size_t MaxParams() const {
      return params.empty() ? 0 : static_cast<std::size_t>(std::count(params.begin(), params.end(), ',')) + 1;
    }
    std::size_t MinParams() const { return params.starts_with('[') ? 0 : MaxParams(); }
  };
  static std::span<const Row> Rows();

  // The handlers, one per row.
  static void Identify(const Call& c) { c.Answer(ScpiIdentity(c.self.serial_)); }
  static void Reset(const Call& c) { c.self.Reset(); }
  static void Clear(const Call& c) { c.self.Clear(); }
  static void SetEventEnable(const Call& c) { c.self.ParseByte(c.params[0], c.self.ese_); }
  static void EventEnable(const Call& c) { c.Answer(std::to_string(c.self.ese_)); }
  static void EventRegister(const Call& c) { c.Answer(std::to_string(std::exchange(c.self.esr_, 0))); }
  static void SetRequestEnable(const Call& c) {
    c.self.ParseByte(c.params[0], c.self.sre_);
    c.self.sre_ &= static_cast<std::uint8_t>(~kStbMss);
  }
  static void RequestEnable(const Call& c) { c.Answer(std::to_string(c.self.sre_)); }
  static void StatusByte(const Call& c) { c.Answer(std::to_string(c.self.StatusByte(!c.answers.empty()))); }
  static void OperationComplete(const Call& c) { c.self.esr_ |= kEsrOpc; }
  static void AnswerOne(const Call& c) { c.Answer("1"); }
  static void Nothing(const Call&) {}
  static void SelfTest(const Call& c) { c.Answer("0"); }
  static void NextError(const Call& c) { c.Answer(c.self.PopError()); }
  static void AllErrors(const Call& c) {
    std::string all = c.self.PopError();
    while (!c.self.errors_.empty()) all += "," + c.self.PopError();
    c.Answer(all);
  }
  static void ErrorCount(const Call& c) { c.Answer(std::to_string(c.self.errors_.size())); }
  static void OperationEvent(const Call& c) {
    c.Answer(std::to_string(std::exchange(c.self.operation_.event, 0)));
  }
  static void OperationCondition(const Call& c) { c.Answer(std::to_string(c.self.operation_.condition)); }
  static void SetOperationEnable(const Call& c) { SetEnable(c, c.self.operation_); }
  static void OperationEnable(const Call& c) { c.Answer(std::to_string(c.self.operation_.enable)); }
  static void QuestionableEvent(const Call& c) {
    c.Answer(std::to_string(std::exchange(c.self.questionable_.event, 0)));
  }
  static void QuestionableCondition(const Call& c) {
    c.Answer(std::to_string(c.self.questionable_.condition));
  }
  static void SetQuestionableEnable(const Call& c) { SetEnable(c, c.self.questionable_); }
  static void QuestionableEnable(const Call& c) { c.Answer(std::to_string(c.self.questionable_.enable)); }
  static void PresetStatus(const Call& c) { c.self.operation_.enable = c.self.questionable_.enable = 0; }
  static void SetEnable(const Call& c, StatusRegister& r) {
    int value = 0;
    if (c.self.ParseNumber(c.params[0], 0, kMaxStatusEnable, 0, value))
      r.enable = static_cast<std::uint16_t>(value);
  }
  static void Version(const Call& c) { c.Answer("1999.0"); }
  static void SetDevice(const Call& c) { c.self.SelectDevice(c.params[0]); }
  static void Device(const Call& c) { c.Answer(c.self.device_); }
  static void SetChannelCode(const Call& c) {
    std::size_t channel = 0;
    int code = 0;
    if (!Channel(c, channel) || !c.self.ParseCode(c.params[0], code)) return;
    c.self.codes_[channel] = code;
    if (c.self.autoTransmit_) c.self.Send();
  }
  static void ChannelCode(const Call& c) {
    std::size_t channel = 0;
    if (!Channel(c, channel)) return;
    if (c.params.empty()) return c.Answer(CodeToText(c.self.codes_[channel]));
    int limit = 0;
    if (MatchWord(c.params[0], "MINimum")) limit = 0;
    else if (MatchWord(c.params[0], "MAXimum")) limit = DeviceMax(c.self.device_);
    else return c.self.PushError(-224, "Illegal parameter value");
    c.Answer(CodeToText(limit));
  }
  static void SetCodes(const Call& c) {
    int first = 0, second = 0;
    if (!c.self.ParseCode(c.params[0], first) || !c.self.ParseCode(c.params[1], second)) return;
    c.self.codes_ = {first, second};
    c.self.Send();
  }
  static void SentCodes(const Call& c) {
    c.Answer(CodeToText(c.self.sent_[0]) + "," + CodeToText(c.self.sent_[1]));
  }
  static void Transmit(const Call& c) { c.self.Send(); }
  // ON, OFF, 1 or 0; false after queueing the error.
  static bool OnOff(const Call& c, bool& on) {
    const std::string_view v = c.params[0];
    if (EqualsNoCase(v, "ON") || v == "1") return on = true;
    if (EqualsNoCase(v, "OFF") || v == "0") return !(on = false);
    c.self.PushError(-104, "Data type error");
    return false;
  }
  static void SetAutoTransmit(const Call& c) { OnOff(c, c.self.autoTransmit_); }
  static void AutoTransmit(const Call& c) { c.Answer(c.self.autoTransmit_ ? "1" : "0"); }
  static void ReadBack(const Call& c) {
    if (!c.self.ReadBack()) return;
    c.Answer(CodeToText(c.self.link_->readCode[0]) + "," + CodeToText(c.self.link_->readCode[1]));
  }
  static void Port(const Call& c) { c.Answer(Quoted(c.self.link_->DescribePort())); }

  // Saved states. The slot a parameter names, 0..9, from a store that could
  // be read; false after queueing the error.
  static bool Slot(const Call& c, std::size_t& slot) {
    int n = 0;
    if (!c.self.ParseNumber(c.params[0], 0, kSavedStateSlots - 1, 0, n)) return false;
    slot = static_cast<std::size_t>(n);
    if (c.self.saved_.loadError().empty()) return true;
    c.self.PushError(-250, "Mass storage error; " + c.self.saved_.loadError());
    return false;
  }
  static void SaveState(const Call& c) {
    std::size_t slot = 0;
    if (!Slot(c, slot)) return;
    SavedStates next = c.self.saved_.states();
    next.slots[slot] = SavedState{c.self.device_, c.self.codes_, c.self.autoTransmit_};
    c.self.StoreStates(next);
  }
  static void RecallState(const Call& c) {
    std::size_t slot = 0;
    if (!Slot(c, slot)) return;
    const std::optional<SavedState>& state = c.self.saved_.states().slots[slot];
    if (!state)
      return c.self.PushError(-221, "Settings conflict; saved state " + std::to_string(slot) + " is empty");
    c.self.Take(*state);
    if (c.self.autoTransmit_) c.self.Send();
  }
  static void StateValid(const Call& c) {
    std::size_t slot = 0;
    if (Slot(c, slot)) c.Answer(c.self.saved_.states().slots[slot] ? "1" : "0");
  }
  static void SetRecallAtPowerOn(const Call& c) {
    SavedStates next = c.self.saved_.states();
    if (OnOff(c, next.recallAtPowerOn)) c.self.StoreStates(next);
  }
  static void RecallAtPowerOn(const Call& c) { c.Answer(c.self.saved_.states().recallAtPowerOn ? "1" : "0"); }

  static bool MatchWord(std::string_view text, std::string_view word) {
    int suffix = 0;
    return MatchNode(text, word, suffix);
  }
  static bool MinOrMax(std::string_view text) {
    return MatchWord(text, "MINimum") || MatchWord(text, "MAXimum");
  }

  // Gain in dB. The calibration table, or nothing after queueing -221 (a
  // dB command without a table also sets the questionable "calibration"
  // bit); `forCodes`: the table must also be the selected device's.
  static Calibration* Table(const Call& c, bool forCodes) {
    ScpiInstrument& self = c.self;
    self.questionable_.Set(kScpiQuestionableCalibration, !self.cal_);
    if (!self.cal_) {
      self.PushError(-221, "Settings conflict; no calibration table (tarvel --serve --cal FILE)");
      return nullptr;
    }
    if (forCodes && self.cal_->Table().device != self.device_) {
      self.PushError(-221,
                     "Settings conflict; the calibration table is the " + self.cal_->Table().device + "'s");
      return nullptr;
    }
    return &*self.cal_;
  }
  // A channel's lowest (`word` MINimum) or highest (MAXimum) gain, or
  // nothing after queueing the error.
  static std::optional<double> Extreme(const Call& c, const Calibration& cal, int channel,
                                       std::string_view word) {
    const bool lowest = MatchWord(word, "MINimum");
    const auto range = cal.Range(channel);
    if (!range) {
      c.self.PushError(-221, "Settings conflict; the calibration table has no rows for channel " +
                                 std::to_string(channel + 1));
      return std::nullopt;
    }
    return lowest ? range->lowest : range->highest;
  }
  // A number, with an exponent or not ("-1.25E1"); for a gain, with an
  // optional unit "dB" in any case.
  static std::optional<double> Measured(std::string_view text, bool gain) {
    if (gain && text.size() >= 2 && EqualsNoCase(text.substr(text.size() - 2), "DB"))
      text = Trim(text.substr(0, text.size() - 2));
    const std::optional<std::string> plain = WithoutExponent(text);
    return plain ? TextToNumber(*plain) : std::nullopt;
  }
  static void SetGain(const Call& c) {
    std::size_t channel = 0;
    const Calibration* cal = nullptr;
    if (!Channel(c, channel) || (cal = Table(c, true)) == nullptr) return;
    const int ch = static_cast<int>(channel);
    std::optional<double> db;
    if (MinOrMax(c.params[0])) {
      if (!(db = Extreme(c, *cal, ch, c.params[0]))) return;
    } else if (!(db = Measured(c.params[0], true))) {
      return c.self.PushError(-104, "Data type error");
    }
    std::string error;
    const std::optional<Calibration::Choice> choice = cal->Nearest(ch, *db, error);
    if (!choice && error.starts_with("Data out of range")) return c.self.PushError(-222, error);
    if (!choice) return c.self.PushError(-221, "Settings conflict; " + error);
    c.self.codes_[channel] = choice->code;
    if (c.self.autoTransmit_) c.self.Send();
  }
  static void Gain(const Call& c) {
    std::size_t channel = 0;
    const Calibration* cal = nullptr;
    if (!Channel(c, channel) || (cal = Table(c, true)) == nullptr) return;
    const int ch = static_cast<int>(channel);
    if (!c.params.empty()) {
      if (!MinOrMax(c.params[0])) return c.self.PushError(-224, "Illegal parameter value");
      if (const auto db = Extreme(c, *cal, ch, c.params[0])) c.Answer(GainText(*db));
      return;
    }
    const int code = c.self.codes_[channel];
    if (const auto db = cal->GainOf(ch, code)) return c.Answer(GainText(*db));
    c.self.PushError(-221, "Settings conflict; code " + CodeToText(code) + " of channel " +
                               std::to_string(ch + 1) + " is not in the calibration table");
  }
  static void SetCalFrequency(const Call& c) {
    Calibration* cal = Table(c, false);
    if (cal == nullptr) return;
    const std::string_view text = c.params[0];
    std::optional<double> hz;
    if (MatchWord(text, "MINimum") || MatchWord(text, "DEFault")) hz = cal->LowestFrequency().value_or(0);
    else if (MatchWord(text, "MAXimum")) hz = cal->HighestFrequency().value_or(0);
    else if (!(hz = Measured(text, false))) return c.self.PushError(-104, "Data type error");
    if (!cal->SetFrequency(*hz)) c.self.PushError(-222, "Data out of range");
  }
  static void CalFrequency(const Call& c) {
    if (const Calibration* cal = Table(c, false)) c.Answer(FrequencyText(cal->Frequency()));
  }
  static void CalState(const Call& c) { c.Answer(c.self.cal_ ? "1" : "0"); }
  // The table as read, as a definite-length block: #, the count of digits,
  // the byte count, the bytes.
  static void CalData(const Call& c) {
    const Calibration* cal = Table(c, false);
    if (cal == nullptr) return;
    const std::string& text = cal->Table().text;
    const std::string length = std::to_string(text.size());
    c.Answer("#" + std::to_string(length.size()) + length + text);
  }

  // The channel CHANnel<n> names, 0 or 1; false after queueing the error.
  static bool Channel(const Call& c, std::size_t& channel) {
    if (c.suffix < 1 || c.suffix > 2) {
      c.self.PushError(-114, "Header suffix out of range");
      return false;
    }
    channel = static_cast<std::size_t>(c.suffix - 1);
    return true;
  }
};

namespace {

constexpr bool kReads = true, kActs = false;

}  // namespace

std::span<const ScpiInstrument::Commands::Row> ScpiInstrument::Commands::Rows() {
  using C = Commands;
  static const Row kRows[] = {
      {"*IDN?", "", kReads, "the identity: manufacturer, model, serial number, version", &C::Identify},
      {"*RST", "", kActs,
       "device RX4410, codes 0,0, auto-transmit off; nothing is sent; the status registers and the error "
       "queue stay as they are",
       &C::Reset},
      {"*CLS", "", kActs, "clears the standard, operation and questionable events and the error queue",
       &C::Clear},
      {"*ESE", "n", kActs, "the standard events (0..255) that set status byte bit 5", &C::SetEventEnable},
      {"*ESE?", "", kReads, "the standard events enabled", &C::EventEnable},
      {"*ESR?", "", kReads, "the standard event register, then cleared", &C::EventRegister},
      {"*SRE", "n", kActs, "the status byte bits (0..255) that set bit 6; bit 6 itself cannot be enabled",
       &C::SetRequestEnable},
      {"*SRE?", "", kReads, "the status byte bits enabled", &C::RequestEnable},
      {"*STB?", "", kReads, "the status byte", &C::StatusByte},
      {"*OPC", "", kActs, "sets the operation-complete event (commands run whole, in order)",
       &C::OperationComplete},
      {"*OPC?", "", kActs, "1 once every earlier command has run", &C::AnswerOne},
      {"*WAI", "", kActs, "nothing to wait for: commands run whole, in order", &C::Nothing},
      {"*TST?", "", kReads, "0: no self-test fails", &C::SelfTest},
      {"*SAV", "n", kActs,
       "saves the device, both codes set and auto-transmit as state n (0..9), kept across restarts",
       &C::SaveState},
      {"*RCL", "n", kActs,
       "recalls saved state n (0..9); its codes are sent at once only when its auto-transmit is ON",
       &C::RecallState},
      {"SYSTem:ERRor[:NEXT]?", "", kReads, "the oldest error, 0,\"No error\" when the queue is empty",
       &C::NextError},
      {"SYSTem:ERRor:ALL?", "", kReads, "every error in the queue, oldest first, and empties it",
       &C::AllErrors},
      {"SYSTem:ERRor:COUNt?", "", kReads, "how many errors the queue holds", &C::ErrorCount},
      {"SYSTem:VERSion?", "", kReads, "1999.0, the SCPI version", &C::Version},
      {"STATus:OPERation[:EVENt]?", "", kReads, "the operation events since last read, then cleared",
       &C::OperationEvent},
      {"STATus:OPERation:CONDition?", "", kReads, "the operation conditions now", &C::OperationCondition},
      {"STATus:OPERation:ENABle", "n", kActs, "the operation events (0..32767) that set status byte bit 7",
       &C::SetOperationEnable},
      {"STATus:OPERation:ENABle?", "", kReads, "the operation events enabled", &C::OperationEnable},
      {"STATus:QUEStionable[:EVENt]?", "", kReads, "the questionable events since last read, then cleared",
       &C::QuestionableEvent},
      {"STATus:QUEStionable:CONDition?", "", kReads, "the questionable conditions now",
       &C::QuestionableCondition},
      {"STATus:QUEStionable:ENABle", "n", kActs,
       "the questionable events (0..32767) that set status byte bit 3", &C::SetQuestionableEnable},
      {"STATus:QUEStionable:ENABle?", "", kReads, "the questionable events enabled", &C::QuestionableEnable},
      {"STATus:PRESet", "", kActs, "enables no operation or questionable event; the events stay",
       &C::PresetStatus},
      {"DEVice", "RX4410|TQM7731", kActs, "selects the device", &C::SetDevice},
      {"DEVice?", "", kReads, "the device selected", &C::Device},
      {"CHANnel<n>:CODE", "c", kActs,
       "sets channel 1's or 2's code; sent at once only when TRANsmit:AUTO is ON", &C::SetChannelCode},
      {"CHANnel<n>:CODE?", "[MIN|MAX]", kReads,
       "the code last set on channel 1 or 2; with MIN or MAX the device's lowest or highest code",
       &C::ChannelCode},
      {"CODE", "c1,c2", kActs, "sets both codes and sends them at once, like tarvel DEVICE c1 c2",
       &C::SetCodes},
      {"CODE?", "", kReads, "the codes last sent, c1,c2 (-1,-1 before the first send)", &C::SentCodes},
      {"CHANnel<n>:GAIN", "<dB>[DB]|MIN|MAX", kActs,
       "sets channel 1's or 2's code to the calibrated code whose gain at the working frequency is nearest "
       "(-222 more than 0.5 dB beyond the channel's gains); sent at once only when TRANsmit:AUTO is ON",
       &C::SetGain},
      {"CHANnel<n>:GAIN?", "[MIN|MAX]", kReads,
       "the calibrated gain of channel 1's or 2's code at the working frequency, in dB; with MIN or MAX the "
       "channel's lowest or highest",
       &C::Gain},
      {"TRANsmit", "", kActs, "sends both codes set now (the Transmit button)", &C::Transmit},
      {"TRANsmit:AUTO", "ON|OFF|1|0", kActs, "auto-transmit, as in the window", &C::SetAutoTransmit},
      {"TRANsmit:AUTO?", "", kReads, "auto-transmit, 1 or 0", &C::AutoTransmit},
      {"READ?", "", kActs, "RX4410 only: reads both codes back from the chip, c1,c2; no result file",
       &C::ReadBack},
      {"PORT?", "", kReads, "the port in use, quoted", &C::Port},
      {"CALibration:FREQuency", "<Hz>|MIN|MAX", kActs,
       "the working frequency the gains are looked up at (at first the table's lowest)", &C::SetCalFrequency},
      {"CALibration:FREQuency?", "", kReads, "the working frequency, in Hz", &C::CalFrequency},
      {"CALibration:STATe?", "", kReads, "1 when the server has a calibration table (--cal FILE), else 0",
       &C::CalState},
      {"CALibration:DATA?", "", kReads,
       "the calibration table as read, as a definite-length block: #, the count of length digits, the "
       "length, the bytes",
       &C::CalData},
      {"MEMory:STATe:VALid?", "n", kReads, "1 when state n (0..9) holds a saved state, else 0",
       &C::StateValid},
      {"MEMory:STATe:RECall:AUTO", "ON|OFF|1|0", kActs,
       "recall at power-on, kept with the states: the server sends saved state 0 when it starts, before any "
       "client",
       &C::SetRecallAtPowerOn},
      {"MEMory:STATe:RECall:AUTO?", "", kReads, "recall at power-on, 1 or 0", &C::RecallAtPowerOn},
  };
  return kRows;
}

std::vector<ScpiCommandHelp> ScpiInstrument::CommandList() {
  std::vector<ScpiCommandHelp> list;
  for (const Commands::Row& row : Commands::Rows()) {
    std::string form(row.header);
    if (!row.params.empty()) form += " " + std::string(row.params);
    list.push_back({form, row.readsOnly, std::string(row.help)});
  }
  return list;
}

namespace {

// One command of a program message, split: its header looked up in the
// table and its parameters.
template <typename Row>
struct Parsed {
  const Row* row = nullptr;  // nothing when the header is unknown or the wrong form
  bool known = false;        // the header exists, maybe not as this form
  bool query = false;
  int suffix = 1;
  std::string_view rest;  // the parameters, trimmed
};

// The row `nodes` name; `p.known` is set when they name a command only in the
// other form.
template <typename Row>
const Row* Find(const std::vector<std::string_view>& nodes, std::span<const Row> rows, Parsed<Row>& p) {
  for (const Row& row : rows) {
    int suffix = 1;
    if (!MatchHeader(nodes, row.Pattern(), suffix)) continue;
    p.known = true;
    if (row.Query() == p.query) {
      p.suffix = suffix;
      return &row;
    }
  }
  return nullptr;
}

// One command of a message, looked up as SCPI's compound headers are:
// `path` holds the previous command's nodes but its last, and a header
// without a leading ':' is looked up under them first (after "CHAN2:CODE 7",
// "CODE?" is "CHAN2:CODE?"), then from the root, so that "CHAN1:CODE
// 5;CHAN2:CODE 6" still means what it says. A leading ':' starts from the
// root; a common command ("*IDN?") leaves the path as it is.
template <typename Row>
Parsed<Row> ParseUnit(std::string_view unit, std::span<const Row> rows, std::vector<std::string_view>& path) {
  Parsed<Row> p;
  std::size_t end = 0;
  while (end < unit.size() && !IsBlank(unit[end])) ++end;
  std::string_view header = unit.substr(0, end);
  p.rest = Trim(unit.substr(end));
  p.query = !header.empty() && header.back() == '?';
  if (p.query) header.remove_suffix(1);
  const bool fromRoot = !header.empty() && header.front() == ':';
  if (fromRoot) header.remove_prefix(1);
  const bool common = !header.empty() && header.front() == '*';
  std::vector<std::string_view> nodes = SplitAt(header, ':');
  if (fromRoot) path.clear();
  if (!path.empty() && !common) {
    std::vector<std::string_view> under = path;
    under.insert(under.end(), nodes.begin(), nodes.end());
    if ((p.row = Find(under, rows, p)) != nullptr) nodes = std::move(under);
  }
  if (p.row == nullptr) p.row = Find(nodes, rows, p);
  if (common) return p;
  path = std::move(nodes);
  path.pop_back();
  return p;
}

}  // namespace

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
  if (questionable_.Summary()) stb |= kStbQuestionable;
  if (operation_.Summary()) stb |= kStbOperation;
  if ((stb & sre_) != 0) stb |= kStbMss;
  return stb;
}

bool ScpiInstrument::ReadsOnly(std::string_view line) {
  bool any = false;
  std::vector<std::string_view> path;
  for (std::string_view unit : SplitAt(WithoutReturn(line), ';')) {
    unit = Trim(unit);
    if (unit.empty()) continue;
    const auto p = ParseUnit(unit, Commands::Rows(), path);
    if (p.row == nullptr || !p.row->readsOnly) return false;
    const std::size_t count = p.rest.empty() ? 0 : SplitAt(p.rest, ',').size();
    if (count < p.row->MinParams() || count > p.row->MaxParams()) return false;
    any = true;
  }
  return any;
}

std::string ScpiInstrument::Execute(std::string_view line) {
  std::string answers;
  std::vector<std::string_view> path;
  for (std::string_view unit : SplitAt(WithoutReturn(line), ';')) {
    unit = Trim(unit);
    if (unit.empty()) continue;
    const auto parsed = ParseUnit(unit, Commands::Rows(), path);
    const Commands::Row* row = parsed.row;
    if (row == nullptr) {
      PushError(-113, parsed.known
                          ? "Undefined header; " + std::string(parsed.query ? "no query form" : "query only")
                          : "Undefined header");
      break;  // a command error ends the message
    }
    Call call{*this, parsed.suffix, {}, answers};
    if (!parsed.rest.empty()) {
      for (std::string_view p : SplitAt(parsed.rest, ',')) call.params.push_back(Trim(p));
    }
    if (call.params.size() < row->MinParams()) {
      PushError(-109, "Missing parameter");
      break;
    }
    if (call.params.size() > row->MaxParams()) {
      PushError(-108, "Parameter not allowed");
      break;
    }
    row->run(call);
  }
  return answers.empty() ? answers : answers + "\n";
}

void ScpiInstrument::Reset() { device_ = Chips().front()->token, codes_ = {0, 0}, autoTransmit_ = false; }

void ScpiInstrument::Clear() {
  esr_ = 0;
  operation_.event = questionable_.event = 0;
  errors_.clear();
}

void ScpiInstrument::SelectDevice(std::string_view token) {
  for (const Chip* chip : Chips()) {
    if (EqualsNoCase(token, chip->token)) return void(device_ = chip->token);
  }
  PushError(-224, "Illegal parameter value");
}

void ScpiInstrument::StatusRegister::Set(std::uint16_t bits, bool on) {
  if (on) event |= static_cast<std::uint16_t>(bits & ~condition);  // the conditions that come on
  condition =
      on ? static_cast<std::uint16_t>(condition | bits) : static_cast<std::uint16_t>(condition & ~bits);
}

void ScpiInstrument::SetWaitingForPort(bool waiting) {
  operation_.Set(kScpiOperationWaitingForPort, waiting);
}

namespace {

// A numeric parameter within lowest..highest: MINimum, MAXimum, DEFault, or a
// number (an exponent allowed) rounded as the command line rounds.
std::optional<ScpiError> CheckNumber(std::string_view text, int lowest, int highest, int preset, int& value) {
  for (const auto& [word, meant] :
       {std::pair<std::string_view, int>{"MINimum", lowest}, {"MAXimum", highest}, {"DEFault", preset}}) {
    int suffix = 0;
    if (MatchNode(text, word, suffix)) return value = meant, std::nullopt;
  }
  const std::optional<std::string> plain = WithoutExponent(text);
  const auto number = plain ? TextToCode(*plain) : std::nullopt;
  if (!number && !(plain && TextToNumber(*plain))) return ScpiError{-104, "Data type error"};
  if (!number || *number < lowest || *number > highest) return ScpiError{-222, "Data out of range"};
  value = *number;
  return std::nullopt;
}

}  // namespace

std::optional<ScpiError> ScpiCheckCode(std::string_view text, const std::string& device, int& code) {
  return CheckNumber(text, 0, DeviceMax(device), 0, code);
}

bool ScpiInstrument::ParseNumber(std::string_view text, int lowest, int highest, int preset, int& value) {
  if (auto error = CheckNumber(text, lowest, highest, preset, value)) {
    PushError(error->code, std::move(error->text));
    return false;
  }
  return true;
}

bool ScpiInstrument::ParseCode(std::string_view text, int& code) {
  return ParseNumber(text, 0, DeviceMax(device_), 0, code);
}

bool ScpiInstrument::ParseByte(std::string_view text, std::uint8_t& target) {
  int value = 0;
  if (!ParseNumber(text, 0, 255, 0, value)) return false;
  target = static_cast<std::uint8_t>(value);
  return true;
}

std::string ScpiInstrument::ExecuteAside(std::string_view line, std::vector<ScpiError>& errors) {
  aside_ = &errors;
  std::string answers = Execute(line);
  aside_ = nullptr;
  return answers;
}

ScpiStatus ScpiInstrument::Status() const {
  ScpiStatus s;
  s.device = device_, s.codes = codes_, s.sent = sent_, s.autoTransmit = autoTransmit_;
  s.port = link_->DescribePort(), s.lastError = lastError_;
  if (cal_) {
    s.calDevice = cal_->Table().device;
    s.calFrequency = cal_->Frequency();
    for (int ch = 0; ch < 2 && device_ == *s.calDevice; ++ch)
      s.gains[static_cast<std::size_t>(ch)] = cal_->GainOf(ch, codes_[static_cast<std::size_t>(ch)]);
  }
  return s;
}

bool ScpiInstrument::UseSavedStates(std::string path, std::string& error) {
  saved_ = SavedStateStore(std::move(path));
  return saved_.Load(error);
}

void ScpiInstrument::Take(const SavedState& state) {
  device_ = state.device;
  codes_ = state.codes;
  autoTransmit_ = state.autoTransmit;
}

bool ScpiInstrument::StoreStates(const SavedStates& next) {
  std::string error;
  if (saved_.Store(next, error)) return true;
  PushError(-250, "Mass storage error; " + error);
  return false;
}

std::string ScpiInstrument::RecallAtPowerOn() {
  const SavedStates& states = saved_.states();
  if (!states.recallAtPowerOn) return {};
  if (!states.slots[0]) return "recall at power-on is on, but saved state 0 is empty: nothing sent";
  Take(*states.slots[0]);
  const std::string what =
      "saved state 0 (" + device_ + " " + CodeToText(codes_[0]) + "," + CodeToText(codes_[1]) + ")";
  if (!Send()) return "recall at power-on: " + what + " not sent: " + lastError_;
  return "recall at power-on: sent " + what;
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
  sentTo_ = device_;
  return true;
}

bool ScpiInstrument::ReadBack() {
  if (const Chip* chip = FindChip(device_); !chip || !chip->readsBack()) {
    PushError(-221, "Settings conflict");
    return false;
  }
  if (!Drive(true)) return false;
  const std::array<int, 2> read{link_->readCode[0], link_->readCode[1]};
  if (sentTo_ == device_) questionable_.Set(kScpiQuestionableReadBack, read != sent_);
  return true;
}

bool ScpiInstrument::Drive(bool readBack) {
  link_->device = device_;
  PortError error;
  const CommandStatus status = readBack ? ReadBackCodes(*link_, error) : RunDeviceCommand(*link_, error);
  const bool portFailed = status == CommandStatus::PortUnavailable || status == CommandStatus::PortFailed;
  questionable_.Set(kScpiQuestionablePort, portFailed);
  if (status == CommandStatus::Done) return true;
  if (portFailed) {
    PushError(-240, "Hardware error; " + PortAlertText(error, link_->portAddress));
  } else {
    PushError(-240, "Hardware error");
  }
  return false;
}

}  // namespace tarvel
