#include "app/Options.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "app/CommandLine.h"
#include "app/DecodeMode.h"
#include "app/GainCommand.h"
#include "app/GuiLoader.h"
#include "app/Serve.h"
#include "app/SweepCommand.h"
#include "chips/Chips.h"
#include "core/Version.h"
#include "ports/PortSelect.h"

namespace tarvel {

namespace {

int RunHelp(int, const char* const*) {
  PrintUsage(false);
  return kExitDone;
}

int RunVersion(int, const char* const*) {
  std::printf("tarvel %s\n", kVersion);
  return kExitDone;
}

// Every `--` mode of the program, in the order `--help` lists them.
constexpr OptionMode kModes[] = {
    {"--help", "tarvel --help", "this text", RunHelp},
    {"--version", "tarvel --version", "the program's version", RunVersion},
    {"--serve", "tarvel --serve [--listen HOST:PORT] [--port-choice LPT1|LPT2|PRN]",
     "\n                                      [--idle-timeout SECONDS] [--name NAME] [--serial TEXT]"
     "\n                                      [--http HOST:PORT] [--cal FILE]"
     "\n                                      serve SCPI remote control on TCP (default 127.0.0.1:5025;"
     "\n                                      an idle client is closed after 900 s, 0 = never);"
     "\n                                      --http: also the web page, e.g. 127.0.0.1:8080;"
     "\n                                      --cal: a calibration table for the dB commands",
     RunServe},
    {"--decode", "tarvel --decode FILE.vcd [--map LINE=WIRE,...]",
     "\n                                      print what the chips made of a trace or logic-analyser capture",
     RunDecode},
    {"--sweep", "tarvel --sweep DEVICE ...",
     "step the codes: --from A --to B --dwell MS [--step S]\n"
     "                                      [--channel 1|2|both] [--other C] [--repeat N]\n"
     "                                      [--log FILE] [--verify]\n"
     "                                      [--cal FILE [--freq HZ]]: A, B, S and C in dB",
     RunSweepOption},
    {"--sequence", "tarvel --sequence DEVICE FILE",
     "send the steps of a CSV of dwell_ms,code1,code2\n"
     "                                      [--repeat N] [--log FILE] [--verify]\n"
     "                                      [--cal FILE [--freq HZ]]: also dwell_ms,gain1_db,gain2_db",
     RunSequenceOption},
    {"--cal-template", "tarvel --cal-template DEVICE",
     "print a calibration table to fill in with measured gains", RunCalTemplateOption},
    {"--gain", "tarvel --gain DEVICE DB1 DB2",
     "--cal FILE [--freq HZ]\n"
     "                                      send the codes whose calibrated gains are nearest",
     RunGainOption},
};

}  // namespace

bool IsOptionCommandLine(int argc, const char* const* argv) {
  return argc > 1 && std::strncmp(argv[1], "--", 2) == 0;
}

void PrintUsage(bool toStderr) {
  std::FILE* out = toStderr ? stderr : stdout;
  std::fputs(WindowsBuiltIn() ? "usage: tarvel                         open the windows\n"
                              : "usage: tarvel                         (this build has no windows)\n",
             out);
  std::fprintf(out, "       tarvel DEVICE CODE1 CODE2      send two codes (DEVICE: %s)\n",
               ChipTokenList().c_str());
  for (const Chip* chip : Chips()) {
    if (!chip->readsBack()) continue;
    const std::string readToken(chip->readToken), token(chip->token);
    std::fprintf(out, "       tarvel %-24sread the %s's codes back into TRVOutput.dat\n", readToken.c_str(),
                 token.c_str());
  }
  for (const OptionMode& mode : kModes) {
    std::fprintf(out, "       %-31s%s\n", mode.synopsis, mode.summary);
  }
  // The port forms are this build's rows of the back-end table.
  std::fputs("environment:\n       TARVEL_PORT                    the port, one of (default auto):\n", out);
  for (const PortChoice& choice : PortChoices())
    std::fprintf(out, "         %-29s%s\n", choice.form, choice.help);
  std::fputs(
      "       TARVEL_TRACE=PATH              write a VCD trace of every port access to PATH\n"
      "       TARVEL_PORT_DELAY_NS=N         pause at least N ns between port accesses\n",
      out);
}

int RunOptionCommandLine(int argc, const char* const* argv) {
  for (const OptionMode& mode : kModes) {
    if (std::strcmp(argv[1], mode.name) == 0) return mode.run(argc - 2, argv + 2);
  }
  std::fprintf(stderr, "tarvel: unknown option %s\n", argv[1]);
  PrintUsage(true);
  return kExitUsage;
}

}  // namespace tarvel
