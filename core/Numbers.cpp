#include "core/Numbers.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace tarvel {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The parts of a decimal in the accepted syntax: sign, the digits before and
// after the full stop (either may be empty, not both).
struct Decimal {
  bool negative = false;
  std::string_view whole, fraction;
};

std::optional<Decimal> ParseDecimal(std::string_view text) {
  // Blanks around the number are allowed; nothing else is trimmed.
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return std::nullopt;
  const auto last = text.find_last_not_of(' ');
  std::string_view body = text.substr(first, last - first + 1);

  Decimal d;
  if (body.front() == '+' || body.front() == '-') {
    d.negative = body.front() == '-';
    body.remove_prefix(1);
  }
  const auto stop = body.find('.');
  d.whole = body.substr(0, stop);
  if (stop != std::string_view::npos) d.fraction = body.substr(stop + 1);
  const auto allDigits = [](std::string_view s) { return std::all_of(s.begin(), s.end(), IsDigit); };
  if (d.whole.empty() && d.fraction.empty()) return std::nullopt;
  if (!allDigits(d.whole) || !allDigits(d.fraction)) return std::nullopt;
  return d;
}

// A decimal as the largest whole number not above it and whether a non-zero
// fraction follows. Beyond 18 digits the whole number is held at the ends of
// long long.
struct Floor {
  long long whole = 0;
  bool fraction = false;
};

std::optional<Floor> ParseFloor(std::string_view text) {
  const auto d = ParseDecimal(text);
  if (!d) return std::nullopt;
  const std::string_view digits = d->whole.substr(std::min(d->whole.find_first_not_of('0'), d->whole.size()));
  Floor f;
  f.fraction = d->fraction.find_first_not_of('0') != std::string_view::npos;
  if (digits.size() > 18) {
    f.whole = d->negative ? std::numeric_limits<long long>::min() : std::numeric_limits<long long>::max();
    return f;
  }
  long long magnitude = 0;
  for (char c : digits) magnitude = magnitude * 10 + (c - '0');
  f.whole = d->negative ? -magnitude - (f.fraction ? 1 : 0) : magnitude;
  return f;
}

}  // namespace

std::optional<double> TextToNumber(std::string_view text) {
  const auto d = ParseDecimal(text);
  if (!d) return std::nullopt;
  std::string digits(d->whole);
  digits += '.';
  digits += d->fraction;
  double value = 0.0;
  const auto [ptr, ec] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value, std::chars_format::fixed);
  if (ec == std::errc::result_out_of_range) {
    // Far beyond any code: keep it a number so range checks still see it.
    const bool large = d->whole.find_first_not_of('0') != std::string_view::npos;
    value = large ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc() || ptr != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return d->negative ? -value : value;
}

std::optional<std::int16_t> TextToCode(std::string_view text) {
  // Rounded on the digits themselves, so that no length of text can land on
  // the wrong side of a half through a binary approximation.
  const auto d = ParseDecimal(text);
  if (!d) return std::nullopt;
  const std::string_view whole = d->whole.substr(std::min(d->whole.find_first_not_of('0'), d->whole.size()));
  if (whole.size() > 5) return std::nullopt;  // beyond 99999
  long magnitude = 0;
  for (char c : whole) magnitude = magnitude * 10 + (c - '0');

  // The first fraction digit decides, unless it is a 5: then any later
  // non-zero digit rounds up and an exact half goes to the even neighbour.
  const char lead = d->fraction.empty() ? '0' : d->fraction.front();
  const bool beyondHalf =
      d->fraction.size() > 1 && d->fraction.find_first_not_of('0', 1) != std::string_view::npos;
  if (lead > '5' || (lead == '5' && (beyondHalf || magnitude % 2 != 0))) ++magnitude;

  const long code = d->negative ? -magnitude : magnitude;
  if (code < -32768 || code > 32767) return std::nullopt;
  return static_cast<std::int16_t>(code);
}

std::optional<long long> TextToWholeNumber(std::string_view text) {
  const auto f = ParseFloor(text);
  if (!f || f->fraction) return std::nullopt;
  return f->whole;
}

std::optional<std::strong_ordering> CompareNumber(std::string_view text, long long bound) {
  const auto f = ParseFloor(text);
  if (!f) return std::nullopt;
  if (f->whole != bound) return f->whole <=> bound;
  return f->fraction ? std::strong_ordering::greater : std::strong_ordering::equal;
}

std::optional<std::string> WithoutExponent(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  const auto last = text.find_last_not_of(' ');
  if (first == std::string_view::npos) return std::string(text);
  const std::string_view body = text.substr(first, last - first + 1);
  const auto e = body.find_first_of("eE");
  if (e == std::string_view::npos) return std::string(text);
  const auto d = ParseDecimal(body.substr(0, e));
  std::string_view exponent = body.substr(e + 1);
  if (!d || e == 0) return std::nullopt;
  const bool down = !exponent.empty() && exponent.front() == '-';
  if (!exponent.empty() && (exponent.front() == '+' || exponent.front() == '-')) exponent.remove_prefix(1);
  if (exponent.empty() || !std::all_of(exponent.begin(), exponent.end(), IsDigit)) return std::nullopt;
  constexpr long kHeld = 60;
  long shift = 0;
  for (char c : exponent) shift = std::min(kHeld, shift * 10 + (c - '0'));
  if (down) shift = -shift;

  // The digits with the full stop moved `shift` places.
  std::string digits(d->whole);
  digits += d->fraction;
  long point = static_cast<long>(d->whole.size()) + shift;
  if (point < 0) {
    digits.insert(0, static_cast<std::size_t>(-point), '0');
    point = 0;
  }
  if (point > static_cast<long>(digits.size()))
    digits.append(static_cast<std::size_t>(point) - digits.size(), '0');
  std::string plain = d->negative ? "-" : "";
  plain += point == 0 ? "0" : digits.substr(0, static_cast<std::size_t>(point));
  plain += '.';
  plain += digits.substr(static_cast<std::size_t>(point));
  if (plain.ends_with('.')) plain += '0';
  return plain;
}

std::string CodeToText(long long code) { return std::to_string(code); }

}  // namespace tarvel
