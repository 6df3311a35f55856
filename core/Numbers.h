// The program's one set of number rules for codes, used by the command line,
// the remote-control server, sweeps, sequences and the windows alike.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvel {

// Text to number: a plain decimal integer or fraction with the full stop as
// separator, an optional sign, and blanks (U+0020) around it. Empty text,
// blanks only, a lone sign, an exponent, grouping or any other character is
// not a number.
std::optional<double> TextToNumber(std::string_view text);

// Text to code: the value TextToNumber accepts, rounded to the nearest
// integer with halves to the even neighbour, exactly on the decimal digits
// however many there are; empty when the result does not fit -32768..32767.
std::optional<std::int16_t> TextToCode(std::string_view text);

// Text to whole number, exactly on the digits: the value TextToNumber accepts
// when no digit after the full stop is other than 0 ("7", "7.0", " -3 ");
// empty for any fraction however small ("1.00000000000000000001"). A value
// beyond long long gives its lowest or highest value, so that range checks
// still refuse it.
std::optional<long long> TextToWholeNumber(std::string_view text);

// Where the value in `text` lies against `bound`, exactly on the digits (for
// bounds within +-10^18); empty when the text is not a number.
std::optional<std::strong_ordering> CompareNumber(std::string_view text, long long bound);

// Decimal numeric data with an exponent, as SCPI and IEEE 488.2 write it
// ("1.25E1", "-3e-2", "+.5E+1"), as the plain decimal it stands for ("12.5",
// "-0.03", "+5"), exactly on the digits, so that TextToCode rounds it by the
// same rule as a plain number; a text without an exponent comes back as it is.
// Empty when the exponent is malformed ("1E", "1E+", "E5"). An exponent
// beyond +-60 is held there: the value is then far beyond any code or far
// below one half.
std::optional<std::string> WithoutExponent(std::string_view text);

// Plain decimal: a leading "-" for negatives, no blanks, no leading zeros.
std::string CodeToText(long long code);

}  // namespace tarvel
