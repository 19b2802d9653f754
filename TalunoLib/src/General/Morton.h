#pragma once

#include <cstdint>

// 3D Morton codes on 64-bit keys: each coordinate keeps 21 bits, x in bit
// positions 0, 3, 6, ..., y in 1, 4, 7, ... and z in 2, 5, 8, ....
namespace magnet {
namespace math {

/// Spreads the low 21 bits of u so that bit i lands on bit 3i.
inline uint64_t dilate(uint64_t u)
{
  uint64_t v = u;
  v = (v | v << 32) & 0xFFFF00000000FFFFull;
  v = (v | v << 16 | v << 32) & 0x00FF0000FF0000FFull;
  v = (v | v << 8 | v << 16) & 0xF00F00F00F00F00Full;
  v = (v | v << 4 | v << 8) & 0x30C30C30C30C30C3ull;
  v = (v | v << 2 | v << 4) & 0x9249249249249249ull;
  return v;
}

/// Final right shift of undilate: the gathered bits end up at bit 40.
constexpr unsigned undilate_shift = 40;

/// Gathers the bits at positions 0, 3, 6, ... of k back into a plain integer.
/// Call it on k, k >> 1 and k >> 2 for x, y and z.
inline uint32_t undilate(uint64_t k)
{
  uint64_t v = k & 0x9249249249249249ull;
  v = (v * 0x15ull) & 0x1C0E070381C0E070ull;
  v = (v * 0x1041ull) & 0x1FF00003FE00007Full;
  v = (v * 0x1000040001ull) & 0x1FFFFF0000000000ull;
  return static_cast<uint32_t>(v >> undilate_shift);
}

/// A coordinate held in its dilated form, ready to be or-ed into a key.
class dilatedinteger
{
public:
  static constexpr uint32_t maxValue = (1u << 21) - 1; ///< largest coordinate that round-trips

  explicit dilatedinteger(uint32_t value) : _value(dilate(value)) {}

  uint64_t getDilatedValue() const { return _value; }
  uint32_t getRealValue() const { return undilate(_value); }

private:
  uint64_t _value;
};

/// Key of the integer coordinates (ux, uy, uz), each below 2^21.
inline uint64_t mortonKey(uint32_t ux, uint32_t uy, uint32_t uz)
{
  return dilate(ux) | (dilate(uy) << 1) | (dilate(uz) << 2);
}

} // namespace math
} // namespace magnet
