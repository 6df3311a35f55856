// The part of the start-up window's load handler that runs before any window
// exists, so command-line mode never loads the GUI toolkit.
#pragma once

#include <string>

namespace tarvel {

// The argument text: the program's arguments joined with single blanks, as
// the command line stood without the program's own name.
std::string JoinArguments(int argc, const char* const* argv);
const std::string& ArgumentText();

// The program's arguments: their joined text, and whether there were any at
// all. An argument list that joins to empty text (`tarvel ""`) is still a
// command line.
void SetArguments(int argc, const char* const* argv);
bool ArgumentsGiven();

// Deletes a leftover "TRVOutput.dat" in the working directory, and this
// user's ".TRVOutput.XXXXXX" temporary files older than a minute. A file that
// cannot be deleted gets a warning on standard error and is left; returns
// false then.
bool DeleteLeftoverResultFile();

// What every start does before any window: PortAddress := LPT1, delete a
// leftover result file, and with arguments run command-line
// mode, which ends the program. Returns only when no arguments were given.
void RunStartupSteps();

// Command-line mode on ArgumentText(); writes the port trace and ends the
// program with its status (74 when only the trace failed), or by the signal
// that asked it to stop.
[[noreturn]] void ProcessCommandLine();

// What command-line mode does, for a `--` mode that sends codes as
// "DEVICE CODE1 CODE2" would: the start-up steps, the command on
// ArgumentText() and the port trace, returning the status instead of ending
// the program.
int RunCommandLineMode();

}  // namespace tarvel
