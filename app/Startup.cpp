#include "app/Startup.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "app/CommandLine.h"
#include "capture/Trace.h"
#include "core/AtomicFile.h"
#include "core/MainModule.h"
#include "core/Signals.h"
#include "core/platform/Platform.h"

namespace tarvel {

namespace {
std::string& ArgumentSlot() {
  static std::string text;
  return text;
}
bool& GivenSlot() {
  static bool given = false;
  return given;
}
}  // namespace

std::string JoinArguments(int argc, const char* const* argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return text;
}

const std::string& ArgumentText() { return ArgumentSlot(); }

void SetArguments(int argc, const char* const* argv) {
  ArgumentSlot() = JoinArguments(argc, argv);
  GivenSlot() = argc > 1;
}
bool ArgumentsGiven() { return GivenSlot(); }

bool DeleteLeftoverResultFile() {
  // Temporary result files of a run that was killed while writing.
  RemoveStaleTempFiles(".", ".TRVOutput.", kStaleTempSeconds);
  // A file alone: a folder of that name is not a leftover result.
  platform::SystemError error;
  if (platform::RemoveFile(kResultFileName, error)) return true;
  std::cerr << "tarvel: warning: cannot delete the leftover " << kResultFileName << ": " << error.text
            << "; it is not this run's result" << std::endl;
  return false;
}

namespace {
void CommonStartupSteps() {
  PortAddress = kLpt1Address;
  DeleteLeftoverResultFile();
}
int CommandLineStatus() {
  int status = RunCommandLine(ArgumentText());
  // A trace that cannot be written fails a command that otherwise succeeded.
  if (!FlushProcessTrace() && status == kExitDone) status = kExitIoError;
  return status;
}
}  // namespace

void RunStartupSteps() {
  CommonStartupSteps();
  if (ArgumentsGiven()) ProcessCommandLine();
}

int RunCommandLineMode() {
  CommonStartupSteps();
  return CommandLineStatus();
}

void ProcessCommandLine() {
  const int status = CommandLineStatus();
  std::cout.flush();
  FinishStopRequest();  // a SIGINT/SIGTERM during the command ends it now
  std::exit(status);
}

}  // namespace tarvel
