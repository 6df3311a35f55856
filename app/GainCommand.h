// Gain in dB on the command line: `--cal-template DEVICE` prints a table to
// fill in, `--gain DEVICE DB1 DB2 --cal FILE [--freq HZ]` sends the nearest
// codes as `DEVICE CODE1 CODE2` would, and `--cal FILE [--freq HZ]` is read
// the same way for the sweeps.
#pragma once

#include <optional>
#include <string>

#include "app/SweepCommand.h"
#include "instrument/Calibration.h"

namespace tarvel {

int RunCalTemplateOption(int argc, const char* const* argv);
int RunGainOption(int argc, const char* const* argv);

// The table "--cal FILE" names, checked to be for `device`, at the working
// frequency "--freq HZ" gives (else the table's lowest). Empty with no error
// without "--cal"; empty with the reason in `error` when the table is
// refused, is for another device, or "--freq" is bad or given alone.
std::optional<Calibration> CalibrationOption(const ParsedOptions& options, const std::string& device,
                                             std::string& error);

}  // namespace tarvel
