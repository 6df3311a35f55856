// The program's one set of number rules for codes, used by the command line
// and by the gain-control window alike.
#pragma once

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

// Rounds to the nearest integer, halves to the even neighbour; empty when the
// result does not fit -32768..32767.
std::optional<std::int16_t> NumberToCode(double number);

// Text to code: the value TextToNumber accepts, rounded like NumberToCode but
// exactly on the decimal digits, however many there are.
std::optional<std::int16_t> TextToCode(std::string_view text);

// Plain decimal: a leading "-" for negatives, no blanks, no leading zeros.
std::string CodeToText(long long code);

}  // namespace tarvel
