#include <gtest/gtest.h>

#include <stdexcept>

#include "device/ControlPPORT.h"

namespace tarvel {
namespace {

struct SplitCase {
  std::int32_t code;
  std::uint32_t expectedBits;  // entry i = bit i
  std::int32_t remainder;
};

TEST(BitVector, CodeToBitsSplitsGreedilyFromTheTop) {
  const SplitCase cases[] = {
      {0, 0x0000, 0},
      {1023, 0x03FF, 0},
      {65535, 0xFFFF, 0},
      {65536, 0xFFFF, 1},
      {-1, 0x0000, -1},
      {253, 0x00FD, 0},
      {INT32_MAX, 0xFFFF, INT32_MAX - 65535},
      {INT32_MIN, 0x0000, INT32_MIN},
  };
  for (const auto& c : cases) {
    // Leave ones behind first: every entry must be rewritten.
    std::int32_t fill = 65535;
    CodeToBits(fill);
    std::int32_t code = c.code;
    CodeToBits(code);
    for (int i = 0; i < 16; ++i) {
      EXPECT_EQ(BitVector(i), (c.expectedBits >> i) & 1) << "code " << c.code << " entry " << i;
    }
    EXPECT_EQ(code, c.remainder) << "code " << c.code;
  }
}

TEST(BitVector, BitsToCodeInvertsCodeToBitsForEverySixteenBitValue) {
  for (std::int32_t x = 0; x <= 65535; ++x) {
    std::int32_t copy = x;
    CodeToBits(copy);
    ASSERT_EQ(BitsToCode(), x);
  }
}

TEST(BitVector, IndicesOutsideZeroToFifteenAreRefused) {
  for (int index : {-1, 16, 1000, INT32_MIN}) {
    EXPECT_THROW(BitVector(index), std::out_of_range) << index;
    const BitVectorType& constView = BitVector;
    EXPECT_THROW((void)constView(index), std::out_of_range) << index;
  }
}

}  // namespace
}  // namespace tarvel
