// `tarvel --decode FILE.vcd [--map LINE=WIRE,...]`: prints what the chips
// made of a trace or a logic analyser's capture, one line per frame.
#pragma once

namespace tarvel {

// Exit statuses beyond CommandLine.h's: the file was read, but was not a
// valid VCD (65), or could not be opened (66).
constexpr int kExitDataError = 65;
constexpr int kExitNoInput = 66;

int RunDecode(int argc, const char* const* argv);

}  // namespace tarvel
