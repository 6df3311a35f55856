#include "app/CommandLine.h"

#include <cstdlib>
#include <iostream>

#include "chips/Chips.h"
#include "core/MainModule.h"
#include "core/Numbers.h"
#include "core/platform/Platform.h"

namespace tarvel {

std::array<std::string, 3> SplitCommandLine(std::string_view text) {
  std::array<std::string, 3> field;
  std::size_t count = 0;
  std::string_view rest = text;
  std::size_t blank = rest.find(' ');
  while (blank != std::string_view::npos && count < 2) {
    field[count] = std::string(rest.substr(0, blank));
    rest = rest.substr(blank + 1);
    ++count;
    blank = rest.find(' ');
  }
  field[count] = std::string(rest);
  return field;
}

int ExitStatusFor(CommandStatus status) {
  switch (status) {
    case CommandStatus::Done: return kExitDone;
    case CommandStatus::UnknownDevice: return kExitUsage;
    case CommandStatus::PortUnavailable: return kExitUnavailable;
    case CommandStatus::PortFailed: return kExitIoError;
    case CommandStatus::ResultFileFailed: return kExitCantCreate;
  }
  return kExitIoError;
}

int RunCommandLine(std::string_view argumentText) {
  const auto field = SplitCommandLine(argumentText);
  DeviceName = field[0];

  const auto code1 = TextToCode(field[1]);
  const auto code2 = TextToCode(field[2]);
  if (code1 && code2) {
    GainCode[0] = *code1;
    GainCode[1] = *code2;
  } else if (!FindReadBackChip(DeviceName)) {
    ShowCommandAlert();
    return kExitUsage;
  }
  const CommandStatus status = RunDeviceCommand();
  if (status == CommandStatus::ResultFileFailed) {
    std::string where = platform::CurrentFolder();
    if (where.empty()) {
      where = kResultFileName;
    } else {
      if (where.back() != '/' && where.back() != '\\') where += platform::PathSeparator();
      where += kResultFileName;
    }
    std::cerr << "tarvel: cannot write " << where << ": " << ResultFileError() << std::endl;
  }
  return ExitStatusFor(status);
}

}  // namespace tarvel
