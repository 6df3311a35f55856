// The program's entry: loading the start-up window. With arguments the
// load handler runs command-line mode and ends the program before any window
// is shown, so that path never opens the GUI library.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/GuiLoader.h"
#include "app/Options.h"
#include "app/ProcessPorts.h"
#include "app/Startup.h"
#include "capture/Trace.h"
#include "chips/Chips.h"
#include "core/MainModule.h"
#include "core/Signals.h"
#include "core/platform/Platform.h"

int main(int argc, char** argv) {
  using namespace tarvel;
  // Every layer takes its arguments in UTF-8, as the files' names are.
  std::vector<std::string> arguments = platform::Utf8Arguments(argc, argv);
  std::vector<char*> pointers;
  pointers.reserve(arguments.size() + 1);
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  argc = static_cast<int>(arguments.size());
  argv = pointers.data();
  // Borrowed privileges would let any caller write files as their owner.
  if (RunsWithBorrowedPrivileges()) {
    std::cerr << BorrowedPrivilegesMessage() << std::endl;
    return kExitNoPermission;
  }
  InstallStopHandlers();
  UseProcessPorts();
  // `--` modes first: no device token starts with "--".
  if (IsOptionCommandLine(argc, argv)) {
    const int status = RunOptionCommandLine(argc, argv);
    std::cout.flush();
    return status;
  }
  SetArguments(argc, argv);
  if (ArgumentsGiven()) {
    SetAlertPresenter(std::make_shared<CommandLineAlertPresenter>());
    RunStartupSteps();  // command-line mode: does not return
  }

  if (!WindowsBuiltIn() || !DisplayReachable()) {
    DeleteLeftoverResultFile();  // every start does, even one that gives up
    const char* why = "tarvel: no display to open the windows on.\n";
    if (!WindowsBuiltIn()) {
      why = "tarvel: this build has no windows (it was made without the window library).\n";
    } else if (DisplayAvailable()) {
      why = "tarvel: cannot connect to the display to open the windows on.\n";
    }
    std::string devices = ChipTokenList();
    for (const Chip* chip : Chips()) {
      if (chip->readsBack()) {
        devices += ", or " + std::string(chip->readToken) + " to read the " + std::string(chip->token) +
                   "'s codes back";
      }
    }
    std::cerr << why << "For command-line mode give the arguments: tarvel DEVICE CODE1 CODE2\n"
              << "  (DEVICE is " << devices << ")" << std::endl;
    return 1;
  }
  std::string error;
  const GuiEntry* gui = LoadGui(error);
  if (gui == nullptr) {
    DeleteLeftoverResultFile();
    std::cerr << "tarvel: cannot open the windows: " << error << std::endl;
    return 1;
  }
  const int status = gui->Run(argc, argv);
  // A SIGINT/SIGTERM ended the windows: write the trace, then end by it.
  FlushProcessTrace();
  FinishStopRequest();
  return status;
}
