// libFuzzer target: SCPI program messages against an in-memory simulated
// bench. Nothing may crash or hit undefined behaviour; every message answers
// at most one line, the error queue stays bounded and the chips never see a
// torn sequence.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "instrument/Scpi.h"
#include "ports/SimPortBackend.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvel;
  static SimPortBackend* bench = [] {
    auto backend = std::make_unique<SimPortBackend>();
    SimPortBackend* raw = backend.get();
    SetPortBackend(std::move(backend));
    return raw;
  }();
  ScpiInstrument instrument;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  while (!rest.empty()) {
    const std::size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    if (line.size() > kScpiMaxLineBytes) continue;  // the server discards these unread
    const std::string answer = instrument.Execute(line);
    Check(answer.empty() || answer.find('\n') == answer.size() - 1);
    Check(instrument.ErrorCount() <= kScpiErrorQueueSize);
  }
  Check(bench->bench().state().protocolErrors == 0);
  return 0;
}
