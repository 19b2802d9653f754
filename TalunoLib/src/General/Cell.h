#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

/// 27 list heads, one per cell of a 3 x 3 x 3 block. Array indices, like
/// Particle::nextInCell: 32 bits hold any particle count the arrays can.
using CellHeads = std::array<int32_t, 27>;
constexpr CellHeads noCellHeads()
{
  CellHeads h{};
  for (int32_t& head : h)
    head = -1;
  return h;
}

/// 27 heads of ghost lists, read like a CellHeads, but held apart and only
/// once one of them is a real head: most cells never see a ghost (none do
/// without liquid), and they save the 27 entries.
class GhostHeads
{
public:
  int32_t operator[](size_t k) const { return _heads ? (*_heads)[k] : -1; }
  static constexpr size_t size() { return 27; }
  int32_t const* begin() const { return _heads ? _heads->data() : none.data(); }
  int32_t const* end() const { return begin() + size(); }
  /// Sets entry k. The first real head allocates the entries: two threads
  /// must not set the first heads of one cell at once (hold() beforehand).
  void set(size_t k, int32_t head)
  {
    if (!_heads) {
      if (head == -1)
        return;
      hold();
    }
    (*_heads)[k] = head;
  }
  /// Allocates the entries (all -1) if they are not yet.
  void hold()
  {
    if (!_heads)
      _heads = std::make_unique<CellHeads>(noCellHeads());
  }
  bool held() const { return bool(_heads); }

private:
  static constexpr CellHeads none = noCellHeads();
  std::unique_ptr<CellHeads> _heads;
};

/// One occupied cube of the sparse grid. It stores only list heads: the
/// particles of a cell are chained through Particle::nextInCell.
class Cell
{
public:
  /// Index of the entry for the offset (dx, dy, dz) in the 27-entry snapshots.
  static constexpr int neighborIndex(int dx, int dy, int dz) { return 9 * (dx + 1) + 3 * (dy + 1) + (dz + 1); }
  static constexpr int selfIndex = 13; ///< entry of the cell itself

  using Heads = CellHeads;
  static constexpr Heads noHeads() { return noCellHeads(); }

  int32_t firstParticle = -1;      ///< head of this cell's particle list, -1 when empty
  int32_t firstGhostParticle = -1; ///< head of this cell's ghost list, -1 when empty
  /// firstParticle of the 27 cells around this one (x outermost, z innermost), -1 for missing cells;
  /// a snapshot taken at the last neighbour refresh. Fixed-size: a cell
  /// costs no allocation beyond itself.
  Heads neighborFirstParticles = noHeads();
  /// The same snapshot for the ghost lists.
  GhostHeads neighborFirstGhostParticles;
  uint64_t key = 0;     ///< the cell's Morton key
  size_t listIndex = 0; ///< the cell's place in SimSystem::_cellList
  /// The heads as the neighbours' snapshots last received them: a head that
  /// differs has changed since, and only such cells are pushed to their
  /// neighbours at the next refresh.
  int32_t refreshedFirstParticle = -1;
  int32_t refreshedFirstGhostParticle = -1;
  /// The cell's own snapshots must be taken whole at the next refresh: it is
  /// new, or they were written outside the refresh.
  bool stale = true;
};
