#include "app/DecodeMode.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/CommandLine.h"
#include "capture/VcdDecode.h"

namespace tarvel {

int RunDecode(int argc, const char* const* argv) {
  std::string path;
  WireMap map;
  for (int i = 0; i < argc; ++i) {
    const char* arg = argv[i];
    std::string value;
    if (std::strcmp(arg, "--map") == 0) {
      if (++i == argc) {
        std::fputs("tarvel: --map needs LINE=WIRE,...\n", stderr);
        return kExitUsage;
      }
      value = argv[i];
    } else if (std::strncmp(arg, "--map=", 6) == 0) {
      value = arg + 6;
    } else if (path.empty() && arg[0] != '\0' && std::strncmp(arg, "--", 2) != 0) {
      path = arg;
      continue;
    } else {
      std::fprintf(stderr,
                   "tarvel: unexpected \"%s\"\nusage: tarvel --decode FILE.vcd [--map LINE=WIRE,...]\n", arg);
      return kExitUsage;
    }
    std::string error;
    if (!ParseWireMap(value, map, error)) {
      std::fprintf(stderr, "tarvel: %s\n", error.c_str());
      return kExitUsage;
    }
  }
  if (path.empty()) {
    std::fputs("usage: tarvel --decode FILE.vcd [--map LINE=WIRE,...]\n", stderr);
    return kExitUsage;
  }

  VcdDecodeCallbacks out;
  out.frame = [](const DecodedFrame& frame, double usPerUnit) {
    const std::string line = FormatFrameLine(frame, usPerUnit);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
  };
  out.note = [&path](const std::string& note) {
    std::fflush(stdout);
    std::fprintf(stderr, "tarvel: %s: %s\n", path.c_str(), note.c_str());
  };
  const VcdDecodeResult result = DecodeVcdFile(path, map, out);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "tarvel: cannot write the decoded frames: %s\n", std::strerror(errno));
    return kExitIoError;
  }
  switch (result.status) {
    case VcdDecodeResult::Status::Ok: return kExitDone;
    case VcdDecodeResult::Status::Missing:
      std::fprintf(stderr, "tarvel: cannot open %s: %s\n", path.c_str(), result.message.c_str());
      return kExitNoInput;
    case VcdDecodeResult::Status::Malformed: break;
  }
  std::fprintf(stderr, "tarvel: %s:%llu: not a valid VCD file: %s\n", path.c_str(),
               static_cast<unsigned long long>(result.line), result.message.c_str());
  return kExitDataError;
}

}  // namespace tarvel
