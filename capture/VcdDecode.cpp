#include "capture/VcdDecode.h"

#include "chips/Chips.h"
#include "core/platform/Platform.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>

namespace tarvel {

namespace {

// Port line slots: 0..7 data D0..D7, 8 + n status bit n (S3..S7).
constexpr int kSlots = 16;
constexpr int kUnmapped = -1;
constexpr int kUndeclared = -2;
// Bounds on the declarations, so that no file makes the reader hold more than
// a few MiB: words kept per section, $scope depth, $var count.
constexpr std::size_t kKeptWords = 8;
constexpr std::size_t kMaxScopes = 64;
constexpr std::size_t kMaxWires = 65536;

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  return out;
}

int SlotOfLine(const std::string& line) {
  const std::string u = Upper(line);
  if (u.size() != 2) return -1;
  if (u[0] == 'D' && u[1] >= '0' && u[1] <= '7') return u[1] - '0';
  if (u[0] == 'S' && u[1] >= '3' && u[1] <= '7') return 8 + (u[1] - '0');
  return -1;
}

std::string SlotName(int slot) {
  return slot < 8 ? "D" + std::to_string(slot) : "S" + std::to_string(slot - 8);
}

// Whitespace-separated tokens of a stream, with line numbers.
class Scanner {
 public:
  explicit Scanner(const VcdSource& source) : source_(source), buffer_(new char[kSize]) {}

  // The next token, or false at the end (or on a read error, see failed()).
  bool Next(std::string_view& token) {
    for (;;) {
      while (pos_ < end_) {
        const char c = buffer_[pos_];
        if (c == '\n') ++line_;
        else if (c != ' ' && c != '\t' && c != '\r' && c != '\f' && c != '\v') break;
        ++pos_;
      }
      if (pos_ < end_) break;
      if (!Fill()) return false;
    }
    tokenLine_ = line_;
    std::size_t start = pos_;
    for (;;) {
      while (pos_ < end_) {
        const char c = buffer_[pos_];
        if (c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\f' || c == '\v') break;
        ++pos_;
      }
      if (pos_ < end_ || eof_) break;
      // The token runs on into the next block: keep its start.
      const std::size_t kept = end_ - start;
      if (kept >= kSize / 2) {
        tooLong_ = true;
        return false;
      }
      std::memmove(buffer_.get(), buffer_.get() + start, kept);
      end_ = kept;
      pos_ = kept;
      start = 0;
      if (!Read()) break;
    }
    token = std::string_view(buffer_.get() + start, pos_ - start);
    return true;
  }

  std::uint64_t line() const { return tokenLine_; }
  std::uint64_t currentLine() const { return line_; }
  bool failed() const { return failed_; }
  bool tooLong() const { return tooLong_; }

 private:
  static constexpr std::size_t kSize = 1 << 20;

  bool Fill() {
    pos_ = end_ = 0;
    return Read();
  }
  // Appends what the source gives after end_; false at the end.
  bool Read() {
    if (eof_) return false;
    const long n = source_(buffer_.get() + end_, kSize - end_);
    if (n <= 0) {
      eof_ = true;
      failed_ = n < 0;
      return false;
    }
    end_ += static_cast<std::size_t>(n);
    return true;
  }

  const VcdSource& source_;
  std::unique_ptr<char[]> buffer_;
  std::size_t pos_ = 0, end_ = 0;
  std::uint64_t line_ = 1, tokenLine_ = 1;
  bool eof_ = false, failed_ = false, tooLong_ = false;
};

struct Wire {
  std::string id, name, fullName;
  int width = 1;
};

// Wire identifier -> port line slot. One- and two-character identifiers (all
// that most writers use) index a table; longer ones go through a hash map.
class IdTable {
 public:
  IdTable() : short_(128 + 128 * 128, static_cast<std::int8_t>(kUndeclared)) {}
  void Declare(std::string_view id, int slot) {
    std::int8_t& s = Ref(id);
    if (s == kUndeclared || s == kUnmapped) s = static_cast<std::int8_t>(slot);
  }
  int Find(std::string_view id) const {
    const int i = ShortIndex(id);
    if (i >= 0) return short_[static_cast<std::size_t>(i)];
    const auto it = long_.find(std::string(id));
    return it == long_.end() ? kUndeclared : it->second;
  }

 private:
  static int ShortIndex(std::string_view id) {
    const auto a = static_cast<unsigned char>(id[0]);
    if (id.size() == 1 && a < 128) return a;
    if (id.size() == 2 && a < 128 && static_cast<unsigned char>(id[1]) < 128)
      return 128 + a * 128 + static_cast<unsigned char>(id[1]);
    return -1;
  }
  std::int8_t& Ref(std::string_view id) {
    const int i = ShortIndex(id);
    if (i >= 0) return short_[static_cast<std::size_t>(i)];
    return long_.try_emplace(std::string(id), static_cast<std::int8_t>(kUndeclared)).first->second;
  }
  std::vector<std::int8_t> short_;
  std::unordered_map<std::string, std::int8_t> long_;
};

bool ParseTimescale(const std::string& text, double& microseconds) {
  std::size_t i = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  const std::string number = text.substr(0, i);
  const std::string unit = text.substr(i);
  if (number != "1" && number != "10" && number != "100") return false;
  static const std::pair<const char*, double> kUnits[] = {{"s", 1e6},   {"ms", 1e3},  {"us", 1.0},
                                                          {"ns", 1e-3}, {"ps", 1e-6}, {"fs", 1e-9}};
  for (const auto& [name, scale] : kUnits) {
    if (unit == name) {
      microseconds = std::stod(number) * scale;
      return true;
    }
  }
  return false;
}

bool ParseTime(std::string_view digits, std::uint64_t& value) {
  if (digits.empty() || digits.size() > 19) return false;
  std::uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  value = v;
  return true;
}

// One decoding run: the scanner, the result being built and the callbacks.
// Each phase returns false once the file is found malformed (the reason is
// in `result`).
class VcdRun {
 public:
  VcdRun(const VcdSource& source, const VcdDecodeCallbacks& out) : scan_(source), out_(out) {}

  VcdDecodeResult Decode(const WireMap& map) {
    std::vector<Wire> wires;
    if (!ReadDeclarations(wires)) return result_;
    IdTable ids;
    for (const Wire& w : wires) ids.Declare(w.id, kUnmapped);
    for (int slot = 0; slot < kSlots; ++slot) {
      if (slot >= 8 && slot < 11) continue;  // S0..S2 are not port lines
      MapSlot(slot, wires, map, ids);
    }
    ReadChanges(ids);
    return result_;
  }

 private:
  bool Malformed(std::uint64_t line, std::string message) {
    result_.status = VcdDecodeResult::Status::Malformed;
    result_.line = line;
    result_.message = std::move(message);
    return false;
  }
  bool EndOfInput(const char* where) {
    if (scan_.tooLong()) return Malformed(scan_.currentLine(), "a token longer than 512 KiB");
    if (scan_.failed()) return Malformed(scan_.currentLine(), "read error");
    return Malformed(scan_.currentLine(), std::string("the file ends ") + where);
  }
  void Note(const std::string& text) const {
    if (out_.note) out_.note(text);
  }

  // The words up to "$end". Only the first few are kept in `words_`: a
  // comment of any length is read past in bounded memory.
  bool Section(const char* where) {
    words_.clear();
    count_ = 0;
    std::string_view tok;
    while (scan_.Next(tok)) {
      if (tok == "$end") return true;
      if (++count_ <= kKeptWords) words_.emplace_back(tok);
    }
    return EndOfInput(where);
  }

  // ---- Declarations, up to $enddefinitions ----
  bool ReadDeclarations(std::vector<Wire>& wires) {
    std::vector<std::string> scopes;
    bool haveTimescale = false, strayNoted = false;
    std::string_view tok;
    for (;;) {
      if (!scan_.Next(tok)) return EndOfInput("before $enddefinitions");
      const std::uint64_t line = scan_.line();
      if (tok == "$enddefinitions") {
        if (!Section("inside $enddefinitions")) return false;
        break;
      }
      if (tok == "$timescale") {
        if (!Section("inside $timescale") || !Timescale(line)) return false;
        haveTimescale = true;
      } else if (tok == "$scope") {
        if (!Section("inside $scope")) return false;
        if (count_ != 2) return Malformed(line, "a $scope needs a type and a name");
        if (scopes.size() == kMaxScopes) return Malformed(line, "$scope nested too deep");
        scopes.push_back(words_[1]);
      } else if (tok == "$upscope") {
        if (!Section("inside $upscope")) return false;
        if (scopes.empty()) return Malformed(line, "$upscope without a $scope");
        scopes.pop_back();
      } else if (tok == "$var") {
        if (!Section("inside $var") || !Var(line, scopes, wires)) return false;
      } else if (tok == "$date" || tok == "$version" || tok == "$comment" || tok == "$attrbegin") {
        if (!Section("inside a section")) return false;
      } else if (tok[0] != '$') {
        // Words outside any section, such as the "META samplerate: ..." line
        // sigrok-cli 0.7 writes ahead of a converted file: read past them.
        if (!strayNoted) Note("line " + std::to_string(line) + ": text outside any section ignored");
        strayNoted = true;
      } else {
        return Malformed(line, "unexpected \"" + std::string(tok) + "\" among the declarations");
      }
    }
    if (!haveTimescale) Note("no $timescale: taking 1 us per time step");
    return true;
  }

  bool Timescale(std::uint64_t line) {
    std::string text;
    for (const auto& w : words_) text += w;
    if (count_ > 2) text += " ...";
    if (!ParseTimescale(text, result_.microsecondsPerUnit))
      return Malformed(line, "bad $timescale \"" + text + "\"");
    return true;
  }

  bool Var(std::uint64_t line, const std::vector<std::string>& scopes, std::vector<Wire>& wires) {
    if (count_ < 4 || count_ > kKeptWords)
      return Malformed(line, "a $var needs a type, a size, an identifier and a name");
    if (wires.size() == kMaxWires)
      return Malformed(line, "more than " + std::to_string(kMaxWires) + " $var declarations");
    Wire w;
    std::uint64_t width = 0;
    if (!ParseTime(words_[1], width) || width == 0 || width > 1u << 20)
      return Malformed(line, "bad $var size \"" + words_[1] + "\"");
    w.width = static_cast<int>(width);
    w.id = words_[2];
    w.name = words_[3];
    for (const auto& s : scopes) w.fullName += s + ".";
    w.fullName += w.name;
    wires.push_back(std::move(w));
    return true;
  }

  // ---- The wire of one port line ----
  void MapSlot(int slot, const std::vector<Wire>& wires, const WireMap& map, IdTable& ids) const {
    std::string wanted = SlotName(slot);
    bool mapped = false;
    for (const auto& [line, wire] : map) {
      if (line == Upper(wanted)) wanted = wire, mapped = true;
    }
    int matches = 0;
    const Wire* found = FindWire(wires, Upper(wanted), matches);
    if (found != nullptr && found->width != 1) {
      Note("wire " + found->fullName + " for " + SlotName(slot) + " is " + std::to_string(found->width) +
           " bits wide, not one line: taken as unknown");
      found = nullptr;
    }
    if (found == nullptr) {
      // Lines no chip uses (D3, D4, S3, S6, S7) may be absent without a word.
      const bool used =
          slot < 8 ? ((UsedDataLines() >> slot) & 1) != 0 : ((UsedStatusBits() >> (slot - 8)) & 1) != 0;
      if (used || mapped)
        Note("no wire named " + wanted + " for " + SlotName(slot) + ": the line is taken as unknown");
      return;
    }
    if (matches > 0) Note("several wires named " + wanted + ": using " + found->fullName);
    ids.Declare(found->id, slot);
  }

  // The first wire whose own name, full scoped name or a tail of it ("la.probe1"
  // finds "top.la.probe1") is `key`; `others` counts further wires that match.
  static const Wire* FindWire(const std::vector<Wire>& wires, const std::string& key, int& others) {
    const Wire* found = nullptr;
    for (const Wire& w : wires) {
      const std::string full = Upper(w.fullName);
      if (Upper(w.name) == key || full == key ||
          (full.size() > key.size() && full.ends_with(key) && full[full.size() - key.size() - 1] == '.')) {
        if (found == nullptr) found = &w;
        if (found->id != w.id) ++others;
      }
    }
    return found;
  }

  // ---- Value changes ----
  bool ReadChanges(const IdTable& ids) {
    FrameDecoder decoder([this](const DecodedFrame& f) {
      if (out_.frame) out_.frame(f, result_.microsecondsPerUnit);
    });
    levels_.dataKnown = 0;
    levels_.statusKnown = 0;
    std::uint64_t time = 0;
    dirty_ = true;  // the starting levels count as one step
    std::string_view tok;
    while (scan_.Next(tok)) {
      const char c = tok[0];
      if (c == '#') {
        std::uint64_t t = 0;
        if (!ParseTime(tok.substr(1), t))
          return Malformed(scan_.line(), "bad time \"" + std::string(tok) + "\"");
        if (t < time)
          return Malformed(scan_.line(),
                           "time goes back from " + std::to_string(time) + " to " + std::to_string(t));
        if (t != time && dirty_) {
          decoder.Step(time, levels_);
          dirty_ = false;
        }
        time = t;
      } else if (c == '0' || c == '1' || c == 'x' || c == 'X' || c == 'z' || c == 'Z') {
        const int slot = tok.size() > 1 ? ids.Find(tok.substr(1)) : kUndeclared;
        if (slot == kUndeclared)
          return Malformed(scan_.line(), "change of an undeclared wire \"" + std::string(tok) + "\"");
        if (slot >= 0) Set(slot, c);
      } else if (c == 'b' || c == 'B' || c == 'r' || c == 'R') {
        const std::uint64_t line = scan_.line();
        if (!scan_.Next(tok)) return EndOfInput("inside a vector change");
        if (ids.Find(tok) == kUndeclared)
          return Malformed(line, "change of an undeclared wire \"" + std::string(tok) + "\"");
      } else if (c == '$') {
        if (!Command(tok)) return false;
      } else {
        return Malformed(scan_.line(), "unexpected \"" + std::string(tok) + "\"");
      }
    }
    if (scan_.failed() || scan_.tooLong()) return EndOfInput("");
    if (dirty_) decoder.Step(time, levels_);
    decoder.Finish(time);
    return true;
  }

  // A simulation command among the value changes.
  bool Command(std::string_view tok) {
    if (tok == "$comment") {
      while (scan_.Next(tok) && tok != "$end") {
      }
      return true;
    }
    if (tok != "$dumpvars" && tok != "$dumpall" && tok != "$dumpon" && tok != "$dumpoff" && tok != "$end")
      return Malformed(scan_.line(), "unexpected \"" + std::string(tok) + "\"");
    return true;
  }

  void Set(int slot, char value) {
    std::uint8_t& level = slot < 8 ? levels_.data : levels_.status;
    std::uint8_t& known = slot < 8 ? levels_.dataKnown : levels_.statusKnown;
    const auto bit = static_cast<std::uint8_t>(1u << (slot & 7));
    if (value == '0' || value == '1') {
      known |= bit;
      level = static_cast<std::uint8_t>(value == '1' ? level | bit : level & ~bit);
    } else {
      known = static_cast<std::uint8_t>(known & ~bit);
    }
    dirty_ = true;
  }

  Scanner scan_;
  const VcdDecodeCallbacks& out_;
  VcdDecodeResult result_;
  std::vector<std::string> words_;
  std::size_t count_ = 0;
  PortLevels levels_;
  bool dirty_ = true;
};

}  // namespace

bool ParseWireMap(const std::string& text, WireMap& map, std::string& error) {
  WireMap parsed = map;  // `map` changes only when every entry is good
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    const std::string item =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos || eq + 1 == item.size() || SlotOfLine(item.substr(0, eq)) < 0) {
      error = "bad --map entry \"" + item + "\": expected LINE=WIRE with LINE one of D0..D7, S3..S7";
      return false;
    }
    parsed.emplace_back(Upper(item.substr(0, eq)), item.substr(eq + 1));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  map = std::move(parsed);
  return true;
}

VcdDecodeResult DecodeVcd(const VcdSource& source, const WireMap& map, const VcdDecodeCallbacks& out) {
  return VcdRun(source, out).Decode(map);
}

VcdDecodeResult DecodeVcdFile(const std::string& path, const WireMap& map, const VcdDecodeCallbacks& out) {
  // A FIFO or standard input is read as the stream it is; a FIFO that no
  // process writes is refused at once rather than waited on for ever.
  platform::InputFile file;
  platform::SystemError error;
  if (!file.Open(path, error, true)) {
    VcdDecodeResult result;
    result.status = VcdDecodeResult::Status::Missing;
    result.message = error.noWriter ? "no process writes the FIFO" : error.text;
    return result;
  }
  if (file.kind() == platform::FileKind::Folder) {
    VcdDecodeResult result;
    result.status = VcdDecodeResult::Status::Missing;
    result.message = "a folder, not a file";
    return result;
  }
  const VcdSource source = [&file](char* buffer, std::size_t size) -> long {
    for (;;) {
      platform::SystemError failure;
      const long long n = file.Read(buffer, size, failure);
      if (n < 0 && failure.interrupted) continue;
      return static_cast<long>(n);
    }
  };
  return DecodeVcd(source, map, out);
}

}  // namespace tarvel
