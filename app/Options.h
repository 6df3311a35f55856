// The program's `--` options. No device token starts with "--", so the
// command line "DEVICE CODE1 CODE2" never reaches this table, and a mode
// added here cannot change what that command line does.
#pragma once

namespace tarvel {

// One `--` mode of the program: its name ("--serve"), its synopsis and a
// short summary for `--help`, and the function that runs it. The function
// gets the words after the option's name and returns the exit status.
struct OptionMode {
  const char* name;
  const char* synopsis;  // "tarvel --serve [--listen HOST:PORT]"
  const char* summary;   // "serve SCPI remote control"
  int (*run)(int argc, const char* const* argv);
};

// True when the first argument starts with "--": the program runs one of the
// modes below instead of the start-up steps.
bool IsOptionCommandLine(int argc, const char* const* argv);

// Runs the mode argv[1] names; an unknown option prints the usage on
// standard error and returns 64.
int RunOptionCommandLine(int argc, const char* const* argv);

// The usage text `--help` prints.
void PrintUsage(bool toStderr);

}  // namespace tarvel
