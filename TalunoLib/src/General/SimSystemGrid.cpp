// The sparse uniform grid: Morton-keyed cells holding the heads of particle
// lists threaded through Particle::nextInCell, with 27-entry neighbour
// snapshots so that neighbour walks need no map look-up.
#include "Morton.h"
#include "SimSystem.h"

#include <algorithm>
#include <cmath>
#include <iostream>

using magnet::math::dilate;
using magnet::math::undilate;

int32_t SimSystem::cellCoordinate(double v) const
{
  const double c = std::floor(v / _cellSize);
  // Converting NaN or an out-of-range double to an integer is undefined, and
  // coordinates outside the range would alias other cells' keys. Clamping is
  // monotone and shrinks distances, so particles that are neighbours stay in
  // neighbouring cells; NaN positions collect in the lowest cell, where their
  // distance tests fail and they interact with nothing.
  if (!(c >= _minCellCoordinate))
    return _minCellCoordinate;
  if (c > _maxCellCoordinate)
    return _maxCellCoordinate;
  return static_cast<int32_t>(c);
}

static inline uint32_t encodeCoordinate(int32_t c)
{
  return static_cast<uint32_t>(c) + static_cast<uint32_t>(SimSystem::_minDomain);
}

uint64_t SimSystem::cellKeyOf(double x, double y, double z) const
{
  return magnet::math::mortonKey(encodeCoordinate(cellCoordinate(x)), encodeCoordinate(cellCoordinate(y)),
                                 encodeCoordinate(cellCoordinate(z)));
}

Cell* SimSystem::linkToCell(uint64_t key, int64_t index, bool ghost)
{
  std::vector<Particle>& particles = ghost ? _ghostParticlesArray : _particlesArray;
  auto found = _cells.find(key);
  Cell* cell;
  if (found != _cells.end()) {
    cell = found->second;
    int64_t& head = ghost ? cell->firstGhostParticle : cell->firstParticle;
    particles[index].nextInCell = static_cast<int32_t>(head);
    head = index;
  } else {
    cell = new Cell();
    (ghost ? cell->firstGhostParticle : cell->firstParticle) = index;
    particles[index].nextInCell = -1;
    _cells.emplace(key, cell);
    cell->key = key;
    cell->listIndex = _cellList.size();
    _cellList.push_back(cell);
  }
  particles[index].cell = cell;
  return cell;
}

namespace {

// Open-addressing hash index over the cells, rebuilt for each neighbour
// refresh: 27 look-ups per cell in a flat table are several times faster than
// in the ordered map, whose nodes are scattered in memory.
class CellIndex
{
public:
  explicit CellIndex(std::vector<Cell*> const& cells)
  {
    size_t capacity = 16;
    while (capacity < 2 * cells.size())
      capacity *= 2;
    _mask = capacity - 1;
    _slots.assign(capacity, Slot{emptyKey, nullptr});
    for (Cell* cell : cells) {
      size_t i = slotOf(cell->key);
      while (_slots[i].key != emptyKey)
        i = (i + 1) & _mask;
      _slots[i] = Slot{cell->key, cell};
    }
  }

  Cell const* find(uint64_t key) const
  {
    for (size_t i = slotOf(key);; i = (i + 1) & _mask) {
      if (_slots[i].key == key)
        return _slots[i].cell;
      if (_slots[i].key == emptyKey)
        return nullptr;
    }
  }

private:
  // Keys use 63 bits at most, so the all-ones value never occurs.
  static constexpr uint64_t emptyKey = ~uint64_t(0);
  struct Slot
  {
    uint64_t key;
    Cell* cell;
  };

  size_t slotOf(uint64_t key) const { return size_t((key * 0x9E3779B97F4A7C15ull) >> 20) & _mask; }

  std::vector<Slot> _slots;
  size_t _mask = 0;
};

} // namespace

// Moves every particle of `particles` whose key changed from its old cell's
// list to the front of its new cell's list. Keys are computed in parallel; the
// relinking runs in index order, so lists come out the same for any thread count.
static void rebin(SimSystem& system, std::vector<Particle>& particles, bool ghost)
{
  const int64_t n = static_cast<int64_t>(particles.size());
  std::vector<uint64_t> keys(particles.size());
#pragma omp parallel for schedule(static)
  for (int64_t i = 0; i < n; ++i)
    keys[i] = system.cellKeyOf(particles[i].position);

  for (int64_t i = 0; i < n; ++i) {
    Particle& p = particles[i];
    const uint64_t key = keys[i];
    if (key == p.cellKey && p.cell)
      continue;
    p.cellKey = key;
    if (Cell* old = p.cell) {
      int64_t& head = ghost ? old->firstGhostParticle : old->firstParticle;
      if (head == i) {
        head = p.nextInCell;
      } else {
        int64_t j = head;
        while (j != -1 && particles[j].nextInCell != i)
          j = particles[j].nextInCell;
        if (j != -1)
          particles[j].nextInCell = p.nextInCell;
      }
    }
    p.nextInCell = -1;
    system.linkToCell(key, i, ghost);
  }
}

void SimSystem::updateCellsParticles()
{
  rebin(*this, _particlesArray, false);
  rebin(*this, _ghostParticlesArray, true);
  deleteEmptyCells();
}

void SimSystem::updateCellsNeighbors()
{
  // Each cell writes only its own snapshot and the index is only read, so the
  // cells can be refreshed in parallel.
  const CellIndex index(_cellList);
  const int64_t n = static_cast<int64_t>(_cellList.size());
#pragma omp parallel for schedule(static)
  for (int64_t c = 0; c < n; ++c) {
    Cell* cell = _cellList[c];
    const uint64_t key = cell->key;
    const uint32_t ux = undilate(key), uy = undilate(key >> 1), uz = undilate(key >> 2);
    int k = 0;
    for (uint32_t x = ux - 1; x != ux + 2; ++x)
      for (uint32_t y = uy - 1; y != uy + 2; ++y)
        for (uint32_t z = uz - 1; z != uz + 2; ++z, ++k) {
          if (Cell const* neighbor = index.find(magnet::math::mortonKey(x, y, z))) {
            cell->neighborFirstParticles[k] = neighbor->firstParticle;
            cell->neighborFirstGhostParticles[k] = neighbor->firstGhostParticle;
          } else {
            cell->neighborFirstParticles[k] = -1;
            cell->neighborFirstGhostParticles[k] = -1;
          }
        }
  }
}

void SimSystem::sortArrays(unsigned n)
{
  if (n % 100 != 0 || _particlesArray.empty())
    return;
  const std::clock_t start = std::clock();

  std::sort(_particlesArray.begin(), _particlesArray.end(), particlesArrayCompare);

  // Each cell's particles are now one run of the array: rebuild the lists so
  // that they follow the runs in index order.
  const int64_t last = static_cast<int64_t>(_particlesArray.size()) - 1;
  _particlesArray[last].nextInCell = -1;
  for (int64_t j = last; j >= 1; --j) {
    Particle& prev = _particlesArray[j - 1];
    if (prev.cellKey == _particlesArray[j].cellKey) {
      prev.nextInCell = static_cast<int32_t>(j);
    } else {
      prev.nextInCell = -1;
      if (Cell* cell = _particlesArray[j].cell)
        cell->firstParticle = j;
    }
  }
  if (Cell* cell = _particlesArray[0].cell)
    cell->firstParticle = 0;

  if (_particlesArrayMap.size() < _nbParticles)
    _particlesArrayMap.resize(_nbParticles, -1);
  for (int64_t i = 0; i <= last; ++i)
    _particlesArrayMap[_particlesArray[i].id] = static_cast<int32_t>(i);

  if (_verbose)
    std::cout << " Sort _particlesArrayMap took: " << static_cast<unsigned>(std::clock() - start) << "ms"
              << std::endl;
  updateCellsNeighbors();
}

void SimSystem::getCellFromPos(double x, double y, double z, Cell*& cell) const
{
  auto found = _cells.find(cellKeyOf(x, y, z));
  cell = found != _cells.end() ? found->second : nullptr;
}

void SimSystem::getNeighborFirstParticlesFromPos(double x, double y, double z, Cell::Heads& heads) const
{
  const uint32_t ux = encodeCoordinate(cellCoordinate(x));
  const uint32_t uy = encodeCoordinate(cellCoordinate(y));
  const uint32_t uz = encodeCoordinate(cellCoordinate(z));
  int k = 0;
  for (uint32_t cx = ux - 1; cx != ux + 2; ++cx)
    for (uint32_t cy = uy - 1; cy != uy + 2; ++cy)
      for (uint32_t cz = uz - 1; cz != uz + 2; ++cz, ++k) {
        auto found = _cells.find(magnet::math::mortonKey(cx, cy, cz));
        heads[k] = found != _cells.end() ? found->second->firstParticle : -1;
      }
}

void SimSystem::deleteEmptyCells()
{
  for (size_t k = 0; k < _cellList.size();) {
    Cell* cell = _cellList[k];
    if (cell->firstParticle != -1 || cell->firstGhostParticle != -1) {
      ++k;
      continue;
    }
    _cells.erase(cell->key);
    // The last cell of the list takes the freed place; the list's order is of no consequence.
    _cellList[k] = _cellList.back();
    _cellList[k]->listIndex = k;
    _cellList.pop_back();
    delete cell;
  }
}
