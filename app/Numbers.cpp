#include "Numbers.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace tarvel {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<double> TextToNumber(std::string_view text) {
  // Blanks around the number are allowed; nothing else is trimmed.
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return std::nullopt;
  const auto last = text.find_last_not_of(' ');
  std::string_view body = text.substr(first, last - first + 1);

  bool negative = false;
  if (body.front() == '+' || body.front() == '-') {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  // Digits, at most one full stop, and at least one digit.
  std::size_t digits = 0;
  std::size_t stops = 0;
  bool nonzeroBeforeStop = false;
  for (char c : body) {
    if (IsDigit(c)) {
      ++digits;
      if (stops == 0 && c != '0') nonzeroBeforeStop = true;
    } else if (c == '.') {
      ++stops;
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0 || stops > 1) return std::nullopt;

  double value = 0.0;
  const auto [ptr, ec] =
      std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::fixed);
  if (ec == std::errc::result_out_of_range) {
    // Far beyond any code: keep it a number so range checks still see it.
    value = nonzeroBeforeStop ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc() || ptr != body.data() + body.size()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

std::optional<std::int16_t> NumberToCode(double number) {
  if (!std::isfinite(number)) return std::nullopt;
  double whole = std::floor(number);
  const double fraction = number - whole;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
  if (whole < -32768.0 || whole > 32767.0) return std::nullopt;
  return static_cast<std::int16_t>(whole);
}

std::optional<std::int16_t> TextToCode(std::string_view text) {
  const auto number = TextToNumber(text);
  if (!number) return std::nullopt;
  return NumberToCode(*number);
}

std::string CodeToText(long long code) { return std::to_string(code); }

}  // namespace tarvel
