// Command-line mode: "[DEVICE] [CODE1] [CODE2]".
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "device/ControlPPORT.h"

namespace tarvel {

// Exit statuses (sysexits.h values, so scripts can tell the cases apart).
constexpr int kExitDone = 0;
constexpr int kExitUsage = 64;         // command alert or option alert
constexpr int kExitUnavailable = 69;   // the port cannot be opened or claimed
constexpr int kExitCantCreate = 73;    // read back, but "TRVOutput.dat" not written
constexpr int kExitIoError = 74;       // a port access failed, or the trace could not be written
constexpr int kExitNoPermission = 77;  // refused: set-user-ID or set-group-ID, or serving as root

// Cuts the text at no more than its first two blanks (U+0020): field 0 is the
// device token, fields 1 and 2 the codes; field 2 keeps everything after the
// second blank.
std::array<std::string, 3> SplitCommandLine(std::string_view text);

int ExitStatusFor(CommandStatus status);

// Splits, validates and runs one command line against DeviceName, GainCode
// and the port; returns the exit status. ProcessCommandLine is this followed
// by the end of the program.
int RunCommandLine(std::string_view argumentText);

}  // namespace tarvel
