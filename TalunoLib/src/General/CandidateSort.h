#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

// Sorts a particle's candidates, which are distinct indices. Lists of an
// ordinary liquid or heap are short (tens of entries) and, the particle
// array being in Morton order, usually span a narrow range of indices: they
// are sorted by marking each in a bitmap of that range and reading the marks
// back in order, which takes no comparison at all. Short lists of a wide
// range take an insertion sort, which mispredicts about once per entry where
// a quicksort's partitions mispredict at every other comparison; long lists
// (a clump far denser than the rest density) a quicksort, whose cost grows
// as n log n rather than n squared.
inline void sortCandidates(int32_t* list, size_t count, std::vector<uint64_t>& marks)
{
  constexpr int64_t widestMarked = 64 * 256;
  if (count > 16) {
    const auto [low, high] = std::minmax_element(list, list + count);
    const int32_t first = *low;
    const int64_t range = int64_t(*high) - first + 1;
    if (range <= widestMarked) {
      marks.assign(size_t((range + 63) / 64), 0);
      for (size_t k = 0; k < count; ++k) {
        const uint32_t offset = uint32_t(list[k] - first);
        marks[offset / 64] |= uint64_t(1) << (offset % 64);
      }
      int32_t* out = list;
      for (size_t w = 0; w < marks.size(); ++w)
        for (uint64_t word = marks[w]; word != 0; word &= word - 1)
          *out++ = first + int32_t(64 * w) + __builtin_ctzll(word);
      return;
    }
  }
  if (count > 128) {
    std::sort(list, list + count);
    return;
  }
  for (size_t k = 1; k < count; ++k) {
    const int32_t v = list[k];
    size_t m = k;
    for (; m > 0 && list[m - 1] > v; --m)
      list[m] = list[m - 1];
    list[m] = v;
  }
}
