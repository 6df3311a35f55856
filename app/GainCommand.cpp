#include "app/GainCommand.h"

#include <cstdio>
#include <memory>

#include "app/CommandLine.h"
#include "app/GuiLoader.h"
#include "app/Startup.h"
#include "chips/Chips.h"
#include "core/MainModule.h"
#include "core/Signals.h"

namespace tarvel {

std::optional<Calibration> CalibrationOption(const ParsedOptions& options, const std::string& device,
                                             std::string& error) {
  const auto file = options.values.find("--cal");
  const auto freq = options.values.find("--freq");
  if (file == options.values.end()) {
    if (freq != options.values.end()) error = "--freq needs a calibration table (--cal FILE)";
    return std::nullopt;
  }
  CalParse parsed = LoadCalibrationFile(file->second);
  FinishStopRequest();  // a SIGINT/SIGTERM while the table was read ends the program by it
  if (!parsed.table) {
    error = parsed.error;
    return std::nullopt;
  }
  if (parsed.table->device != device) {
    error = file->second + ": the table is for the " + parsed.table->device + ", not the " + device;
    return std::nullopt;
  }
  Calibration cal(std::move(*parsed.table));
  if (freq != options.values.end()) {
    const auto hz = FrequencyFromText(freq->second);
    if (!hz || !cal.SetFrequency(*hz)) {
      error = "--freq \"" + freq->second + "\" is not a frequency in Hz (a number of 0 or more)";
      return std::nullopt;
    }
  }
  return cal;
}

int RunCalTemplateOption(int argc, const char* const* argv) {
  const char* mode = "--cal-template";
  std::string error;
  const auto options = ParseWords(argc, argv, 1, {}, {}, error);
  if (!options) return Refuse(mode, error);
  if (options->positional.empty()) return Refuse(mode, "usage: tarvel --cal-template DEVICE");
  const Chip* chip = FindChip(options->positional[0]);
  if (chip == nullptr) {
    return Refuse(mode, "unknown device \"" + options->positional[0] + "\" (" + ChipTokenList("or") + ")");
  }
  std::fputs(CalibrationTemplate(*chip).c_str(), stdout);
  return kExitDone;
}

int RunGainOption(int argc, const char* const* argv) {
  const char* mode = "--gain";
  std::string error;
  const auto options = ParseWords(argc, argv, 3, {"--cal", "--freq"}, {}, error);
  if (!options) return Refuse(mode, error);
  if (options->positional.size() < 3) return Refuse(mode, "usage: tarvel --gain DEVICE DB1 DB2 --cal FILE");
  const std::string& device = options->positional[0];
  if (FindChip(device) == nullptr) {
    return Refuse(mode, "unknown device \"" + device + "\" (" + ChipTokenList("or") + ")");
  }
  if (options->values.count("--cal") == 0) return Refuse(mode, "--cal is missing");
  const auto cal = CalibrationOption(*options, device, error);
  if (!cal) return Refuse(mode, error);

  Calibration::Choice chosen[2];
  for (int channel = 0; channel < 2; ++channel) {
    const std::string& text = options->positional[static_cast<std::size_t>(channel) + 1];
    const auto db = GainFromText(text);
    if (!db)
      return Refuse(mode, "DB" + std::to_string(channel + 1) + " \"" + text + "\" is not a number of dB");
    const auto choice = cal->Nearest(channel, *db, error);
    if (!choice) return Refuse(mode, error);
    chosen[channel] = *choice;
  }

  // The codes go out exactly as "tarvel DEVICE CODE1 CODE2" sends them.
  const std::string code1 = std::to_string(chosen[0].code), code2 = std::to_string(chosen[1].code);
  const char* words[] = {"tarvel", device.c_str(), code1.c_str(), code2.c_str()};
  SetArguments(4, words);
  SetAlertPresenter(std::make_shared<CommandLineAlertPresenter>());
  const int status = RunCommandLineMode();
  if (status == kExitDone) {
    std::printf("%s at %s Hz: channel 1 code %d (%s dB), channel 2 code %d (%s dB)\n", device.c_str(),
                FrequencyText(cal->Frequency()).c_str(), chosen[0].code, GainText(chosen[0].gainDb).c_str(),
                chosen[1].code, GainText(chosen[1].gainDb).c_str());
  }
  FinishStopRequest();  // a SIGINT/SIGTERM during the command ends it now
  return status;
}

}  // namespace tarvel
