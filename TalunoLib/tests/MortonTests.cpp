#include "Morton.h"

#include <gtest/gtest.h>

#include <random>

using namespace magnet::math;

namespace {

// Reference dilation: bit i of u moves to bit 3i.
uint64_t spreadBits(uint32_t u)
{
  uint64_t v = 0;
  for (int b = 0; b < 21; ++b)
    v |= uint64_t((u >> b) & 1u) << (3 * b);
  return v;
}

} // namespace

TEST(Morton, DilateSpreadsEveryCoordinateAndUndilateInvertsIt)
{
  for (uint32_t u = 0; u <= dilatedinteger::maxValue; ++u) {
    const uint64_t d = dilate(u);
    if (d != spreadBits(u))
      FAIL() << "dilate(" << u << ") = " << d << ", expected " << spreadBits(u);
    if (undilate(d) != u)
      FAIL() << "undilate(dilate(" << u << ")) = " << undilate(d);
  }
  EXPECT_EQ(dilatedinteger(1234567).getRealValue(), 1234567u);
}

TEST(Morton, KeysInterleaveAxesAndSplitBackApart)
{
  EXPECT_EQ(mortonKey(1, 0, 0), 1u);
  EXPECT_EQ(mortonKey(0, 1, 0), 2u);
  EXPECT_EQ(mortonKey(0, 0, 1), 4u);
  EXPECT_EQ(mortonKey(dilatedinteger::maxValue, dilatedinteger::maxValue, dilatedinteger::maxValue),
            (uint64_t(1) << 63) - 1);

  std::mt19937 rng(7);
  std::uniform_int_distribution<uint32_t> coordinate(0, dilatedinteger::maxValue);
  for (int n = 0; n < 100000; ++n) {
    const uint32_t x = coordinate(rng), y = coordinate(rng), z = coordinate(rng);
    const uint64_t key = mortonKey(x, y, z);
    ASSERT_EQ(undilate(key), x);
    ASSERT_EQ(undilate(key >> 1), y);
    ASSERT_EQ(undilate(key >> 2), z);
  }
}

TEST(Morton, KeyOrderIsZOrderWithinAnOctant)
{
  // Incrementing a coordinate below a power of two never lowers the key.
  for (uint32_t x = 0; x < 64; ++x)
    EXPECT_LT(mortonKey(x, 5, 9), mortonKey(x + 1, 5, 9));
}
