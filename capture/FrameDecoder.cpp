#include "capture/FrameDecoder.h"

#include <bit>
#include <cstdio>

namespace tarvel {

namespace {

std::string ChannelName(std::size_t c) { return c == 0 ? "RX4410 Chan 1" : "RX4410 Chan 2"; }

std::string LineName(char kind, std::uint8_t mask) {
  return std::string(1, kind) + std::to_string(std::countr_zero(mask));
}

}  // namespace

void FrameDecoder::Step(std::uint64_t time, const PortLevels& levels) {
  const std::uint8_t after =
      static_cast<std::uint8_t>((held_ & ~levels.dataKnown) | (levels.data & levels.dataKnown));
  if (!started_) {
    started_ = true;
    held_ = after;
    everKnown_ = levels.dataKnown;
    last_ = levels;
    return;
  }
  // A line known for the first time takes its level without an edge.
  const std::uint8_t before = static_cast<std::uint8_t>((held_ & everKnown_) | (after & ~everKnown_));
  everKnown_ |= levels.dataKnown;

  for (std::size_t c = 0; c < 2; ++c) {
    Rx4410Channel& chip = rx_[c];
    // The level the chip drove for bit j until this change.
    const int j = chip.OutputBit();
    if (j >= 0) {
      const std::uint8_t out = chip.lines().output;
      samples_[c][static_cast<std::size_t>(j)] =
          (last_.statusKnown & out) ? ((last_.status & out) ? 1 : 0) : -1;
    }
    const LineStep step = chip.Change(before, after);
    if (step.started) {
      frameStart_[c] = time;
      unknownBit_[c] = -1;
      samples_[c].fill(-1);
    }
    if (step.tookBit && !(levels.dataKnown & chip.lines().data) && unknownBit_[c] < 0) {
      unknownBit_[c] = chip.frame().bits - 1;
    }
    if (step.end != FrameEnd::None) EndRx(c, time, step);
  }

  const LineStep step = tqm_.Change(before, after);
  if (step.started) {
    frameStart_[2] = time;
    unknownBit_[2] = -1;
  }
  if (step.tookBit && !(levels.dataKnown & kTqm7731Lines.data) && unknownBit_[2] < 0) {
    unknownBit_[2] = tqm_.frame().bits - 1;
  }
  if (step.end != FrameEnd::None) EndTqm(time, step);

  held_ = after;
  last_ = levels;
}

void FrameDecoder::EndRx(std::size_t c, std::uint64_t time, const LineStep& step) {
  if (step.end == FrameEnd::Empty) return;
  DecodedFrame f;
  f.start = frameStart_[c];
  f.end = time;
  f.channel = static_cast<int>(c);
  f.bits = step.ended.bits;
  f.word = step.ended.word;
  const std::string name = ChannelName(c);
  const std::uint8_t dataLine = kRx4410Lines[c].data;
  if (step.end == FrameEnd::Read) {
    const std::string statusLine = LineName('S', kRx4410Lines[c].output);
    int unknown = -1, known = 0, code = 0;
    for (int j = 0; j < 6 && j < f.bits - 1; ++j) {
      const int sample = samples_[c][static_cast<std::size_t>(j)];
      if (sample < 0) {
        if (unknown < 0) unknown = j;
      } else {
        ++known;
        code |= sample << j;
      }
    }
    f.word = static_cast<std::uint32_t>(code);
    if (f.bits != 7) {
      f.text = name + ": read frame of " + std::to_string(f.bits) + " clocks, not 7: no complete code";
    } else if (known == 0) {
      f.text = name + ": status line " + statusLine + " never driven during read";
    } else if (unknown >= 0) {
      f.text =
          name + ": status line " + statusLine + " unknown at bit " + std::to_string(unknown) + " of read";
    } else {
      f.kind = FrameKind::Read;
      f.codes[0] = code;
      f.text = name + " read -> " + std::to_string(code);
    }
  } else if (step.end == FrameEnd::Rejected) {
    f.text = name + ": write frame of " + std::to_string(f.bits) + " bits" +
             (f.bits == 8 ? " with bit 1 set" : "") + " ignored";
  } else if (unknownBit_[c] >= 0) {
    f.text = name + ": data line " + LineName('D', dataLine) + " unknown at bit " +
             std::to_string(unknownBit_[c]) + " of write";
  } else {
    f.kind = FrameKind::Write;
    f.codes[0] = Rx4410Channel::Code(f.word);
    f.text = name + " write " + std::to_string(f.codes[0]);
  }
  Emit(f);
}

void FrameDecoder::EndTqm(std::uint64_t time, const LineStep& step) {
  if (step.end == FrameEnd::Empty) return;
  DecodedFrame f;
  f.tqm7731 = true;
  f.start = frameStart_[2];
  f.end = time;
  f.bits = step.ended.bits;
  f.word = step.ended.word;
  if (step.end == FrameEnd::Rejected) {
    f.text = "TQM7731: enable fell after " + std::to_string(f.bits) + " bits, nothing latched";
  } else if (unknownBit_[2] >= 0) {
    f.text = "TQM7731: data line D0 unknown at bit " + std::to_string(unknownBit_[2]) + " of write";
  } else {
    f.kind = FrameKind::Write;
    f.codes = {Tqm7731Chip::AttnA(f.word), Tqm7731Chip::AttnB(f.word)};
    f.text = "TQM7731 Attn A " + std::to_string(f.codes[0]) + ", Attn B " + std::to_string(f.codes[1]);
  }
  Emit(f);
}

void FrameDecoder::Finish(std::uint64_t time) {
  auto cutOff = [&](const ChipFrame& frame, std::uint64_t start, bool tqm, std::size_t c) {
    if (!frame.active || frame.bits == 0) return;
    DecodedFrame f;
    f.tqm7731 = tqm;
    f.channel = static_cast<int>(c);
    f.start = start;
    f.end = time;
    f.bits = frame.bits;
    f.word = frame.word;
    f.text = (tqm ? std::string("TQM7731") : ChannelName(c)) + ": capture ended inside a frame after " +
             std::to_string(frame.bits) + " bits";
    Emit(f);
  };
  for (std::size_t c = 0; c < 2; ++c) cutOff(rx_[c].frame(), frameStart_[c], false, c);
  cutOff(tqm_.frame(), frameStart_[2], true, 0);
}

std::string FormatFrameLine(const DecodedFrame& frame, double microsecondsPerUnit) {
  char time[48];
  std::snprintf(time, sizeof time, "%.3f us  ", static_cast<double>(frame.start) * microsecondsPerUnit);
  return time + frame.text;
}

}  // namespace tarvel
