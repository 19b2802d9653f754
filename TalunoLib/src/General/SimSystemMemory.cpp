// What the system holds in memory, by structure: the figures behind a
// benchmark's bytes per particle.

#include "SimSystem.h"

namespace
{
// What the allocator keeps beside each block it hands out (glibc: the size
// word, rounded up to 16 bytes).
constexpr size_t heapBlockBytes(size_t payload) { return (payload + sizeof(size_t) + 15) / 16 * 16; }

// A std::map node: three links, a colour word, then the stored pair.
template <typename Map>
constexpr size_t mapNodeBytes()
{
  return heapBlockBytes(4 * sizeof(void*) + sizeof(typename Map::value_type));
}

template <typename T>
size_t vectorBytes(std::vector<T> const& v)
{
  return v.capacity() * sizeof(T);
}

template <typename T>
size_t nestedBytes(std::vector<std::vector<T>> const& v)
{
  size_t bytes = vectorBytes(v);
  for (std::vector<T> const& inner : v)
    bytes += vectorBytes(inner);
  return bytes;
}
} // namespace

std::vector<std::pair<std::string, size_t>> SimSystem::heldBytes() const
{
  auto pairListBytes = [](PairLists const& lists) {
    size_t bytes = vectorBytes(lists.first) + vectorBytes(lists.count) + vectorBytes(lists.reference) +
                   vectorBytes(lists.wideReference) + vectorBytes(lists.blocks);
    for (std::vector<PairLists::Block> const& blocks : lists.blocks) {
      bytes += vectorBytes(blocks);
      for (PairLists::Block const& block : blocks)
        bytes += heapBlockBytes(block.capacity * sizeof(uint16_t));
    }
    return bytes;
  };
  std::vector<std::pair<std::string, size_t>> held;
  held.emplace_back("particle records", vectorBytes(_particlesArray) + vectorBytes(_particlesArrayMap));
  held.emplace_back("ghost records", vectorBytes(_ghostParticlesArray) + vectorBytes(_ghostParticlesArrayMap));
  size_t ghostHeads = 0;
  for (Cell const* cell : _cellList)
    ghostHeads += cell->neighborFirstGhostParticles.held() ? heapBlockBytes(sizeof(CellHeads)) : 0;
  held.emplace_back("cells", _cells.size() * (mapNodeBytes<decltype(_cells)>() + heapBlockBytes(sizeof(Cell))) +
                                 ghostHeads + vectorBytes(_cellList) + _cellIndex.heldBytes() + vectorBytes(_deletedCellKeys) +
                                 vectorBytes(_touchedCellKeys) + nestedBytes(_rebinMovers));
  held.emplace_back("springs", vectorBytes(_springs) + _springsMap.size() * mapNodeBytes<decltype(_springsMap)>());
  held.emplace_back("shear springs", vectorBytes(_demTangentialSprings) + vectorBytes(_newDemTangentialSprings) +
                                         _demTangentialSpringsMap.size() *
                                             mapNodeBytes<decltype(_demTangentialSpringsMap)>());
  held.emplace_back("SPH pair lists", pairListBytes(_sphPairs));
  held.emplace_back("contact pair lists", pairListBytes(_contactPairs));
  held.emplace_back("ghost lists", nestedBytes(_sphGhosts.buffers) + vectorBytes(_sphGhosts.firsts) +
                                       vectorBytes(_sphGhosts.begin) + vectorBytes(_walkView));
  held.emplace_back("list scratch", vectorBytes(_pairBinEnd) + vectorBytes(_pairBinOrder));
  held.emplace_back("pass views", vectorBytes(_fluidView) + vectorBytes(_fluidNatures) + vectorBytes(_contactView) + vectorBytes(_spinView) +
                                      vectorBytes(_springView) + vectorBytes(_velocitySnapshot) +
                                      vectorBytes(_angularVelocitySnapshot));
  held.emplace_back("ghost scratch", nestedBytes(_ghostChanges));
  return held;
}
