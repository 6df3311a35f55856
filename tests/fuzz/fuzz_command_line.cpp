// libFuzzer target: splitting an argument text and converting its code
// fields. Nothing may crash or hit undefined behaviour, and the results must
// keep their promises.
#include <algorithm>
#include <cmath>
#include <compare>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/CommandLine.h"
#include "core/Numbers.h"
#include "instrument/Sweep.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvel;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto field = SplitCommandLine(text);

  // The text is cut at no more than its first two blanks, and nothing is lost.
  Check(field[0].find(' ') == std::string::npos);
  Check(field[1].find(' ') == std::string::npos);
  std::string joined = field[0];
  const std::size_t blanks = static_cast<std::size_t>(std::count(text.begin(), text.end(), ' '));
  if (blanks >= 1) joined += ' ' + field[1];
  if (blanks >= 2) joined += ' ' + field[2];
  Check(joined == text);
  if (blanks < 2) Check(field[2].empty());

  for (const std::string& f : field) {
    const auto number = TextToNumber(f);
    const auto code = TextToCode(f);
    if (!number) {
      Check(!code);
      continue;
    }
    Check(!std::isnan(*number));
    // Rounded on the digits: the value lies strictly between the code's
    // neighbours, and a whole number in range is its own code.
    const auto whole = TextToWholeNumber(f);
    if (whole) Check(CompareNumber(f, *whole) == std::strong_ordering::equal);
    if (whole && *whole >= -32768 && *whole <= 32767) Check(code == *whole);
    if (code) {
      Check(std::fabs(*number - *code) <= 0.5);
      Check(CompareNumber(f, *code - 1) == std::strong_ordering::greater);
      Check(CompareNumber(f, *code + 1) == std::strong_ordering::less);
      Check(TextToCode(CodeToText(*code)) == code);
    }
  }

  // The same bytes as a hop-sequence file: either steps or an error naming
  // the file, and every step kept is one the chip takes.
  const SequenceParse hops = ParseSequence(text, "f.csv", "TQM7731", {0, 31});
  Check(hops.error.empty() != hops.steps.empty());
  Check(hops.error.empty() || hops.error.rfind("f.csv:", 0) == 0);
  for (const SweepStep& step : hops.steps) {
    Check(step.dwellNs >= kMinDwellNs && step.dwellNs <= kMaxDwellNs);
    Check(step.code1 >= 0 && step.code1 <= 31 && step.code2 >= 0 && step.code2 <= 31);
  }
  return 0;
}
