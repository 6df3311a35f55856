#include "chips/Chips.h"

#include "chips/Wiring.h"

namespace tarvel {

namespace {

// RX4410: two gain channels of 6 bits, each written in a frame of its own
// (8 bits: 1, 0, then the code) while its select is low, and read back on
// its status bit. The gain-control window takes 0..42 of the 64 codes.
Chip Rx4410() {
  Chip chip;
  chip.token = "RX4410";
  chip.readToken = "RX4410R";
  chip.channels = {"Chan 1", "Chan 2"};
  chip.codeBits = 6;
  chip.windowHighest = 42;
  chip.stateKey = "rx4410";
  for (int c = 0; c <= 1; ++c) {
    const Rx4410Lines& l = kRx4410Lines[c];
    FrameShape f;
    f.idle = kRx4410Idle;  // both selects high: neither channel listens
    f.frameLine = l.select;
    f.clock = l.clock;
    f.data = l.data;
    f.output = l.output;
    f.bits = 8;
    f.flags = 1;  // bit 0: a write; bit 1 stays 0
    f.flagMask = 3;
    f.shift[static_cast<std::size_t>(c)] = 2;
    f.readClocks = 7;
    chip.frames.push_back(f);
  }
  chip.model = MakeFramedModel;
  chip.rejected = [](const FrameShape& frame, int bits) {
    return ": write frame of " + std::to_string(bits) + " bits" +
           (bits == frame.bits ? " with bit 1 set" : "") + " ignored";
  };
  return chip;
}

// TQM7731: two 5-bit attenuators sent together as one 10-bit word while the
// enable is high, "Attn A" in bits 5..9 and "Attn B" in bits 0..4; no read-back.
Chip Tqm7731() {
  Chip chip;
  chip.token = "TQM7731";
  chip.channels = {"Attn A", "Attn B"};
  chip.codeBits = 5;
  chip.windowHighest = 31;
  chip.stateKey = "tqm7731";
  FrameShape f;
  f.idle = 0;
  f.frameLine = kTqm7731Lines.enable;
  f.clock = kTqm7731Lines.clock;
  f.data = kTqm7731Lines.data;
  f.bits = 10;
  f.shift = {5, 0};
  chip.frames.push_back(f);
  chip.model = MakeFramedModel;
  chip.rejected = [](const FrameShape&, int bits) {
    return ": enable fell after " + std::to_string(bits) + " bits, nothing latched";
  };
  return chip;
}

struct Table {
  std::vector<std::unique_ptr<Chip>> rows;
  std::vector<const Chip*> view;
  void Add(const Chip& chip) {
    rows.push_back(std::make_unique<Chip>(chip));
    view.push_back(rows.back().get());
  }
};

Table& TheTable() {
  static Table* table = [] {
    auto* t = new Table;  // never destroyed: rows outlive every static user
    t->Add(Rx4410());
    t->Add(Tqm7731());
    return t;
  }();
  return *table;
}

std::string Join(const std::vector<std::string_view>& names, std::string_view conjunction) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0)
      out += !conjunction.empty() && i + 1 == names.size() ? " " + std::string(conjunction) + " " : ", ";
    out += names[i];
  }
  return out;
}

}  // namespace

std::int32_t Chip::Word(const FrameShape& frame, std::int32_t code0, std::int32_t code1) const {
  std::int32_t word = static_cast<std::int32_t>(frame.flags);
  const std::int32_t codes[2] = {code0, code1};
  for (std::size_t c = 0; c < 2; ++c) {
    if (frame.shift[c] >= 0) word += codes[c] * (std::int32_t{1} << frame.shift[c]);
  }
  return word;
}

std::string Chip::FrameName(const FrameShape& frame) const {
  const int only = frame.OnlyChannel();
  return only < 0 ? std::string(token)
                  : std::string(token) + " " + std::string(channels[static_cast<std::size_t>(only)]);
}

const std::vector<const Chip*>& Chips() { return TheTable().view; }

std::size_t RegisterChip(const Chip& chip) {
  TheTable().Add(chip);
  return TheTable().view.size() - 1;
}

const Chip* FindChip(std::string_view token) {
  for (const Chip* chip : Chips()) {
    if (chip->token == token) return chip;
  }
  return nullptr;
}

const Chip* FindReadBackChip(std::string_view token) {
  for (const Chip* chip : Chips()) {
    if (chip->readsBack() && chip->readToken == token) return chip;
  }
  return nullptr;
}

std::size_t IndexOf(const Chip& chip) {
  const auto& all = Chips();
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all[i] == &chip) return i;
  }
  return all.size();
}

std::uint8_t UsedDataLines() {
  std::uint8_t lines = 0;
  for (const Chip* chip : Chips()) {
    for (const FrameShape& f : chip->frames)
      lines |= static_cast<std::uint8_t>(f.frameLine | f.clock | f.data);
  }
  return lines;
}

std::uint8_t UsedStatusBits() {
  std::uint8_t bits = 0;
  for (const Chip* chip : Chips()) {
    for (const FrameShape& f : chip->frames) bits |= f.output;
  }
  return bits;
}

std::string ChipTokenList(std::string_view conjunction) {
  std::vector<std::string_view> names;
  for (const Chip* chip : Chips()) names.push_back(chip->token);
  return Join(names, conjunction);
}

std::string ReadBackChipList(std::string_view conjunction) {
  std::vector<std::string_view> names;
  for (const Chip* chip : Chips()) {
    if (chip->readsBack()) names.push_back(chip->token);
  }
  return Join(names, conjunction);
}

}  // namespace tarvel
