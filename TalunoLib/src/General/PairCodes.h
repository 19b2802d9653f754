#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

/// Compact storage of a particle's pair list: ascending array indices as
/// 16-bit steps from the index before, the first from the particle's own
/// index minus pairCodeBase. A step of 0 is followed by the index itself in
/// two 16-bit halves, low half first, for the rare gap that does not fit.
/// In a Morton-ordered array a particle's neighbours mostly lie within a few
/// thousand places of it, so an entry costs two bytes instead of four, and
/// the passes that read every list read half the memory.
constexpr int64_t pairCodeBase = 32768;

/// Appends the codes of `count` distinct ascending indices (0 to 2^31 - 1),
/// the list of particle `owner`, to `codes`.
inline void appendPairCodes(int64_t owner, int32_t const* indices, size_t count, std::vector<uint16_t>& codes)
{
  int64_t before = owner - pairCodeBase;
  for (size_t k = 0; k < count; ++k) {
    const int64_t j = indices[k];
    const int64_t step = j - before;
    if (step > 0 && step <= 0xFFFF) {
      codes.push_back(uint16_t(step));
    } else {
      codes.push_back(0);
      codes.push_back(uint16_t(j & 0xFFFF));
      codes.push_back(uint16_t(j >> 16));
    }
    before = j;
  }
}

/// Calls visit(j) for every index j of the list of particle `owner` held in
/// the codes [code, end), in ascending order.
template <typename Visit>
inline void forEachPairCode(int64_t owner, uint16_t const* code, uint16_t const* end, Visit&& visit)
{
  int64_t j = owner - pairCodeBase;
  while (code != end) {
    const uint16_t step = *code++;
    if (step != 0) {
      j += step;
    } else {
      j = int64_t(code[0]) | (int64_t(code[1]) << 16);
      code += 2;
    }
    visit(j);
  }
}
