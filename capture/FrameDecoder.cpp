#include "capture/FrameDecoder.h"

#include <algorithm>
#include <bit>
#include <cstdio>

namespace tarvel {

namespace {

std::string LineName(char kind, std::uint8_t mask) {
  return std::string(1, kind) + std::to_string(std::countr_zero(mask));
}

}  // namespace

FrameDecoder::FrameDecoder(Sink sink) : sink_(std::move(sink)) {
  const auto& chips = Chips();
  for (std::size_t c = 0; c < chips.size(); ++c) {
    for (const FrameShape& frame : chips[c]->frames) {
      Slot slot{chips[c], static_cast<int>(c), &frame, chips[c]->model(frame)};
      slot.samples.assign(static_cast<std::size_t>(chips[c]->codeBits), -1);
      slots_.push_back(std::move(slot));
    }
  }
}

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

  for (Slot& slot : slots_) {
    // The level the chip drove for bit j until this change.
    const int j = slot.model->OutputBit();
    if (j >= 0 && static_cast<std::size_t>(j) < slot.samples.size()) {
      const std::uint8_t out = slot.frame->output;
      slot.samples[static_cast<std::size_t>(j)] =
          (last_.statusKnown & out) ? ((last_.status & out) ? 1 : 0) : -1;
    }
    const LineStep step = slot.model->Change(before, after);
    if (step.started) {
      slot.start = time;
      slot.unknownBit = -1;
      std::fill(slot.samples.begin(), slot.samples.end(), -1);
    }
    if (step.tookBit && !(levels.dataKnown & slot.frame->data) && slot.unknownBit < 0) {
      slot.unknownBit = slot.model->frame().bits - 1;
    }
    if (step.end != FrameEnd::None) End(slot, time, step);
  }

  held_ = after;
  last_ = levels;
}

void FrameDecoder::End(Slot& slot, std::uint64_t time, const LineStep& step) {
  if (step.end == FrameEnd::Empty) return;
  const Chip& chip = *slot.chip;
  const FrameShape& frame = *slot.frame;
  const int only = frame.OnlyChannel();
  DecodedFrame f;
  f.chip = slot.chipIndex;
  f.start = slot.start;
  f.end = time;
  f.channel = only < 0 ? 0 : only;
  f.bits = step.ended.bits;
  f.word = step.ended.word;
  const std::string name = chip.FrameName(frame);
  if (step.end == FrameEnd::Read) {
    const std::string statusLine = LineName('S', frame.output);
    const int codeBits = static_cast<int>(slot.samples.size());
    int unknown = -1, known = 0, code = 0;
    for (int j = 0; j < codeBits && j < f.bits - 1; ++j) {
      const int sample = slot.samples[static_cast<std::size_t>(j)];
      if (sample < 0) {
        if (unknown < 0) unknown = j;
      } else {
        ++known;
        code |= sample << j;
      }
    }
    f.word = static_cast<std::uint32_t>(code);
    if (f.bits != frame.readClocks) {
      f.text = name + ": read frame of " + std::to_string(f.bits) + " clocks, not " +
               std::to_string(frame.readClocks) + ": no complete code";
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
    f.text = name + chip.rejected(frame, f.bits);
  } else if (slot.unknownBit >= 0) {
    f.text = name + ": data line " + LineName('D', frame.data) + " unknown at bit " +
             std::to_string(slot.unknownBit) + " of write";
  } else if (only >= 0) {
    f.kind = FrameKind::Write;
    f.codes[0] = chip.CodeIn(frame, f.word, only);
    f.text = name + " write " + std::to_string(f.codes[0]);
  } else {
    f.kind = FrameKind::Write;
    f.codes = {chip.CodeIn(frame, f.word, 0), chip.CodeIn(frame, f.word, 1)};
    f.text = name + " " + std::string(chip.channels[0]) + " " + std::to_string(f.codes[0]) + ", " +
             std::string(chip.channels[1]) + " " + std::to_string(f.codes[1]);
  }
  Emit(f);
}

void FrameDecoder::Finish(std::uint64_t time) {
  for (const Slot& slot : slots_) {
    const ChipFrame& frame = slot.model->frame();
    if (!frame.active || frame.bits == 0) continue;
    DecodedFrame f;
    f.chip = slot.chipIndex;
    f.channel = std::max(slot.frame->OnlyChannel(), 0);
    f.start = slot.start;
    f.end = time;
    f.bits = frame.bits;
    f.word = frame.word;
    f.text = slot.chip->FrameName(*slot.frame) + ": capture ended inside a frame after " +
             std::to_string(frame.bits) + " bits";
    Emit(f);
  }
}

std::string FormatFrameLine(const DecodedFrame& frame, double microsecondsPerUnit) {
  char time[48];
  std::snprintf(time, sizeof time, "%.3f us  ", static_cast<double>(frame.start) * microsecondsPerUnit);
  return time + frame.text;
}

}  // namespace tarvel
