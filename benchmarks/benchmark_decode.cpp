// Decode throughput: a VCD capture held in memory, read through the same
// streaming reader `tarvel --decode` uses. benchmarks/decode_large.sh measures a
// 1 GiB file on disk, with the program's peak memory.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <string>

#include "capture/VcdDecode.h"

namespace {

std::string Capture(const char* program, int mib) {
  std::string text;
  const std::string command = std::string(program) + " " + std::to_string(mib);
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return text;
  std::array<char, 65536> buffer;
  std::size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) text.append(buffer.data(), n);
  return text;
}

std::string g_program;

void BM_DecodeVcd(benchmark::State& state) {
  static const std::string text = Capture(g_program.c_str(), 64);
  if (text.empty()) {
    state.SkipWithError("make_vcd did not run");
    return;
  }
  long frames = 0;
  for (auto _ : state) {
    std::size_t at = 0;
    const tarvel::VcdSource source = [&](char* buffer, std::size_t size) -> long {
      const std::size_t n = std::min(size, text.size() - at);
      std::copy_n(text.data() + at, n, buffer);
      at += n;
      return static_cast<long>(n);
    };
    tarvel::VcdDecodeCallbacks out;
    out.frame = [&](const tarvel::DecodedFrame& f, double us) {
      benchmark::DoNotOptimize(tarvel::FormatFrameLine(f, us));
      ++frames;
    };
    const auto result = tarvel::DecodeVcd(source, {}, out);
    if (result.status != tarvel::VcdDecodeResult::Status::Ok) state.SkipWithError(result.message.c_str());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
  state.counters["frames"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeVcd)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // make_vcd sits beside this program.
  g_program = std::string(argv[0]);
  g_program = g_program.substr(0, g_program.rfind('/') + 1) + "make_vcd";
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
