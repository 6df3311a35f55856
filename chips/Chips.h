// The chip table: one row per chip, holding everything the program knows of
// it. The dispatcher, the write and read-back sequences, the simulated bench
// and its state file, the frame decoder, the Port Trace, the windows, the
// sweeps, the SCPI instrument and the help texts all read it; a chip is its
// row here and its line model.
//
// Every chip has two channels (GainCode(0) and GainCode(1)) and takes the
// low `codeBits` bits of each code. Its write is one or more serial frames
// on the data register, each of the same shape:
//
//   idle; idle, idle + clock;                      a leading clock pulse
//   per bit k (first bit first): active + b*data, active + clock + b*data
//   idle, idle + clock; idle                       the frame line returns
//
// where `active` is `idle` with the frame line (a select or an enable)
// switched. A chip with a read-back token reads each channel back through
// its frame's status bit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "chips/LineModels.h"

namespace tarvel {

// One serial frame of a chip's write.
struct FrameShape {
  std::uint8_t idle = 0;  // the data byte outside the frame
  std::uint8_t frameLine = 0, clock = 0, data = 0;
  std::uint8_t output = 0;  // the status bit a read returns the code on; 0: no read
  int bits = 0;             // bits in a write frame
  // The write word: `flags` plus each channel's code at its shift (-1: the
  // channel is not in this frame). A latched word must show `flags` under
  // `flagMask`.
  std::uint32_t flags = 0, flagMask = 0;
  std::array<int, 2> shift{-1, -1};
  int readClocks = 0;  // clocks of a read frame (first one: the read flag)

  // The byte with the frame line active and no clock or data.
  std::uint8_t active() const { return static_cast<std::uint8_t>(idle ^ frameLine); }
  // The one channel this frame carries, or -1 when it carries both.
  int OnlyChannel() const { return shift[0] >= 0 && shift[1] >= 0 ? -1 : shift[0] >= 0 ? 0 : 1; }
};

struct Chip;
using LineModelMaker = std::unique_ptr<LineModel> (*)(const FrameShape&);
using RejectedText = std::string (*)(const FrameShape&, int bits);

struct Chip {
  std::string_view token;                    // the device token: "RX4410"
  std::string_view readToken;                // the read-back token, or empty: no read-back
  std::array<std::string_view, 2> channels;  // "Chan 1", "Chan 2"
  int codeBits = 0;                          // bits of a code the chip takes
  int windowHighest = 0;                     // the highest code the gain-control window accepts
  std::string_view stateKey;                 // the bench state file's key: "rx4410"
  std::vector<FrameShape> frames;            // sent in this order
  LineModelMaker model = nullptr;            // the chip's line model, one per frame
  RejectedText rejected = nullptr;           // the decoder's text for a frame that latched nothing

  int mask() const { return (1 << codeBits) - 1; }
  // The frame's name in decoded frames: "RX4410 Chan 1" for a frame of one
  // channel, the token for a frame of both.
  std::string FrameName(const FrameShape& frame) const;
  int highest() const { return mask(); }  // the highest code a command sends
  bool readsBack() const { return !readToken.empty(); }
  // The word a frame carries for the two codes as given (not masked).
  std::int32_t Word(const FrameShape& frame, std::int32_t code0, std::int32_t code1) const;
  // The code of `channel` in a latched word.
  int CodeIn(const FrameShape& frame, std::uint32_t word, int channel) const {
    return static_cast<int>((word >> frame.shift[static_cast<std::size_t>(channel)]) &
                            static_cast<std::uint32_t>(mask()));
  }
};

// Every chip, in the order the windows offer them: the program's own rows,
// then any registered since.
const std::vector<const Chip*>& Chips();
// Adds a chip (a test's made-up one); it stays for the process's life.
// Returns its index in Chips().
std::size_t RegisterChip(const Chip& chip);

// The chip whose device token (or read-back token) is exactly `token`.
const Chip* FindChip(std::string_view token);
const Chip* FindReadBackChip(std::string_view token);
// The index of `chip` in Chips().
std::size_t IndexOf(const Chip& chip);

// The data lines some chip of the table listens to, and the status bits
// some chip drives.
std::uint8_t UsedDataLines();
std::uint8_t UsedStatusBits();

// The device tokens in table order, ", " between them, or with `conjunction`
// ("or") before the last one.
std::string ChipTokenList(std::string_view conjunction = {});
// The device tokens of the chips that read back, joined the same way.
std::string ReadBackChipList(std::string_view conjunction = {});

}  // namespace tarvel
