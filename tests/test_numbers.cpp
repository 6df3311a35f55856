#include <gtest/gtest.h>

#include <limits>

#include "core/Numbers.h"

namespace tarvel {
namespace {

struct CodeCase {
  const char* text;
  std::optional<std::int16_t> code;
};

TEST(Numbers, TextToCodeFollowsTheDecimalRulesAndRoundsHalvesToEven) {
  const CodeCase cases[] = {
      {"0", 0},
      {"42", 42},
      {"-3", -3},
      {"+7", 7},
      {"07", 7},
      {" 7", 7},
      {"7 ", 7},
      {"  12  ", 12},
      {"7.0", 7},
      {"7.", 7},
      {".5", 0},
      {"2.5", 2},
      {"3.5", 4},
      {"-2.5", -2},
      {"-3.5", -4},
      {"41.5", 42},
      {"40.5", 40},
      {"0.4", 0},
      {"-0.4", 0},
      {"41.7", 42},
      {"2.5000001", 3},
      {"32767", 32767},
      {"-32768", -32768},
      {"32767.4", 32767},
      {"32767.5", std::nullopt},
      {"-32768.5", -32768},
      {"-32768.6", std::nullopt},
      {"32768", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      // Rounded on the digits, not on a nearby double.
      {"1.49999999999999999999", 1},
      {"0.500000000000000000001", 1},
      {"-0.500000000000000000001", -1},
      {"32767.4999999999999999999", 32767},
      {"-32768.4999999999999999999", -32768},
      {"2.50000000000000000000000000", 2},
      {"0000000000000000000000041.5", 42},
      {"0.49999999999999999999999999999999999999999999999999999999999999999999", 0},
      // Not numbers at all.
      {"", std::nullopt},
      {" ", std::nullopt},
      {"-", std::nullopt},
      {"+", std::nullopt},
      {".", std::nullopt},
      {"-.", std::nullopt},
      {"1e3", std::nullopt},
      {"0x10", std::nullopt},
      {"1,000", std::nullopt},
      {"1 2", std::nullopt},
      {"\t7", std::nullopt},
      {"7\t", std::nullopt},
      {"1.2.3", std::nullopt},
      {"--1", std::nullopt},
      {"+-1", std::nullopt},
      {"- 1", std::nullopt},
      {"abc", std::nullopt},
      {"12a", std::nullopt},
      {"inf", std::nullopt},
      {"nan", std::nullopt},
      {"\xEF\xBC\x91", std::nullopt},  // a full-width digit
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TextToCode(c.text), c.code) << '"' << c.text << '"';
  }
}

TEST(Numbers, HugeAndTinyNumbersStayNumbersForRangeChecks) {
  const std::string huge = "1" + std::string(400, '0');
  ASSERT_TRUE(TextToNumber(huge).has_value());
  EXPECT_GT(*TextToNumber(huge), 32767.0);
  ASSERT_TRUE(TextToNumber("-" + huge).has_value());
  EXPECT_LT(*TextToNumber("-" + huge), -32768.0);
  const std::string tiny = "0." + std::string(400, '0') + "1";
  ASSERT_TRUE(TextToNumber(tiny).has_value());
  EXPECT_EQ(TextToCode(tiny), 0);
  EXPECT_EQ(TextToCode("4.5" + std::string(400, '0') + "1"), 5);
  EXPECT_EQ(TextToCode("4.5" + std::string(400, '0')), 4);
}

TEST(Numbers, NumbersKeepTheirFractionForRangeComparisons) {
  EXPECT_DOUBLE_EQ(*TextToNumber("42.4"), 42.4);
  EXPECT_DOUBLE_EQ(*TextToNumber(" -0.25 "), -0.25);
}

TEST(Numbers, WholeNumbersAndComparisonsGoByTheDigits) {
  constexpr long long kTop = std::numeric_limits<long long>::max();
  constexpr long long kBottom = std::numeric_limits<long long>::min();
  const struct {
    const char* text;
    std::optional<long long> whole;
    int against42;  // the sign of text - 42
  } cases[] = {
      {"42", 42, 0},
      {" +42.000 ", 42, 0},
      {"042.", 42, 0},
      {"42.00000000000000000001", std::nullopt, 1},
      {"41.99999999999999999999", std::nullopt, -1},
      {"-0", 0, -1},
      {"-0.00000000000000000001", std::nullopt, -1},
      {"-3", -3, -1},
      {"999999999999999999", 999999999999999999, 1},
      {"99999999999999999999999", kTop, 1},
      {"-99999999999999999999999", kBottom, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TextToWholeNumber(c.text), c.whole) << '"' << c.text << '"';
    const auto order = CompareNumber(c.text, 42);
    ASSERT_TRUE(order.has_value()) << '"' << c.text << '"';
    EXPECT_EQ((*order > 0) - (*order < 0), c.against42) << '"' << c.text << '"';
  }
  EXPECT_EQ(CompareNumber("-0.00000000000000000001", 0), std::strong_ordering::less);
  EXPECT_EQ(CompareNumber("-0.5", -1), std::strong_ordering::greater);
  for (const char* text : {"", "-", "1e3", "4 2", "0x2A"}) {
    EXPECT_EQ(TextToWholeNumber(text), std::nullopt) << '"' << text << '"';
    EXPECT_EQ(CompareNumber(text, 42), std::nullopt) << '"' << text << '"';
  }
}

// SCPI's decimal numeric data: the exponent moves the full stop, and the
// value then rounds as a plain number does (halves to even).
TEST(Numbers, ExponentsBecomePlainDecimalsThatRoundAsTheCommandLineDoes) {
  const struct {
    const char* text;
    const char* plain;  // nothing: malformed, or too long to write here
    std::optional<std::int16_t> code;
  } cases[] = {
      {"1.2E1", "12.0", 12},   {"1.25e1", "12.5", 12}, {"1.35E+1", "13.5", 14}, {"-2.5E0", "-2.5", -2},
      {"25E-1", "2.5", 2},     {".5E1", "5.0", 5},     {"5E-1", "0.5", 0},      {"15E-1", "1.5", 2},
      {" 6.3E1 ", "63.0", 63}, {"42", "42", 42},       {"1E61", nullptr, {}},   {"1E-99999", nullptr, 0},
      {"1E", nullptr, {}},     {"1E+", nullptr, {}},   {"E5", nullptr, {}},     {"1E5.0", nullptr, {}},
      {"1 E5", nullptr, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto plain = WithoutExponent(c.text);
    if (c.plain != nullptr) {
      EXPECT_EQ(plain, std::string(c.plain));
    }
    EXPECT_EQ(plain ? TextToCode(*plain) : std::nullopt, c.code);
  }
}

TEST(Numbers, CodeToTextIsPlainDecimal) {
  const std::pair<long long, const char*> cases[] = {
      {0, "0"}, {42, "42"}, {-3, "-3"}, {-32768, "-32768"}, {32767, "32767"}};
  for (const auto& [code, text] : cases) EXPECT_EQ(CodeToText(code), text);
}

}  // namespace
}  // namespace tarvel
